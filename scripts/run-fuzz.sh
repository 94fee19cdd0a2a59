#!/usr/bin/env bash
# Builds the libFuzzer targets (preset "fuzz": clang, AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each for a short, bounded time on the seed corpus
# committed in fuzz/corpus/<target>/. Any crash, leak, sanitizer report or timeout fails
# the run; the input that caused it is kept in build-fuzz/crashes/<target>/ and belongs,
# once the fault is mended, in tests/data/fuzz/<target>/, where the ordinary test builds
# replay it (tests/fuzz) together with the seed corpus.
#
#   FUZZ_SECONDS=6 (per target)   FUZZ_JOBS=2 (build)   FUZZ_TARGETS="a b" (a subset)
set -euo pipefail
cd "$(dirname "$0")/.."

SECONDS_EACH=${FUZZ_SECONDS:-6}
JOBS=${FUZZ_JOBS:-2}
TARGETS=${FUZZ_TARGETS:-"fuzz_separator_scan fuzz_message_cut mime_import_fuzz msg_writer_fuzzer fuzz_mime_to_msg fuzz_mime_to_pst"}

if ! command -v clang++ >/dev/null; then
  echo "run-fuzz: clang++ is not installed; the fuzz targets cannot be built" >&2
  exit 1
fi

cmake --preset fuzz >/dev/null
# Only the fuzz targets and the libraries they link: no window, no tests, no benchmarks.
# shellcheck disable=SC2086
cmake --build build-fuzz -j "$JOBS" --target $TARGETS

status=0
for t in $TARGETS; do
  corpus=fuzz/corpus/$t
  [ -d "$corpus" ] || { echo "run-fuzz: no seed corpus $corpus" >&2; status=1; continue; }
  # New inputs go to a scratch folder, so the committed seeds stay as they are.
  work=build-fuzz/corpus-work/$t
  crashes=build-fuzz/crashes/$t
  mkdir -p "$work" "$crashes"
  log=build-fuzz/fuzz-$t.log
  start=$(date +%s)
  if build-fuzz/bin/"$t" -max_total_time="$SECONDS_EACH" -rss_limit_mb=1024 -malloc_limit_mb=512 \
      -timeout=10 -max_len=65536 -print_final_stats=1 -artifact_prefix="$crashes/" \
      "$work" "$corpus" >"$log" 2>&1; then
    runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || echo "?")
    echo "run-fuzz: $t: $runs inputs in $(( $(date +%s) - start )) s, no fault"
  else
    echo "run-fuzz: $t FAILED; the input is in $crashes/, the report follows" >&2
    grep -v '^#' "$log" | tail -40 >&2
    status=1
  fi
done
exit $status
