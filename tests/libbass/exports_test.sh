#!/usr/bin/env bash
# libbass.so's interface: exactly the seven calls, with C names, and no libstdc++ to load at start.
# Usage: exports_test.sh LIBBASS_SO
set -euo pipefail

library=$1
expected='BASS_ChannelBytes2Seconds
BASS_ChannelGetLength
BASS_ChannelPlay
BASS_ChannelSetAttribute
BASS_ChannelStop
BASS_Init
BASS_StreamCreateFile'
exported=$(nm -D --defined-only --format=posix "$library" | awk '{print $1}' | sort)
if [ "$exported" != "$expected" ]; then
    echo "FAIL: $library exports:" >&2
    echo "$exported" >&2
    exit 1
fi
if readelf -d "$library" | grep -q 'NEEDED.*libstdc++'; then
    echo "FAIL: $library needs libstdc++" >&2
    exit 1
fi
echo "ok: the seven calls, nothing else"
