#!/usr/bin/env bash
# Valgrind memcheck, in three parts:
#  1. the test programs that run the server in their own process (unit and loopback
#     tests, the fuzz replays and a short churn): each must end with no memory error and
#     no leaked block. The descriptor exhaustion test is left to the sanitizer build:
#     valgrind keeps descriptors of its own and does not let a program lower its limit
#     the way that test does;
#  2. the end-to-end tests, with every server they start under memcheck too. A log
#     with a summary must count no error; the tests end some servers with SIGKILL,
#     which leaves no summary, so such a log passes when it holds no error report at
#     all (every report carries a stack trace). The stack valgrind shows for a server
#     ended by SIGTERM is no error report, and its summary follows;
#  3. the real halvex-server, driven through a churn of clients from another process.
#     The server has no orderly exit, so it is ended with SIGTERM, on which valgrind
#     still reports; the log must show no error and no lost block, and the server must
#     hold as many descriptors after the churn as before it.
# Usage: scripts/memcheck.sh [CONNECTIONS]   (clients in each churn, default 1000)
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=lib.sh
source scripts/lib.sh
read_options "" "$@"
[ ${#rest[@]} -le 1 ] || usage
connections=${rest[0]:-1000}
whole_numbers connections
scripts/check-port memcheck.sh
# shellcheck source=packages.sh
source scripts/packages.sh
scripts/ensure-packages "${build_packages[@]}" "${test_packages[@]}" valgrind

cmake --preset test >/dev/null
cmake --build --preset test

logs=build/memcheck
rm -rf "$logs"
mkdir -p "$logs"
memcheck=(valgrind --tool=memcheck --error-exitcode=99 --leak-check=full
          "--show-leak-kinds=definite,indirect" "--errors-for-leak-kinds=definite,indirect"
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
e2e_logs=("$logs"/e2e.*.log)
failed_logs=()
for log in "${e2e_logs[@]}"; do
    if grep -q 'ERROR SUMMARY:' "$log"; then
        grep -q 'ERROR SUMMARY: 0 errors' "$log" || failed_logs+=("$log")
    elif grep -q -E '^==[0-9]+==    (at|by) 0x' "$log"; then
        failed_logs+=("$log")
    fi
done
if [ ${#failed_logs[@]} -gt 0 ]; then
    status=1
    printf '%s\n' "${failed_logs[@]}"
    echo "memcheck: e2e-tests FAILED: errors in the logs above"
else
    echo "memcheck: e2e-tests and the ${#e2e_logs[@]} processes they ran passed in $((SECONDS - start)) s"
fi

# The real server listens on the fixed port, which people on this machine share.
echo "memcheck: halvex-server"
take_port_lock 1800
if ! start_server "$logs/server.out" 60 "${memcheck[@]}" --log-file="$logs/server.log" \
    build/app/halvex-server; then
    stop_server
    exit 1
fi
descriptors() {
    local open=("/proc/$server_pid/fd"/*)
    echo ${#open[@]}
}
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
stop_server
echo "memcheck: halvex-server held $before descriptors before the churn, $after after"
grep -h -E 'ERROR SUMMARY|definitely lost|indirectly lost' "$logs/server.log" || true
if [[ $after -ne $before ]] || ! grep -q 'ERROR SUMMARY: 0 errors' "$logs/server.log"; then
    status=1
    tail -n 60 "$logs/server.log"
    echo "memcheck: halvex-server FAILED"
fi
exit $status
