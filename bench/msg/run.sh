#!/usr/bin/env bash
# Time to write realistic messages as .msg files: messages/s and MB/s, and the ratio to
# writing the same content as plain files. Usage: bench/msg/run.sh [COUNT]
set -euo pipefail
cd "$(dirname "$0")/../.."
cmake --build build --target quill_msg_bench >/dev/null
out=bench/out/msg
mkdir -p "$out"
trap 'rm -rf "$out"' EXIT
./build/bin/quill_msg_bench "${1:-3000}" "$out"
