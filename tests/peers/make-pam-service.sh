#!/bin/sh
# A PAM service that checks passwords against a file of its own, so that a test logs in as a
# user the machine does not have and never touches /etc/pam.d: pam_wrapper redirects the PAM
# library to DIR/pam.d and pam_matrix reads DIR/passdb.
# usage: make-pam-service.sh DIR SERVICE USER:PASSWORD...
#   Prints the environment a program needs to use it, as NAME=VALUE words for env(1).
#   pam_matrix's lines are user:password:service, so a password cannot hold a ':'.
set -eu
HERE=$(cd "$(dirname "$0")" && pwd)
. "$HERE/lib.sh"
need_args 3 "make-pam-service.sh DIR SERVICE USER:PASSWORD..." "$@"
mkdir -p "$1/pam.d"
D=$(cd "$1" && pwd)
SERVICE=$2
shift 2
MATRIX=
for m in /usr/lib/*/pam_wrapper/pam_matrix.so; do
    [ -f "$m" ] && MATRIX=$m
done
if [ -z "$MATRIX" ]; then
    echo "pam_matrix.so not found: install libpam-wrapper" >&2
    exit 1
fi
: > "$D/passdb"
for entry in "$@"; do
    printf '%s:%s\n' "$entry" "$SERVICE" >> "$D/passdb"
done
printf 'auth required %s passdb=%s\naccount required %s passdb=%s\n' \
    "$MATRIX" "$D/passdb" "$MATRIX" "$D/passdb" > "$D/pam.d/$SERVICE"
# Any other service name falls back to "other": it must refuse, never ask the machine's users.
printf 'auth required pam_deny.so\naccount required pam_deny.so\n' > "$D/pam.d/other"
echo "LD_PRELOAD=libpam_wrapper.so PAM_WRAPPER=1 PAM_WRAPPER_SERVICE_DIR=$D/pam.d"
