#!/usr/bin/env bash
# Starts the built server with its console lines discarded, runs halvex-bench against it
# with the given options and the server's process id, then stops the server.
# Run it under the port's lock: flock /tmp/halvex-port6112.lock tools/bench/bench-server.sh ...
set -euo pipefail
build=${HALVEX_BUILD:-build}
# The server and the benchmark each hold a descriptor per client.
[ "$(ulimit -n)" -ge 4096 ] || ulimit -n 4096
# Every relayed line is a console line: printing them would be measured too.
"$build/app/halvex-server" >/dev/null 2>&1 </dev/null &
server=$!
trap 'kill "$server" 2>/dev/null || true' EXIT
sleep 0.5
if ! kill -0 "$server" 2>/dev/null; then
    echo "bench-server.sh: the server did not start; is port 6112 taken?" >&2
    exit 2
fi
"$build/tools/bench/halvex-bench" --server-pid "$server" "$@"
