#!/bin/sh
# Installs the Debian 12 packages that tarvodine builds with and that its tests run against.
# Does nothing when everything is already there.
set -eu
PACKAGES="g++ cmake ninja-build pkg-config libssl-dev zlib1g-dev libpcre2-dev libtinyxml-dev
libntlm0-dev libpam0g-dev libgtest-dev python3-pytest python3-pytest-xdist clang libclang-rt-14-dev curl
nginx-light dante-server squid libpam-wrapper faketime iproute2 openssl wrk vsftpd
clamav-daemon clamdscan c-icap libc-icap-mod-urlcheck libc-icap-mod-contentfiltering
libc-icap-mod-virus-scan dnsmasq-base bind9-dnsutils chromium chromium-driver python3-selenium"
missing=""
for p in $PACKAGES; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
# Package scripts must not start the peers' system services on their standard ports.
if [ ! -e /usr/sbin/policy-rc.d ]; then
    printf '#!/bin/sh\nexit 101\n' > /usr/sbin/policy-rc.d
    chmod 755 /usr/sbin/policy-rc.d
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends $missing
