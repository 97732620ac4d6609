#!/bin/sh
# Builds the header parser's fuzz target with clang's libFuzzer and runs it.
#   tests/fuzz/run.sh [seconds]      (default 30)
# The objects, the binary and the corpus it grows live in $FUZZ_BUILD_DIR (default build/fuzz);
# the seeds in tests/fuzz/corpus/header are only read. A finding is written to the build dir
# as crash-*, leak-* or timeout-*, and the script then exits non-zero.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
seconds=${1:-30}
build=${FUZZ_BUILD_DIR:-$root/build/fuzz}
cxx=${CXX_FUZZ:-clang++-14}
jobs=${FUZZ_BUILD_JOBS:-3}

mkdir -p "$build/obj" "$build/corpus"
# Every object carries the coverage instrumentation, so the fuzzer sees inside the parsers.
flags="-std=c++20 -g -O1 -Wall -Wextra -fno-omit-frame-pointer -fsanitize=fuzzer-no-link,address,undefined
       -fno-sanitize-recover=undefined -iquote $root/src"

# Every source but the entry point, rebuilt when it or any header is newer than its object.
newest_header=$(ls -t "$root"/src/*.h | head -n 1)
pids=""
for src in "$root"/src/*.cpp "$here/header_fuzz.cpp"; do
    name=$(basename "$src" .cpp)
    [ "$name" = main ] && continue
    obj="$build/obj/$name.o"
    if [ -e "$obj" ] && [ "$obj" -nt "$src" ] && [ "$obj" -nt "$newest_header" ]; then
        continue
    fi
    # shellcheck disable=SC2086
    $cxx $flags -c "$src" -o "$obj" &
    pids="$pids $!"
    if [ "$(echo $pids | wc -w)" -ge "$jobs" ]; then
        for pid in $pids; do wait "$pid"; done
        pids=""
    fi
done
for pid in $pids; do wait "$pid"; done

# Objects of sources that were removed since the last build would linger: link only current ones.
objs=""
for src in "$root"/src/*.cpp "$here/header_fuzz.cpp"; do
    name=$(basename "$src" .cpp)
    [ "$name" = main ] || objs="$objs $build/obj/$name.o"
done
# shellcheck disable=SC2086
$cxx -fsanitize=fuzzer,address,undefined $objs -o "$build/header_fuzz" -lz -lcrypto -lpthread -ldl

cd "$build"
exec ./header_fuzz -max_total_time="$seconds" -max_len=8192 -timeout=10 -rss_limit_mb=2048 \
    -dict="$here/header.dict" -artifact_prefix="$build/" -print_final_stats=1 \
    "$build/corpus" "$here/corpus/header"
