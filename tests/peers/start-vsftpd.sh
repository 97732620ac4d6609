#!/bin/sh
# The FTP server: vsftpd on 127.0.0.1, started as root (it drops to user ftp per session).
# usage: start-vsftpd.sh DIR PORT   -> prints the pid; stop: kill PID
#   DIR/root is the tree every user sees: pub/hello.txt and pub/1mb.bin to read, upload/ to
#   write to (files and directories); a test may add files of its own anywhere under it.
#   Users: anonymous (or ftp) with any password, and alice with password secret, checked by
#   PAM against DIR/pam/passdb (make-pam-service.sh) and mapped to ftp: no system user needed.
#   Passive data ports are the kernel's choice; active connections (PORT, EPRT) come from an
#   ephemeral port, never from port 20.
#   Every command received is logged to DIR/vsftpd.log.
set -eu
HERE=$(cd "$(dirname "$0")" && pwd)
. "$HERE/lib.sh"
need_args 2 "start-vsftpd.sh DIR PORT" "$@"
mkdir -p "$1"
D=$(cd "$1" && pwd)
PORT=$2
need_free "$PORT"
mkdir -p "$D/root/pub" "$D/root/upload" "$D/empty"
printf 'hello over ftp\n' > "$D/root/pub/hello.txt"
head -c 1048576 /dev/urandom > "$D/root/pub/1mb.bin"
# vsftpd refuses a chroot root its session user may write to, and wants an empty, unwritable
# directory of root's for its own chroot: only upload/ belongs to ftp.
chmod 755 "$D" "$D/root"
chmod 555 "$D/empty"
chown ftp:ftp "$D/root/upload"
ENV=$("$HERE/make-pam-service.sh" "$D/pam" vsftpd-test alice:secret)
cat > "$D/vsftpd.conf" <<CONF
listen=YES
listen_ipv6=NO
listen_address=127.0.0.1
listen_port=$PORT
background=NO
secure_chroot_dir=$D/empty
vsftpd_log_file=$D/vsftpd.log
xferlog_enable=YES
xferlog_file=$D/xfer.log
log_ftp_protocol=YES
seccomp_sandbox=NO
anonymous_enable=YES
anon_root=$D/root
write_enable=YES
anon_upload_enable=YES
anon_mkdir_write_enable=YES
anon_other_write_enable=YES
anon_umask=022
local_enable=YES
guest_enable=YES
guest_username=ftp
local_root=$D/root
chroot_local_user=YES
pam_service_name=vsftpd-test
pasv_enable=YES
pasv_address=127.0.0.1
port_enable=YES
connect_from_port_20=NO
CONF
# shellcheck disable=SC2086  # ENV is a list of NAME=VALUE words
env $ENV vsftpd "$D/vsftpd.conf" >"$D/stdout.log" 2>&1 &
PID=$!
wait_ready "$PID" "port_busy $PORT" "$D/stdout.log" "$D/vsftpd.log"
echo "$PID"
