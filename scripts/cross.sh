#!/bin/sh
# Cross builds run under user-mode emulation (qemu-user-static), as CI runs
# them from scripts/test.sh; needs `scripts/setup.sh cross`.
#   scripts/cross.sh aarch64   the whole project for 64-bit ARM (arm64
#                              libraries through dpkg multiarch), run with
#                              every optional CPU feature (-cpu max): every
#                              RandomX test binary (vectors, traces, the
#                              compiler-against-interpreter differential,
#                              which runs once aarch64/ has compilers), again
#                              without hardware AES, the black-box cases of
#                              tests/conformance, and a calibrate, generate,
#                              solve round trip in light mode
#   scripts/cross.sh riscv64   the RandomX library alone for 64-bit RISC-V
#                              (cmake -S randomx; Debian 12 has no riscv64
#                              libsodium): its vector check through the
#                              portable interpreter
# Emulation is slow (the 256 MiB Argon2d cache alone takes seconds), so each
# test binary runs as one process sharing one cache per key, in light mode.
set -eu
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)
arch=${1:?usage: scripts/cross.sh aarch64|riscv64}
build=build-$arch

case "$arch" in
aarch64)
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZT_WERROR=ON -DZT_BUILD_BENCH=OFF \
          -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/aarch64-linux-gnu.cmake" >/dev/null
    tests="randomx_aes_test randomx_program_test randomx_vm_test randomx_cache_test randomx_hash_test randomx_compiler_test"
    # shellcheck disable=SC2086
    cmake --build "$build" -j "$jobs" --target zanth-timelock $tests

    export QEMU_CPU=max QEMU_LD_PREFIX=/usr/aarch64-linux-gnu
    for t in $tests; do
        echo "== aarch64: $t"
        qemu-aarch64-static "$build/tests/$t" --gtest_brief=1
    done
    for t in randomx_compiler_test randomx_hash_test; do
        echo "== aarch64: $t without hardware AES"
        qemu-aarch64-static "$build/tests/$t" --gtest_brief=1 --cpu-mask=aes
    done

    # The program as the black-box runner starts it: through the emulator.
    wrapper=$PWD/$build/zanth-timelock-qemu
    printf '#!/bin/sh\nexec qemu-aarch64-static -cpu max -L /usr/aarch64-linux-gnu %s "$@"\n' \
           "$PWD/$build/zanth-timelock" > "$wrapper"
    chmod 755 "$wrapper"
    echo "== aarch64: conformance cases"
    tests/conformance/run --bin "$wrapper" --timeout-factor 20

    echo "== aarch64: calibrate, generate --iterations-from, solve (light mode)"
    work=$(mktemp -d "${TMPDIR:-/tmp}/zanth-timelock-aarch64.XXXXXX")
    (
        cd "$work"
        "$wrapper" keygen --signing-key-out service.key >/dev/null
        pin=$("$wrapper" pubkey --signing-key service.key)
        "$wrapper" calibrate --samples 2 --mode light > measured.json
        # A measured day is far too long under emulation: one step per segment.
        sed 's/"iterations_for_one_day": [0-9]*/"iterations_for_one_day": 1/' measured.json > calibration.json
        "$wrapper" generate --epoch 7 --iterations-from calibration.json --mode light --signing-key service.key \
            --manifest-out puzzle.json --epoch-key-out epoch.key > id.txt 2> generate.err
        if grep -q "without compiled code" generate.err; then
            echo "generate warned that this machine hashes without compiled code:"
            cat generate.err
        fi
        "$wrapper" solve --manifest puzzle.json --service-public-key "$pin" --checkpoint progress.log \
            --key-out solved.key --mode light
        cmp epoch.key solved.key
        echo "round trip: the solved key is the generated one"
    )
    rm -rf "$work"
    ;;
riscv64)
    cmake -S randomx -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZT_WERROR=ON \
          -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/riscv64-linux-gnu.cmake" -DRANDOMX_VECTOR_ARGS="--keys 2 --cases 2" >/dev/null
    cmake --build "$build" -j "$jobs"
    echo "== riscv64: the RandomX vectors through the portable interpreter"
    ctest --test-dir "$build" --output-on-failure
    ;;
*)
    echo "usage: scripts/cross.sh aarch64|riscv64" >&2
    exit 2
    ;;
esac
