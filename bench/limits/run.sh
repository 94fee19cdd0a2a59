#!/usr/bin/env bash
# The limits of one run: a mailbox of 100,000 tiny messages, one message of 1 GB, a header
# line of 10 MB, and a mailbox that is one line of 200 MB. For each output kind: the wall
# time, the peak memory (maximum resident set, /usr/bin/time -v), the files written, and
# whether the run succeeded. The message files must hold every byte: for EML their total
# size is checked against the mailbox.
#
#   QUILL_LIMITS_CASES="tiny big header line"   QUILL_LIMITS_KINDS="eml msg pst"
#   QUILL_LIMITS_TIMEOUT=900 (seconds per conversion)
set -euo pipefail
cd "$(dirname "$0")/../.."
bin=build/bin/quillmere-convert
[ -x "$bin" ] || { echo "missing $bin: make build" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "missing /usr/bin/time (package time)" >&2; exit 1; }
cases=${QUILL_LIMITS_CASES:-tiny big header line}
kinds=${QUILL_LIMITS_KINDS:-eml msg pst}
limit=${QUILL_LIMITS_TIMEOUT:-900}

work=$(mktemp -d "${TMPDIR:-/tmp}/quill-bench-limits.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/in"

make_case() {  # make_case NAME: writes $work/in/NAME.mbox
  local f="$work/in/$1.mbox"
  case $1 in
    tiny)  # 100,000 messages of a few dozen bytes
      awk 'BEGIN { for (i = 0; i < 100000; i++)
                   printf "From s%d@example.org Mon Jan  1 00:00:00 2024\nSubject: %d\n\nhi\n", i, i }' >"$f" ;;
    big)   # one message of 1 GiB: a header and base64-like body lines
      { printf 'From a@example.org Mon Jan  1 00:00:00 2024\nSubject: big\nContent-Type: application/octet-stream\nContent-Transfer-Encoding: base64\n\n'
        # (yes ends on SIGPIPE; read through a process substitution, that is no failure)
        head -c $((1 << 30)) < <(yes 'QUJDREVGR0hJSktMTU5PUFFSU1RVVldYWVphYmNkZWZnaGlqa2xtbm9wcXJzdHV2d3h5ejAxMjM0NTY3'); } >"$f" ;;
    header)  # a 10 MiB header line
      { printf 'From a@example.org Mon Jan  1 00:00:00 2024\nX-Long: '
        head -c $((10 << 20)) /dev/zero | tr '\0' 'h'
        printf '\nSubject: long header\n\nbody\nFrom b@example.org Mon Jan  1 00:00:00 2024\nSubject: after\n\nbody\n'; } >"$f" ;;
    line)  # the whole mailbox one line of 200 MiB, no line end at all
      { printf 'From a@example.org '; head -c $((200 << 20)) /dev/zero | tr '\0' 'x'; } >"$f" ;;
  esac
}

printf '%-7s %-5s %9s %10s %7s  %s\n' case kind seconds "peak MB" files result
for c in $cases; do
  make_case "$c"
  mbox="$work/in/$c.mbox"
  bytes=$(stat -c %s "$mbox")
  for kind in $kinds; do
    out="$work/out-$kind"
    rm -rf "$out"
    sync
    status=0
    timeout "$limit" /usr/bin/time -v -o "$work/time.txt" \
      "$bin" --quiet --to "$kind" --output "$out" "$mbox" >/dev/null 2>"$work/err.txt" || status=$?
    wall=$(awk -F': ' '/Elapsed \(wall clock\)/ { n = split($2, p, ":"); s = 0;
             for (i = 1; i <= n; i++) s = s * 60 + p[i]; printf "%.2f", s }' "$work/time.txt" 2>/dev/null || echo "?")
    peak=$(awk -F': ' '/Maximum resident set size/ { printf "%d", $2 / 1024 }' "$work/time.txt" 2>/dev/null || echo "?")
    files=$(find "$out" -type f 2>/dev/null | wc -l)
    result=ok
    if [ "$status" -eq 124 ]; then result="timed out after ${limit} s"
    elif [ "$status" -ne 0 ]; then result="exit $status: $(tail -n 2 "$work/err.txt" | tr '\n' ' ' | cut -c1-200)"
    elif [ "$c" = big ] && [ "$kind" != eml ] && [ "$peak" != "?" ] &&
         [ "$peak" -gt $(( (bytes / 81 * 60 >> 20) + 64 )) ]; then
      # The message's one attachment (each body line of 80 base64 characters and a line end
      # holds 60 bytes) is held once, plus at most 64 MB besides, by MSG and PST runs alike.
      result="OVER BOUND: $peak MB for an attachment of $((bytes / 81 * 60 >> 20)) MB"
    elif [ "$kind" = eml ]; then
      # Nothing lost: the files hold at least every byte of the mailbox (line ends become
      # CR LF and each file gains one more).
      total=$(find "$out" -type f -printf '%s\n' | awk '{ s += $1 } END { print s + 0 }')
      [ "$total" -ge "$bytes" ] || result="LOST BYTES: $total of $bytes"
    fi
    printf '%-7s %-5s %9s %10s %7s  %s\n' "$c" "$kind" "$wall" "$peak" "$files" "$result"
    rm -rf "$out"
  done
  rm -f "$mbox"
done
