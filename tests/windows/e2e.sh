#!/usr/bin/env bash
# The end-to-end tests of the Linux build, run against the Windows server: the real
# halvex-server.exe under Wine on port 6112, talked to by native Linux clients.
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

# Wine's first start in a fresh prefix takes seconds; pay for it before the tests'
# start-up deadlines run. (The test program takes the port's lock around every server.)
timeout 300 "$wine_run" "$windows_build/tests/halvex-tests.exe" --gtest_list_tests >/dev/null

HALVEX_SERVER_COMMAND="$wine_run $server" timeout 600 "$tests"
