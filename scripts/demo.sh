#!/bin/sh
# Sets up, builds and runs the main job: a small puzzle generated and then
# solved, in light mode (256 MiB, no 2080 MiB dataset) with 2 RandomX steps
# per segment, so it takes well under a minute. The solved key must equal
# the key the generator kept.
set -eu
cd "$(dirname "$0")/.."
./scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j "$(nproc 2>/dev/null || echo 2)"

bin=$PWD/build/zanth-timelock
work=$(mktemp -d "${TMPDIR:-/tmp}/zanth-timelock-demo.XXXXXX")
echo "== working in $work"
cd "$work"

# The service's signing key: a fresh 32-byte Ed25519 seed, owner-only; keygen
# prints its public key, the pin that solvers are given out of band.
echo "== keygen: the service's signing key and its pin"
"$bin" keygen --signing-key-out service.key

echo "== generate: 96 segments of 2 steps each (light mode)"
"$bin" generate --epoch 1 --iterations 2 --signing-key service.key \
    --manifest-out manifest.json --epoch-key-out epoch.key --mode light

# A solver pins the service's public key, obtained from the service out of
# band; pubkey prints it again from the key file.
pin=$("$bin" pubkey --signing-key service.key)

echo "== solve: the same 192 steps, one after another"
"$bin" solve --manifest manifest.json --service-public-key "$pin" \
    --checkpoint progress.log --key-out solved.key --checkpoint-interval 1 --mode light

if cmp -s epoch.key solved.key; then
    echo "== solved key equals the generated epoch key: $(cat solved.key)"
else
    echo "== solved key differs from the generated epoch key" >&2
    exit 1
fi
echo "== checkpoint log: $(grep -c . progress.log) checkpoints in $work/progress.log"
