#!/usr/bin/env bash
# Builds every preset and runs its tests: the Linux program natively and under sanitizers (unit,
# platform, library and real-audio tests), then the Windows executables (checks on the files,
# emulated x86 runs, Wine runs of the x86-64 build), and last each fuzz target for a minute.
set -euo pipefail
cd "$(dirname "$0")/.."

for preset in host host-sanitize win32 win64; do
    echo "== $preset"
    cmake --preset "$preset"
    cmake --build --preset "$preset" --parallel 2
    ctest --preset "$preset"
done

echo "== fuzz"
cmake --preset fuzz
cmake --build --preset fuzz --parallel 2 --target tokenizer_fuzz probe_fuzz library_fuzz headers_fuzz mp3_fuzz
bash fuzz/run.sh "${PLAYONCE_FUZZ_SECONDS:-60}"
