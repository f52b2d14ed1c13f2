#!/usr/bin/env bash
# The real program in a real X server: it comes up on a drive with a stale
# cleaner.txt, shows its window at the classic size with the window class its
# desktop entry names, rewrites cleaner.txt, and ends with status 0 through
# File, Exit typed on the keyboard. A drive without WINDOWS gets a message and
# status 1; a wrong option status 2.
#
#   start_exit_e2e.sh BRIGHTSWEEP_BINARY
set -euo pipefail

binary=$1
title='Win 95/98 Brightsweep'
. "$(dirname "$0")/e2e_common.sh"

# Waits for the program to end and sets status to its exit status. It runs in
# this shell, not in $(...): the program is a child of this shell only, and a
# wait in the subshell of $(...) gave -1 instead of its status.
wait_exit() {
    status=0
    if ! wait_for 15 bash -c "! kill -0 $app_pid 2>/dev/null"; then
        status=timeout
        return
    fi
    wait "$app_pid" || status=$?
    app_pid=
}

find_window() {
    xdotool search --name "^$title\$" 2>/dev/null | head -n 1
}

has_window() {
    [ -n "$(find_window)" ]
}

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
# From a terminal or a package check there may be no display at all.
env -u DISPLAY -u QT_QPA_PLATFORM "$binary" --version | grep -q '^brightsweep [0-9]' \
    || fail "--version needs a display"
env -u DISPLAY -u QT_QPA_PLATFORM "$binary" --help | grep -q -- '--drive-c' \
    || fail "--help needs a display"

# A display of our own: Xvfb picks a free number and tells us which.
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
wait_for 20 grep -q '[0-9]' "$work/display" || fail "Xvfb did not start: $(cat "$work/xvfb.log")"
export DISPLAY=":$(head -n 1 "$work/display")"
unset QT_QPA_PLATFORM
wait_for 10 xdpyinfo >/dev/null 2>&1 || fail "Xvfb does not answer"

# Start-up on a drive whose cleaner.txt holds something else.
drive=$work/drive_c
mkdir -p "$drive/WINDOWS/TEMP"
head -c 1000 /dev/urandom >"$drive/WINDOWS/cleaner.txt"
"$binary" --drive-c "$drive" >"$work/app.log" 2>&1 &
app_pid=$!
wait_for 15 has_window || fail "no window titled '$title' appeared"
window=$(find_window)

geometry=$(xwininfo -id "$window")
width=$(awk '/Width:/ {print $2}' <<<"$geometry")
height=$(awk '/Height:/ {print $2}' <<<"$geometry")
[ "$width" -eq 329 ] || fail "window is $width pixels wide, not 329"
# 362 pixels of client area below a menu bar of the style's height.
menu=$((height - 362))
[ "$menu" -ge 15 ] && [ "$menu" -le 40 ] || fail "window is $height pixels high: no 362-pixel client area below a menu bar"

# On X11 docks tie the window to its menu entry by the class in WM_CLASS.
entry=$(dirname "$0")/../../resources/org.brightsweep.Brightsweep.desktop
wm_class=$(xprop -id "$window" WM_CLASS)
entry_class=$(sed -n 's/^StartupWMClass=//p' "$entry")
[[ "$wm_class" == *", \"$entry_class\"" ]] \
    || fail "the window's $wm_class does not end with the entry's StartupWMClass '$entry_class'"

wait_for 5 cleaner_is_written || fail "cleaner.txt is not 15 bytes"
printf '"Hello World"\r\n' | cmp -s - "$drive/WINDOWS/cleaner.txt" || fail "cleaner.txt does not hold its line"

# File, Exit from the keyboard.
xdotool windowfocus --sync "$window" 2>/dev/null || xdotool windowfocus "$window"
sleep 0.3
xdotool key --delay 100 alt+f
sleep 0.5
xdotool key x
wait_exit
[ "$status" = 0 ] || fail "after File, Exit the program ended with '$status', not 0: $(cat "$work/app.log")"

# A drive without WINDOWS: a message box, status 1, nothing written.
empty=$work/empty_drive
mkdir -p "$empty/My Documents"
"$binary" --drive-c "$empty" >"$work/app.log" 2>&1 &
app_pid=$!
wait_for 15 has_window || fail "no message appeared for a drive without WINDOWS"
box=$(find_window)
xdotool windowfocus --sync "$box" 2>/dev/null || xdotool windowfocus "$box"
sleep 0.3
xdotool key Return
wait_exit
[ "$status" = 1 ] || fail "a drive without WINDOWS ended with '$status', not 1"
grep -q -- '--drive-c' "$work/app.log" || fail "the message does not say how to map another folder"
[ "$(find "$empty" | wc -l)" -eq 2 ] || fail "something was written to a drive without WINDOWS"

echo "PASS"
