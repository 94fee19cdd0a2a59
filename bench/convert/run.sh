#!/usr/bin/env bash
# End-to-end speed of quillmere-convert against git mailsplit on the same generated mailbox,
# page cache warm: the best of 3 rounds for each, the kinds alternating within a round, with
# our peak memory and the ratios (EML to mailsplit, target <= 1.0; MSG and PST to our own EML,
# target <= 2.0). QUILL_BENCH_SIZE sets the mailbox size (default 1G); QUILL_BENCH_KINDS the
# kinds (eml msg pst); QUILL_BENCH_ROUNDS the rounds (3).
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
size=${QUILL_BENCH_SIZE:-1G}
kinds=${QUILL_BENCH_KINDS:-eml msg pst}
rounds=${QUILL_BENCH_ROUNDS:-3}

work=$(mktemp -d "${TMPDIR:-/tmp}/quill-bench-convert.XXXXXX")
trap 'rm -rf "$work"' EXIT
mbox="$work/in/bench.mbox"
mkdir -p "$work/in" "$work/old"
count=$("$bin/quill-gen-mbox" --size "$size" --out "$mbox" --seed 7 --crlf-share 0 | awk '{print $1}')
echo "mailbox: $(du -h --apparent-size "$mbox" | cut -f1), $count messages, LF line ends"
sync
cat "$mbox" >/dev/null

declare -A best peak
n=0
# run NAME CMD...: times one run into a fresh folder ($out), keeps the best time and peak.
run() {
  local name=$1
  shift
  sync
  local s e t kb
  s=$(date +%s%N)
  /usr/bin/time -f %M -o "$work/peak.txt" "$@" >/dev/null 2>"$work/err.txt" || {
    cat "$work/err.txt" >&2; echo "$name: failed"; return 0; }
  kb=$(tail -1 "$work/peak.txt")
  e=$(date +%s%N)
  t=$(awk -v s="$s" -v e="$e" 'BEGIN { printf "%.3f", (e - s) / 1e9 }')
  if [ -z "${best[$name]:-}" ] || awk -v a="$t" -v b="${best[$name]}" 'BEGIN { exit !(a < b) }'
  then best[$name]=$t; fi
  if [ -z "${peak[$name]:-}" ] || [ "$kb" -gt "${peak[$name]}" ]; then peak[$name]=$kb; fi
}
for _ in $(seq "$rounds"); do
  for name in mailsplit $kinds; do
    n=$((n + 1))
    out="$work/out$n"
    mkdir -p "$out"
    if [ "$name" = mailsplit ]; then
      run mailsplit git mailsplit -o"$out" "$mbox"
    else
      run "$name" "$bin/quillmere-convert" --quiet --to "$name" --output "$out" "$mbox"
    fi
    mv "$out" "$work/old/"
  done
done

echo "git mailsplit:              ${best[mailsplit]} s"
for name in $kinds; do
  [ -n "${best[$name]:-}" ] || continue
  if [ "$name" = eml ]; then
    ratio=$(awk -v a="${best[eml]}" -v b="${best[mailsplit]}" 'BEGIN { printf "%.2f", a / b }')
    echo "quillmere-convert --to eml: ${best[eml]} s  ratio to mailsplit $ratio (target <= 1.0)  peak $((peak[eml] / 1024)) MB"
  else
    ratio=$( [ -n "${best[eml]:-}" ] &&
      awk -v a="${best[$name]}" -v b="${best[eml]}" 'BEGIN { printf "%.2f", a / b }' || echo "?")
    echo "quillmere-convert --to $name: ${best[$name]} s  ratio to eml $ratio (target <= 2.0)  peak $((peak[$name] / 1024)) MB"
  fi
done
