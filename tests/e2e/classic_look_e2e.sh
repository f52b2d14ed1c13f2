#!/usr/bin/env bash
# The real program in a real X server, started as by default and with
# --classic: photographed, the classic windows are grey (192, 192, 192) with
# the white, grey and black bevel of the classic buttons, where the default
# start draws in the desktop's style; and every window has the size, and its
# buttons the places, of the default start.
#
#   classic_look_e2e.sh BRIGHTSWEEP_BINARY
# Two starts with both dialogs each take 15 s alone on a quiet machine.
# repeat-e2e limits: 60 120
set -euo pipefail

binary=$1
here=$(cd "$(dirname "$0")" && pwd)
. "$here/e2e_common.sh"

drive=$(advanced_drive)

start_display
export QT_QPA_PLATFORM=xcb

# pixel X Y: the colour at X,Y of $window as "R,G,B".
pixel() {
    /usr/bin/python3 "$here/window_pixels.py" "$window" "$1,$2" | cut -d' ' -f2
}

# edges X Y0 Y1: the first and the last row from Y0 to Y1 whose pixel in
# column X is not the colour at X,Y0: the top and bottom edges of a control
# that lies between the two rows, on the background. With "across" first,
# the same for columns X0 to X1 of row Y: its left and right edges.
edges() {
    local points=() at
    if [ "$1" = across ]; then
        for ((at = $2; at <= $3; at++)); do points+=("$at,$4"); done
    else
        for ((at = $2; at <= $3; at++)); do points+=("$1,$at"); done
    fi
    /usr/bin/python3 "$here/window_pixels.py" "$window" "${points[@]}" | awk '
        NR == 1 { background = $2 }
        $2 != background { if (first == "") first = NR; last = NR }
        END { print first, last }'
}

options_gone() {
    ! xdotool search --onlyvisible --name '^Brightsweep Options$' >/dev/null 2>&1
}

# look NAME: photographs the windows of a start with the look NAME (default
# or classic) and records what it found as NAME_* variables.
look() {
    local name=$1 flag=
    [ "$name" = classic ] && flag=--classic
    "$binary" --drive-c "$drive" $flag >"$work/app.log" 2>&1 &
    app_pid=$!
    wait_for_window 'Win 95/98 Brightsweep' 15 || fail "$name: no main window: $(cat "$work/app.log")"
    local menu_bar=$((HEIGHT - 362))
    eval "${name}_main=${WIDTH}x${HEIGHT}"
    # Frame1 sits at 8,40 of the client area, Clean at 224,16 in it, 73 by 25.
    local clean_x=$((8 + 224)) clean_y=$((menu_bar + 40 + 16))
    eval "${name}_background='$(pixel 3 $((clean_y + 40)))'"
    eval "${name}_face='$(pixel $((clean_x + 4)) $((clean_y + 12)))'"
    eval "${name}_bevel='$(pixel $((clean_x + 36)) "$clean_y") $(pixel $((clean_x + 36)) $((clean_y + 23))) $(pixel $((clean_x + 36)) $((clean_y + 24)))'"
    # Clean's edges: top and bottom down its middle, left and right across it.
    eval "${name}_buttons='$(edges $((clean_x + 36)) $((clean_y - 6)) $((clean_y + 30))) $(edges across $((clean_x - 6)) $((clean_x + 78)) $((clean_y + 12)))'"

    # The options dialog (Alt+O) and the about dialog (Help, About); OK and
    # the about dialog's OK lie 73 by 25 at 8,128 and 232,88 of them.
    focus_window "$window"
    local main=$window
    xdotool key alt+o
    wait_for_window 'Brightsweep Options' 10 || fail "$name: the options dialog did not open"
    eval "${name}_options=${WIDTH}x${HEIGHT}"
    eval "${name}_options_background='$(pixel $((WIDTH - 3)) $((HEIGHT - 3)))'"
    eval "${name}_options_bevel='$(pixel 44 128) $(pixel 44 151) $(pixel 44 152)'"
    eval "${name}_options_button='$(edges 44 122 158) $(edges across 2 86 140)'"
    focus_window "$window"
    xdotool key Escape
    wait_for 10 options_gone || fail "$name: Escape did not close the options dialog"
    focus_window "$main"
    xdotool key alt+h
    wait_for 10 menu_shown || fail "$name: the Help menu did not open"
    xdotool key a
    wait_for_window 'About MyApp' 10 || fail "$name: the about dialog did not open"
    eval "${name}_about=${WIDTH}x${HEIGHT}"
    eval "${name}_about_background='$(pixel 3 $((HEIGHT - 3)))'"
    eval "${name}_about_bevel='$(pixel 268 88) $(pixel 268 111) $(pixel 268 112)'"
    eval "${name}_about_button='$(edges 268 82 118) $(edges across 230 310 100)'"
    kill "$app_pid"
    wait "$app_pid" 2>/dev/null || true
    app_pid=
}

look default
look classic

grey=192,192,192
[ "$classic_background" = "$grey" ] || fail "the classic main window's background is $classic_background, not $grey"
[ "$classic_face" = "$grey" ] || fail "the classic Clean button's face is $classic_face, not $grey"
# The raised bevel: white at the top, black at the bottom, grey inside it.
bevel="255,255,255 128,128,128 0,0,0"
[ "$classic_bevel" = "$bevel" ] || fail "Clean's frame reads $classic_bevel (top, inner and outer bottom), not $bevel"
[ "$classic_options_background" = "$grey" ] || fail "the classic options dialog is $classic_options_background, not $grey"
[ "$classic_options_bevel" = "$bevel" ] || fail "the classic OK button's frame reads $classic_options_bevel, not $bevel"
[ "$classic_about_background" = "$grey" ] || fail "the classic about dialog is $classic_about_background, not $grey"
[ "$classic_about_bevel" = "$bevel" ] || fail "the about dialog's classic OK reads $classic_about_bevel, not $bevel"

# The default start keeps the desktop's style: Fusion's light grey.
fusion=239,239,239
for found in "$default_background" "$default_options_background" "$default_about_background"; do
    [ "$found" = "$fusion" ] || fail "a window of the default start is $found, not Fusion's $fusion"
done

for part in main options about buttons options_button about_button; do
    default_value=default_$part classic_value=classic_$part
    [ "${!classic_value}" = "${!default_value}" ] \
        || fail "$part: '${!classic_value}' with --classic, '${!default_value}' by default"
done
echo "PASS"
