#!/usr/bin/env bash
# Tuning figures: start latency, wall time beyond the length, missing samples and peak RSS of a
# player against paplay, on a private null sink, as medians of N runs of a 1 s WAV.
# Usage: measure_latency.sh BUILD_DIR [RUNS] [FRAGMENT_MS...]. The recorder's fragment size sets
# the null sink's latency: 50 ms is parec's default, 1 ms brings the sink close to real time.
set -euo pipefail

build=$1
runs=${2:-9}
shift $(($# >= 2 ? 2 : 1))
fragments=("${@:-50}")
here=$(cd "$(dirname "$0")" && pwd)
probe=$build/tests/libbass/sink_probe
player=$build/playonce
[ -x "$player" ] || player=$build/tests/libbass/bass_driver
work=$(mktemp -d)
trap 'bash "$here/private_pulse.sh" stop "$work/server"; rm -rf "$work"' EXIT

bash "$here/private_pulse.sh" start "$work/server"
source "$work/server/env"
"$probe" make "$work/one.wav" 1

# Prints the median of each figure over the runs of one command.
medians()
{
    for run in $(seq "$runs"); do
        "$probe" run "$PLAYONCE_TEST_SINK.monitor" "$work/one.wav" "$@" "$work/one.wav"
    done | /usr/bin/python3 -c '
import statistics, sys
rows = [dict(f.split("=") for f in line.split() if "=" in f) for line in sys.stdin]
for key in ("start_ms", "overhead_ms", "exit_after_last_ms", "missing", "rss_kb", "cpu_ms"):
    values = [float(r[key]) for r in rows]
    print(f"  {key:>18}: median {statistics.median(values):8.1f}   max {max(values):8.1f}")'
}

for fragment in "${fragments[@]}"; do
    export SINK_PROBE_FRAGMENT_MS=$fragment
    echo "recorder fragment $fragment ms, $runs runs each"
    echo " $(basename "$player"):"
    medians "$player"
    echo " paplay:"
    medians paplay
done
