# shellcheck shell=bash disable=SC2034 # the lists are read where this file is sourced
# The Debian packages each job needs, for scripts/ensure-packages. Sourced by ./run and
# the scripts beside this one.

# Building (CMake only recommends make). The console chat client edits its lines with
# GNU Readline when it is there; the tools read their command lines with CLI11; the
# server's WebSocket handshake hashes with Nettle, which CMake finds through pkgconf.
build_packages=(g++ make cmake libreadline-dev libcli11-dev nettle-dev pkgconf)
# The tests; iproute2's ip makes the network namespaces of the hardening tests, which
# skip themselves without it.
test_packages=(libgtest-dev libgmock-dev iproute2)
# The bench scripts in tools/bench: jq reads halvex-bench's JSON lines, gnuplot plots them.
bench_packages=(jq gnuplot-nox)
# The browser tests, which skip themselves without these; one of them puts nginx, with a
# certificate made by openssl, in front of the server. Installing nginx starts Debian's
# own nginx on port 80, which no test uses.
browser_test_packages=(chromium chromium-driver python3-selenium nginx openssl)
# `cmake --workflow --preset package`: dpkg-shlibdeps (and `file`, which CPack uses with
# it) computes the .deb's dependencies; MinGW-w64 builds the Windows zip.
package_packages=(dpkg-dev file g++-mingw-w64-x86-64)
# tests/package/run.sh: lintian; systemd-analyze (and man, which it asks for the unit's
# page); debootstrap for the install test's root; unzip and Wine for the zip; unshare and
# ip.
package_test_packages=(lintian systemd man-db debootstrap unzip wine wine64 util-linux iproute2)
