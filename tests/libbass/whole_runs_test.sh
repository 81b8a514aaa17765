#!/usr/bin/env bash
# Whole runs of the driver over libbass.so: without a server, on a private null sink (every
# sample must arrive unchanged), and with the server killed mid-play. Prints the timing figures.
# Usage: whole_runs_test.sh BASS_DRIVER SINK_PROBE SCRIPT_DIR
set -euo pipefail

driver=$1
probe=$2
here=$3
work=$(mktemp -d)
trap 'bash "$here/private_pulse.sh" stop "$work/server"; rm -rf "$work"' EXIT

fail()
{
    echo "FAIL: $*" >&2
    exit 1
}

milliseconds()
{
    echo $(($(date +%s%N) / 1000000))
}

# Runs the driver with PULSE_SERVER=$1 on $2; leaves its output in $work/out, $work/err and
# its wall time in ms in $elapsed.
run_driver()
{
    local start
    start=$(milliseconds)
    PULSE_SERVER=$1 "$driver" "$2" >"$work/out" 2>"$work/err" || fail "driver exited $?"
    elapsed=$(($(milliseconds) - start))
}

"$probe" make "$work/one.wav" 1
"$probe" make "$work/two.wav" 2

echo "== no server: measured, not played, no wait beyond the length"
run_driver "unix:$work/no-such-socket" "$work/one.wav"
grep -q '^stream=[1-9][0-9]* length=176400 seconds=1.000000000 volume=1 play=0 stop=1$' \
    "$work/out" || fail "no-server run gave: $(cat "$work/out")"
[ ! -s "$work/err" ] || fail "no-server run wrote to stderr: $(cat "$work/err")"
[ "$elapsed" -lt 3000 ] || fail "no-server run took $elapsed ms for a 1 s file"
echo "ok, $elapsed ms"

if ! command -v pulseaudio >/dev/null; then
    echo "pulseaudio is not installed: the runs on a private server are skipped"
    exit 0
fi
bash "$here/private_pulse.sh" start "$work/server"
source "$work/server/env"

echo "== private null sink: every sample arrives unchanged"
# A 1 ms recording keeps the null sink near real time, so that the timing figures mean something.
export SINK_PROBE_FRAGMENT_MS=1
for run in 1 2 3; do
    result=$("$probe" run "$PLAYONCE_TEST_SINK.monitor" "$work/one.wav" "$driver" -q "$work/one.wav")
    echo "libbass: $result"
    [[ $result == *" missing=0 of 44100 "* ]] || fail "samples missing or changed at the sink"
done
if command -v paplay >/dev/null; then
    echo "paplay:  $("$probe" run "$PLAYONCE_TEST_SINK.monitor" "$work/one.wav" paplay "$work/one.wav")"
fi

echo "== Stop long before the end cuts the sound off at once"
start=$(milliseconds)
"$driver" -q -s 300 "$work/two.wav" >"$work/out" 2>"$work/err" || fail "early stop gave $?"
elapsed=$(($(milliseconds) - start))
[ "$elapsed" -lt 1000 ] || fail "Stop 300 ms into a 2 s file returned after $elapsed ms"
echo "ok, $elapsed ms"

echo "== exit while playing: no Stop, and the process still ends cleanly at once"
start=$(milliseconds)
"$driver" -q -x "$work/two.wav" >"$work/out" 2>"$work/err" || fail "exit mid-play gave $?"
elapsed=$(($(milliseconds) - start))
[ ! -s "$work/err" ] || fail "exit mid-play wrote to stderr: $(cat "$work/err")"
[ "$elapsed" -lt 1500 ] || fail "exit mid-play took $elapsed ms"
echo "ok, $elapsed ms"

if command -v strace >/dev/null; then
    echo "== nothing created or opened for writing (given a cookie, which libpulse would make)"
    mkdir -p "$work/home/.config/pulse"
    head -c 256 /dev/urandom >"$work/home/.config/pulse/cookie"
    # LeakSanitizer cannot run under ptrace: a sanitizer build checks leaks in the other runs.
    HOME=$work/home ASAN_OPTIONS=detect_leaks=0 strace -f -e trace=%file -o "$work/trace" \
        "$driver" -q "$work/one.wav"
    if grep -E 'O_WRONLY|O_RDWR|O_CREAT|O_TRUNC|\<(mkdir|unlink|rename|link|symlink|mknod|truncate)[a-z]*\(' \
        "$work/trace" | grep -vE '= -1 E(EXIST|NOENT)'; then
        fail "the run above created or wrote a file"
    fi
    echo "ok"
fi

echo "== server killed mid-play: the run still lasts the file's length and ends cleanly"
(sleep 0.5 && kill -9 "$(cat "$work/server/pid")") &
run_driver "$PULSE_SERVER" "$work/two.wav"
wait
grep -q ' play=1 stop=1$' "$work/out" || fail "killed-server run gave: $(cat "$work/out")"
[ ! -s "$work/err" ] || fail "killed-server run wrote to stderr: $(cat "$work/err")"
[ "$elapsed" -ge 1900 ] && [ "$elapsed" -lt 5000 ] || fail "killed-server run took $elapsed ms"
echo "ok, $elapsed ms"
