#!/usr/bin/env bash
# Starts the built server, waits until it listens, runs halvex-bench against it with the
# given options and the server's process id, then stops the server.
#
#   tools/bench/bench-server.sh HALVEX-BENCH-OPTIONS
#
# With --clients 0 --duration SECONDS halvex-bench measures the server alone: the floor
# that every idle figure is measured against. The server listens for browsers on port
# 8080 as well, so --web measures their path.
# HALVEX_BUILD names the build directory (default build); HALVEX_SERVER the server binary
# (default: the one in that build).
# Run it under the port's lock: flock /tmp/halvex-port6112.lock tools/bench/bench-server.sh ...
set -euo pipefail
# shellcheck source=../../scripts/lib.sh
. "$(dirname "$0")/../../scripts/lib.sh"
[ $# -gt 0 ] || usage
build=${HALVEX_BUILD:-build}
server_binary=${HALVEX_SERVER:-$build/app/halvex-server}
# The server and the benchmark each hold a descriptor per client.
ulimit -n "$(ulimit -Hn)" 2>/dev/null || [ "$(ulimit -n)" -ge 4096 ] || ulimit -n 4096
check_port

# Every relayed line is a console line: a terminal would slow the server down, a file
# in /tmp does not. The server is waited for when it is stopped, so that the port is
# free again for the next run.
console=$(mktemp)
trap 'stop_server; rm -f "$console"' EXIT
trap 'exit 143' TERM INT
start_server "$console" 10 "$server_binary" || exit 2
"$build/tools/bench/halvex-bench" --server-pid "$server_pid" "$@"
