#!/bin/sh
# Builds the release daemon and measures loading, memory and per-request cost of a URL blacklist
# of one million domains (see blacklist_bench.py). Arguments go to blacklist_bench.py, e.g.
# --domains 2000000 or --requests 20000.
set -eu
cd "$(dirname "$0")/.."
./bench/release.sh
exec /usr/bin/python3 bench/blacklist_bench.py build/release/tarvodine "$@"
