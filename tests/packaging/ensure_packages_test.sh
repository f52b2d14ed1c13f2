#!/usr/bin/env bash
# scripts/lib/packages.sh with a missing package, against stand-ins for
# apt-get and sudo: as root it runs apt-get itself; as another user without
# sudo it names the packages and the command for root and fails; through
# sudo, which clears the environment, apt-get still gets DEBIAN_FRONTEND.
#
#   ensure_packages_test.sh PACKAGES_SH
set -euo pipefail
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
chmod 755 "$work"
fail() { echo "FAIL: $*" >&2; exit 1; }

mkdir "$work/bin" "$work/sudo"
cp "$1" "$work/packages.sh"
for tool in bash cat dpkg-query env grep id; do ln -s "$(command -v "$tool")" "$work/bin/$tool"; done
printf '#!/bin/sh\necho "apt-get $1 $2 $3 uid=$(id -u) DEBIAN_FRONTEND=${DEBIAN_FRONTEND-}"\n' >"$work/bin/apt-get"
printf '#!/bin/sh\nexec env -i PATH="$PATH" "$@"\n' >"$work/sudo/sudo"
chmod 755 "$work/bin/apt-get" "$work/sudo/sudo"
# Runs ensure_packages on an installed and a missing package, with PATH $1.
ensure() {
    env -i PATH="$1" DEBIAN_FRONTEND=dialog bash -c \
        'set -euo pipefail; . "$0"; ensure_packages bash brightsweep-no-such-package' "$work/packages.sh" 2>&1
}
# Another user: ourselves unless we are root.
as_user=()
if [ "$(id -u)" -eq 0 ]; then
    as_user=(setpriv --reuid=65534 --regid=65534 --clear-groups)
    out=$(ensure "$work/bin") || fail "as root: $out"
    [ "$(grep -c "^apt-get .* uid=0 DEBIAN_FRONTEND=noninteractive$" <<<"$out")" -eq 2 ] \
        || fail "as root, apt-get was not run twice, noninteractive: $out"
fi

status=0
out=$("${as_user[@]}" bash -c "$(declare -f ensure); work=$work; ensure $work/bin") || status=$?
[ "$status" -ne 0 ] || fail "without root or sudo it succeeded: $out"
grep -q 'brightsweep-no-such-package.*As root, run: apt-get .*install .*brightsweep-no-such-package' <<<"$out" \
    || fail "without root or sudo it does not tell what to run as root: $out"
! grep -q -e 'not found' -e '^apt-get' <<<"$out" || fail "without root or sudo it tried to install: $out"

out=$("${as_user[@]}" bash -c "$(declare -f ensure); work=$work; ensure $work/sudo:$work/bin") \
    || fail "through sudo: $out"
[ "$(grep -c "^apt-get .* DEBIAN_FRONTEND=noninteractive$" <<<"$out")" -eq 2 ] \
    || fail "through sudo, apt-get was not run twice, noninteractive: $out"
echo PASS
