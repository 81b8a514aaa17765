#!/usr/bin/env bash
# Starts or stops a private PulseAudio server with one null sink, for runs that need real output.
# Usage: private_pulse.sh start DIR | stop DIR. After start, DIR/env holds PULSE_SERVER and the
# sink's name for `source DIR/env`.
set -euo pipefail

command=$1
dir=$2
sink=playonce_test

start_server()
{
    mkdir -p "$dir/runtime" "$dir/state" "$dir/home"
    HOME="$dir/home" PULSE_RUNTIME_PATH="$dir/runtime" PULSE_STATE_PATH="$dir/state" \
        pulseaudio -n --daemonize=no --exit-idle-time=-1 --log-target=file:"$dir/server.log" \
        -L "module-null-sink sink_name=$sink norewinds=1" \
        -L "module-native-protocol-unix socket=$dir/socket auth-anonymous=1" \
        >/dev/null 2>&1 &
    echo $! >"$dir/pid"
    for _ in $(seq 100); do
        [ -S "$dir/socket" ] && break
        sleep 0.05
    done
    [ -S "$dir/socket" ] || { echo "private server did not start" >&2; exit 1; }
    printf 'export PULSE_SERVER=unix:%s\nexport PLAYONCE_TEST_SINK=%s\n' "$dir/socket" "$sink" \
        >"$dir/env"
}

stop_server()
{
    [ -f "$dir/pid" ] || return 0
    kill "$(cat "$dir/pid")" 2>/dev/null || true
    rm -f "$dir/pid"
}

case $command in
start) start_server ;;
stop) stop_server ;;
*) echo "usage: $0 start|stop DIR" >&2; exit 2 ;;
esac
