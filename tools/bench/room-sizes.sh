#!/usr/bin/env bash
# Measures rooms (N clients, each sending one line a second) of several sizes, through
# both paths in turns: terminal clients over TCP, then browser clients over WebSocket.
# Every run meets a fresh server (bench-server.sh; HALVEX_SERVER and HALVEX_BUILD apply)
# and appends its JSON line to FILE, which plot-rooms.sh plots.
#
#   tools/bench/room-sizes.sh --out FILE [--sizes "N N ..."] [--turns K]
#       [--duration SECONDS] [--run-timeout SECONDS] [-- MORE-HALVEX-BENCH-OPTIONS]
#
# Defaults: --sizes "100 300 1000" --turns 3 --duration 5 --run-timeout 600. Each run is
# stopped after --run-timeout seconds; its output is kept beside FILE, in FILE.runs/. It
# takes the port's lock itself (waiting at most 30 min).
set -euo pipefail
# shellcheck source=../../scripts/lib.sh
. "$(dirname "$0")/../../scripts/lib.sh"

out=
sizes="100 300 1000"
turns=3
duration=5
run_timeout=600
read_options "out sizes turns duration run-timeout" "$@"
whole_numbers turns duration run_timeout
if [ -z "$out" ] || [ "$turns" -lt 1 ] || [ "$turns" -gt 20 ]; then usage; fi
for n in $sizes; do
    [[ $n =~ ^[1-9][0-9]*$ ]] || usage
done
ensure_bench_packages
runs="$out.runs"
mkdir -p "$runs"

take_port_lock 1800
check_port
echo "room-sizes.sh: rooms of $sizes clients, TCP and WebSocket, $turns turns of" \
    "$duration s runs; JSON lines appended to $out"

for turn in $(seq "$turns"); do
    for n in $sizes; do
        for path in tcp websocket; do
            flags=()
            [ "$path" = tcp ] || flags=(--web)
            at=$(load_average)
            status=0
            json=$(bench_run "$runs/$path-$n-$turn" "$run_timeout" "${flags[@]}" --room "$n" \
                --duration "$duration" "${rest[@]}") || status=$?
            if [ -z "$json" ]; then
                printf 'turn %d  room %-5d %-9s  load %s  no result (exit %d): %s\n' "$turn" \
                    "$n" "$path" "$at" "$status" "$(tail -n 1 "$runs/$path-$n-$turn.err")"
                continue
            fi
            echo "$json" >>"$out"
            jq -r --arg turn "$turn" --arg load "$at" '
                "turn \($turn)  room \(.clients | tostring | . + " " * (5 - length)) " +
                "\(.path | . + " " * (9 - length))  load \($load)  " +
                "p99 \(.latency_us_p99 / 1000) ms  server \(.server_cpu_pct)% CPU  lost \(.lost)"' \
                <<<"$json"
        done
    done
done
