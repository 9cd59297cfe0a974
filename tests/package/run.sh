#!/usr/bin/env bash
# Checks the .deb and the Windows zip that `cmake --workflow --preset package` made. The
# groups, which can run alone, are listed in README "Install": contents lintian units
# install windows.
# Usage: tests/package/run.sh [--build DIR] [GROUP...]   (default: build-package, all groups)
#
# As root (chroot, namespaces). Every server runs in a private network namespace, so port
# 6112 of the machine is never used and none of its interfaces is touched. The install
# test's Debian 12 root is made once by debootstrap (bounded at 15 minutes) and kept as a
# tarball in $HALVEX_CI_CACHE (default /var/cache/halvex-ci, outside every checkout;
# delete the tarball to make it anew). Each run unpacks a copy into a scratch folder under
# /var/tmp, removed at the end unless HALVEX_KEEP_SCRATCH=1.
set -euo pipefail
export LC_ALL=C

self=$(realpath "$0")
source_dir=$(cd "$(dirname "$self")/../.." && pwd)
cache_dir=${HALVEX_CI_CACHE:-/var/cache/halvex-ci}
tarball=$cache_dir/bookworm-minbase-man-db.tar.gz
all_groups=(contents lintian units install windows)

# --- Reporting: every check adds a line to $results, which may be written from inside
# the namespaces; the summary counts them.
pass() {
    echo "ok   - $*"
    echo pass >>"$results"
}
fail() {
    echo "FAIL - $*"
    echo fail >>"$results"
}
# Runs a check: "$@" passes or fails it, and its status is returned.
check() {
    local what=$1
    shift
    if "$@"; then pass "$what"; else fail "$what"; return 1; fi
}
# Runs "$@" with its output in the file $1.
logged() {
    local log=$1
    shift
    "$@" >"$log" 2>&1
}
# Prints a file, indented, to show why a check failed.
show() {
    echo "  --- $1:"
    sed 's/^/  | /' "$1" 2>/dev/null | tail -n "${2:-20}" || true
}

# Prints a list, one item a line, on one line.
joined() { tr '\n' ' ' <<<"$1"; }

# Waits at most $3 seconds for the file $1 to hold the text $2. The bound only keeps a
# broken run from hanging; nothing is judged by the time taken.
wait_for() {
    local end=$((SECONDS + $3))
    until grep -qF -- "$2" "$1" 2>/dev/null; do
        ((SECONDS < end)) || return 1
        sleep 0.1
    done
}

# bob connects with the client "$@" to 127.0.0.1:6112 and waits, bounded to 2 minutes,
# until end_bob; fails when he is not greeted.
start_bob() {
    local fifo=$scratch/bob.in
    rm -f "$fifo" "$scratch"/bob.* "$scratch"/ann.*
    mkfifo "$fifo"
    timeout 120 "$@" --name bob 127.0.0.1 <"$fifo" >"$scratch/bob.out" 2>"$scratch/bob.err" &
    bob=$!
    exec 7>"$fifo"
    wait_for "$scratch/bob.out" "Welcome to Halvex chat server!" 60
}
# bob leaves; fails, showing what he and ann got, when he or the status $1 did.
end_bob() {
    local status=$1
    exec 7>&-
    wait "$bob" || status=1
    if ((status)); then
        show "$scratch/bob.out"; show "$scratch/bob.err"
        show "$scratch/ann.out" 5; show "$scratch/ann.err" 5
    fi
    return "$status"
}

# bob connects and waits; ann sends a line and leaves; bob must get it. The client is
# the command given ("$@").
converse() {
    local status=1
    if start_bob "$@" &&
        printf 'hi bob, this is ann\n' |
        timeout 120 "$@" --name ann 127.0.0.1 >"$scratch/ann.out" 2>"$scratch/ann.err" &&
        grep -qF "ann: hi bob, this is ann" "$scratch/ann.out" &&
        wait_for "$scratch/bob.out" "ann: hi bob, this is ann" 30; then
        status=0
    fi
    end_bob $status
}

# The page from port 8080, as a browser asks for it; the server closes once it answered.
serves_page() {
    local answer=$scratch/page.http
    exec 6<>/dev/tcp/127.0.0.1/8080 || return 1
    printf 'GET / HTTP/1.1\r\nHost: 127.0.0.1:8080\r\n\r\n' >&6
    timeout 30 cat <&6 >"$answer"
    exec 6<&-
    if ! head -n 1 "$answer" | grep -qx $'HTTP/1.1 200 OK\r' ||
        ! grep -qF '<title>Halvex chat</title>' "$answer"; then
        show "$answer"
        return 1
    fi
}

