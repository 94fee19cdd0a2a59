#!/usr/bin/env bash
# PST node database: throughput against a plain write, commit cost, peak memory.
# PSTNDB_MESSAGES (default 30000, about 1 GB of file) and PSTNDB_DIR choose the load and disk.
set -euo pipefail
cd "$(dirname "$0")/../.."
cmake --build build --target pstndb_bench >/dev/null
./build/bin/pstndb_bench --messages "${PSTNDB_MESSAGES:-30000}" --dir "${PSTNDB_DIR:-/tmp}"
