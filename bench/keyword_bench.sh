#!/bin/sh
# Builds the release daemon and measures the CPU time the keyword filter costs per MiB of text
# with twenty rules (see keyword_bench.py). Arguments go to keyword_bench.py, e.g. --rounds 100.
set -eu
cd "$(dirname "$0")/.."
./bench/release.sh
exec /usr/bin/python3 bench/keyword_bench.py build/release/tarvodine "$@"