# A chat line of at most 117 ASCII bytes as the page sends it: its frame in one masked
# binary message, whose mask of zeros leaves the bytes as they are.
websocket_message() {
    local size=${#1} byte
    for byte in 0x82 $((0x80 | (size + 8))) 0 0 0 0 0 $((size + 6)) 0 1 0 0 0 "$size"; do
        # shellcheck disable=SC2059 # the format is the byte, as an octal escape
        printf "\\$(printf %03o "$byte")"
    done
    printf %s "$1"
}

# ann, as the page would be, upgrades with RFC 6455's sample key on port 8080 and sends a
# line; bob, a terminal client "$@", must get it, and so must she.
browser_chats() {
    local line="ann: hi bob, from a browser" answer=$scratch/websocket.out status=1 reader
    start_bob "$@" || { end_bob 1; return; }
    exec 6<>/dev/tcp/127.0.0.1/8080 || { end_bob 1; return; }
    timeout 120 cat <&6 >"$answer" &
    reader=$!
    printf '%s\r\n' "GET / HTTP/1.1" "Host: 127.0.0.1:8080" "Upgrade: websocket" \
        "Connection: Upgrade" "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==" \
        "Sec-WebSocket-Version: 13" "Sec-WebSocket-Protocol: binary" "" >&6
    if wait_for "$answer" "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=" 30 &&
        wait_for "$answer" "Welcome to Halvex chat server!" 30; then
        websocket_message "$line" >&6
        wait_for "$scratch/bob.out" "$line" 30 && wait_for "$answer" "$line" 30 && status=0
    fi
    exec 6>&-
    kill "$reader" 2>/dev/null
    wait "$reader" 2>/dev/null
    ((status == 0)) || show "$answer"
    end_bob $status
}

# Waits at most $2 seconds for the process $1 to end (or to wait as a zombie, Z).
ended_within() {
    local tries=0 state
    while state=$(sed 's/.*) //' "/proc/$1/stat" 2>/dev/null | cut -c1) && [ -n "$state" ] &&
        [ "$state" != Z ]; do
        ((tries++ < $2 * 10)) || return 1
        sleep 0.1
    done
}
# Ends a process this run started: SIGTERM, then SIGKILL if it is still there 10 s later
# (the bound keeps a hung process from hanging the run).
end_process() {
    kill "$1" 2>/dev/null || return 0
    ended_within "$1" 10 || kill -9 "$1" 2>/dev/null || true
}

# Runs "$@" as a process of a new network namespace whose loopback is up.
in_private_network() {
    unshare --net -- "$self" --call-in-private-network "$@"
}

# --- contents ---------------------------------------------------------------------------

holds_all() { # LISTING PATH...: prints and fails on each path missing from the listing
    local listing=$1 missing=0 path
    shift
    for path in "$@"; do
        grep -qxF -- "$path" "$listing" || { echo "  missing: $path"; missing=1; }
    done
    return $missing
}

readme_for_the_installed_server() {
    local readme
    extract_deb
    readme=$(gzip -dc "$scratch/deb/usr/share/doc/halvex/README.md.gz") || return 1
    grep -qx "## Operating a server" <<<"$readme" && ! grep -qF "./run" <<<"$readme"
}

crlf_only() {
    [ -s "$1" ] && ! grep -qv $'\r$' "$1" && tail -c 2 "$1" | cmp -s - <(printf '\r\n')
}

no_mingw_dlls() { # the static run-time: every imported DLL is one of Windows' own
    local exe dlls status=0
    for exe in "$@"; do
        dlls=$(x86_64-w64-mingw32-objdump -p "$exe" | awk '/DLL Name:/ { print $3 }')
        echo "  $(basename "$exe"): $(joined "$dlls")"
        if grep -qiE '^lib|mingw|pthread' <<<"$dlls"; then status=1; fi
    done
    return $status
}

group_contents() {
    dpkg-deb -c "$deb" | awk '{ print $6 }' | sed 's|^\./|/|' >"$scratch/deb-files"
    local expected=(/usr/bin/halvex-server /usr/bin/halvex-chat /usr/bin/halvex-bench
        /usr/share/doc/halvex/copyright /usr/share/doc/halvex/changelog.gz
        /usr/share/doc/halvex/README.md.gz /usr/share/doc/halvex/examples/nginx-halvex.conf
        /usr/share/man/man8/halvex-server.8.gz /usr/share/man/man1/halvex-chat.1.gz
        /usr/share/man/man1/halvex-bench.1.gz /lib/systemd/system/halvex.service)
    check "the .deb holds the programs, the docs, the nginx example, the manual pages and the unit" \
        holds_all "$scratch/deb-files" "${expected[@]}"
    check "its README tells how to run the installed server, and not to use ./run" \
        readme_for_the_installed_server

    local depends recommends
    depends=$(dpkg-deb -f "$deb" Depends)
    recommends=$(dpkg-deb -f "$deb" Recommends)
    echo "  Depends: $depends"
    echo "  Recommends: $recommends"
    echo "  Size: $(stat -c %s "$deb") bytes; Installed-Size: $(dpkg-deb -f "$deb" Installed-Size) KiB"
    # shellcheck disable=SC2016 # expanded by eval
    check "its dependencies are computed from the programs (libc6, libstdc++6), and it recommends nothing" \
        eval '[[ $depends == *"libc6 (>="* && $depends == *"libstdc++6 (>="* && -z $recommends ]]'

    local top=halvex-$version-win64
    unzip -Z1 "$zip" >"$scratch/zip-files"
    expected=("$top/halvex-server.exe" "$top/halvex-chat.exe" "$top/halvex-bench.exe"
        "$top/README.txt" "$top/LICENSE.txt")
    check "the zip holds the three programs, README.txt and LICENSE.txt" \
        holds_all "$scratch/zip-files" "${expected[@]}"
    # The page is built into the server: no copy of it, nor a second unit, lies beside.
    # shellcheck disable=SC2016 # expanded by eval
    check "neither package holds a web folder, nor the .deb a second unit" \
        eval '! grep -qE "^/usr/share/halvex|^/lib/systemd/system/halvex-" "$scratch/deb-files" &&
            ! grep -q "/web/" "$scratch/zip-files"'
    local text
    for text in README.txt LICENSE.txt; do
        unzip -p "$zip" "$top/$text" >"$scratch/$text"
        check "$text ends every line with CR LF" crlf_only "$scratch/$text"
    done

    mkdir -p "$scratch/zip"
    unzip -q -o "$zip" "$top/*.exe" -d "$scratch/zip"
    check "the .exe files are statically linked: they import only Windows' own DLLs" \
        no_mingw_dlls "$scratch/zip/$top"/*.exe
}

# --- lintian ----------------------------------------------------------------------------

run_lintian() {
    # Errors fail; warnings, notes (I:) and overrides are shown for the record.
    lintian --fail-on error --display-info --tag-display-limit 0 "$deb" 2>&1 |
        grep -v 'running with root privileges' | sed 's/^/  /'
    return "${PIPESTATUS[0]}"
}

group_lintian() {
    check "lintian reports no error on $(basename "$deb")" run_lintian
}

# --- units ------------------------------------------------------------------------------

extract_deb() {
    [ -d "$scratch/deb" ] && return
    mkdir -p "$scratch/deb"
    dpkg-deb -x "$deb" "$scratch/deb"
}

# systemd-analyze verify checks the unit against the host's own targets, so it runs on
# the host with the package's unit folder first in the search path. It also wants the
# command and manual page that the unit names: in a mount namespace of this run only,
# /usr/bin shows the package's programs over the host's.
verify_units() {
    local units=$scratch/deb/lib/systemd/system output status=0
    # shellcheck disable=SC2016 # the inner shell's arguments
    output=$(unshare --mount --propagation private -- sh -c '
        mount -t overlay overlay -o "lowerdir=$1/usr/bin:/usr/bin" /usr/bin &&
        MANPATH="$1/usr/share/man:" SYSTEMD_UNIT_PATH="$2:" exec systemd-analyze verify \
            "$2/halvex.service"' sh "$scratch/deb" "$units" 2>&1) ||
        status=$?
    [ -z "$output" ] || printf '%s\n' "$output" | sed 's/^/  /'
    # Unknown keys and bad values are only warned of, so any output fails too.
    [ $status = 0 ] && [ -z "$output" ]
}

rated_ok() {
    local line
    line=$(systemd-analyze security --offline=yes "$scratch/deb/lib/systemd/system/$1" 2>&1 |
        grep 'Overall exposure level') || return 1
    echo "  $line"
    [[ $line =~ :\ [0-9.]+\ (PERFECT|SAFE|OK)( |$) ]]
}

group_units() {
    extract_deb
    check "systemd-analyze verify passes the unit, without a warning" verify_units
    check "systemd-analyze security rates halvex.service OK or better" rated_ok halvex.service
}

# --- install ----------------------------------------------------------------------------

ensure_root_tarball() {
    mkdir -p "$cache_dir"
    (
        flock -w 1200 9 || { echo "the lock on $cache_dir stayed taken for 20 minutes" >&2; exit 1; }
        [ -s "$tarball" ] && exit 0
        echo "  making the Debian 12 root, once (debootstrap; kept in $tarball)"
        local work
        work=$(mktemp -d "$cache_dir/root.XXXXXX")
        trap 'rm -rf --one-file-system "$work"' EXIT
        # Its own mount namespace: whatever debootstrap mounts goes when it ends.
        if ! unshare --mount --propagation private -- timeout 900 \
            debootstrap --variant=minbase --include=man-db bookworm "$work/root" \
            http://deb.debian.org/debian >"$work/log" 2>&1; then
            tail -n 20 "$work/log" >&2
            exit 1
        fi
        chroot "$work/root" apt-get clean
        tar -C "$work/root" --numeric-owner -czf "$work/root.tar.gz" .
        mv "$work/root.tar.gz" "$tarball"
    ) 9>"$cache_dir/lock"
}

root_version() { # the packaged programs' --version
    [ "$(chroot "$root" halvex-chat --version)" = "halvex-chat $version" ] &&
        [ "$(chroot "$root" halvex-bench --version)" = "halvex-bench $version" ]
}

enabled_as_policy_expects() {
    [ -L "$root/etc/systemd/system/multi-user.target.wants/halvex.service" ]
}

man_finds_pages() {
    [ "$(chroot "$root" man -w halvex-chat)" = /usr/share/man/man1/halvex-chat.1.gz ] &&
        [ "$(chroot "$root" man -w halvex-bench)" = /usr/share/man/man1/halvex-bench.1.gz ] &&
        [ "$(chroot "$root" man -w 8 halvex-server)" = /usr/share/man/man8/halvex-server.8.gz ]
}

# In the root's private network namespace: the server as halvex.service runs it (no
# privileges, input from /dev/null), with two clients, then a browser's requests.
root_network_checks() {
    local as_nobody=(chroot --userspec=65534:65534 "$root") server
    "${as_nobody[@]}" /usr/bin/halvex-server </dev/null >"$scratch/server.out" 2>"$scratch/server.err" &
    server=$!
    if check "the packaged halvex-server listens on 6112 and for browsers on 8080" \
        wait_for "$scratch/server.out" "Listening for browsers on port 8080." 60; then
        check "two halvex-chat clients from the package chat through it" \
            converse "${as_nobody[@]}" /usr/bin/halvex-chat
        check "it serves the page on port 8080" serves_page
        check "a WebSocket client chats through port 8080 with a packaged halvex-chat" \
            browser_chats "${as_nobody[@]}" /usr/bin/halvex-chat
    else
        show "$scratch/server.out"; show "$scratch/server.err"
    fi
    end_process "$server"
    wait "$server" || true
}

no_leftovers() {
    local path left=0 named
    while read -r path; do
        [ -e "$root$path" ] || [ -L "$root$path" ] || continue
        # A folder that other packages share stays.
        if [ -d "$root$path" ] && chroot "$root" dpkg-query -S "$path" >/dev/null 2>&1; then
            continue
        fi
        echo "  left behind: $path"
        left=1
    done <"$scratch/halvex-files"
    # The units' enablement links and deb-systemd-helper's state too.
    named=$(find "$root" -xdev -iname '*halvex*' -not -path "$root/tmp/*")
    [ -z "$named" ] || { printf '%s\n' "$named" | sed "s|^$root|  left behind: |"; left=1; }
    return $left
}

# In a private mount namespace, so that the root's /proc goes with it.
install_in_root() {
    mount -t proc proc "$root/proc"
    local apt=(chroot "$root" env DEBIAN_FRONTEND=noninteractive apt-get -q -y)
    local package
    package=/tmp/$(basename "$deb")
    if ! chroot "$root" apt-get -qq update >"$scratch/apt.log" 2>&1; then
        fail "apt-get update in the Debian 12 root"
        show "$scratch/apt.log"
        return
    fi
    check "apt-get install $package installs it with its dependencies" \
        logged "$scratch/apt.log" "${apt[@]}" install "$package" || { show "$scratch/apt.log"; return; }
    check "the installed halvex-chat and halvex-bench print version $version" root_version
    check "halvex.service is enabled on install" enabled_as_policy_expects
    check "man -w finds the three manual pages" man_finds_pages
    in_private_network root_network_checks
    chroot "$root" dpkg -L halvex >"$scratch/halvex-files"
    check "apt-get purge halvex succeeds" logged "$scratch/apt.log" "${apt[@]}" purge halvex ||
        show "$scratch/apt.log"
    check "the purge leaves no file of the package behind" no_leftovers
}

group_install() {
    if ! ensure_root_tarball; then
        fail "making the Debian 12 root with debootstrap"
        return
    fi
    root=$scratch/root
    mkdir "$root"
    tar -C "$root" --numeric-owner -xzf "$tarball"
    # The host's resolver for apt-get (its content: the root's may be a link).
    rm -f "$root/etc/resolv.conf"
    cp -L /etc/resolv.conf "$root/etc/resolv.conf"
    # No service is started inside the root (Debian's policy-rc.d).
    printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d"
    chmod 755 "$root/usr/sbin/policy-rc.d"
    cp "$deb" "$root/tmp/"
    export root
    unshare --mount --propagation private -- "$self" --call install_in_root
}

# --- windows ----------------------------------------------------------------------------

windows_network_checks() {
    local top=$scratch/windows/halvex-$version-win64 server
    export WINEPREFIX=$scratch/wineprefix
    "$wine_run" "$top/halvex-server.exe" </dev/null >"$scratch/wine-server.out" 2>"$scratch/wine-server.err" &
    server=$!
    # Wine's first start in a fresh prefix takes a while.
    if check "halvex-server.exe from the zip listens under Wine, on 6112 and for browsers on 8080" \
        wait_for "$scratch/wine-server.out" "Listening for browsers on port 8080." 180; then
        check "Linux halvex-chat clients chat through it" converse "$linux_chat"
        check "it serves the page on port 8080" serves_page
        check "a WebSocket client chats through port 8080 with a Linux halvex-chat" \
            browser_chats "$linux_chat"
    else
        show "$scratch/wine-server.out"; show "$scratch/wine-server.err"
    fi
    # Ends every program of this run's prefix, and its Wine server.
    timeout 60 "$wine_run" --stop
    end_process "$server"
    wait "$server" 2>/dev/null
}

group_windows() {
    wine_run=$build/windows/wine-run
    linux_chat=$build/tools/chat/halvex-chat
    if [ ! -x "$wine_run" ] || [ ! -x "$linux_chat" ]; then
        fail "Wine runner and Linux client ($wine_run, $linux_chat): build the package preset with wine installed"
        return
    fi
    mkdir -p "$scratch/windows"
    unzip -q "$zip" -d "$scratch/windows"
    export wine_run linux_chat
    in_private_network windows_network_checks
}

# --- main -------------------------------------------------------------------------------

# The checks count failures themselves: a failed command fails its check, not the run.
case ${1:-} in
--call)
    shift
    set +e
    "$@"
    exit 0
    ;;
--call-in-private-network)
    shift
    set +e
    ip link set lo up
    "$@"
    exit 0
    ;;
esac

build="build-package"
groups=()
while (($#)); do
    case $1 in
    --build) build=$2; shift 2 ;;
    contents | lintian | units | install | windows) groups+=("$1"); shift ;;
    *) sed -n '2,/^set -euo/p' "$self" | sed '$d; s/^# \{0,1\}//' >&2; exit 2 ;;
    esac
done
((${#groups[@]})) || groups=("${all_groups[@]}")
[ "$(id -u)" = 0 ] || { echo "tests/package/run.sh: run it as root (chroot, namespaces)" >&2; exit 2; }
build=$(realpath "$build")

shopt -s nullglob
debs=("$build"/packages/halvex_*_amd64.deb)
shopt -u nullglob
if ((${#debs[@]} != 1)); then
    echo "tests/package/run.sh: need exactly one halvex_*_amd64.deb in $build/packages:" \
        "run cmake --workflow --preset package" >&2
    exit 2
fi
deb=${debs[0]}
version=$(dpkg-deb -f "$deb" Version)
zip=$build/packages/halvex-$version-win64.zip
[ -f "$zip" ] || { echo "tests/package/run.sh: missing $zip" >&2; exit 2; }

scratch=$(mktemp -d /var/tmp/halvex-package.XXXXXX)
trap '[ -n "${HALVEX_KEEP_SCRATCH:-}" ] || rm -rf --one-file-system "$scratch"' EXIT
results=$scratch/results
: >"$results"
export self source_dir cache_dir tarball scratch results deb version zip build

set +e
for group in "${groups[@]}"; do
    start=$SECONDS
    echo "== $group"
    "group_$group"
    echo "   ($group: $((SECONDS - start)) s)"
done

passed=$(grep -c '^pass$' "$results" || true)
failed=$(grep -c '^fail$' "$results" || true)
echo "Packages: $passed passed, $failed failed"
((failed == 0 && passed > 0))
