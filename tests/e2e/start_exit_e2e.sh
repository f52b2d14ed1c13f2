#!/usr/bin/env bash
# The real program in a real X server: it comes up on a drive with a stale
# cleaner.txt, shows its window at the classic size with the window class its
# desktop entry names, rewrites cleaner.txt, and ends with status 0 through
# File, Exit typed on the keyboard. An options dialog whose load failed still
# comes up and, as the last window, ends the program with Cancel. A drive
# without WINDOWS gets a message and status 1; a wrong option status 2.
#
#   start_exit_e2e.sh BRIGHTSWEEP_BINARY
set -euo pipefail

binary=$1
title='Win 95/98 Brightsweep'
. "$(dirname "$0")/e2e_common.sh"

cleaner_is_written() {
    [ "$(stat -c %s "$drive/WINDOWS/cleaner.txt")" -eq 15 ]
}

# Without a display at all: the command line is checked first.
status=0
QT_QPA_PLATFORM=offscreen "$binary" --no-such-option >/dev/null 2>&1 || status=$?
[ "$status" -eq 2 ] || fail "an unknown option exits with $status, not 2"
status=0
QT_QPA_PLATFORM=offscreen "$binary" --drive-c "$work" extra >/dev/null 2>&1 || status=$?
[ "$status" -eq 2 ] || fail "a stray argument exits with $status, not 2"
QT_QPA_PLATFORM=offscreen "$binary" --version | grep -q '^brightsweep [0-9]' || fail "--version prints no version"
QT_QPA_PLATFORM=offscreen "$binary" --help | grep -q -- '--drive-c' || fail "--help does not name --drive-c"
QT_QPA_PLATFORM=offscreen "$binary" --help | grep -q -- "--classic" || fail "--help does not name --classic"
# From a terminal or a package check there may be no display at all.
env -u DISPLAY -u QT_QPA_PLATFORM "$binary" --version | grep -q '^brightsweep [0-9]' \
    || fail "--version needs a display"
env -u DISPLAY -u QT_QPA_PLATFORM "$binary" --help | grep -q -- '--drive-c' \
    || fail "--help needs a display"

start_display
unset QT_QPA_PLATFORM

# Start-up on a drive whose cleaner.txt holds something else.
drive=$work/drive_c
mkdir -p "$drive/WINDOWS/TEMP"
head -c 1000 /dev/urandom >"$drive/WINDOWS/cleaner.txt"
"$binary" --drive-c "$drive" >"$work/app.log" 2>&1 &
app_pid=$!
wait_for_window "$title" 15 || fail "no window titled '$title' appeared"

[ "$WIDTH" -eq 329 ] || fail "window is $WIDTH pixels wide, not 329"
# 362 pixels of client area below a menu bar of the style's height.
menu=$((HEIGHT - 362))
[ "$menu" -ge 15 ] && [ "$menu" -le 40 ] || fail "window is $HEIGHT pixels high: no 362-pixel client area below a menu bar"

# On X11 docks tie the window to its menu entry by the class in WM_CLASS.
entry=$(dirname "$0")/../../resources/org.brightsweep.Brightsweep.desktop
wm_class=$(xprop -id "$window" WM_CLASS)
entry_class=$(sed -n 's/^StartupWMClass=//p' "$entry")
[[ "$wm_class" == *", \"$entry_class\"" ]] \
    || fail "the window's $wm_class does not end with the entry's StartupWMClass '$entry_class'"

wait_for 5 cleaner_is_written || fail "cleaner.txt is not 15 bytes"
printf '"Hello World"\r\n' | cmp -s - "$drive/WINDOWS/cleaner.txt" || fail "cleaner.txt does not hold its line"

# File, Exit from the keyboard.
focus_window "$window"
xdotool key alt+f
wait_for 5 menu_shown || fail "Alt+F did not open the File menu"
xdotool key x
wait_exit 10
[ "$exit_status" = 0 ] || fail "after File, Exit the program ended with '$exit_status', not 0: $(cat "$work/app.log")"

# WINDOWS goes while the program runs: the options dialog's load fails, the
# failure is shown, and the dialog comes up all the same; after File, Exit
# the dialog is the last window, and its Cancel ends the program.
vanishing=$work/vanishing_drive
mkdir -p "$vanishing/WINDOWS"
"$binary" --drive-c "$vanishing" >"$work/app.log" 2>&1 &
app_pid=$!
wait_for_window "$title" 15 || fail "no window titled '$title' appeared"
main_window=$window
mv "$vanishing/WINDOWS" "$vanishing/GONE"
focus_window "$main_window"
xdotool key alt+o
wait_for 10 find_window 'Brightsweep Options' || fail "the options dialog did not come up after its load failed"
dialog=$window
message_box() {
    box=$(xdotool search --onlyvisible --name "^$title\$" 2>/dev/null | grep -vx "$main_window" | head -n 1)
    [ -n "$box" ]
}
wait_for 10 message_box || fail "no message box showed the failed load"
focus_window "$box"
xdotool key Return
wait_for 10 eval '! message_box' || fail "the message box did not close"
focus_window "$main_window"
xdotool key alt+f
wait_for 5 menu_shown || fail "Alt+F did not open the File menu"
xdotool key x
wait_for 10 eval '! find_window "$title"' || fail "File, Exit left the main window up"
kill -0 "$app_pid" 2>/dev/null || fail "the program ended with the options dialog still open"
focus_window "$dialog"
xdotool key Escape
wait_exit 10
[ "$exit_status" = 0 ] || fail "Cancel in the last window ended the program with '$exit_status', not 0"

# A drive without WINDOWS: a message box, status 1, nothing written.
empty=$work/empty_drive
mkdir -p "$empty/My Documents"
"$binary" --drive-c "$empty" >"$work/app.log" 2>&1 &
app_pid=$!
wait_for_window "$title" 15 || fail "no message appeared for a drive without WINDOWS"
focus_window "$window"
xdotool key Return
wait_exit 10
[ "$exit_status" = 1 ] || fail "a drive without WINDOWS ended with '$exit_status', not 1"
grep -q -- '--drive-c' "$work/app.log" || fail "the message does not say how to map another folder"
[ "$(find "$empty" | wc -l)" -eq 2 ] || fail "something was written to a drive without WINDOWS"

echo "PASS"
