#!/usr/bin/env bash
# Two cleans of one TEMP of 30,000 files at once, as a user who starts a
# second one (a double click, a script beside the window) would: --clean
# beside --clean on a disk and in memory, and in memory (or on the disk where
# there is none) with a read-only file, --clean beside --preview and the
# window beside --clean. Each ends as a single clean would: every junk
# file is gone, each deleted once, nothing is said to be in use, the hidden
# files stay and the marker is there; with a read-only file among them,
# both stop at it with error 75 and write no marker. On a disk image, the
# window and --clean one after the other.
#
#   two_cleans_e2e.sh BRIGHTSWEEP_BINARY
# repeat-e2e limits: 90 180
set -euo pipefail

binary=$1
. "$(dirname "$0")/e2e_common.sh"

files=30000
marker='"This directory was emptyed by Brightsweep"'$'\r'

# make_drive BASE [LOCKED]: a drive C: under BASE whose TEMP holds the junk,
# a hidden file, a DOS-hidden one and, with LOCKED, a read-only one.
make_drive() {
    drive=$(mktemp -d "$1/two-cleans-XXXXXX")
    mkdir -p "$drive/WINDOWS/TEMP"
    (cd "$drive/WINDOWS/TEMP" && seq -f '~DF%05g.TMP' 1 "$files" | xargs touch)
    printf 'hidden' >"$drive/WINDOWS/TEMP/.hidden"
    printf 'system' >"$drive/WINDOWS/TEMP/SYSTEM.DAT"
    setfattr -n user.DOSATTRIB -v '"0x2"' "$drive/WINDOWS/TEMP/SYSTEM.DAT" \
        || fail "cannot mark SYSTEM.DAT hidden on $1"
    if [ -n "${2:-}" ]; then
        printf 'keep' >"$drive/WINDOWS/TEMP/LOCKED.TMP"
        chmod a-w "$drive/WINDOWS/TEMP/LOCKED.TMP"
    fi
}

# What a clean leaves: the hidden files, and the marker or the read-only file.
left_as_one_clean_leaves() { # left_as_one_clean_leaves LOCKED
    local expected=".hidden SYSTEM.DAT deleted.txt "
    [ -z "$1" ] || expected=".hidden LOCKED.TMP SYSTEM.DAT "
    local left
    left=$(ls -A "$drive/WINDOWS/TEMP" | LC_ALL=C sort | tr '\n' ' ')
    [ "$left" = "$expected" ] || fail "$scenario: TEMP holds $(echo "$left" | cut -c 1-200), not $expected"
    [ -n "$1" ] || [ "$(cat "$drive/WINDOWS/TEMP/deleted.txt")" = "$marker" ] \
        || fail "$scenario: deleted.txt is not the marker line"
}

# ended_as_one_clean NAME STATUS LOCKED: a --clean run's status and words.
ended_as_one_clean() {
    local name=$1 status=$2
    ! grep -q 'in use' "$work/$name.out" "$work/$name.err" \
        || fail "$scenario: $name says a file is in use: $(grep -h -m 1 'in use' "$work/$name.out" "$work/$name.err")"
    if [ -z "$3" ]; then
        [ "$status" -eq 0 ] || fail "$scenario: $name ended with $status: $(cat "$work/$name.err")"
    else
        [ "$status" -eq 1 ] || fail "$scenario: $name ended with $status, not 1"
        grep -qxF "brightsweep: Run-time error '75': Path/File access error: C:\\WINDOWS\\TEMP\\LOCKED.TMP (read-only file)" \
            "$work/$name.err" || fail "$scenario: $name did not stop at LOCKED.TMP: $(cat "$work/$name.err")"
    fi
}

# How many junk files a --clean run says it deleted.
deleted_by() {
    grep -c '^  deleted  ~DF[0-9]*\.TMP ' "$work/$1.out" || true
}

# Two --clean at once, or --clean beside --preview, the second started while
# the first is inside TEMP.
console_pair() { # console_pair BASE LOCKED SECOND_MODE
    scenario="--clean beside --$3 on $(stat -f -c %T "$1")${2:+, with a read-only file}"
    make_drive "$1" "$2"
    local first=0 second=0 a b
    "$binary" --drive-c "$drive" --clean temp >"$work/a.out" 2>"$work/a.err" &
    a=$!
    stop_when_reading "$a" "$drive/WINDOWS/TEMP"
    "$binary" --drive-c "$drive" "--$3" temp >"$work/b.out" 2>"$work/b.err" &
    b=$!
    go_on_when_reading "$a" "$b" "$drive/WINDOWS/TEMP"
    wait "$a" || first=$?
    wait "$b" || second=$?
    ended_as_one_clean a "$first" "$2"
    if [ "$3" = clean ]; then
        ended_as_one_clean b "$second" "$2"
        local total=$(($(deleted_by a) + $(deleted_by b)))
        [ "$total" -eq "$files" ] || fail "$scenario: the two runs say they deleted $total files, not $files"
    else
        [ "$second" -eq 0 ] || fail "$scenario: --preview ended with $second: $(cat "$work/b.err")"
        ! grep -q 'in use' "$work/b.out" || fail "$scenario: --preview says a file is in use"
    fi
    left_as_one_clean_leaves "$2"
    rm -rf "$drive"
    echo "$scenario: as one clean ($(deleted_by a) and $(deleted_by b) deleted)"
}

