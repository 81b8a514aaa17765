#!/usr/bin/env bash
# Runs every fuzz target for SECONDS each (default 60) from its seed corpus, in a scratch copy
# so the committed seeds stay as they are. Usage: fuzz/run.sh [SECONDS] [TARGET...]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(tokenizer probe library headers mp3)

build=build/fuzz/fuzz
work=$(mktemp -d /tmp/playonce-fuzz-XXXXXX)
trap 'rm -rf "$work"' EXIT
for target in "${targets[@]}"; do
    [ -x "$build/${target}_fuzz" ] || { echo "no $build/${target}_fuzz: build the fuzz preset" >&2; exit 1; }
    cp -r "fuzz/corpus/$target" "$work/$target"
    # libsndfile's own leaks in libvorbis are not ours to chase.
    export LSAN_OPTIONS="suppressions='$PWD/tests/libbass/lsan.supp'"  # quoted for a path with spaces
    echo "== ${target}_fuzz for ${seconds} s"
    "$build/${target}_fuzz" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=1024 \
        -print_final_stats=1 "$work/$target" 2> "$work/$target.log" || { tail -40 "$work/$target.log"; exit 1; }
    grep -E '^#[0-9]+.*DONE|stat::number_of_executed_units|stat::average_exec_per_sec|stat::new_units_added' "$work/$target.log"
done
