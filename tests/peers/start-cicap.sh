#!/bin/sh
# The ICAP server: c-icap on 127.0.0.1:PORT with the services
#   /echo                   REQMOD and RESPMOD: the message unchanged (204 when allowed)
#   /url_check              REQMOD: hosts listed in DIR/denyhosts.txt get a 403 page
#   /srv_content_filtering  RESPMOD: every "badword" becomes "[censored]"; "BLOCK-THIS-PAGE"
#                           gives a 403 page (text types only)
#   /avscan                 RESPMOD: virus_scan through clamd on CLAMD_PORT (only when given)
# usage: start-cicap.sh DIR PORT [CLAMD_PORT]   -> prints the pid; stop: kill PID
set -e
HERE=$(cd "$(dirname "$0")" && pwd)
. "$HERE/lib.sh"
need_args 2 "start-cicap.sh DIR PORT [CLAMD_PORT]" "$@"
mkdir -p "$1"; D=$(cd "$1" && pwd); P=$2; CP=${3:-}
mkdir -p "$D/tmp"
need_free "$P"
L=/usr/lib/x86_64-linux-gnu/c_icap
[ -f "$D/denyhosts.txt" ] || printf 'blocked.test\nwww.blocked.test\n' > "$D/denyhosts.txt"
cat > "$D/c-icap.conf" <<EOF
PidFile $D/c-icap.pid
CommandsSocket $D/c-icap.ctl
Port 127.0.0.1:$P
StartServers 1
MaxServers 2
MinSpareThreads 2
MaxSpareThreads 8
ThreadsPerChild 8
Timeout 60
TmpDir $D/tmp
MaxMemObject 131072
DebugLevel 1
ModulesDir $L
ServicesDir $L
TemplateDir /usr/share/c_icap/templates/
TemplateDefaultLanguage en
LoadMagicFile /etc/c-icap/c-icap.magic
ServerLog $D/server.log
AccessLog $D/access.log
Service echo srv_echo.so
Service url_check_module srv_url_check.so
url_check.LookupTableDB denyhosts host hash:$D/denyhosts.txt "Denied hosts"
url_check.Profile default block denyhosts
url_check.Profile default pass ALL
EOF
if [ -f $L/srv_content_filtering.so ]; then cat >> "$D/c-icap.conf" <<'EOF'
Service srv_cfg_filter srv_content_filtering.so
srv_content_filtering.Match Censor body /badword/ig score=10 info{REPL}=[censored]
srv_content_filtering.Match Blocker body /BLOCK-THIS-PAGE/ score=100
srv_content_filtering.Profile default block score{Blocker>50}
srv_content_filtering.Profile default replace score{Censor>5} replaceInfo=REPL
srv_content_filtering.Profile default add_header score{Censor>5} "X-Content-Filtered: yes"
EOF
fi
if [ -n "$CP" ]; then cat >> "$D/c-icap.conf" <<EOF
Module common clamd_mod.so
clamd_mod.ClamdHost 127.0.0.1
clamd_mod.ClamdPort $CP
Service antivirus_module virus_scan.so
ServiceAlias avscan virus_scan?allow204=on&sizelimit=off&mode=simple
virus_scan.ScanFileTypes TEXT DATA EXECUTABLE ARCHIVE GIF JPEG MSOFFICE
virus_scan.DefaultEngine clamd
EOF
fi
# -N: stay in the foreground, no fork to background; the pid printed is the main process
c-icap -N -f "$D/c-icap.conf" >"$D/stdout.log" 2>&1 &
PID=$!
wait_ready $PID "c-icap-client -i 127.0.0.1 -p $P -s echo" "$D/stdout.log" "$D/server.log"
echo $PID
