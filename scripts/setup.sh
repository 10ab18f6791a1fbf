#!/bin/sh
# Installs the Debian packages the build and the tests need, and nothing else.
# Idempotent: packages already present are left alone; needs only apt-get.
#   scripts/setup.sh         the build and the unit tests
#   scripts/setup.sh slurm   also Slurm and MUNGE, for the cluster drill
#                            (tests/slurm/run); their services are not started
set -eu

packages="build-essential cmake ninja-build pkg-config libsodium-dev libgtest-dev libbenchmark-dev python3 clang libclang-rt-dev binutils-aarch64-linux-gnu"
if [ "${1:-}" = "slurm" ]; then
    packages="$packages slurmctld slurmd slurm-client munge"
fi

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

# Packages that ship daemons would start them on a machine with an init
# system; the cluster drill starts its own, so none is started here.
policy=/usr/sbin/policy-rc.d
made_policy=""
if [ ! -e "$policy" ]; then
    printf '#!/bin/sh\nexit 101\n' | $sudo tee "$policy" >/dev/null
    $sudo chmod 755 "$policy"
    made_policy=1
fi

echo "setup: installing$missing" >&2
status=0
$sudo env DEBIAN_FRONTEND=noninteractive apt-get update -qq || status=$?
# shellcheck disable=SC2086
[ "$status" -eq 0 ] && { $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing >&2 || status=$?; }
[ -n "$made_policy" ] && $sudo rm -f "$policy"
exit "$status"
