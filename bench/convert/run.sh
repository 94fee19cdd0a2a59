#!/usr/bin/env bash
# End-to-end speed of quillmere-convert against git mailsplit on the same generated mailbox,
# in the same run, page cache warm: both times and the ratio ours / theirs (target <= 1.0 for
# EML; MSG and PST against our own EML, target <= 2.0), with our peak memory.
# QUILL_BENCH_SIZE sets the mailbox size (default 1G); QUILL_BENCH_KINDS the kinds (eml msg pst).
set -euo pipefail
cd "$(dirname "$0")/../.."
bin=build/bin
for tool in quill-gen-mbox quillmere-convert; do
  [ -x "$bin/$tool" ] || { echo "missing $bin/$tool: make build" >&2; exit 1; }
done
size=${QUILL_BENCH_SIZE:-1G}
kinds=${QUILL_BENCH_KINDS:-eml msg pst}

work=$(mktemp -d "${TMPDIR:-/tmp}/quill-bench-convert.XXXXXX")
trap 'rm -rf "$work"' EXIT
mbox="$work/in/bench.mbox"
mkdir -p "$work/in"
count=$("$bin/quill-gen-mbox" --size "$size" --out "$mbox" --seed 7 --crlf-share 0 | awk '{print $1}')
echo "mailbox: $(du -h --apparent-size "$mbox" | cut -f1), $count messages, LF line ends"
sync
cat "$mbox" >/dev/null

seconds() { awk -v s="$1" -v e="$2" 'BEGIN { printf "%.3f", (e - s) / 1e9 }'; }

best_of() {  # best_of N CMD...: the fastest of N runs, in seconds (output folders cleaned between)
  local n=$1 best=""
  shift
  for _ in $(seq "$n"); do
    rm -rf "$work/out" "$work/split"
    mkdir -p "$work/out" "$work/split"
    sync
    local s e t
    s=$(date +%s%N)
    "$@" >/dev/null 2>"$work/err.txt" || { cat "$work/err.txt" >&2; return 1; }
    e=$(date +%s%N)
    t=$(seconds "$s" "$e")
    if [ -z "$best" ] || awk -v a="$t" -v b="$best" 'BEGIN { exit !(a < b) }'; then best=$t; fi
  done
  echo "$best"
}

split=$(best_of 3 git mailsplit -o"$work/split" "$mbox")
echo "git mailsplit:              ${split} s"
eml=""
for kind in $kinds; do
  t=$(best_of 3 "$bin/quillmere-convert" --quiet --to "$kind" --output "$work/out" "$mbox") || {
    echo "quillmere-convert --to $kind: failed"; continue; }
  peak=$( { /usr/bin/time -f %M "$bin/quillmere-convert" --quiet --to "$kind" --output "$work/out2" "$mbox" >/dev/null; } 2>&1 | tail -1)
  rm -rf "$work/out2"
  if [ "$kind" = eml ]; then
    eml=$t
    ratio=$(awk -v a="$t" -v b="$split" 'BEGIN { printf "%.2f", a / b }')
    echo "quillmere-convert --to eml: ${t} s  ratio to mailsplit ${ratio} (target <= 1.0)  peak $((peak / 1024)) MB"
  else
    ratio=$( [ -n "$eml" ] && awk -v a="$t" -v b="$eml" 'BEGIN { printf "%.2f", a / b }' || echo "?")
    echo "quillmere-convert --to $kind: ${t} s  ratio to eml ${ratio} (target <= 2.0)  peak $((peak / 1024)) MB"
  fi
done