# Making 30,000 files on a disk that has just lost as many can take many
# seconds, so the disk has one pair.
console_pair "$work" "" clean
memory=$work
if [ -d /dev/shm ] && [ -w /dev/shm ]; then
    memory=$(mktemp -d /dev/shm/two-cleans-XXXXXX)
    trap 'rm -rf "$memory"; cleanup' EXIT
fi
console_pair "$memory" "" clean
console_pair "$memory" locked clean
console_pair "$memory" "" preview

# The window beside --clean: tick Check4 and press Clean while --clean runs.
# Input waits until the window's clean is over, so a click on the File menu
# opens it only then; a message box, had the clean failed, would stand in
# its way.
scenario="the window beside --clean on $(stat -f -c %T "$memory")"
make_drive "$memory"
start_display
QT_QPA_PLATFORM=xcb "$binary" --drive-c "$drive" >"$work/app.log" 2>&1 &
app_pid=$!
wait_for_window 'Win 95/98 Brightsweep' 15 || fail "no main window: $(cat "$work/app.log")"
main_window=$window
menu_bar=$((HEIGHT - 362))
[ "$WIDTH" -eq 329 ] && [ "$menu_bar" -gt 0 ] || fail "unexpected window size ${WIDTH}x${HEIGHT}"
frame_x=$((X + 8))
frame_y=$((Y + menu_bar + 40))
click $((frame_x + 16 + 7)) $((frame_y + 96 + 8))
"$binary" --drive-c "$drive" --clean temp >"$work/a.out" 2>"$work/a.err" &
console=$!
stop_when_reading "$console" "$drive/WINDOWS/TEMP"
click $((frame_x + 224 + 36)) $((frame_y + 16 + 12))
go_on_when_reading "$console" "$app_pid" "$drive/WINDOWS/TEMP"
click $((X + 15)) $((Y + menu_bar / 2))
message_box_shown() {
    [ "$(xdotool search --onlyvisible --name '^Win 95/98 Brightsweep$' 2>/dev/null | wc -l)" -gt 1 ]
}
wait_for 50 eval 'menu_shown || message_box_shown' || fail "$scenario: the window's clean did not end"
! message_box_shown || fail "$scenario: the window showed a message box"
console_status=0
wait "$console" || console_status=$?
ended_as_one_clean a "$console_status" ""
click $((X + 30)) $((Y + menu_bar + 10))
wait_exit 15
[ "$exit_status" = 0 ] || fail "$scenario: after File > Exit the window ended with '$exit_status'"
left_as_one_clean_leaves ""
rm -rf "$drive"
echo "$scenario: as one clean ($(deleted_by a) deleted by --clean)"

# A disk image: the window open on it holds nothing between its cleans, so a
# --clean beside it goes through; the window's clean beside another --clean
# waits for it, and the two end as one after the other.
export MTOOLS_SKIP_CHECK=1
image=$work/win98.img
mkfs.fat -F 16 -C "$image" 65536 >/dev/null || fail "mkfs.fat failed"
mkdir -p "$work/image/TEMP"
(cd "$work/image/TEMP" && seq -f '~DF%05g.TMP' 1 2000 | xargs touch)
mmd -i "$image" ::/WINDOWS || fail "mmd failed"
mcopy -s -i "$image" "$work/image/TEMP" ::/WINDOWS/ || fail "mcopy failed"
scenario="--clean beside the window on a disk image"
QT_QPA_PLATFORM=xcb "$binary" --drive-c "$image" >"$work/app.log" 2>&1 &
app_pid=$!
wait_for_window 'Win 95/98 Brightsweep' 15 || fail "$scenario: no main window: $(cat "$work/app.log")"
menu_bar=$((HEIGHT - 362))
frame_x=$((X + 8))
frame_y=$((Y + menu_bar + 40))
status=0
"$binary" --drive-c "$image" --clean temp >"$work/a.out" 2>"$work/a.err" || status=$?
[ "$status" -eq 0 ] || fail "$scenario: --clean ended with $status: $(cat "$work/a.err")"
[ "$(deleted_by a)" -eq 2000 ] || fail "$scenario: --clean deleted $(deleted_by a) files, not 2000"
scenario="the window's clean beside --clean on a disk image"
click $((frame_x + 16 + 7)) $((frame_y + 96 + 8))
"$binary" --drive-c "$image" --clean temp >"$work/a.out" 2>"$work/a.err" &
console=$!
click $((frame_x + 224 + 36)) $((frame_y + 16 + 12))
click $((X + 15)) $((Y + menu_bar / 2))
wait_for 50 eval 'menu_shown || message_box_shown' || fail "$scenario: the window's clean did not end"
! message_box_shown || fail "$scenario: the window showed a message box"
console_status=0
wait "$console" || console_status=$?
ended_as_one_clean a "$console_status" ""
click $((X + 30)) $((Y + menu_bar + 10))
wait_exit 15
[ "$exit_status" = 0 ] || fail "$scenario: after File > Exit the window ended with '$exit_status'"
[ "$(mdir -b -i "$image" ::/WINDOWS/TEMP | sed 's|.*/||')" = deleted.txt ] \
    || fail "$scenario: TEMP holds $(mdir -b -i "$image" ::/WINDOWS/TEMP | head -n 3)"
fsck.fat -n "$image" >"$work/fsck" 2>&1 || fail "$scenario: fsck.fat finds: $(cat "$work/fsck")"
echo "$scenario: as one clean after the other"
echo "PASS"
