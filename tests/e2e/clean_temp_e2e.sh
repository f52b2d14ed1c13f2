#!/usr/bin/env bash
# The real program in a real X server: tick "Clean Temporary Windows Files"
# and press Clean with the mouse, then look at the drive.
#
#   clean_temp_e2e.sh BRIGHTSWEEP_BINARY
set -euo pipefail

binary=$1
. "$(dirname "$0")/e2e_common.sh"

# A drive C: whose TEMP holds junk, beside folders that must stay as they are.
drive=$work/drive_c
mkdir -p "$drive/WINDOWS/TEMP" "$drive/WINDOWS/Recent" "$drive/WINDOWS/Cookies" "$drive/RECYCLED" \
    "$drive/WINDOWS/Temporary Internet Files" "$drive/WINDOWS/Downloaded Program Files" "$drive/WINDOWS/SYSTEM"
printf 'junk\r\n' >"$drive/WINDOWS/TEMP/~DF1A2B.TMP"
printf 'junk\r\n' >"$drive/WINDOWS/TEMP/setup.log"
printf 'junk\r\n' >"$drive/WINDOWS/TEMP/NOEXT"
head -c 65536 /dev/zero >"$drive/WINDOWS/TEMP/big.tmp"
for folder in Recent Cookies "Temporary Internet Files" "Downloaded Program Files" SYSTEM; do
    printf 'keep\r\n' >"$drive/WINDOWS/$folder/keep.dat"
done
printf 'keep\r\n' >"$drive/RECYCLED/DC1.TXT"
printf '[windows]\r\n' >"$drive/WINDOWS/WIN.INI"

# Everything outside TEMP, with content and permission bits.
outside() {
    (cd "$drive" && find . -path ./WINDOWS/TEMP -prune -o -printf '%y %m %s %p\n' | LC_ALL=C sort \
        && find . -path ./WINDOWS/TEMP -prune -o -type f -print0 | LC_ALL=C sort -z | xargs -0 sha256sum)
}

start_display

# After start-up the program has written cleaner.txt into WINDOWS.
QT_QPA_PLATFORM=xcb "$binary" --drive-c "$drive" >"$work/app.log" 2>&1 &
app_pid=$!
wait_for_window 'Win 95/98 Brightsweep' 15 || fail "no main window: $(cat "$work/app.log")"
wait_for 10 test -f "$drive/WINDOWS/cleaner.txt" || fail "start-up wrote no cleaner.txt"
before=$(outside)

# The client area (329 by 362 pixels) lies below the menu bar. Frame1 sits at
# 8,40 in it; inside Frame1, Check4 at 16,96 (17 high) and Command1 at 224,16
# (73 by 25). Click the box's square and the middle of the button.
menu_bar=$((HEIGHT - 362))
[ "$WIDTH" -eq 329 ] && [ "$menu_bar" -gt 0 ] || fail "unexpected window size ${WIDTH}x${HEIGHT}"
frame_x=$((X + 8))
frame_y=$((Y + menu_bar + 40))
click $((frame_x + 16 + 7)) $((frame_y + 96 + 8))
click $((frame_x + 224 + 36)) $((frame_y + 16 + 12))

temp_holds_only_marker() {
    [ "$(ls -A "$drive/WINDOWS/TEMP")" = "deleted.txt" ]
}
wait_for 10 temp_holds_only_marker || fail "TEMP holds: $(ls -A "$drive/WINDOWS/TEMP" | tr '\n' ' ')"
printf '"This directory was emptyed by Brightsweep"\r\n' | cmp - "$drive/WINDOWS/TEMP/deleted.txt" \
    || fail "deleted.txt is not the 45-byte marker line"
[ "$(outside)" = "$before" ] || fail "something outside TEMP changed"

# Nothing is ticked now, so Clean is greyed: a second press must not touch
# the new junk. Exit through the File menu afterwards; events are handled in
# order, so once the program has gone the press has been dealt with.
printf 'new\r\n' >"$drive/WINDOWS/TEMP/later.tmp"
click $((frame_x + 224 + 36)) $((frame_y + 16 + 12))
click $((X + 15)) $((Y + menu_bar / 2))
wait_for 10 menu_shown || fail "the File menu did not open"
click $((X + 30)) $((Y + menu_bar + 10))
wait_exit 10
[ "$exit_status" = 0 ] || fail "after File > Exit the program ended with '$exit_status', not 0: $(cat "$work/app.log")"
[ "$(ls -A "$drive/WINDOWS/TEMP" | LC_ALL=C sort | tr '\n' ' ')" = "deleted.txt later.tmp " ] \
    || fail "a second Clean ran with nothing ticked: $(ls -A "$drive/WINDOWS/TEMP" | tr '\n' ' ')"
echo "PASS"
