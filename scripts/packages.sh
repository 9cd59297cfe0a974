# The Debian packages each job needs, for scripts/ensure-packages. Sourced by ./run and
# the scripts beside this one.

# Building (CMake only recommends make). The console chat client edits its lines with
# GNU Readline when it is there.
build_packages=(g++ make cmake libreadline-dev)
# The tests.
test_packages=(libgtest-dev libgmock-dev)
# The browser tests, which skip themselves without these.
browser_test_packages=(chromium chromium-driver python3-selenium websockify)
