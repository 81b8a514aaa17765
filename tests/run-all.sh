#!/usr/bin/env bash
# Builds every preset and runs its tests: unit tests natively and under sanitizers, then the
# checks on the Windows executable itself.
set -euo pipefail
cd "$(dirname "$0")/.."

for preset in host host-sanitize win32; do
    echo "== $preset"
    cmake --preset "$preset"
    cmake --build --preset "$preset" --parallel 2
    ctest --preset "$preset"
done
