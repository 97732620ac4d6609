#!/bin/sh
# Builds the release daemon and compares a 100 MiB download through its CONNECT tunnel with the
# same download straight from a loopback nginx over HTTPS (see connect_bench.py). Arguments go
# to connect_bench.py, e.g. --rounds 9 or --proxy-args "-b 262144:262144".
set -eu
cd "$(dirname "$0")/.."
./scripts/setup.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARVODINE_TESTS=OFF >/dev/null
cmake --build build/release -j "$(nproc)"
exec /usr/bin/python3 bench/connect_bench.py build/release/tarvodine "$@"
