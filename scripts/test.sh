#!/bin/sh
# Installs what is missing, builds tarvodine and its tests with AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs every test through CTest.
set -eu
cd "$(dirname "$0")/.."
./scripts/setup.sh
cmake -S . -B build/test -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTARVODINE_SANITIZE=ON >/dev/null
cmake --build build/test -j "$(nproc)"
cd build/test
ctest --output-on-failure -j "$(nproc)" "$@"
