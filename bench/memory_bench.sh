#!/bin/sh
# Builds the release daemon and measures its memory, threads and descriptors per held client
# connection (see memory_bench.py). Arguments go to memory_bench.py, e.g. --connections 500.
set -eu
cd "$(dirname "$0")/.."
./scripts/setup.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARVODINE_TESTS=OFF >/dev/null
cmake --build build/release -j "$(nproc)"
exec /usr/bin/python3 bench/memory_bench.py build/release/tarvodine "$@"
