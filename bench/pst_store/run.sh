#!/usr/bin/env bash
# PST store writing: one folder of 70,000 small messages, and a message with a 50 MB
# attachment; both read back by pffinfo, readpst and pffexport.
set -euo pipefail
cd "$(dirname "$0")/../.."
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
./build/bin/pst_store_bench "$out/big.pst" 70000 1
if pffinfo -a "$out/big.pst" | grep -iE "error|warning"; then exit 1; fi
mkdir "$out/r"
readpst -D -r -o "$out/r" "$out/big.pst" | tail -1

./build/bin/pst_store_bench "$out/att.pst" 1 1 50
pffexport -m items -q -t "$out/x" "$out/att.pst" >/dev/null
python3 -c "import sys; sys.stdout.buffer.write(bytes((k * 7) & 255 for k in range(50 << 20)))" > "$out/expected.bin"
cmp "$out/expected.bin" "$out/x.export/Top of Personal Folders/Folder 0/Message00001/Attachments/1_big.bin"
echo "50 MB attachment read back by pffexport: identical"
