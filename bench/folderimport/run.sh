#!/usr/bin/env bash
# Imports a folder tree of 100,000 files (20,000 mailboxes) in 5,000 folders into the
# window's list and prints the time; the target is under 3 s. The tree is made once in
# bench/out/folderimport-tree and reused.
set -euo pipefail
cd "$(dirname "$0")/../.."
bin=build/bin/folderimport_bench
[ -x "$bin" ] || cmake --build build --target folderimport_bench >/dev/null
mkdir -p bench/out
# The first run after making the tree reads a cold cache; the figure is the second run's.
QT_QPA_PLATFORM=offscreen "$bin" bench/out/folderimport-tree >/dev/null 2>&1 || true
QT_QPA_PLATFORM=offscreen "$bin" bench/out/folderimport-tree 2> >(grep -v XDG_RUNTIME_DIR >&2)
