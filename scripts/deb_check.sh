#!/bin/sh
# Builds the Debian package of a build tree (cpack -G DEB), installs it with
# dpkg, runs the installed program as a user would (--version, a small
# light-mode generate and solve, the man page and guides in place) and
# removes the package again, leaving the machine as it was. Needs root; a
# machine that already has the package or a program at /usr/bin is left
# alone (skipped).
#   scripts/deb_check.sh build
set -eu
build=${1:-build}

if [ "$(id -u)" -ne 0 ]; then
    echo "deb check: needs root (dpkg -i); skipped"
    exit 0
fi
if dpkg-query -W -f='${Status}' zanth-timelock 2>/dev/null | grep -q "install ok installed" ||
   [ -e /usr/bin/zanth-timelock ]; then
    echo "deb check: zanth-timelock is already installed here; skipped"
    exit 0
fi

(cd "$build" && rm -f zanth-timelock_*.deb && cpack -G DEB >/dev/null)
deb=$(ls "$build"/zanth-timelock_*.deb)
echo "deb check: built $(basename "$deb")"

work=$(mktemp -d)
cleanup() {
    dpkg -r zanth-timelock >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT

dpkg -i "$deb" >/dev/null
for f in /usr/bin/zanth-timelock /usr/share/man/man1/zanth-timelock.1.gz /usr/share/man/man1/zanth-timelock.1 \
         /usr/share/bash-completion/completions/zanth-timelock /usr/share/zsh/site-functions/_zanth-timelock \
         /usr/share/doc/zanth-timelock/README.md /usr/share/doc/zanth-timelock/cluster.md; do
    case $f in
        *.1.gz|*.1) [ -e /usr/share/man/man1/zanth-timelock.1.gz ] || [ -e /usr/share/man/man1/zanth-timelock.1 ] ||
                     { echo "deb check: no man page" >&2; exit 1; } ;;
        *) [ -f "$f" ] || { echo "deb check: $f missing" >&2; exit 1; } ;;
    esac
done

cd "$work"
/usr/bin/zanth-timelock --version
pin=$(/usr/bin/zanth-timelock keygen --signing-key-out service.key)
/usr/bin/zanth-timelock generate --epoch 1 --iterations 1 --mode light --signing-key service.key \
    --manifest-out puzzle.json --epoch-key-out epoch.key >/dev/null
/usr/bin/zanth-timelock solve --manifest puzzle.json --service-public-key "$pin" --checkpoint progress.log \
    --key-out solved.key --mode light
cmp epoch.key solved.key

dpkg -r zanth-timelock >/dev/null
if [ -e /usr/bin/zanth-timelock ] || [ -e /usr/share/doc/zanth-timelock/README.md ]; then
    echo "deb check: files left after dpkg -r" >&2
    exit 1
fi
echo "deb check: installed, generated and solved, removed"
