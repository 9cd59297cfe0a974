#!/usr/bin/env bash
# Finds the largest room (N clients, each sending one line a second) that the server
# serves: the offered lines all sent, p99 latency within the bound, nothing lost, out of
# order or dropped. Doubles N from --from until a room is not served, then bisects to
# within 5%. Every step meets a fresh server (bench-server.sh; HALVEX_SERVER and
# HALVEX_BUILD apply).
#
#   tools/bench/room-sweep.sh [--from N] [--max N] [--duration SECONDS] [--p99-ms MS]
#       [--runs K] [--run-timeout SECONDS] [-- MORE-HALVEX-BENCH-OPTIONS]
#
# Defaults: --from 250 --max 3000 --duration 5 --p99-ms 100 --runs 10 --run-timeout 600.
# At most --runs steps, each stopped after --run-timeout seconds. It takes the port's
# lock itself (waiting at most 30 min).
set -euo pipefail
# shellcheck source=../../scripts/lib.sh
. "$(dirname "$0")/../../scripts/lib.sh"

from=250
max=3000
duration=5
p99_ms=100
runs=10
run_timeout=600
read_options "from max duration p99-ms runs run-timeout" "$@"
whole_numbers from max p99_ms runs run_timeout
if [ "$from" -lt 1 ] || [ "$max" -lt "$from" ] || [ "$runs" -lt 1 ] || [ "$runs" -gt 30 ]; then
    usage
fi
ensure_bench_packages
outputs=$(mktemp -d)
trap 'rm -rf "$outputs"' EXIT

take_port_lock 1800
check_port
echo "room-sweep.sh: rooms from $from to at most $max clients, p99 at most $p99_ms ms," \
    "$duration s each, at most $runs runs of at most $run_timeout s"

# Runs a room of $1 clients, with the further bench options behind it; true when it was
# served.
served() {
    local n=$1 json verdict status=0
    shift
    json=$(bench_run "$outputs/room-$n" "$run_timeout" --room "$n" --duration "$duration" \
        "$@") || status=$?
    # Exit status 2: the server did not start or the run could not be made, which says
    # nothing about the room; a run stopped by its time-out did not serve it.
    if [ -z "$json" ] && [ "$status" -eq 2 ]; then
        echo "room-sweep.sh: room $n could not be run; stopping" >&2
        exit 2
    fi
    if [ -z "$json" ]; then
        echo "room $n: no result (exit $status): NOT served"
        return 1
    fi
    verdict=$(jq -r --argjson n "$n" --argjson bound "$((p99_ms * 1000))" '
        if .lost == 0 and .out_of_order == 0 and .clients_dropped == 0 and
           .latency_us_p99 <= $bound and .sent_per_s >= 0.95 * $n
        then "served" else "NOT served" end' <<<"$json")
    jq -r --arg load "$(load_average)" --arg verdict "$verdict" '
        "room \(.clients): \(.sent_per_s) lines/s sent, \(.delivered_per_s | round) deliveries/s," +
        " p50 \(.latency_us_p50 / 1000) ms, p99 \(.latency_us_p99 / 1000) ms, lost \(.lost)," +
        " dropped \(.clients_dropped), server \(.server_cpu_pct)% CPU, bench \(.bench_cpu_pct)%," +
        " admission \(.admission_s) s, load \($load): \($verdict)"' <<<"$json"
    [ "$verdict" = served ]
}

good=0   # the largest room served so far
bad=0    # the smallest room not served so far; 0 while none failed
n=$from
for _ in $(seq "$runs"); do
    if served "$n" "${rest[@]}"; then
        good=$n
    else
        bad=$n
    fi
    if [ "$bad" = 0 ]; then
        [ "$good" -lt "$max" ] || break
        n=$((2 * good < max ? 2 * good : max))
    else
        # Close enough: within 5% (or 10 clients) of the largest served.
        [ $((bad - good)) -gt $((good / 20 > 10 ? good / 20 : 10)) ] || break
        n=$(((good + bad) / 2))
    fi
done
if [ "$good" = 0 ]; then
    echo "room-sweep.sh: no room tried was served (smallest tried: $bad clients)"
    exit 1
fi
echo "room-sweep.sh: largest room served: $good clients$([ "$bad" = 0 ] || echo " (not served: $bad)")"
