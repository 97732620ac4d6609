#!/bin/sh
# Builds the release daemon and measures cache hits against direct requests and squid's hits (see
# cache_bench.py). Arguments go to cache_bench.py, e.g. --seconds 10.
set -eu
cd "$(dirname "$0")/.."
./bench/release.sh
exec /usr/bin/python3 bench/cache_bench.py build/release/tarvodine "$@"
