#!/usr/bin/env bash
# Installs the test-only readers of tests/tools/package.json (exact versions, from its lock
# file) into DEST/node_modules. The program never needs them; the tests that read our output
# with them depend on this step. Quick when DEST already holds what the lock file asks for.
set -euo pipefail
dest=${1:?usage: install-test-readers.sh DEST}
src="$(cd "$(dirname "$0")/../tests/tools" && pwd)"

mkdir -p "$dest"
if [ -d "$dest/node_modules" ] && cmp -s "$src/package-lock.json" "$dest/package-lock.json"; then
  exit 0
fi
cp "$src/package.json" "$src/package-lock.json" "$dest/"
cd "$dest"
npm ci --no-audit --no-fund --loglevel=error
