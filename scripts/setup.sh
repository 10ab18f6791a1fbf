#!/bin/sh
# Installs the Debian packages the build and the tests need, and nothing else.
# Idempotent: packages already present are left alone; needs only apt-get.
#   scripts/setup.sh         the build and the unit tests
#   scripts/setup.sh cross   also the aarch64 and riscv64 cross builds run
#                            under qemu (cross compilers, qemu-user-static,
#                            arm64 libraries through dpkg multiarch)
#   scripts/setup.sh slurm   also Slurm, MUNGE and iproute2, for the cluster drills
#                            (tests/slurm/run); their services are not started
set -eu

# binutils-aarch64-linux-gnu, binutils-riscv64-linux-gnu: the AArch64 and
# RV64 assemblers' encodings are checked against the GNU assembler by native
# unit tests. dpkg-dev and lintian: the Debian package is built (cpack,
# dpkg-shlibdeps) and checked (scripts/deb_check.sh).
packages="build-essential cmake ninja-build pkg-config libsodium-dev libgtest-dev libbenchmark-dev python3 clang libclang-rt-dev binutils-aarch64-linux-gnu binutils-riscv64-linux-gnu dpkg-dev lintian"
foreign=""
case "${1:-}" in
    slurm) packages="$packages slurmctld slurmd slurm-client munge iproute2" ;;
    cross)
        # googletest: its sources, built by the riscv64 cross build (Debian
        # has no riscv64 GoogleTest).
        packages="$packages g++-aarch64-linux-gnu g++-riscv64-linux-gnu qemu-user-static googletest"
        foreign="arm64"
        packages="$packages libsodium-dev:arm64 libgtest-dev:arm64"
        ;;
esac

native=$(dpkg --print-architecture)

# Whether NAME (this machine's architecture) or NAME:ARCH is installed. A
# plain name is asked for as NAME:native: multiarch packages installed for
# another architecture would otherwise answer for it.
installed() {
    case "$1" in
        *:*) query=$1 ;;
        *) query=$1:$native ;;
    esac
    if dpkg-query -W -f='${Status}\n' "$query" 2>/dev/null | grep -q "install ok installed"; then
        return 0
    fi
    # An architecture-independent package has no NAME:ARCH form.
    case "$1" in *:*) return 1 ;; esac
    [ "$(dpkg-query -W -f='${Architecture}' "$1" 2>/dev/null)" = all ] &&
        dpkg-query -W -f='${Status}\n' "$1" 2>/dev/null | grep -q "install ok installed"
}

missing=""
for p in $packages; do
    installed "$p" || missing="$missing $p"
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

# The arm64 libraries come from the same archive once dpkg knows the
# architecture.
for arch in $foreign; do
    if ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
        echo "setup: adding the $arch architecture to dpkg" >&2
        $sudo dpkg --add-architecture "$arch"
    fi
done

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
