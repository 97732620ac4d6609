#!/bin/sh
# The origin server: nginx on 127.0.0.1, plain HTTP and HTTPS with a self-signed certificate
# for localhost and 127.0.0.1 (DIR/cert.pem, for clients that check it).
# usage: start-nginx.sh DIR HTTP_PORT HTTPS_PORT   -> prints the pid; stop: kill PID
# Serves /hello.txt (a static file: Content-Length, ETag, Last-Modified, ranges) and
# /redirect (302 to /hello.txt). Requests are logged to DIR/logs/access.log.
set -eu
HERE=$(cd "$(dirname "$0")" && pwd)
. "$HERE/lib.sh"
need_args 3 "start-nginx.sh DIR HTTP_PORT HTTPS_PORT" "$@"
mkdir -p "$1"
D=$(cd "$1" && pwd)
HTTP=$2
HTTPS=$3
need_free "$HTTP" "$HTTPS"
mkdir -p "$D/www" "$D/tmp" "$D/logs"
printf 'hello from origin\n' > "$D/www/hello.txt"
[ -f "$D/cert.pem" ] || openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=localhost \
    -addext 'subjectAltName=DNS:localhost,IP:127.0.0.1' \
    -keyout "$D/key.pem" -out "$D/cert.pem" 2>/dev/null
# Started as root, nginx would run its worker as nobody, which cannot enter a test's private
# (0700) directory.
USER_LINE=
[ "$(id -u)" -eq 0 ] && USER_LINE='user root;'
# Every path nginx writes is under DIR: its compiled-in ones belong to the machine's own nginx.
cat > "$D/nginx.conf" <<CONF
$USER_LINE
daemon off;
worker_processes 1;
pid $D/nginx.pid;
error_log $D/logs/error.log info;
events { worker_connections 256; }
http {
  access_log $D/logs/access.log;
  client_body_temp_path $D/tmp/body; proxy_temp_path $D/tmp/proxy;
  fastcgi_temp_path $D/tmp/fcgi; uwsgi_temp_path $D/tmp/uwsgi; scgi_temp_path $D/tmp/scgi;
  types { text/html html; text/plain txt; }
  default_type application/octet-stream;
  server {
    listen 127.0.0.1:$HTTP;
    listen 127.0.0.1:$HTTPS ssl;
    ssl_certificate $D/cert.pem;
    ssl_certificate_key $D/key.pem;
    root $D/www;
    location = /redirect { return 302 /hello.txt; }
  }
}
CONF
nginx -p "$D" -c "$D/nginx.conf" -e "$D/logs/error.log" >"$D/logs/stdout.log" 2>&1 &
PID=$!
wait_ready "$PID" "port_busy $HTTP && port_busy $HTTPS" "$D/logs/stdout.log" "$D/logs/error.log"
echo "$PID"
