#!/bin/sh
# A neighbour proxy for forwarding tests: squid without authentication on ADDRESS (127.0.0.1 or
# another loopback address), caching in memory, with its ICP service on the same address, and
# optionally a sibling it asks by ICP before fetching. Forwards only to 127.0.0.0/8.
# usage: start-squid-peer.sh DIR ADDRESS PORT ICP_PORT [SIBLING_HTTP_PORT SIBLING_ICP_PORT]
#   -> prints the pid; stop: kill PID. The sibling, when given, is 127.0.0.1.
# squid drops ICP from its own ICP address ("sent by myself"): a peer asked from 127.0.0.1
# must listen elsewhere, such as 127.0.0.2. Each instance has its own -n name, pid file and logs.
set -eu
HERE=$(cd "$(dirname "$0")" && pwd)
. "$HERE/lib.sh"
need_args 4 "start-squid-peer.sh DIR ADDRESS PORT ICP_PORT [SIBLING_HTTP_PORT SIBLING_ICP_PORT]" "$@"
mkdir -p "$1"
D=$(cd "$1" && pwd)
ADDRESS=$2
PORT=$3
ICP=$4
SIBLING=
if [ $# -ge 6 ]; then
    SIBLING="cache_peer 127.0.0.1 sibling $5 $6 no-digest no-netdb-exchange name=tarvodine
neighbor_type_domain tarvodine sibling"
fi
busy_at() {
    /usr/bin/python3 -c "import socket, sys; sys.exit(socket.socket().connect_ex(('$ADDRESS', $1)) != 0)"
}
if busy_at "$PORT"; then
    echo "$ADDRESS:$PORT is already in use" >&2
    exit 1
fi
USER_LINE=
[ "$(id -u)" -eq 0 ] && USER_LINE='cache_effective_user proxy'
cat > "$D/squid.conf" <<CONF
http_port $ADDRESS:$PORT
icp_port $ICP
udp_incoming_address $ADDRESS
udp_outgoing_address $ADDRESS
pid_filename $D/squid.pid
cache_log $D/cache.log
access_log stdio:$D/access.log
cache_store_log none
# The tests find their URLs, query included, in the access log.
strip_query_terms off
coredump_dir $D
$USER_LINE
visible_hostname squid-$ADDRESS-$PORT.test
dns_nameservers 127.0.0.1
dns_timeout 1 seconds
dns_retransmit_interval 1 seconds
shutdown_lifetime 1 seconds
pinger_enable off
cache_mem 16 MB
# Objects whose Last-Modified is seconds old stay fresh, so the ICP service answers HIT.
refresh_pattern . 10 50% 60 override-lastmod
icp_query_timeout 2000
$SIBLING
acl lo src 127.0.0.0/8
acl lodst dst 127.0.0.0/8
http_access deny !lo
http_access deny !lodst
http_access allow lo
http_access deny all
icp_access allow lo
icp_access deny all
CONF
if [ -n "$USER_LINE" ]; then
    chown -R proxy:proxy "$D"
    if ! runuser -u proxy -- test -w "$D"; then
        echo "user proxy cannot reach $D: its parent directories must be searchable (o+x)" >&2
        exit 1
    fi
fi
squid -N -n "sqpeer$PORT" -f "$D/squid.conf" >"$D/stdout.log" 2>&1 &
PID=$!
wait_ready "$PID" "busy_at $PORT" "$D/stdout.log" "$D/cache.log"
echo "$PID"
