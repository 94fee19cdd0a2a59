#!/usr/bin/env bash
# PST store writing: one folder of 70,000 small messages, then checked by pffinfo and readpst.
set -euo pipefail
cd "$(dirname "$0")/../.."
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
./build/bin/pst_store_bench "$out/big.pst" 70000 1
pffinfo -a "$out/big.pst" | grep -iE "error|warning" && exit 1
readpst -D -r -o "$out" "$out/big.pst" | tail -1
