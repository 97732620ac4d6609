#!/bin/sh
# Builds the release daemon and compares it with direct requests to a loopback nginx (see
# bench.py). Arguments go to bench.py, e.g. --seconds 10.
set -eu
cd "$(dirname "$0")/.."
./scripts/setup.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARVODINE_TESTS=OFF >/dev/null
cmake --build build/release -j "$(nproc)"
exec /usr/bin/python3 bench/bench.py build/release/tarvodine "$@"
