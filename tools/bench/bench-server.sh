#!/usr/bin/env bash
# Starts the built server with its console lines discarded, runs halvex-bench against it
# with the given options and the server's process id, then stops the server.
#   --idle-floor SECONDS  instead: no client at all, the server's own CPU share over that
#                         long, as one JSON line; every idle figure is measured against it.
# HALVEX_BUILD names the build directory (default build); HALVEX_SERVER the server binary
# (default: the one in that build).
# Run it under the port's lock: flock /tmp/halvex-port6112.lock tools/bench/bench-server.sh ...
set -euo pipefail
build=${HALVEX_BUILD:-build}
server_binary=${HALVEX_SERVER:-$build/app/halvex-server}
# The server and the benchmark each hold a descriptor per client.
ulimit -n "$(ulimit -Hn)" 2>/dev/null || [ "$(ulimit -n)" -ge 4096 ] || ulimit -n 4096
here=$(cd "$(dirname "$0")" && pwd)
"$here/../../scripts/check-port" bench-server.sh || exit 2
# Every relayed line is a console line: printing them would be measured too. The server
# is waited for when it is stopped, so that the port is free again for the next run.
server=
trap '[ -z "$server" ] || { kill "$server" 2>/dev/null; wait "$server" 2>/dev/null; } || true' EXIT
trap 'exit 143' TERM INT
errors=$(mktemp)
"$server_binary" >/dev/null 2>"$errors" </dev/null &
server=$!
sleep 0.5
if ! kill -0 "$server" 2>/dev/null; then
    server=
    echo "bench-server.sh: the server did not start: $(cat "$errors")" >&2
    rm -f "$errors"
    exit 2
fi
rm -f "$errors"

# CPU seconds (user and system) of the server so far. The command name in parentheses
# comes first; utime and stime are the 12th and 13th fields behind it.
cpu_ticks() {
    local stat fields
    read -r stat <"/proc/$server/stat"
    read -r -a fields <<<"${stat##*) }"
    echo $((fields[11] + fields[12]))
}

if [ "${1:-}" = --idle-floor ]; then
    seconds=${2:?--idle-floor needs SECONDS}
    before=$(cpu_ticks)
    start=$(date +%s.%N)
    sleep "$seconds"
    after=$(cpu_ticks)
    end=$(date +%s.%N)
    rss=$(awk '/^VmRSS:/ { print $2 }' "/proc/$server/status")
    awk -v ticks=$((after - before)) -v hz="$(getconf CLK_TCK)" -v from="$start" -v to="$end" \
        -v rss="$rss" 'BEGIN {
            printf "{\"idle_floor_s\":%.1f,\"server_cpu_pct\":%.2f,\"server_rss_kib\":%d}\n",
                to - from, 100 * ticks / hz / (to - from), rss }'
    exit 0
fi
"$build/tools/bench/halvex-bench" --server-pid "$server" "$@"
