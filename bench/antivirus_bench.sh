#!/bin/sh
# Builds the release daemon and compares a 10 MiB download through it with and without ClamAV
# scanning against clamd's own time for the same bytes (see antivirus_bench.py). Arguments go to
# antivirus_bench.py, e.g. --rounds 30 or --mib 20.
set -eu
cd "$(dirname "$0")/.."
./bench/release.sh
exec /usr/bin/python3 bench/antivirus_bench.py build/release/tarvodine "$@"
