#!/usr/bin/env bash
# Installs the Debian packages the tests need (those missing), builds every preset and runs its
# tests: the Linux program natively and under sanitizers (unit, platform, library, real-audio and
# package tests), then the Windows executables (checks on the files, emulated x86 runs, Wine runs
# of the x86-64 build), then the x86 release zip as a real 32-bit process in a virtual machine,
# and last each fuzz target for a minute.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
. setup/packages.sh

take_checkout_lock "$root"
install_missing_packages "${TEST_PACKAGES[@]}"

for preset in host host-sanitize win32 win64; do
    echo "== $preset"
    cmake --preset "$preset"
    cmake --build --preset "$preset" --parallel 2
    ctest --preset "$preset"
done

echo "== vm"
cmake --build --preset win32 --parallel 2 --target package
/usr/bin/python3 tests/vm/test_guest.py --win32-build build/win32 --host-build build/host \
    --work build/vm

echo "== fuzz"
cmake --preset fuzz
cmake --build --preset fuzz --parallel 2 --target tokenizer_fuzz probe_fuzz library_fuzz headers_fuzz mp3_fuzz
bash fuzz/run.sh "${PLAYONCE_FUZZ_SECONDS:-60}"
