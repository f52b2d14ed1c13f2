#!/usr/bin/env bash
# The real program in a real X server, cleaning 100,000 files out of TEMP:
# while the clean runs the window answers the window manager's ping, draws
# itself when uncovered, and keeps a click on Check2 for after the run.
#
#   long_clean_e2e.sh BRIGHTSWEEP_BINARY
#
# The drive lies in memory where there is one: the check is of the window,
# not of the disk, and a disk would make the run many times longer for
# nothing. Set BRIGHTSWEEP_E2E_SHOTS to a folder to keep the screenshots.
set -euo pipefail

binary=$1
here=$(cd "$(dirname "$0")" && pwd)
if [ -d /dev/shm ] && [ -w /dev/shm ]; then
    export TMPDIR=/dev/shm
fi
. "$here/e2e_common.sh"

drive=$work/drive_c
mkdir -p "$drive/WINDOWS/TEMP" "$drive/WINDOWS/Recent" "$drive/WINDOWS/Cookies" "$drive/RECYCLED" \
    "$drive/WINDOWS/Temporary Internet Files" "$drive/WINDOWS/Downloaded Program Files"
printf 'junk\r\n' >"$drive/WINDOWS/Temporary Internet Files/page.htm"
# Empty files serve as well as full ones, and touch makes them the fastest.
(cd "$drive/WINDOWS/TEMP" && seq -f '~DF%06g.TMP' 0 99999 | xargs touch)
echo "files made after ${SECONDS} s"

start_display
QT_QPA_PLATFORM=xcb "$binary" --drive-c "$drive" >"$work/app.log" 2>&1 &
app_pid=$!
wait_for_window 'Win 95/98 Brightsweep' 15 || fail "no main window: $(cat "$work/app.log")"
menu_bar=$((HEIGHT - 362))
[ "$WIDTH" -eq 329 ] && [ "$menu_bar" -gt 0 ] || fail "unexpected window size ${WIDTH}x${HEIGHT}"

shots=${BRIGHTSWEEP_E2E_SHOTS:-$work/shots}
mkdir -p "$shots"
# Debian's own interpreter: python3-xlib belongs to it, and another python3
# may come first on PATH.
/usr/bin/python3 "$here/live_window.py" "$window" "$menu_bar" "$drive/WINDOWS/TEMP" "$shots" >"$work/live.log" 2>&1 \
    || fail "$(grep -m 1 '^FAIL' "$work/live.log" || tail -n 3 "$work/live.log")"
cat "$work/live.log"
echo "clean watched after ${SECONDS} s"
[ "$(ls -A "$drive/WINDOWS/TEMP")" = "deleted.txt" ] || fail "TEMP was not emptied"
[ -f "$drive/WINDOWS/Temporary Internet Files/page.htm" ] || fail "the queued click on Check2 ran inside the clean"

# Check2 is ticked now, so Clean empties Temporary Internet Files. Leave
# through File > Exit: events are handled in order, so once the program has
# gone the press has been dealt with.
click $((X + 8 + 224 + 36)) $((Y + menu_bar + 40 + 16 + 12))
click $((X + 15)) $((Y + menu_bar / 2))
wait_for 10 menu_shown || fail "the File menu did not open"
click $((X + 30)) $((Y + menu_bar + 10))
wait_exit 10
[ "$exit_status" = 0 ] || fail "after File > Exit the program ended with '$exit_status', not 0: $(cat "$work/app.log")"
[ "$(ls -A "$drive/WINDOWS/Temporary Internet Files")" = "deleted.txt" ] \
    || fail "Clean after the queued click did not empty Temporary Internet Files"
echo "PASS"
