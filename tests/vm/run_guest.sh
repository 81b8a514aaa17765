#!/bin/sh
# A test boot's job, run by the guest's init from the job disk at /job: runs each line of
# /job/cases with the 32-bit wine and writes what each run did under /job/results, for the host.
# A case line is KIND|FOLDER|SINK|ARGUMENT: KIND quiet, device (the recording winmm.dll), sink
# (Wine's winmm into the null sink of SINK's RATE:CHANNELS, recorded; traced: the same with Wine's
# trace), or a fault of the sound server (frozen-start, frozen-mid, killed-mid); SINK and
# ARGUMENT "-" for none.
results=/job/results
mkdir -p "$results"
exec >"$results/guest.log" 2>&1

export HOME=/root LC_ALL=C.UTF-8 WINEARCH=win32 WINEPREFIX=/root/prefix WINEDEBUG=-all
export PULSE_RUNTIME_PATH=/tmp/pulse PULSE_STATE_PATH=/tmp/pulse XDG_RUNTIME_DIR=/tmp/pulse
export PULSE_SERVER=unix:/tmp/pulse/native
quiet_overrides="mscoree,mshtml,winemenubuilder.exe=d"
# Six channels in the order of a WAVE file's 5.1: the server's own default for six is ALSA's,
# which would reorder the columns the checks compare.
SIX_CHANNELS=front-left,front-right,front-center,lfe,rear-left,rear-right
mkdir -p -m 700 /tmp/pulse

say() {  # into the log, and onto the console the host keeps
    echo "$@"
    echo "$@" >/dev/console
}

now_ms() { echo $(($(date +%s%N) / 1000000)); }

start_server() {
    set --
    for spec in $(cat /job/sinks); do  # RATE:CHANNELS, one null sink each
        map=
        [ "${spec#*:}" = 6 ] && map=" channel_map=$SIX_CHANNELS"
        set -- "$@" -L "module-null-sink sink_name=s$(echo "$spec" | tr : _) norewinds=1 \
rate=${spec%:*} channels=${spec#*:} format=s16le$map"
    done
    # No memfd: Wine's 32-bit client registers none, and the server logs each block it copies.
    pulseaudio -n --daemonize=no --system=no --exit-idle-time=-1 --disallow-exit \
        --use-pid-file=no --log-target=stderr --log-level=error --enable-memfd=no "$@" \
        -L "module-native-protocol-unix socket=/tmp/pulse/native auth-anonymous=1" </dev/null &
    server=$!
    for _ in $(seq 100); do
        pactl info >/dev/null 2>&1 && return 0
        sleep 0.2
    done
    echo "the sound server did not start"
}

tree_picture() {
    find /job/media /job/release -printf '%p %y %s %m %i %n %T@ %C@\n' | sort >"$1"
}

# Runs the release's playonce.exe (or the device folder's) on the case's argument, bounded.
play() {
    if [ "$argument" = - ]; then
        timeout 120 wine "$program" </dev/null >"$out/stdout" 2>"$out/stderr"
    else
        timeout 120 wine "$program" "$argument" </dev/null >"$out/stdout" 2>"$out/stderr"
    fi
    echo $? >"$out/status"
}

timed_play() {
    started=$(now_ms)
    play
    echo $(($(now_ms) - started)) >"$out/wall_ms"
}

record() {  # the monitor of the case's sink, in the sink's own channel order
    spec=$sink
    set --
    [ "${spec#*:}" = 6 ] && set -- --channel-map="$SIX_CHANNELS"
    parec -d "s$(echo "$spec" | tr : _).monitor" --raw --format=s16le --rate="${spec%:*}" \
        --channels="${spec#*:}" "$@" --latency-msec=20 "$out/capture.raw" </dev/null &
    recorder=$!
    sleep 0.5
}

stop_recording() {
    sleep 1  # the monitor lags the sink
    kill "$recorder" 2>/dev/null
    wait "$recorder" 2>/dev/null
}

heard_anything() {
    [ "$(tr -d '\000' <"$out/capture.raw" 2>/dev/null | head -c 1 | wc -c)" -gt 0 ]
}

