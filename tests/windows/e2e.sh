#!/usr/bin/env bash
# The end-to-end tests of the Linux build, run against the Windows server: the real
# halvex-server.exe under Wine on ports 6112 and 8080, talked to by native Linux clients,
# terminal clients and, through WebSockets, browser ones.
# Usage: tests/windows/e2e.sh [LINUX_BUILD_DIR [WINDOWS_BUILD_DIR]] (default build, build-windows)
set -euo pipefail
cd "$(dirname "$0")/../.."
linux_build=$(realpath "${1:-build}")
windows_build=$(realpath "${2:-build-windows}")
wine_run="$windows_build/wine-run"
server="$windows_build/app/halvex-server.exe"
tests="$linux_build/tests/halvex-e2e-tests"
for file in "$wine_run" "$server" "$tests"; do
    [[ -e $file ]] || { echo "missing $file: build both presets first" >&2; exit 1; }
done
scripts/check-port e2e.sh

# Wine 8's server sometimes keeps the sockets of a program killed while clients were
# closing on it: it then holds the port and spins on those sockets, never exiting. So
# every test gets a Wine server of its own, ended with the test.
stop_wine() { timeout 60 "$wine_run" --stop; }
trap stop_wine EXIT

names=$("$tests" --gtest_list_tests | awk '/^[^ ]/ { suite = $1 } /^  / { print suite $1 }')
passed=0
failed=0
for name in $names; do
    # Generous bounds: Wine's first start in a fresh prefix takes seconds. The test
    # program takes the port's lock itself around every server it starts. A failure
    # under a Wine server that died says nothing of the test, which runs once more.
    for attempt in 1 2; do
        if HALVEX_SERVER_COMMAND="$wine_run $server" timeout 300 "$tests" --gtest_filter="$name"; then
            result=passed
            break
        fi
        result=failed
        if "$wine_run" --alive; then
            break
        fi
        echo "e2e.sh: Wine's server died during $name (attempt $attempt of 2)" >&2
        stop_wine
    done
    if [ "$result" = passed ]; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
    fi
    stop_wine
done
echo "Windows end-to-end: $passed passed, $failed failed"
((failed == 0 && passed > 0))
