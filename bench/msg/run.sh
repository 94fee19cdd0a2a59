#!/usr/bin/env bash
# Time to write realistic messages as .msg files: messages/s and MB/s, the ratio to writing
# the same content as plain files, and files/s for small messages. Usage: bench/msg/run.sh
# [COUNT]; the files go below $TMPDIR when it is set (TMPDIR=/dev/shm: tmpfs), else bench/out.
set -euo pipefail
cd "$(dirname "$0")/../.."
cmake --build build --target quill_msg_bench >/dev/null
out=${TMPDIR:-bench/out}/quill-bench-msg
mkdir -p "$out"
trap 'rm -rf "$out"' EXIT
./build/bin/quill_msg_bench "${1:-3000}" "$out"