# The server's streams while the player runs: whether Wine's driver ever opened one.
watch_streams() {
    while kill -0 "$1" 2>/dev/null; do
        pactl list short sink-inputs >>"$out/streams" 2>&1
        sleep 0.3
    done
    wait "$1"
}

desktop_up() {  # Wine's explorer among the guest's processes
    for cmdline in /proc/[0-9]*/cmdline; do
        tr '\0' ' ' 2>/dev/null <"$cmdline" | grep -q 'explorer\.exe' && return 0
    done
    return 1
}

play_into_sink() {
    record
    timed_play &
    watch_streams $!
    stop_recording
}

# A fault some time into the play: 0.3 s after the first sound is heard (or the player's end).
fault_mid_play() {
    timed_play &
    player=$!
    while kill -0 "$player" 2>/dev/null && ! heard_anything; do
        sleep 0.1
    done
    sleep 0.3
    kill "-$1" "$server"
    echo "$(now_ms)" >"$out/fault_ms"
    wait "$player"
}

run_case() {
    out="$results/$folder"
    mkdir -p "$out"
    program=/job/release/playonce.exe
    export WINEDLLOVERRIDES="$quiet_overrides" WINEDEBUG=-all
    unset PLAYONCE_DEVICE_RECORD
    # Wine's driver plays to the server's default sink, whatever PULSE_SINK says.
    [ "$sink" != - ] && pactl set-default-sink "s$(echo "$sink" | tr : _)"
    # Wine's sound driver keeps only a few ms queued at the server; under emulation its timer
    # thread runs late often enough to drain that: 200 ms ride it out, mostly (one 3 s run in
    # 20 still had a gap, hence the sink cases' second play). With 500 ms every run lost its
    # last quarter second: Wine ends the stream with that much still at the server.
    export PULSE_LATENCY_MSEC=200
    case "$kind" in
    quiet)
        tree_picture "$out/before"
        timed_play
        tree_picture "$out/after" ;;
    device)
        program=/job/device/playonce.exe
        export WINEDLLOVERRIDES="$quiet_overrides;winmm=n"
        export PLAYONCE_DEVICE_RECORD="Z:\\job\\results\\$folder\\device.raw"
        timed_play ;;
    sink)
        play_into_sink
        # Played once more, for the check's second try (under Wine alone, as in the real-audio
        # suite: its sound driver may leave a gap).
        out="$out/again"
        mkdir -p "$out"
        play_into_sink ;;
    traced)  # the same, with Wine's trace of winmm and its sound driver, for the eye
        record
        WINEDEBUG=+timestamp,+winmm,+pulse timed_play
        stop_recording ;;
    frozen-start)
        kill -STOP "$server"
        timed_play
        kill -CONT "$server" ;;
    frozen-mid)
        record
        fault_mid_play STOP
        kill -CONT "$server"
        stop_recording ;;
    killed-mid)
        record
        fault_mid_play KILL
        wait "$server"
        stop_recording
        start_server ;;
    esac
    say "$folder $kind: status $(cat "$out/status") in $(cat "$out/wall_ms") ms"
}

boot_ms=$(cut -d' ' -f1 /proc/uptime)
say "booted: $boot_ms s"
start_server
wineserver -p </dev/null  # one server for every run, as a desktop session keeps one
# No display here: Wine's null graphics driver lets winmm make its message window, which
# its devices need (without it explorer fails to start and waveOutGetNumDevs never answers).
wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f </dev/null >/dev/null 2>&1
# The desktop and COM service kept up for every case, as a desktop session keeps them.
started=$(now_ms)
wine /job/session_keeper.exe </dev/null >/dev/null 2>&1 &
for _ in $(seq 300); do
    desktop_up && break
    sleep 0.2
done
say "desktop: $(($(now_ms) - started)) ms"
started=$(now_ms)
wine cmd /c exit </dev/null >/dev/null 2>&1
say "warm-up: $(($(now_ms) - started)) ms"
started=$(now_ms)
wine cmd /c exit </dev/null >/dev/null 2>&1
echo $(($(now_ms) - started)) >"$results/wine_start_ms"  # what starting any program costs
while IFS='|' read -r kind folder sink argument; do
    run_case
done </job/cases
wineserver -k
kill "$server" 2>/dev/null
say "done: $(cut -d' ' -f1 /proc/uptime) s"
echo complete >"$results/complete"
