#!/bin/sh
# Builds the release daemon and compares a 100 MiB download through its CONNECT tunnel with the
# same download straight from a loopback nginx over HTTPS (see connect_bench.py). Arguments go
# to connect_bench.py, e.g. --rounds 9 or --proxy-args "-b 262144:262144".
set -eu
cd "$(dirname "$0")/.."
./bench/release.sh
exec /usr/bin/python3 bench/connect_bench.py build/release/tarvodine "$@"
