#!/bin/sh
# The parent proxy: squid on 127.0.0.1, forwarding only to 127.0.0.0/8 and caching nothing, so
# every request it admits reaches the origin and shows in DIR/access.log.
# usage: start-squid.sh DIR AUTH_PORT OPEN_PORT [basic|ntlm]   -> prints the pid; stop: kill PID
#   AUTH_PORT  demands proxy authentication: Basic, alice/secret from DIR/passwd; with ntlm
#              NTLM is offered first, through squid's ntlm_fake_auth, which takes any user and
#              password (a test checks the three-message exchange, not the credentials)
#   OPEN_PORT  the same proxy without authentication
# Started as root, squid runs as user proxy, which must be able to enter DIR: a directory made
# by mktemp -d under a private (0700) parent is out of its reach.
set -eu
HERE=$(cd "$(dirname "$0")" && pwd)
. "$HERE/lib.sh"
need_args 3 "start-squid.sh DIR AUTH_PORT OPEN_PORT [basic|ntlm]" "$@"
mkdir -p "$1"
D=$(cd "$1" && pwd)
PORT=$2
OPEN=$3
AUTH=${4:-basic}
need_free "$PORT" "$OPEN"
case $AUTH in
    basic) NTLM= ;;
    ntlm)  NTLM='auth_param ntlm program /usr/lib/squid/ntlm_fake_auth
auth_param ntlm children 2' ;;
    *)     echo "unknown authentication $AUTH" >&2; exit 2 ;;
esac
printf 'alice:%s\n' "$(openssl passwd -apr1 secret)" > "$D/passwd"
ROOT=no
[ "$(id -u)" -eq 0 ] && ROOT=yes
USER_LINE=
[ "$ROOT" = yes ] && USER_LINE='cache_effective_user proxy'
cat > "$D/squid.conf" <<CONF
http_port 127.0.0.1:$PORT name=authport
http_port 127.0.0.1:$OPEN name=openport
pid_filename $D/squid.pid
cache_log $D/cache.log
access_log stdio:$D/access.log
cache_store_log none
coredump_dir $D
$USER_LINE
visible_hostname squid.test
# Never the machine's resolver: a name that is not in /etc/hosts fails within a second instead
# of stalling the request for half a minute.
dns_nameservers 127.0.0.1
dns_timeout 1 seconds
dns_retransmit_interval 1 seconds
# Else a stop takes 30 s.
shutdown_lifetime 1 seconds
# Else its pinger child outlives a stopped squid.
pinger_enable off
icp_port 0
cache deny all
$NTLM
auth_param basic program /usr/lib/squid/basic_ncsa_auth $D/passwd
auth_param basic children 2
auth_param basic realm squid-test
acl lo src 127.0.0.0/8
acl lodst dst 127.0.0.0/8
acl open myportname openport
acl authed proxy_auth REQUIRED
http_access deny !lo
http_access deny !lodst
http_access allow open
http_access allow authed
http_access deny all
CONF
if [ "$ROOT" = yes ]; then
    chown -R proxy:proxy "$D"
    if ! runuser -u proxy -- test -w "$D"; then
        echo "user proxy cannot reach $D: its parent directories must be searchable (o+x)" >&2
        exit 1
    fi
fi
# -N: no daemon and no kid processes, so the pid printed is the proxy itself.
# -n: squid names its shared memory segments after the service; two instances under the
# default name on one machine would collide.
squid -N -n "sq$PORT" -f "$D/squid.conf" >"$D/stdout.log" 2>&1 &
PID=$!
wait_ready "$PID" "port_busy $PORT && port_busy $OPEN" "$D/stdout.log" "$D/cache.log"
echo "$PID"
