#!/usr/bin/env bash
# Valgrind memcheck, in three parts:
#  1. the test programs that run the server in their own process (unit and loopback
#     tests, the fuzz replays and a short churn): each must end with no memory error and
#     no leaked block. The descriptor exhaustion test is left to the sanitizer build:
#     valgrind keeps descriptors of its own and does not let a program lower its limit
#     the way that test does;
#  2. the end-to-end tests, with every server they start under memcheck too. They end
#     some servers with SIGKILL, which leaves no summary, so a log passes when it holds
#     no error report at all (every report carries a stack trace);
#  3. the real halvex-server, driven through a churn of clients from another process.
#     The server has no orderly exit, so it is ended with SIGTERM, on which valgrind
#     still reports; the log must show no error and no lost block, and the server must
#     hold as many descriptors after the churn as before it.
# Usage: scripts/memcheck.sh [CONNECTIONS]   (clients in each churn, default 1000)
set -euo pipefail
connections=${1:-1000}
cd "$(dirname "$0")/.."
scripts/check-port memcheck.sh
source scripts/packages.sh
scripts/ensure-packages "${build_packages[@]}" "${test_packages[@]}" valgrind

cmake --preset test >/dev/null
cmake --build --preset test

logs=build/memcheck
rm -rf "$logs"
mkdir -p "$logs"
memcheck=(valgrind --tool=memcheck --error-exitcode=99 --leak-check=full
          --show-leak-kinds=definite,indirect --errors-for-leak-kinds=definite,indirect
          --num-callers=30)
status=0

check() {
    local name=$1
    shift
    echo "memcheck: $name"
    local start=$SECONDS
    if "${memcheck[@]}" --log-file="$logs/$name.log" "$@" >"$logs/$name.out" 2>&1; then
        grep -h -e "ERROR SUMMARY" "$logs/$name.log"
        grep -h "^churn:" "$logs/$name.out" || true
        echo "memcheck: $name passed in $((SECONDS - start)) s"
    else
        status=1
        tail -n 40 "$logs/$name.out" "$logs/$name.log"
        echo "memcheck: $name FAILED"
    fi
}

check unit-tests build/tests/halvex-tests
check replay-packet-body build/fuzz/replay-packet-body fuzz/corpus/packet-body
check replay-byte-stream build/fuzz/replay-byte-stream fuzz/corpus/byte-stream
export HALVEX_SOAK_CONNECTIONS=$connections HALVEX_SOAK_CONCURRENCY=50
check churn-in-process build/tests/hardening/halvex-soak

echo "memcheck: e2e-tests"
start=$SECONDS
if ! "${memcheck[@]}" --trace-children=yes --log-file="$logs/e2e.%p.log" \
    build/tests/halvex-e2e-tests >"$logs/e2e.out" 2>&1; then
    status=1
    tail -n 40 "$logs/e2e.out"
    echo "memcheck: e2e-tests FAILED"
fi
if grep -l -E '^==[0-9]+==    (at|by) 0x' "$logs"/e2e.*.log; then
    status=1
    echo "memcheck: e2e-tests FAILED: errors in the logs above"
else
    echo "memcheck: e2e-tests and the $(ls "$logs"/e2e.*.log | wc -l) processes they ran passed in $((SECONDS - start)) s"
fi

# The real server listens on the fixed port, which people on this machine share.
echo "memcheck: halvex-server"
exec 9>/tmp/halvex-port6112.lock
flock 9
"${memcheck[@]}" --log-file="$logs/server.log" build/app/halvex-server 9>&- \
    </dev/null >"$logs/server.out" 2>&1 &
server=$!
for _ in $(seq 600); do
    grep -q 'Listening on port 6112' "$logs/server.out" 2>/dev/null && break
    kill -0 $server 2>/dev/null || break
    sleep 0.1
done
if ! grep -q 'Listening on port 6112' "$logs/server.out"; then
    echo "memcheck: halvex-server did not start"
    cat "$logs/server.out"
    kill $server 2>/dev/null || true
    exit 1
fi
descriptors() { ls /proc/$server/fd | wc -l; }
before=$(descriptors)
if ! HALVEX_SOAK_TARGET=127.0.0.1:6112 build/tests/hardening/halvex-soak \
    >"$logs/server-churn.out" 2>&1; then
    status=1
    tail -n 40 "$logs/server-churn.out"
    echo "memcheck: churn against halvex-server FAILED"
fi
grep -h '^churn:' "$logs/server-churn.out" || true
# Closes that the server has yet to notice are given a moment.
for _ in $(seq 100); do
    [[ $(descriptors) -eq $before ]] && break
    sleep 0.1
done
after=$(descriptors)
kill -TERM $server
wait $server || true
flock -u 9
echo "memcheck: halvex-server held $before descriptors before the churn, $after after"
grep -h -E 'ERROR SUMMARY|definitely lost|indirectly lost' "$logs/server.log" || true
if [[ $after -ne $before ]] || ! grep -q 'ERROR SUMMARY: 0 errors' "$logs/server.log"; then
    status=1
    tail -n 60 "$logs/server.log"
    echo "memcheck: halvex-server FAILED"
fi
exit $status
