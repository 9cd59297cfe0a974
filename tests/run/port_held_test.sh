#!/usr/bin/env bash
# `./run test` while a server started by hand holds port 6112 ends at once, before building
# anything, naming the program that holds the port and how to stop it.
# Usage: port_held_test.sh REPOSITORY SERVER_BINARY
set -euo pipefail
repository=$1
server_binary=$2

# Other checkouts' runs take their turn with the port; ./run inherits the lock from here.
exec 9>>/tmp/halvex-port6112.lock
flock 9
"$server_binary" </dev/null >/dev/null 2>&1 &
server=$!
trap 'kill "$server" 2>/dev/null; wait "$server" 2>/dev/null || true' EXIT
for _ in $(seq 100); do
    grep -q ':17E0 00000000:0000 0A' /proc/net/tcp && break
    sleep 0.1
done

started=$(date +%s%N)
status=0
# The bound only stops a hang; how long it took is reported, not judged.
output=$(timeout 120 "$repository/run" test 2>&1) || status=$?
elapsed_ms=$((($(date +%s%N) - started) / 1000000))
echo "$output"
echo "./run test ended with status $status after $elapsed_ms ms"

failed=0
expect() {
    if ! grep -qF -- "$1" <<<"$output"; then
        echo "FAILED: the output lacks: $1"
        failed=1
    fi
}
if [ "$status" -eq 0 ] || [ "$status" -eq 124 ]; then
    echo "FAILED: status $status"
    failed=1
fi
expect "./run test: port 6112 is already in use"
expect "held by process $server: $server_binary"
expect "Ctrl+C in the terminal where it runs"
if grep -q "Executing workflow" <<<"$output"; then
    echo "FAILED: it went on to build and test"
    failed=1
fi
exit $failed
