#!/usr/bin/env bash
# Builds the libFuzzer targets (clang 14) and runs each for SECONDS (default 60),
# starting from its seed corpus and every input that once crashed it. Inputs that
# crash are kept under build-fuzz/crashes/; fix the fault, then add the input to
# fuzz/regressions/TARGET/ so that the replay test keeps it fixed.
set -euo pipefail
seconds=${1:-60}
cd "$(dirname "$0")/.."
# shellcheck source=packages.sh
source scripts/packages.sh
scripts/ensure-packages "${build_packages[@]}" clang-14 libclang-rt-14-dev

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

crashes=build-fuzz/crashes
mkdir -p "$crashes"
# What a run learns stays out of the repository; the seeds there stay small.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Every target has its seed corpus in fuzz/corpus/TARGET. The longest input each tries:
# a little past the largest body, or past the bound on a request head.
declare -A max_len=([packet-body]=8200 [byte-stream]=10000 [websocket-stream]=10000
    [http-request]=9000)
status=0
for corpus in fuzz/corpus/*/; do
    target=$(basename "$corpus")
    inputs=("fuzz/corpus/$target")
    [[ -d fuzz/regressions/$target ]] && inputs+=("fuzz/regressions/$target")
    mkdir -p "$work/$target"
    log=build-fuzz/fuzz-$target.log
    echo "fuzz-$target: ${seconds} s"
    if "./build-fuzz/fuzz/fuzz-$target" -max_total_time="$seconds" -max_len="${max_len[$target]:-10000}" \
        -timeout=10 -print_final_stats=1 -artifact_prefix="$crashes/$target-" \
        "$work/$target" "${inputs[@]}" >"$log" 2>&1; then
        grep -E '^(Done|stat::number_of_executed_units|stat::peak_rss_mb)' "$log" || true
        corpus=("$work/$target"/*)
        echo "fuzz-$target: no crash; corpus grew to ${#corpus[@]} inputs"
    else
        status=1
        tail -n 60 "$log"
        echo "fuzz-$target: FAILED; crashing input in $crashes/"
    fi
done
exit $status
