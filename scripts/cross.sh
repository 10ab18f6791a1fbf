#!/bin/sh
# Cross builds run under user-mode emulation (qemu-user-static), as CI runs
# them from scripts/test.sh; needs `scripts/setup.sh cross`.
#   scripts/cross.sh aarch64   the project for 64-bit ARM (arm64 libraries
#                              through dpkg multiarch, linked statically: see
#                              cmake/aarch64-linux-gnu.cmake), run with every
#                              optional CPU feature (-cpu max): every RandomX
#                              test binary (vectors, traces, the
#                              compiler-against-interpreter differential, W^X),
#                              the compiler's tests and vectors again without
#                              hardware AES (its software rounds), the
#                              black-box cases of tests/conformance, a round
#                              trip (a puzzle generated and solved on aarch64,
#                              light mode) and calibrate's summary
#   scripts/cross.sh riscv64   the RandomX library and its tests for 64-bit
#                              RISC-V (-DZT_RANDOMX_ONLY=ON: Debian 12 has no
#                              riscv64 libsodium, so not the program), run as
#                              the base set rv64gc: the vector check, the
#                              compilers against the interpreter (v1 and v2,
#                              light mode and full mode on a stand-in
#                              dataset), the compiled dataset items, W^X and
#                              the hash and chain vectors; the same tests
#                              again with Zba and Zbb
# Emulation is slow (a 256 MiB Argon2d cache takes seconds), so only what the
# emulated runs need is built, each test binary runs whole as one process
# (one cache per key; tests/CMakeLists.txt, label "emulated"), two at a time,
# in light mode with small counts.
set -eu
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)
arch=${1:?usage: scripts/cross.sh aarch64|riscv64}
build=build-$arch

# Prints how long the step started at $1 (date +%s) took.
took() { echo "   ($(($(date +%s) - $1)) s)"; }

case "$arch" in
aarch64)
    start=$(date +%s)
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZT_WERROR=ON -DZT_BUILD_BENCH=OFF \
          -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/aarch64-linux-gnu.cmake" >/dev/null
    # The binaries of tests/CMakeLists.txt's ZT_EMULATED_TESTS, and no other.
    tests="randomx_aes_test randomx_program_test randomx_vm_test randomx_cache_test randomx_hash_test randomx_compiler_test
           randomx_dataset_code_test"
    # shellcheck disable=SC2086
    cmake --build "$build" -j "$jobs" --target zanth-timelock $tests
    took "$start"

    # The toolchain file's emulator (qemu-aarch64-static -cpu max) runs them.
    echo "== aarch64: the RandomX tests, and again without hardware AES"
    start=$(date +%s)
    ctest --test-dir "$build" -L "emulated|cpumask" -j "$jobs" --output-on-failure
    took "$start"

    # The program as the black-box runner starts it: through the emulator.
    wrapper=$PWD/$build/zanth-timelock-qemu
    printf '#!/bin/sh\nexec qemu-aarch64-static -cpu max %s "$@"\n' "$PWD/$build/zanth-timelock" > "$wrapper"
    chmod 755 "$wrapper"
    echo "== aarch64: conformance cases"
    start=$(date +%s)
    tests/conformance/run --bin "$wrapper" --timeout-factor 20 --jobs "$jobs"
    took "$start"

    # Generated on aarch64 (on all threads) and solved there: the key solved
    # equals the generated one only if every segment's chain was hashed
    # alike by both. Then calibrate's summary (which needs a terminal:
    # script(1) gives it one) must not warn, since programs run compiled.
    echo "== aarch64: a puzzle generated and solved under qemu (light mode), calibrate's summary"
    start=$(date +%s)
    work=$(mktemp -d "${TMPDIR:-/tmp}/zanth-timelock-aarch64.XXXXXX")
    (
        cd "$work"
        "$wrapper" keygen --signing-key-out service.key >/dev/null
        pin=$("$wrapper" pubkey --signing-key service.key)
        "$wrapper" generate --epoch 7 --iterations 1 --mode light --signing-key service.key \
            --manifest-out puzzle.json --epoch-key-out epoch.key >/dev/null
        "$wrapper" solve --manifest puzzle.json --service-public-key "$pin" --checkpoint progress.log \
            --key-out solved.key --mode light
        cmp epoch.key solved.key
        echo "round trip: the key solved on aarch64 is the one generated there"

        script -qec "$wrapper calibrate --samples 3 --mode light >calibration.json" summary.txt >/dev/null
        if ! grep -q "one-day segments" summary.txt || grep -q "without compiled code" summary.txt; then
            echo "calibrate's summary on aarch64 is missing or warns of the interpreter:" >&2
            cat summary.txt >&2
            exit 1
        fi
        echo "calibrate: summary without the interpreter's warning"
    )
    rm -rf "$work"
    took "$start"
    ;;
riscv64)
    start=$(date +%s)
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZT_WERROR=ON -DZT_RANDOMX_ONLY=ON \
          -DZT_BUILD_BENCH=OFF -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/riscv64-linux-gnu.cmake" \
          -DRANDOMX_VECTOR_ARGS="--keys 2 --cases 2" >/dev/null
    cmake --build "$build" -j "$jobs"
    took "$start"

    # The toolchain file's emulators: qemu-riscv64-static as rv64gc, and
    # with Zba and Zbb (tests/CMakeLists.txt, labels emulated and cpumask).
    echo "== riscv64: the RandomX tests with compiled code, on rv64gc and again with Zba and Zbb"
    start=$(date +%s)
    ctest --test-dir "$build" -L "emulated|cpumask" -j "$jobs" --output-on-failure
    took "$start"
    ;;
*)
    echo "usage: scripts/cross.sh aarch64|riscv64" >&2
    exit 2
    ;;
esac
