#!/usr/bin/env bash
# Event latency in the window during Convert, for each kind, on a generated mailbox
# (QUILL_BENCH_SIZE, default 1G).
set -euo pipefail
cd "$(dirname "$0")/../.."
bin=build/bin
for tool in quill-gen-mbox latency_bench; do
  [ -x "$bin/$tool" ] || { echo "missing $bin/$tool: make build" >&2; exit 1; }
done
work=$(mktemp -d "${TMPDIR:-/tmp}/quill-bench-latency.XXXXXX")
trap 'rm -rf "$work"' EXIT
mbox="$work/in/bench.mbox"
mkdir -p "$work/in"
"$bin/quill-gen-mbox" --size "${QUILL_BENCH_SIZE:-1G}" --out "$mbox" --seed 11 --crlf-share 0.3 >/dev/null
sync
for kind in ${QUILL_BENCH_KINDS:-eml msg pst}; do
  rm -rf "$work/out"
  mkdir -p "$work/out"
  printf '%-4s ' "$kind"
  "$bin/latency_bench" "$kind" "$work/out" "$mbox" | head -1
done
