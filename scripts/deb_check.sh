#!/bin/sh
# Builds the Debian package of a build tree (cpack -G DEB), checks it with
# lintian (no error or warning; README, "Installing", explains its override),
# installs it, runs it as a user would (the completions, a small light-mode
# generate, a solve started through xargs and asked how far it is by the man
# page's own SIGUSR1 recipe, which must pick the solve alone) and removes it,
# leaving no file behind. Needs root and lintian (scripts/setup.sh); a machine
# that already has the package or a program at /usr/bin is skipped.
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
fail() {
    echo "deb check: $*" >&2
    exit 1
}
command -v lintian >/dev/null 2>&1 || fail "lintian is missing (scripts/setup.sh installs it)"

(cd "$build" && rm -f zanth-timelock_*.deb && cpack -G DEB >/dev/null)
deb=$(ls "$build"/zanth-timelock_*.deb)
echo "deb check: built $(basename "$deb")"

work=$(mktemp -d)
wrapper=""
cleanup() {
    if [ -n "$wrapper" ]; then
        for pid in $(pgrep -P "$wrapper" || true) "$wrapper"; do kill "$pid" 2>/dev/null || true; done
    fi
    dpkg -r zanth-timelock >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT

if ! lintian --fail-on error,warning "$deb" >"$work/lintian" 2>&1; then
    cat "$work/lintian" >&2
    fail "lintian finds errors or warnings"
fi
echo "deb check: lintian: no errors, no warnings"

dpkg -i "$deb" >/dev/null
[ "$(dpkg-query -W -f='${Suggests}' zanth-timelock)" = bash-completion ] || fail "does not suggest bash-completion"
[ -f /usr/share/zsh/vendor-completions/_zanth-timelock ] || fail "no zsh completion where Debian's zsh looks"
bash -c '. /usr/share/bash-completion/completions/zanth-timelock && complete -p zanth-timelock' >/dev/null ||
    fail "the bash completion does not register itself"

cd "$work"
/usr/bin/zanth-timelock --version
pin=$(/usr/bin/zanth-timelock keygen --signing-key-out service.key)
/usr/bin/zanth-timelock generate --epoch 1 --iterations 1 --mode light --signing-key service.key \
    --manifest-out puzzle.json --epoch-key-out epoch.key >/dev/null

# The recipe as the installed page has it, kept to this script's process
# group (-g), where xargs is too, so that no one else's solve on this machine
# is counted or signalled; with pgrep, what it picks.
recipe=$(zcat /usr/share/man/man1/zanth-timelock.1.gz | sed -n 's/^\$ \(pkill \\-USR1 .*\)/\1/p' | sed 's/\\-/-/g')
[ -n "$recipe" ] || fail "no pkill -USR1 recipe in the man page"
group=$(ps -o pgid= -p $$ | tr -d ' ')
selector="pgrep -g $group ${recipe#pkill -USR1 }"
signal="pkill -USR1 -g $group ${recipe#pkill -USR1 }"

# Whether process $1 catches or ignores SIGUSR1 yet (bit 0x200 of the masks).
usr1_handled() {
    for mask in $(sed -n 's/^Sig\(Cgt\|Ign\):[[:space:]]*//p' "/proc/$1/status" 2>/dev/null); do
        [ $((0x${mask#????????????} & 0x200)) -ne 0 ] && return 0
    done
    return 1
}

echo puzzle.json | xargs -I{} /usr/bin/zanth-timelock solve --manifest {} --service-public-key "$pin" \
    --checkpoint progress.log --key-out solved.key --mode light 2>solve.err &
wrapper=$!
solver=""
for _ in $(seq 300); do
    solver=$(pgrep -P "$wrapper" -x zanth-timelock || true)
    [ -n "$solver" ] && usr1_handled "$solver" && break
    solver=""
    sleep 0.1
done
[ -n "$solver" ] || fail "the solve under xargs did not start"
chosen=$(eval "$selector" | tr '\n' ' ')
[ "$chosen" = "$solver " ] || fail "the man page's recipe ($recipe) picks '$chosen', not only the solve $solver"
eval "$signal" || fail "the man page's recipe ($recipe) signalled nothing"
wait "$wrapper" || { cat solve.err >&2; fail "the solve under xargs failed"; }
wrapper=""
grep -q '^solve: ' solve.err || { cat solve.err >&2; fail "the solve wrote no status line on SIGUSR1"; }
cmp epoch.key solved.key
echo "deb check: generated, solved, answered the man page's SIGUSR1 recipe"

dpkg-query -L zanth-timelock >files
dpkg -r zanth-timelock >/dev/null
while IFS= read -r f; do
    if [ -f "$f" ] || [ -L "$f" ]; then fail "$f left after dpkg -r"; fi
done <files
echo "deb check: installed, checked, removed"
