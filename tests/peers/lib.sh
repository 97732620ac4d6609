# shellcheck shell=sh
# Sourced by the start-*.sh scripts of the test peers.

# port_busy PORT: true while something accepts TCP connections on 127.0.0.1:PORT
port_busy() {
    /usr/bin/python3 -c "import socket, sys; sys.exit(socket.socket().connect_ex(('127.0.0.1', $1)) != 0)"
}

# need_free PORT...: a port already taken would answer the readiness check below for another
# server (an instance left over from an earlier run, say), so refuse to start at all.
need_free() {
    for _port in "$@"; do
        if port_busy "$_port"; then
            echo "127.0.0.1:$_port is already in use" >&2
            exit 1
        fi
    done
}

# wait_ready PID CHECK LOG...: polls the shell command CHECK for up to 60 s (slow under a
# parallel build). When PID ends or time runs out, PID is killed, the LOGs' tails go to stderr
# and the script fails, so that the caller never gets the pid of a server that does not serve.
wait_ready() {
    _pid=$1
    _check=$2
    shift 2
    _tries=0
    while [ "$_tries" -lt 600 ]; do
        if eval "$_check" >/dev/null 2>&1; then
            return 0
        fi
        kill -0 "$_pid" 2>/dev/null || break
        sleep 0.1
        _tries=$((_tries + 1))
    done
    kill "$_pid" 2>/dev/null
    echo "the server (pid $_pid) did not start serving" >&2
    for _log in "$@"; do
        [ -f "$_log" ] && tail -n 20 "$_log" >&2
    done
    exit 1
}

# need_args COUNT USAGE "$@": fails with the usage line unless COUNT arguments came. Ports
# have no defaults: only the caller knows which ones are free for its run on this machine.
need_args() {
    _count=$1
    _usage=$2
    shift 2
    if [ "$#" -lt "$_count" ]; then
        echo "usage: $_usage" >&2
        exit 2
    fi
}
