#!/bin/sh
# Sets up, builds and runs every test: unit tests (optimised GCC build, with
# the RandomX fallbacks again under each CPU feature mask), the same unit
# tests built with clang under AddressSanitizer and UndefinedBehaviorSanitizer,
# the fuzz targets' corpora replayed (clang, libFuzzer), the black-box cases
# of tests/conformance against the built program (and those of
# ../shared/conformance when a checkout has them beside it), the aarch64 and
# riscv64 cross builds under qemu (scripts/cross.sh), and the cluster drills
# of tests/slurm (a single-node Slurm, and one of three nodes in network
# namespaces that loses a node mid-task; each starts and stops its own;
# three to four minutes; skipped when not run as root). As root it also builds the Debian
# package, installs it, runs the installed program and removes it
# (scripts/deb_check.sh).
set -eu
cd "$(dirname "$0")/.."

# Each stage's heading also tells how long the stage before it took.
started=$(date +%s)
last=""
stage() {
    now=$(date +%s)
    if [ -n "$last" ]; then echo "   (previous stage: $((now - last)) s)"; fi
    last=$now
    echo "== $*"
}

./scripts/setup.sh cross

jobs=$(nproc 2>/dev/null || echo 2)

stage "build (release)"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DZT_WERROR=ON >/dev/null
cmake --build build -j "$jobs"

stage "unit tests (release)"
ctest --test-dir build -LE slow --output-on-failure -j "$jobs"

stage "Debian package: built, installed, run and removed"
./scripts/deb_check.sh build

# The second compiler: clang builds the whole project (warnings are errors)
# and its unit tests run, under the sanitizers.
stage "build (clang; address and undefined-behaviour sanitizers)"
CC=clang CXX=clang++ cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZT_SANITIZE=ON \
      -DZT_BUILD_BENCH=OFF -DZT_WERROR=ON >/dev/null
cmake --build build-asan -j "$jobs"

stage "unit tests (clang, sanitizers)"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir build-asan -LE "slow|nosan" --output-on-failure -j "$jobs"

stage "fuzz targets (clang, libFuzzer): every corpus replayed"
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZT_FUZZ=ON \
      -DZT_BUILD_TESTS=OFF -DZT_BUILD_BENCH=OFF >/dev/null
cmake --build build-fuzz -j "$jobs"
ctest --test-dir build-fuzz --output-on-failure

stage "conformance cases"
tests/conformance/run --bin build/zanth-timelock

# The shared cases beside a checkout, when there are any, with their own
# runner if they come with one.
if [ -d ../shared/conformance/cases ]; then
    stage "conformance cases in ../shared/conformance"
    if [ -x ../shared/conformance/run ]; then
        ../shared/conformance/run --bin build/zanth-timelock
    else
        tests/conformance/run --bin build/zanth-timelock ../shared/conformance/cases
    fi
fi

stage "aarch64 cross build under qemu"
./scripts/cross.sh aarch64

stage "riscv64 cross build of the RandomX library and its tests under qemu"
./scripts/cross.sh riscv64

stage "cluster drills: a puzzle's segments as a Slurm job array, on one node and on three losing one"
if [ "$(id -u)" -eq 0 ]; then
    ./scripts/setup.sh slurm
    tests/slurm/run --bin build/zanth-timelock
else
    echo "cluster drills: need root (namespaces, and the daemons run as root); skipped"
fi

stage "done: every stage passed in $(( $(date +%s) - started )) s"
