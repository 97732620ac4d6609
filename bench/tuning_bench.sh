#!/bin/sh
# Builds the release daemon and measures what -C, -T and the server pool size do (see
# tuning_bench.py). Arguments go to tuning_bench.py, e.g. --seconds 10.
set -eu
cd "$(dirname "$0")/.."
./bench/release.sh
exec /usr/bin/python3 bench/tuning_bench.py build/release/tarvodine "$@"
