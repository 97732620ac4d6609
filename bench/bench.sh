#!/bin/sh
# Builds the release daemon and compares it with direct requests to a loopback nginx (see
# bench.py). Arguments go to bench.py, e.g. --seconds 10.
set -eu
cd "$(dirname "$0")/.."
./bench/release.sh
exec /usr/bin/python3 bench/bench.py build/release/tarvodine "$@"
