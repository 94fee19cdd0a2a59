#!/usr/bin/env bash
# PST runs against EML runs of the same generated mailbox (QUILL_BENCH_SIZE, default 1G), best
# of 3 each, alternating, with our peak memory.
#
# Output folders of earlier runs are moved aside, not deleted, until the end: on ext4 without
# a journal a file created within minutes of many deletions searches past every freed inode,
# which would charge one run for the clean-up of the one before it.
set -euo pipefail
cd "$(dirname "$0")/../.."
bin=build/bin
for tool in quill-gen-mbox quillmere-convert; do
  [ -x "$bin/$tool" ] || { echo "missing $bin/$tool: make build" >&2; exit 1; }
done
work=$(mktemp -d "${TMPDIR:-/tmp}/quill-bench-pstrun.XXXXXX")
trap 'rm -rf "$work"' EXIT
mbox="$work/in/bench.mbox"
mkdir -p "$work/in" "$work/old"
count=$("$bin/quill-gen-mbox" --size "${QUILL_BENCH_SIZE:-1G}" --out "$mbox" --seed 7 \
  --crlf-share 0 | awk '{print $1}')
echo "mailbox: $(du -h --apparent-size "$mbox" | cut -f1), $count messages"
sync
cat "$mbox" >/dev/null

declare -A best peak
n=0
for round in 1 2 3; do
  for kind in eml pst; do
    n=$((n + 1))
    out="$work/out$n"
    mkdir -p "$out"
    sync
    s=$(date +%s%N)
    kb=$( { /usr/bin/time -f %M "$bin/quillmere-convert" --quiet --to "$kind" --output "$out" \
      "$mbox" >/dev/null; } 2>&1 | tail -1)
    e=$(date +%s%N)
    t=$(awk -v s="$s" -v e="$e" 'BEGIN { printf "%.3f", (e - s) / 1e9 }')
    mv "$out" "$work/old/"
    if [ -z "${best[$kind]:-}" ] || awk -v a="$t" -v b="${best[$kind]}" 'BEGIN { exit !(a < b) }'
    then best[$kind]=$t; fi
    if [ -z "${peak[$kind]:-}" ] || [ "$kb" -gt "${peak[$kind]}" ]; then peak[$kind]=$kb; fi
  done
done
ratio=$(awk -v a="${best[pst]}" -v b="${best[eml]}" 'BEGIN { printf "%.2f", a / b }')
echo "eml: ${best[eml]} s  peak $((peak[eml] / 1024)) MB"
echo "pst: ${best[pst]} s  peak $((peak[pst] / 1024)) MB  ratio to eml $ratio (target <= 2.0, peak < 256 MB)"

