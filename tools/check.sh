#!/usr/bin/env bash
# Builds and runs every test: the whole suite under ASan + UBSan, then the
# concurrency tests under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
export CTEST_PARALLEL_LEVEL="$jobs"
for preset in asan tsan; do
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j "$jobs"
    ctest --preset "$preset" -j "$jobs"
done
