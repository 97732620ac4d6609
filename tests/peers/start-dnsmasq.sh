#!/bin/sh
# A test DNS zone: dnsmasq answering only the records it is given, never forwarding a query.
# usage: start-dnsmasq.sh DIR ADDR ZONE   -> prints the pid; stop: kill PID
#   ADDR is a loopback address of the caller's choice (127.x.y.z); dnsmasq listens on its port
#   53, the only port glibc's resolver can use. ZONE is a file of dnsmasq record options, one a
#   line: host-record=NAME,ADDR  txt-record=NAME,"TEXT"  mx-host=NAME,HOST,PREF ...
#   Every other name is NXDOMAIN. Each query is logged to DIR/dnsmasq.log.
#   with-resolver.sh runs a program that resolves through this server.
set -eu
HERE=$(cd "$(dirname "$0")" && pwd)
. "$HERE/lib.sh"
need_args 3 "start-dnsmasq.sh DIR ADDR ZONE" "$@"
mkdir -p "$1"
D=$(cd "$1" && pwd)
ADDR=$2
cp "$3" "$D/zone.conf"
cat > "$D/dnsmasq.conf" <<CONF
port=53
listen-address=$ADDR
bind-interfaces
no-resolv
no-hosts
no-poll
local=/#/
user=root
pid-file=
log-queries
log-facility=$D/dnsmasq.log
conf-file=$D/zone.conf
CONF
# In the foreground, so that the printed pid is dnsmasq's own.
dnsmasq --keep-in-foreground --conf-file="$D/dnsmasq.conf" >"$D/stdout.log" 2>&1 &
PID=$!
# Any answer, NXDOMAIN included, shows the server is up.
wait_ready "$PID" "dig +time=1 +tries=1 @$ADDR ready.invalid | grep -q 'status:'" "$D/stdout.log" "$D/dnsmasq.log"
echo "$PID"
