#!/bin/sh
# Builds the release tree and measures how long one cleaning of a store of 100,000 objects holds
# the cache's mutex (see cleaning_bench.cpp). An argument gives another number of objects.
set -eu
cd "$(dirname "$0")/.."
./bench/release.sh
cmake --build build/release --target cleaning_bench -j "$(nproc)"
exec build/release/cleaning_bench "$@"
