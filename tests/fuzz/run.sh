#!/bin/sh
# Builds the fuzz targets with clang's libFuzzer and runs one of them.
#   tests/fuzz/run.sh [seconds]              the header target (default 30 seconds)
#   tests/fuzz/run.sh <target> [seconds]     the target of tests/fuzz/<target>_fuzz.cpp
#   tests/fuzz/run.sh --build                builds every target and runs none
# Every target links the one archive of all sources but the entry point. The objects, the
# binaries and the corpora they grow live in $FUZZ_BUILD_DIR (default build/fuzz); the seeds in
# tests/fuzz/corpus/<target> are only read. A finding is written to the build dir as
# <target>-crash-*, -leak-*, -oom-* or -timeout-*, and the script then exits non-zero.
# FUZZ_NO_BUILD=1 runs what was built without checking it: targets that run side by side (as
# under CTest, after its build step) must not rebuild the archive under each other.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${FUZZ_BUILD_DIR:-$root/build/fuzz}
cxx=${CXX_FUZZ:-clang++-14}
jobs=${FUZZ_BUILD_JOBS:-3}

target=header
build_only=0
if [ $# -gt 0 ]; then
    case "$1" in
        --build) build_only=1; shift ;;
        *[!0-9]*) target=$1; shift ;;
    esac
fi
seconds=${1:-30}
targets=$(cd "$here" && ls ./*_fuzz.cpp | sed 's|^\./||; s|_fuzz\.cpp$||')
if [ "$build_only" = 0 ] && [ ! -e "$here/${target}_fuzz.cpp" ]; then
    echo "no fuzz target '$target'; there are: $(echo $targets)" >&2
    exit 2
fi

build_all() {
    mkdir -p "$build/obj"
    # Every object carries the coverage instrumentation, so the fuzzer sees inside the parsers.
    flags="-std=c++20 -g -O1 -Wall -Wextra -fno-omit-frame-pointer -fsanitize=fuzzer-no-link,address,undefined
           -fno-sanitize-recover=undefined -DTIXML_USE_STL -iquote $root/src -iquote $root/tests/unit -DTARVODINE_SOURCE_DIR=\"$root\""

    # Every source but the entry point, and the targets, each rebuilt when it or a header it may
    # include is newer than its object.
    newest_header=$(ls -t "$root"/src/*/*.h | head -n 1)
    newest_fuzz_header=$(ls -t "$root"/src/*/*.h "$here"/*.h 2>/dev/null | head -n 1)
    pids=""
    for src in "$root"/src/*/*.cpp "$here"/*_fuzz.cpp; do
        name=$(basename "$src" .cpp)
        [ "$name" = main ] && continue
        obj="$build/obj/$name.o"
        header=$newest_header
        case "$name" in *_fuzz) header=$newest_fuzz_header ;; esac
        if [ -e "$obj" ] && [ "$obj" -nt "$src" ] && [ "$obj" -nt "$header" ]; then
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

    # The sources go into an archive, so a target links only the objects it reaches and needs no
    # library of the rest of the program. Objects of removed sources would linger: archive
    # current ones.
    objs=""
    for src in "$root"/src/*/*.cpp; do
        name=$(basename "$src" .cpp)
        [ "$name" = main ] || objs="$objs $build/obj/$name.o"
    done
    rm -f "$build/libcore.a"
    # shellcheck disable=SC2086
    ar rcs "$build/libcore.a" $objs
    for name in $targets; do
        $cxx -fsanitize=fuzzer,address,undefined "$build/obj/${name}_fuzz.o" "$build/libcore.a" -o "$build/${name}_fuzz" \
            -ltinyxml -lpcre2-8 -lpam -lntlm -lssl -lcrypto -lz -lresolv -lpthread -ldl
    done
}

if [ "${FUZZ_NO_BUILD:-0}" != 1 ]; then
    build_all
fi
[ "$build_only" = 1 ] && exit 0

# The longest input: a header block with room around its 4 KiB area; a configuration document
# as long as the shipped section definitions and then some; for the others a listing, a body,
# or what peers send on a connection (written into a socket pair before the call, so it must
# fit the pair's buffer).
max_len=16384
[ "$target" = header ] && max_len=8192
[ "$target" = config ] && max_len=131072
dict=""
[ -e "$here/$target.dict" ] && dict="-dict=$here/$target.dict"
# The configuration documents are also seeded with the shipped ones, read where they live.
seeds=""
[ "$target" = config ] && seeds="$root/etc"

mkdir -p "$build/corpus/$target"
cd "$build"
# shellcheck disable=SC2086
exec "./${target}_fuzz" -max_total_time="$seconds" -max_len="$max_len" -timeout=10 -rss_limit_mb=2048 \
    $dict -artifact_prefix="$build/$target-" -print_final_stats=1 \
    "$build/corpus/$target" "$here/corpus/$target" $seeds
