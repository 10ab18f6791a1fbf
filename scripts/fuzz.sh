#!/bin/sh
# Runs a fuzz campaign: scripts/fuzz.sh TARGET SECONDS [libFuzzer options...]
# TARGET is one of the names in ZT_FUZZ_TARGETS (fuzz/CMakeLists.txt), such
# as manifest or checkpoint. Builds the fuzz tree in
# build-fuzz/ (clang, libFuzzer, address and undefined-behaviour
# sanitizers), then fuzzes on one core at low priority, starting from the
# target's corpus in fuzz/corpus/TARGET. New inputs go to
# build-fuzz/corpus/TARGET (the repository's corpus is not touched; copy a
# finding there by hand, with a test or a fix); crashes are saved as
# build-fuzz/crash-*. The last line libFuzzer prints tells the number of
# executions ("Done N runs").
set -eu
cd "$(dirname "$0")/.."
if [ $# -lt 2 ]; then
    echo "usage: scripts/fuzz.sh TARGET SECONDS [libFuzzer options...]" >&2
    exit 2
fi
target=$1
seconds=$2
shift 2

./scripts/setup.sh
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZT_FUZZ=ON \
    -DZT_BUILD_TESTS=OFF -DZT_BUILD_BENCH=OFF >/dev/null
nice -n 15 cmake --build build-fuzz -j 2 --target "${target}_fuzz"

mkdir -p "build-fuzz/corpus/$target"
cd build-fuzz
exec nice -n 19 "./fuzz/${target}_fuzz" -max_total_time="$seconds" -print_final_stats=1 \
    "$@" "corpus/$target" "../fuzz/corpus/$target"
