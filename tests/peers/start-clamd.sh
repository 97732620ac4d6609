#!/bin/sh
# The virus scanner: clamd on 127.0.0.1:PORT and on the Unix socket DIR/clamd.sock, with a tiny
# offline signature set (freshclam is never run).
# usage: start-clamd.sh DIR PORT   -> prints the pid; stop: kill PID
# Signatures: Test.EICAR.HDB  (MD5 and size of the bare 68-byte EICAR file, DIR/eicar.com)
#             Test.EICAR.NDB  (the EICAR string anywhere in a body)
#             Test.Marker.NDB (the text PROXY-TEST-VIRUS-MARKER anywhere)
# clamd reports them with ".UNOFFICIAL" appended: "stream: Test.EICAR.NDB.UNOFFICIAL FOUND".
set -eu
HERE=$(cd "$(dirname "$0")" && pwd)
. "$HERE/lib.sh"
need_args 2 "start-clamd.sh DIR PORT" "$@"
mkdir -p "$1"
D=$(cd "$1" && pwd)
P=$2
need_free "$P"
mkdir -p "$D/db" "$D/tmp"
EICAR='X5O!P%@AP[4\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*'
printf '%s' "$EICAR" > "$D/eicar.com"
hex() { printf '%s' "$1" | od -An -tx1 | tr -d ' \n'; }
echo "$(md5sum < "$D/eicar.com" | cut -d' ' -f1):68:Test.EICAR.HDB" > "$D/db/test.hdb"
# .ndb: Name:TargetType(0 any):Offset(* anywhere):HexSignature
{
    echo "Test.EICAR.NDB:0:*:$(hex "$EICAR")"
    echo "Test.Marker.NDB:0:*:$(hex PROXY-TEST-VIRUS-MARKER)"
} > "$D/db/test.ndb"
cat > "$D/clamd.conf" <<CONF
Foreground yes
TCPAddr 127.0.0.1
TCPSocket $P
LocalSocket $D/clamd.sock
DatabaseDirectory $D/db
TemporaryDirectory $D/tmp
LogFile $D/clamd.log
LogVerbose yes
StreamMaxLength 50M
MaxThreads 4
CONF
clamd -c "$D/clamd.conf" >"$D/stdout.log" 2>&1 &
PID=$!
# Ready when it answers PING (clamdscan reads the address from the same file).
wait_ready "$PID" "clamdscan --config-file=$D/clamd.conf --ping 1" "$D/stdout.log" "$D/clamd.log"
echo "$PID"
