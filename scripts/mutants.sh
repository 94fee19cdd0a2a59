#!/usr/bin/env bash
# Mutation sample of the core: applies the seeded mutants of scripts/mutants.txt one at a time
# to a copy of the sources, rebuilds what the mutated file affects, runs the tests and tells
# for each mutant whether a test failed (killed) or all passed (survived). The tests are as
# strong as before a change when the kill rate on the same mutants is no lower.
#
#   scripts/mutants.sh [-k] [M01 M07 ...]
#
# With names, only those mutants. The copy and its build live in build-mutants/ (the work tree
# itself is never changed); the table goes to standard output and build-mutants/mutants.txt.
# -k keeps the copy as it is (no fresh copy of the work tree before the run).
# QUILL_MUTANT_TIMEOUT: seconds for the tests of one mutant (default 600), of one test 90; a
# test that runs out of time catches its mutant (a mutant may make a loop endless).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
out=$root/build-mutants
tree=$out/tree
build=$out/build
list=$root/scripts/mutants.txt
timeout=${QUILL_MUTANT_TIMEOUT:-600}
keep=0
if [ "${1:-}" = "-k" ]; then
  keep=1
  shift
fi
wanted=" $* "

export CMAKE_CXX_COMPILER_LAUNCHER=${CMAKE_CXX_COMPILER_LAUNCHER:-ccache}
export CMAKE_C_COMPILER_LAUNCHER=${CMAKE_C_COMPILER_LAUNCHER:-ccache}
export QT_QPA_PLATFORM=offscreen
# Scratch files of its own, below $TMPDIR: other test runs on the machine use the same names.
# Others may enter it, as the tests that run a program as another user need.
export TMPDIR=${TMPDIR:-/tmp}/quill-mutants-$$

mkdir -p "$out" "$TMPDIR"
chmod 755 "$TMPDIR"
if [ "$keep" = 0 ] || [ ! -d "$tree" ]; then
  # Files whose content changed since the last copy are copied again, with a new time stamp,
  # and only what they affect is rebuilt.
  (cd "$root" && find . -path './build*' -prune -o -path ./.git -prune -o -type f -print) |
    while read -r f; do
      if ! cmp -s "$root/$f" "$tree/$f"; then
        mkdir -p "$(dirname "$tree/$f")"
        cp "$root/$f" "$tree/$f"
      fi
    done
fi
if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$tree" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_CXX_FLAGS_RELEASE=-O1 -DCMAKE_C_FLAGS_RELEASE=-O1 >"$out/configure.log"
fi

# The tests without the package build and the manual's quotes (an optimised program holds
# short texts as immediate values, not as strings to find); $1: a folder of the build's tests/
# to run only its tests, the whole suite without.
run_tests() {
  timeout "$timeout" ctest --test-dir "$build/${1:-}" --stop-on-failure -j2 --timeout 90 \
    -E '^Package$|^Manual\.QuotesOnly' >"$out/last-test.log" 2>&1
}
build_all() {
  cmake --build "$build" -j2 "$@" >"$out/last-build.log" 2>&1
}
# The tests nearest to a file of the core, and their programs: run first, so that a mutant
# they catch costs one small build and a few seconds of tests.
near_tests() {
  case "$1" in
    src/reader/*) echo "tests/reader reader_tests" ;;
    src/convert/*) echo "tests/convert convert_tests convert_fault_tests pst_run_tests" ;;
    src/store/mime/*) echo "tests/store/mime quill_store_mime_test" ;;
    src/store/pst/*) echo "tests/store/pst pst_ltp_tests pst_messaging_tests pst_ndb_test" ;;
    src/store/*) echo "tests/store quill_store_utf16_test" ;;
  esac
}

echo "Building and testing the unchanged sources" >&2
build_all || { echo "the unchanged sources do not build: $out/last-build.log" >&2; exit 1; }
run_tests || { echo "the unchanged sources fail their tests: $out/last-test.log" >&2; exit 1; }

saved=""
restore() {
  if [ -n "$saved" ]; then
    # A fresh time stamp, so that the next build compiles the restored file again.
    cat "$saved" >"$tree/$file"
    rm -f "$saved"
    saved=""
  fi
}
trap 'restore; rm -rf "$TMPDIR"' EXIT
trap 'exit 1' INT TERM

table=$out/mutants.txt
: >"$table"
killed=0
survived=0
n=0
while IFS=$'\t' read -r -u 3 file text replacement; do
  case "$file" in '#'* | '') continue ;; esac
  n=$((n + 1))
  name=$(printf 'M%02d' "$n")
  if [ "$wanted" != "  " ] && [[ "$wanted" != *" $name "* ]]; then continue; fi
  start=$SECONDS
  saved=$(mktemp "$out/saved.XXXXXX")
  cp -p "$tree/$file" "$saved"
  if ! python3 - "$tree/$file" "$text" "$replacement" <<'EOF'; then
import sys
path, text, replacement = sys.argv[1:]
source = open(path, encoding="utf-8").read()
if source.count(text) != 1:
    sys.exit(1)
open(path, "w", encoding="utf-8").write(source.replace(text, replacement))
EOF
    verdict="not-applied"
  else
    read -r folder targets <<<"$(near_tests "$file")"
    verdict=""
    if [ -n "$folder" ]; then
      # shellcheck disable=SC2086
      if ! build_all --target $targets; then
        verdict="not-built"
      elif ! run_tests "$folder"; then
        verdict="killed"
      fi
    fi
    if [ -z "$verdict" ]; then
      if ! build_all; then
        verdict="not-built"
      elif run_tests; then
        verdict="survived"
      else
        verdict="killed"
      fi
    fi
    case "$verdict" in
      survived) survived=$((survived + 1)) ;;
      killed)
        killed=$((killed + 1))
        grep -E '\(Failed\)|\(Timeout\)|Exception|\*\*\*' "$out/last-test.log" | head -3 >"$out/$name.failed" || true
        ;;
    esac
  fi
  restore
  printf '%s\t%-9s\t%4ss\t%s: %s\n' "$name" "$verdict" $((SECONDS - start)) "$file" "$text" | tee -a "$table"
done 3<"$list"
# The restored sources again, so that the build matches the work tree's copy.
build_all || true

decided=$((killed + survived))
if [ "$decided" -gt 0 ]; then
  printf 'killed %d, survived %d: kill rate %d.%d%%\n' "$killed" "$survived" \
    $((1000 * killed / decided / 10)) $((1000 * killed / decided % 10)) | tee -a "$table"
fi
