#!/usr/bin/env bash
# Plots p99 latency and the server's CPU share against room size, terminal clients (TCP)
# beside browser clients (WebSocket), as a PNG. Reads halvex-bench's JSON lines, one per
# run, as room-sizes.sh collects them; only rooms (--room N) count, and the runs of one
# size and path plot as their median.
#
#   tools/bench/plot-rooms.sh JSON-LINES-FILE PNG-FILE
set -euo pipefail
# shellcheck source=../../scripts/lib.sh
. "$(dirname "$0")/../../scripts/lib.sh"

if [ $# -ne 2 ] || [ ! -f "$1" ]; then usage; fi
lines=$1
png=$2
ensure_bench_packages
data=$(mktemp -d)
trap 'rm -rf "$data"' EXIT

# One file per path: room size, p99 in ms and server CPU in %, by size ("?" where the
# server's CPU was not measured). Lines from before the path was reported were TCP.
plots=()
for path in tcp websocket; do
    jq -rs --arg path "$path" "$jq_median"'
        map(select((.path // "tcp") == $path and .mode == "rate" and .senders == .clients))
        | group_by(.clients)[]
        | "\(.[0].clients) \(median(.latency_us_p99) / 1000) \(median(.server_cpu_pct) // "?")"' \
        "$lines" >"$data/$path"
    [ -s "$data/$path" ] || continue
    title=$([ "$path" = tcp ] && echo "terminal clients (TCP)" || echo "browser clients (WebSocket)")
    plots+=("'$data/$path' using 1:COLUMN with linespoints title '$title'")
done
if [ ${#plots[@]} -eq 0 ]; then
    echo "plot-rooms.sh: no room runs in $lines" >&2
    exit 1
fi
joined=$(IFS=,; echo "${plots[*]}")
# A tick at every size measured.
sizes=$(cut -d' ' -f1 "$data"/* | sort -nu | paste -sd, -)

gnuplot <<EOF
set terminal pngcairo size 1100,450 font ",10"
set output "$png"
set datafile missing "?"
set multiplot layout 1,2 title "Rooms: every client sends one line a second and reads every line"
set logscale x
set autoscale xfix
set xtics ($sizes)
set offsets graph 0.05, graph 0.05, 0, 0
set xlabel "clients in the room"
set grid
set key top left
set yrange [0:*]
set ylabel "p99 latency (ms)"
plot ${joined//COLUMN/2}
set ylabel "server CPU (% of one core)"
plot ${joined//COLUMN/3}
unset multiplot
EOF
echo "plot-rooms.sh: $png"
