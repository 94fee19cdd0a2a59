#!/usr/bin/env bash
# Reader and message-file figures on generated mailboxes (page cache warm):
#   working copy time, scan throughput after the copy, cut-and-write throughput, peak memory;
#   for a ~1 GB mailbox of ordinary messages, one with a 1 GB message, one with a 100 MB line.
# QUILL_BENCH_SIZE overrides the size of the ordinary mailbox (default 1G).
set -euo pipefail
cd "$(dirname "$0")/../.."
bin=build/bin
for tool in quill-gen-mbox quill-bench-reader; do
  if [ ! -x "$bin/$tool" ]; then
    echo "missing $bin/$tool: cmake --build build --target quill-gen-mbox quill-bench-reader" >&2
    exit 1
  fi
done

work=$(mktemp -d "${TMPDIR:-/tmp}/quill-bench-reader.XXXXXX")
trap 'rm -rf "$work"' EXIT

measure() {  # measure LABEL ARGS...: runs quill-bench-reader, adds the peak memory of time -v
  local label=$1
  shift
  echo "-- $label"
  if [ -x /usr/bin/time ]; then
    /usr/bin/time -v "$bin/quill-bench-reader" "$@" 2>"$work/time.txt" || { cat "$work/time.txt" >&2; return 1; }
    awk -F': ' '/Maximum resident set size/ { printf "peak (time -v)    %.1f MB\n", $2 / 1024 }' "$work/time.txt"
  else
    "$bin/quill-bench-reader" "$@"
  fi
}

run_case() {  # run_case NAME GENERATOR-ARGS...
  local name=$1
  shift
  local mbox="$work/$name.mbox"
  local count
  count=$("$bin/quill-gen-mbox" --out "$mbox" "$@" | awk '{ print $1 }')
  echo "== $name: $(du -h --apparent-size "$mbox" | cut -f1), $count messages"
  sync "$mbox"            # the generator's writes are on disk, not competing with the copy
  cat "$mbox" >/dev/null  # page cache
  measure "scan" scan "$mbox" --expect "$count"
  rm -rf "$work/out"
  measure "cut" cut "$mbox" "$work/out" --expect "$count"
  rm -rf "$work/out" "$mbox"
}

run_case ordinary --size "${QUILL_BENCH_SIZE:-1G}" --seed 1 --crlf-share 0.3
run_case one-1GB-message --size 64M --seed 2 --big-message 1G
run_case one-100MB-line --size 64M --seed 3 --long-line 100M
