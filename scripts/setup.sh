#!/bin/sh
# Installs the Debian packages the build and the tests need, and nothing else.
# Idempotent: packages already present are left alone; needs only apt-get.
set -eu

packages="build-essential cmake ninja-build pkg-config libsodium-dev libgtest-dev libbenchmark-dev python3 clang libclang-rt-dev"

missing=""
for p in $packages; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $p"
    fi
done

[ -z "$missing" ] && exit 0

if [ "$(id -u)" -eq 0 ]; then
    sudo=""
elif command -v sudo >/dev/null 2>&1; then
    sudo="sudo"
else
    echo "setup: missing packages:$missing (run as root or install sudo)" >&2
    exit 1
fi

echo "setup: installing$missing" >&2
$sudo env DEBIAN_FRONTEND=noninteractive apt-get update -qq
# shellcheck disable=SC2086
$sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing >&2
