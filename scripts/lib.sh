# shellcheck shell=bash
# Sourced by the scripts that start the real server on port 6112 (the bench scripts and
# memcheck.sh) and by check-port.

# Prints the script's header comment, its usage, and ends: with status 2 on standard
# error, or with the status given on standard output.
usage() {
    local text
    text=$(sed -n '2,/^set -euo/p' "$0" | sed '$d' | sed 's/^# \{0,1\}//')
    if [ $# -eq 0 ]; then
        echo "$text" >&2
        exit 2
    fi
    echo "$text"
    exit "$1"
}

# Reads the options named in $1 (each takes a value) from the words after it, up to
# "--" or the first word that is no option, and leaves the words after those in the
# array `rest`. --run-timeout sets the variable run_timeout; an array variable gets
# each value appended. -h and --help print the usage.
read_options() {
    local known=" $1 " variable
    shift
    while [ $# -gt 0 ] && [[ $1 == -* ]]; do
        case $1 in
        --) shift; break ;;
        -h | --help) usage 0 ;;
        esac
        if [[ $known != *" ${1#--} "* ]] || [ $# -lt 2 ]; then
            usage
        fi
        variable=${1#--}
        variable=${variable//-/_}
        if [[ $(declare -p "$variable") == "declare -a"* ]]; then
            local -n values=$variable
            values+=("$2")
            unset -n values
        else
            printf -v "$variable" %s "$2"
        fi
        shift 2
    done
    rest=("$@")
}

# Ends with the usage unless each variable named holds a whole number.
whole_numbers() {
    local name
    for name in "$@"; do
        [[ ${!name} =~ ^[0-9]+$ ]] || usage
    done
}

# The bench scripts read halvex-bench's JSON lines with jq and plot them with gnuplot:
# installs them where they are missing.
ensure_bench_packages() {
    local here
    here=$(dirname "${BASH_SOURCE[0]}")
    # shellcheck source=packages.sh
    source "$here/packages.sh"
    "$here/ensure-packages" "${bench_packages[@]}"
}

# For jq programs: median(f), of f over the elements of an array, nulls left out; null
# when none is left.
# shellcheck disable=SC2034 # read by the scripts that source this one
jq_median='def median(f): map(f | select(. != null)) | sort |
    if length == 0 then null
    elif length % 2 == 1 then .[length / 2 | floor]
    else (.[length / 2 - 1] + .[length / 2]) / 2 end;'

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

# Ends the script with status 2, naming the holder, when a program that does not take
# its turn with the lock listens on port 6112.
check_port() {
    "$(dirname "${BASH_SOURCE[0]}")/check-port" "$(basename "$0")" || exit 2
}

# Starts the server, the command after $1 and $2 (a wrapper such as valgrind may come
# first), and waits at most $2 seconds until its console says it listens: the blank line
# behind "Listening on port 6112." ends the start-up, the web port's line (or why it has
# none) included. The console up to there goes to the file $1; the rest, a line per
# relayed chat line, is read and dropped: in a file it would fill the disk in a long run.
# Sets `server_pid` to its process id. Fails, showing the console, when the server ends
# or stays silent first; stop_server ends it all the same.
start_server() {
    local log=$1 seconds=$2 tries
    shift 2
    : >"$log"
    "$@" </dev/null 9>&- > >(
        exec 9>&-
        sed -u '/^Listening on port 6112\.$/,/^$/!b; /^$/q' >"$log"
        exec cat >/dev/null
    ) 2>&1 &
    server_pid=$!
    for ((tries = 10 * seconds; tries > 0; tries--)); do
        sed -n '/^Listening on port 6112\.$/,/^$/p' "$log" | grep -qx '' && return 0
        kill -0 "$server_pid" 2>/dev/null || break
        sleep 0.1
    done
    if kill -0 "$server_pid" 2>/dev/null; then
        echo "$(basename "$0"): the server did not listen within $seconds s; it said:" >&2
    else
        echo "$(basename "$0"): the server ended before it listened; it said:" >&2
    fi
    sed 's/^/  /' "$log" >&2
    return 1
}

# Ends the server that start_server started, if it still runs, and waits for it, so
# that the port is free again for the next one.
stop_server() {
    [ -n "${server_pid:-}" ] || return 0
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
    server_pid=
}

# How busy the machine is: the load averages over 1, 5 and 15 minutes.
load_average() {
    cut -d' ' -f1-3 /proc/loadavg
}

# One run of tools/bench/bench-server.sh with the options after $1 and $2, stopped after
# $2 seconds, its output kept in $1.out and $1.err. Prints its JSON line, if any, and
# returns its exit status.
bench_run() {
    local file=$1 seconds=$2 status=0 script
    shift 2
    script=$(dirname "${BASH_SOURCE[0]}")/../tools/bench/bench-server.sh
    timeout --kill-after=10 "$seconds" "$script" "$@" >"$file.out" 2>"$file.err" 9>&- ||
        status=$?
    grep '^{' "$file.out" | tail -n 1 || true
    return $status
}
