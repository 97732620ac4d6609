#!/bin/sh
# Builds the release daemon and measures its memory, threads and descriptors per held client
# connection (see memory_bench.py). Arguments go to memory_bench.py, e.g. --connections 500.
set -eu
cd "$(dirname "$0")/.."
./bench/release.sh
exec /usr/bin/python3 bench/memory_bench.py build/release/tarvodine "$@"
