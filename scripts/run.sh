#!/bin/sh
# Installs what is missing, builds the release daemon and runs it in the foreground
# on the shipped configuration, whose network section listens on 127.0.0.1:3128. Extra arguments
# go to the daemon.
set -eu
cd "$(dirname "$0")/.."
./scripts/setup.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARVODINE_TESTS=OFF >/dev/null
cmake --build build/release -j "$(nproc)"
exec build/release/tarvodine -f -c etc/tarvodine.xml -s etc/section.xml "$@"
