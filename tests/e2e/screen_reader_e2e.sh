#!/usr/bin/env bash
# The real program as a screen reader meets it: on a private session bus with
# the accessibility bus that screen readers use, screen_reader.py reads the
# window's controls and cleans TEMP through accessibility actions alone.
#
#   screen_reader_e2e.sh BRIGHTSWEEP_BINARY
#
# Each silent toolbar button is watched 2.5 s for a hover text that must not
# come, so a run takes 13 s alone on a quiet machine.
# repeat-e2e limits: 60 120
set -euo pipefail

binary=$1
here=$(cd "$(dirname "$0")" && pwd)
. "$here/e2e_common.sh"

drive=$(advanced_drive)
printf 'junk\r\n' >"$drive/WINDOWS/TEMP/~DF1A2B.TMP"
printf 'junk\r\n' >"$drive/WINDOWS/TEMP/setup.log"

start_display

# Everything that talks to the buses runs inside the private session: when it
# ends, the session bus goes, and the accessibility bus it started with it.
cat >"$work/session" <<'INNER'
set -euo pipefail
QT_QPA_PLATFORM=xcb QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 "$BINARY" --drive-c "$DRIVE" >"$WORK/app.log" 2>&1 &
app=$!
status=0
# Debian's own interpreter: python3-pyatspi belongs to it.
/usr/bin/python3 "$HERE/screen_reader.py" "$app" "$DRIVE/WINDOWS/TEMP" || status=$?
kill "$app" 2>/dev/null || true
wait "$app" 2>/dev/null || true
exit "$status"
INNER
status=0
BINARY=$binary DRIVE=$drive WORK=$work HERE=$here \
    timeout 110 dbus-run-session -- bash "$work/session" >"$work/reader.log" 2>&1 || status=$?
[ "$status" -eq 0 ] || fail "$(sed -n 's/^FAIL: //p' "$work/reader.log" | grep . || cat "$work/reader.log") (program said: $(cat "$work/app.log"))"
echo "PASS"
