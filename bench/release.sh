#!/bin/sh
# Sets up the machine and builds the release daemon in build/release, for the benchmarks.
set -eu
cd "$(dirname "$0")/.."
./scripts/setup.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARVODINE_TESTS=OFF >/dev/null
cmake --build build/release -j "$(nproc)"
