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
here=$(cd "$(dirname "$0")" && pwd)
. "$here/port-lock.sh"

turns=3
floor=0
run_timeout=2400
out=
names=()
binaries=()
while [ $# -gt 0 ]; do
    case $1 in
    --turns) turns=$2; shift 2 ;;
    --floor) floor=$2; shift 2 ;;
    --run-timeout) run_timeout=$2; shift 2 ;;
    --out) out=$2; shift 2 ;;
    --server)
        [[ $2 == ?*=?* ]] || usage
        names+=("${2%%=*}")
        binaries+=("$(realpath "${2#*=}")")
        shift 2 ;;
    --) shift; break ;;
    *) usage ;;
    esac
done
workload=("$@")
if [ ${#names[@]} -lt 1 ] || [ "$turns" -lt 1 ] || [ "$turns" -gt 20 ]; then usage; fi
if [ ${#workload[@]} -eq 0 ] && [ "$floor" = 0 ]; then usage; fi
for binary in "${binaries[@]}"; do
    [ -x "$binary" ] || { echo "compare.sh: not an executable: $binary" >&2; exit 2; }
done
require_jq
out=${out:-$(mktemp -d /tmp/halvex-compare.XXXXXX)}
mkdir -p "$out"

take_port_lock 1800
"$here/../../scripts/check-port" "$(basename "$0")" || exit 2
per_run=$((run_timeout + ${floor%.*} + 10))
echo "compare.sh: ${#names[@]} servers, $turns turns, at most $((turns * ${#names[@]} * per_run)) s;" \
    "workload: ${workload[*]:-none}; output in $out"

load() { cut -d' ' -f1-3 /proc/loadavg; }

# One run of bench-server.sh with the given options against server number $1, its output
# kept as $out/NAME-TURN-KIND; prints its JSON line, if any, and returns its exit status.
run() {
    local index=$1 kind=$2
    shift 2
    local file="$out/${names[$index]}-$turn-$kind" status=0
    HALVEX_SERVER=${binaries[$index]} timeout --kill-after=10 "$run_timeout" \
        "$here/bench-server.sh" "$@" >"$file.out" 2>"$file.err" 9>&- || status=$?
    grep '^{' "$file.out" | tail -n 1 || true
    return $status
}

for turn in $(seq "$turns"); do
    for index in "${!names[@]}"; do
        name=${names[$index]}
        if [ "$floor" != 0 ]; then
            at=$(load)
            json=$(run "$index" floor --idle-floor "$floor") || true
            printf 'turn %d  %-10s  load %s  floor: server %s%% of one core, %s KiB\n' \
                "$turn" "$name" "$at" \
                "$(jq -r .server_cpu_pct <<<"${json:-null}")" "$(jq -r .server_rss_kib <<<"${json:-null}")"
        fi
        [ ${#workload[@]} -gt 0 ] || continue
        at=$(load)
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
        grep -h '^{' "${files[@]}" | jq -rs --arg name "$name" --arg kind "$kind" '
            def median(f): map(f | select(. != null)) | sort |
                if length == 0 then null
                elif length % 2 == 1 then .[length / 2 | floor]
                else (.[length / 2 - 1] + .[length / 2]) / 2 end;
            if $kind == "floor" then
                "\($name | . + " " * (10 - length))  floor: server \(median(.server_cpu_pct))% of one core"
            else
                "\($name | . + " " * (10 - length))  \(median(.delivered_per_s) | round) deliveries/s" +
                "  p99 \(median(.latency_us_p99) / 1000) ms  server \(median(.server_cpu_pct))% CPU" +
                "  \(median(.server_rss_per_client_kib)) KiB/client  admission \(median(.admission_s)) s"
            end'
    done
done
