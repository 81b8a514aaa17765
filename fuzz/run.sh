#!/usr/bin/env bash
# Runs every fuzz target for SECONDS each (default 60) from its seed corpus, in a scratch copy
# so the committed seeds stay as they are. Usage: fuzz/run.sh [SECONDS] [TARGET...]
# A fuzzer keeps one processor busy: as many run at once as there are processors.
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
done
# Without the symbolizer the leak suppressions, which name functions, match nothing.
command -v llvm-symbolizer > /dev/null || {
    echo "fuzz: no llvm-symbolizer on the PATH (Debian's package llvm): the sanitizers could not" \
        "name what they report; install llvm and run this again" >&2
    exit 1
}
# libsndfile's own leaks in libvorbis are not ours to chase.
export LSAN_OPTIONS="suppressions='$PWD/tests/libbass/lsan.supp'"  # quoted for a path with spaces

fuzz() {
    local target="$1"
    cp -r "fuzz/corpus/$target" "$work/$target"
    "$build/${target}_fuzz" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=1024 \
        -print_final_stats=1 -artifact_prefix="$work/$target-" "$work/$target" \
        2> "$work/$target.log"
}

failed=0
report() {
    local target="$1" status="$2"
    echo "== ${target}_fuzz for ${seconds} s"
    if [ "$status" != 0 ]; then
        tail -40 "$work/$target.log"
        # The input that failed, kept where the scratch folder's removal does not take it.
        for artifact in "$work/$target"-*; do
            [ -e "$artifact" ] && cp "$artifact" . && echo "kept ./${artifact##*/}"
        done
        failed=1
    else
        grep -E '^#[0-9]+.*DONE|stat::number_of_executed_units|stat::average_exec_per_sec|stat::new_units_added' "$work/$target.log"
    fi
}

declare -A running=()  # process id -> target
wait_for_one() {
    local pid status=0
    wait -n -p pid "${!running[@]}" || status=$?
    report "${running[$pid]}" "$status"
    unset "running[$pid]"
}

for target in "${targets[@]}"; do
    while [ ${#running[@]} -ge "$(nproc)" ]; do wait_for_one; done
    fuzz "$target" &
    running[$!]=$target
done
while [ ${#running[@]} -gt 0 ]; do wait_for_one; done
exit "$failed"
