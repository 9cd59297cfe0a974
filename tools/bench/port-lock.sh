# shellcheck shell=bash
# Sourced by the scripts that start the real server.

# Prints the script's header comment, its usage, and fails.
usage() {
    sed -n '2,/^set -euo/p' "$0" | sed '$d' | sed 's/^# \{0,1\}//' >&2
    exit 2
}

# The scripts read halvex-bench's JSON lines with jq.
require_jq() {
    command -v jq >/dev/null && return 0
    echo "$(basename "$0"): needs jq (scripts/ensure-packages jq)" >&2
    exit 2
}

# Port 6112 is shared by everybody on this machine, so the scripts hold
# /tmp/halvex-port6112.lock the whole time. A caller that already holds it passes it
# down as an open descriptor (flock FILE COMMAND does), or says so with
# HALVEX_PORT_LOCKED=1; taking it again would then wait for ourselves.
port_lock=/tmp/halvex-port6112.lock

holds_port_lock() {
    [ "${HALVEX_PORT_LOCKED:-}" = 1 ] && return 0
    local fd
    for fd in "/proc/$$/fd"/*; do
        [ "$(readlink "$fd" 2>/dev/null)" = "$port_lock" ] && return 0
    done
    return 1
}

# Waits at most $1 seconds for the lock, on descriptor 9, kept until the script ends.
take_port_lock() {
    holds_port_lock && return 0
    exec 9>>"$port_lock"
    if ! flock -w "$1" 9; then
        echo "$(basename "$0"): port 6112 stayed locked for $1 s by somebody else" >&2
        exit 2
    fi
}
