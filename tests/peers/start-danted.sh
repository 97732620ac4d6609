#!/bin/sh
# The SOCKS server: dante on 127.0.0.1. It connects only to 127.0.0.0/8, so a test never
# reaches off the machine, and refuses every other destination.
# usage: start-danted.sh DIR PORT [none|pam]   -> prints the pid; stop: kill PID
#   none (default)  SOCKS4 and SOCKS5 without authentication (no SOCKS4a: dante would connect
#                   to the literal 0.0.0.1)
#   pam             SOCKS5 with user name and password only (alice/secret), checked by PAM
#                   against DIR/pam/passdb (make-pam-service.sh); SOCKS4 is refused
# dante's log is DIR/danted.log, its output DIR/stdout.log.
set -eu
HERE=$(cd "$(dirname "$0")" && pwd)
. "$HERE/lib.sh"
need_args 2 "start-danted.sh DIR PORT [none|pam]" "$@"
mkdir -p "$1"
D=$(cd "$1" && pwd)
PORT=$2
MODE=${3:-none}
need_free "$PORT"
case $MODE in
    none) ENV='' METHOD=none RULE='' ;;
    pam)  ENV=$("$HERE/make-pam-service.sh" "$D/pam" danted alice:secret)
          METHOD=pam.username RULE='pam.servicename: danted' ;;
    *)    echo "unknown mode $MODE" >&2; exit 2 ;;
esac
# A rule block must span several lines: dante takes one on a single line for a syntax error.
cat > "$D/danted.conf" <<CONF
logoutput: $D/danted.log
internal: 127.0.0.1 port = $PORT
external: 127.0.0.1
socksmethod: $METHOD
clientmethod: none
user.privileged: root
user.unprivileged: root
client pass {
  from: 127.0.0.0/8 to: 0.0.0.0/0
  log: error
}
socks pass {
  from: 127.0.0.0/8 to: 127.0.0.0/8
  command: connect
  log: error connect
  $RULE
}
socks block {
  from: 0.0.0.0/0 to: 0.0.0.0/0
  log: connect error
}
CONF
# Without -D danted stays in the foreground; the children it forks end with it.
# shellcheck disable=SC2086  # ENV is a list of NAME=VALUE words
env $ENV danted -f "$D/danted.conf" -p "$D/danted.pid" >"$D/stdout.log" 2>&1 &
PID=$!
wait_ready "$PID" "port_busy $PORT" "$D/stdout.log" "$D/danted.log"
echo "$PID"
