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
       -fno-sanitize-recover=undefined -DTIXML_USE_STL -iquote $root/src"

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

# The sources go into an archive, so the target links only the objects it reaches and needs no
# library of the rest of the program. Objects of removed sources would linger: archive current ones.
objs=""
for src in "$root"/src/*.cpp; do
    name=$(basename "$src" .cpp)
    [ "$name" = main ] || objs="$objs $build/obj/$name.o"
done
rm -f "$build/libcore.a"
# shellcheck disable=SC2086
ar rcs "$build/libcore.a" $objs
$cxx -fsanitize=fuzzer,address,undefined "$build/obj/header_fuzz.o" "$build/libcore.a" -o "$build/header_fuzz" \
    -ltinyxml -lpcre2-posix -lpcre2-8 -lpam -lntlm -lssl -lcrypto -lz -lpthread -ldl

cd "$build"
exec ./header_fuzz -max_total_time="$seconds" -max_len=8192 -timeout=10 -rss_limit_mb=2048 \
    -dict="$here/header.dict" -artifact_prefix="$build/" -print_final_stats=1 \
    "$build/corpus" "$here/corpus/header"
