#!/usr/bin/env bash
# Runs one halvex-bench workload against two or more server binaries in turns (a, b, a,
# b, ...), each server started fresh by bench-server.sh, and prints one line per run with
# the machine's load average, then the median of each server. Other work on the machine
# moves the figures a lot; taking turns spreads it over all servers alike.
#
#   tools/bench/compare.sh [--turns K] [--floor SECONDS] [--run-timeout SECONDS] [--out DIR]
#       --server NAME=BINARY --server NAME=BINARY ... [-- HALVEX-BENCH-OPTIONS]
#
# --floor SECONDS also measures, in every turn, each server's CPU share with no client at
# all: the floor that every idle figure is measured against. Without bench options only
# the floor is measured. It takes the port's lock itself (waiting at most 30 min).
# Each run is stopped after --run-timeout seconds (default 2400). The output of every run
# is kept in --out (default: a new directory under /tmp).
set -euo pipefail
# shellcheck source=../../scripts/lib.sh
. "$(dirname "$0")/../../scripts/lib.sh"

turns=3
floor=0
run_timeout=2400
out=
server=()  # NAME=BINARY, each
read_options "turns floor run-timeout out server" "$@"
workload=("${rest[@]}")
whole_numbers turns run_timeout
if [ ${#server[@]} -lt 1 ] || [ "$turns" -lt 1 ] || [ "$turns" -gt 20 ]; then usage; fi
if [ ${#workload[@]} -eq 0 ] && [ "$floor" = 0 ]; then usage; fi
names=()
binaries=()
for named in "${server[@]}"; do
    [[ $named == ?*=?* ]] || usage
    names+=("${named%%=*}")
    binaries+=("$(realpath "${named#*=}")")
done
for binary in "${binaries[@]}"; do
    [ -x "$binary" ] || { echo "compare.sh: not an executable: $binary" >&2; exit 2; }
done
ensure_bench_packages
out=${out:-$(mktemp -d /tmp/halvex-compare.XXXXXX)}
mkdir -p "$out"

take_port_lock 1800
check_port
per_run=$((run_timeout + ${floor%.*} + 10))
echo "compare.sh: ${#names[@]} servers, $turns turns, at most $((turns * ${#names[@]} * per_run)) s;" \
    "workload: ${workload[*]:-none}; output in $out"

# One run against server number $1, its output kept as $out/NAME-TURN-KIND ($2); prints
# its JSON line, if any, and returns its exit status.
run() {
    local index=$1 kind=$2
    shift 2
    HALVEX_SERVER=${binaries[$index]} bench_run "$out/${names[$index]}-$turn-$kind" \
        "$run_timeout" "$@"
}

for turn in $(seq "$turns"); do
    for index in "${!names[@]}"; do
        name=${names[$index]}
        if [ "$floor" != 0 ]; then
            at=$(load_average)
            json=$(run "$index" floor --clients 0 --duration "$floor") || true
            printf 'turn %d  %-10s  load %s  floor: server %s%% of one core, %s KiB\n' \
                "$turn" "$name" "$at" \
                "$(jq -r .server_cpu_pct <<<"${json:-null}")" "$(jq -r .server_rss_kib <<<"${json:-null}")"
        fi
        [ ${#workload[@]} -gt 0 ] || continue
        at=$(load_average)
        status=0
        json=$(run "$index" bench "${workload[@]}") || status=$?
        if [ -z "$json" ]; then
            printf 'turn %d  %-10s  load %s  no result (exit %d): %s\n' "$turn" "$name" "$at" \
                "$status" "$(tail -n 1 "$out/$name-$turn-bench.err")"
            continue
        fi
        jq -r --arg turn "$turn" --arg name "$name" --arg load "$at" --arg status "$status" '
            def ms: . / 1000 * 100 | round / 100;
            "turn \($turn)  \($name | . + " " * (10 - length))  load \($load)  " +
            "\(.delivered_per_s | round) deliveries/s  p50 \(.latency_us_p50 | ms) ms" +
            "  p99 \(.latency_us_p99 | ms) ms  lost \(.lost)  server \(.server_cpu_pct)% CPU" +
            "  \(.server_rss_kib) KiB (\(.server_rss_per_client_kib) KiB/client)" +
            "  admission \(.admission_s) s  exit \($status)"' <<<"$json"
    done
done

# The median run of each server, from the kept JSON lines.
echo "medians over $turns turns:"
for name in "${names[@]}"; do
    for kind in floor bench; do
        files=("$out/$name"-*-"$kind".out)
        [ -e "${files[0]}" ] || continue
        grep -h '^{' "${files[@]}" | jq -rs --arg name "$name" --arg kind "$kind" "$jq_median"'
            if $kind == "floor" then
                "\($name | . + " " * (10 - length))  floor: server \(median(.server_cpu_pct))% of one core"
            else
                "\($name | . + " " * (10 - length))  \(median(.delivered_per_s) | round) deliveries/s" +
                "  p99 \(median(.latency_us_p99) / 1000) ms  server \(median(.server_cpu_pct))% CPU" +
                "  \(median(.server_rss_per_client_kib)) KiB/client  admission \(median(.admission_s)) s"
            end'
    done
done
