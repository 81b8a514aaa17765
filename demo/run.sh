#!/usr/bin/env bash
# From a fresh clone: installs what is missing, builds the Linux program, plays the chime (or FILE).
# Usage: bash demo/run.sh [FILE]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
. "$root/setup/packages.sh"

take_checkout_lock "$root"
install_missing_packages "${BUILD_PACKAGES[@]}" "${DEMO_PACKAGES[@]}"
# A server of our own is needed only where the user's does not answer.
if ! pactl info >/dev/null 2>&1; then
    install_missing_packages "${DEMO_SERVER_PACKAGES[@]}"
fi

cd "$root"
cmake --preset host >/dev/null
cmake --build --preset host --target playonce
exec /usr/bin/python3 "$root/demo/run_demo.py" "$@"
