#!/bin/sh
# Runs a program whose name lookups go to the given resolv.conf, leaving the machine's own
# untouched: the file is bind-mounted over /etc/resolv.conf in a mount namespace of the
# program's alone. The program keeps this script's pid.
# usage: with-resolver.sh RESOLV_CONF PROGRAM [ARG...]
set -eu
if [ "$#" -lt 2 ]; then
    echo "usage: with-resolver.sh RESOLV_CONF PROGRAM [ARG...]" >&2
    exit 2
fi
exec unshare --mount --propagation private /bin/sh -c 'mount --bind "$1" /etc/resolv.conf && shift && exec "$@"' sh "$@"
