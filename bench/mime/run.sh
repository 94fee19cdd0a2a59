#!/usr/bin/env bash
# MIME import figures: messages per second over a generated corpus of 2000 messages of a
# realistic mix, and peak memory for a message with a 500 MB attachment.
set -euo pipefail
cd "$(dirname "$0")/../.."
bench=build/bin/quill-mime-bench
[ -x "$bench" ] || cmake --build build --target quill-mime-bench >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$bench" corpus "$work/corpus" 2000
echo "MIME import, realistic corpus:"
"$bench" import-all "$work/corpus"
rm -rf "$work/corpus"
"$bench" make-big "$work/big.eml" 500
echo "MIME import, one 500 MB attachment ($(du -m "$work/big.eml" | cut -f1) MB message file):"
"$bench" import "$work/big.eml"
