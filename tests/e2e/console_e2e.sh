#!/usr/bin/env bash
# The real program without any display: usage errors, a window start that
# cannot open one, --preview that changes nothing, --clean of two targets,
# a missing folder and an unknown target.
#
#   console_e2e.sh BRIGHTSWEEP_BINARY
set -euo pipefail

binary=$1
. "$(dirname "$0")/e2e_common.sh"

# No display of any kind, and no platform chosen.
run() {
    env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$binary" "$@" >"$work/out" 2>"$work/err"
}
expect() { # expect STATUS ARGUMENT...: runs the program, checks its status
    local wanted=$1 status=0
    shift
    run "$@" || status=$?
    [ "$status" -eq "$wanted" ] || fail "brightsweep $* ended with $status, not $wanted: $(cat "$work/err")"
    ! ls "$work"/core* >/dev/null 2>&1 || fail "brightsweep $* dumped core"
}
said() { # said FILE TEXT: the output holds the line TEXT
    grep -qxF -- "$2" "$work/$1" || fail "no line '$2' in the $1 of the last run: $(cat "$work/$1")"
}

drive=$work/drive_c
mkdir -p "$drive/WINDOWS/Recent" "$drive/WINDOWS/Temporary Internet Files" "$drive/WINDOWS/Cookies" \
    "$drive/WINDOWS/TEMP/SUB" "$drive/RECYCLED" "$drive/WINDOWS/Downloaded Program Files"
printf '0123456789' >"$drive/WINDOWS/TEMP/setup.log"
printf 'abc' >"$drive/WINDOWS/TEMP/~DF1A2B.TMP"
printf 'keep' >"$drive/WINDOWS/TEMP/LOCKED.TMP"
chmod a-w "$drive/WINDOWS/TEMP/LOCKED.TMP"
printf 'hidden' >"$drive/WINDOWS/TEMP/.hidden"
printf 'cookie' >"$drive/WINDOWS/Cookies/user@example.txt"
printf 'deleted' >"$drive/RECYCLED/DC1.TXT"
printf '[windows]\r\n' >"$drive/WINDOWS/WIN.INI"

snapshot() {
    (cd "$drive" && find . -printf '%y %m %s %p\n' | LC_ALL=C sort \
        && find . -type f -print0 | LC_ALL=C sort -z | xargs -0 sha256sum)
}
before=$(snapshot)

# Usage errors and a window start, all before any display is looked for.
expect 2 --no-such-option
said err "brightsweep: Unknown option 'no-such-option'."
expect 2 --drive-c "$drive" stray
expect 2 --drive-c "$drive" --clean
expect 2 --drive-c "$drive" --clean temp everything
grep -q "unknown TARGET 'everything'; the targets are recent, internet-files, cookies, temp, recycled, downloaded, all" \
    "$work/err" || fail "a bad target does not list the valid ones: $(cat "$work/err")"
expect 1 --drive-c "$drive"
grep -q 'needs a graphical session' "$work/err" || fail "a start without a display does not say why"
[ "$(wc -l <"$work/err")" -eq 1 ] || fail "a start without a display says more than one line: $(cat "$work/err")"
[ "$(snapshot)" = "$before" ] || fail "a start without a display touched the drive"

# The preview lists and changes nothing, cleaner.txt included.
expect 0 --drive-c "$drive" --preview temp cookies recycled
said out "Drive C: is $drive (given with --drive-c)."
said out "Clean Temporary Windows Files"
said out "  C:\\WINDOWS\\TEMP = $drive/WINDOWS/TEMP"
said out "  delete   setup.log (10 bytes)"
said out "  delete   ~DF1A2B.TMP (3 bytes)"
said out "  keep     LOCKED.TMP: read-only"
said out "  keep     .hidden: hidden"
said out "  keep     SUB: subfolder"
said out "  2 files to delete (13 bytes), 3 entries kept"
said out "  a clean stops here: 1 matching file cannot be deleted (Run-time error '75')"
said out "  delete   user@example.txt (6 bytes)"
said out "Total: 4 files to delete (26 bytes), 3 entries kept"
[ "$(snapshot)" = "$before" ] || fail "--preview changed the drive"

# Drive C: is --drive-c, else WINEPREFIX's when it is set and not empty,
# else the default prefix's; the preview says which chose it.
WINEPREFIX=$work/prefix expect 0 --preview temp
said out "Drive C: is $work/prefix/drive_c (the Wine prefix WINEPREFIX names)."
said out "  C:\WINDOWS\TEMP: missing"
WINEPREFIX=$work/prefix expect 0 --drive-c "$drive" --preview temp
said out "Drive C: is $drive (given with --drive-c)."
home=$(getent passwd "$(id -u)" | cut -d: -f6)
WINEPREFIX= expect 0 --preview temp
said out "Drive C: is $home/.wine/drive_c (the default Wine prefix, as WINEPREFIX is not set)."

# A missing folder: listed as missing by the preview, the error for a clean.
rm -r "$drive/WINDOWS/Downloaded Program Files"
expect 0 --drive-c "$drive" --preview downloaded
said out "  C:\\WINDOWS\\Downloaded Program Files: missing"
expect 1 --drive-c "$drive" --clean 6
said err "brightsweep: Run-time error '76': Path not found: C:\\WINDOWS\\Downloaded Program Files (No such file or directory)"
mkdir "$drive/WINDOWS/Downloaded Program Files"
before=$(snapshot)

# --clean of two targets empties exactly those two and leaves their markers.
# LOCKED.TMP may go now, so that nothing stops the run in TEMP.
chmod u+w "$drive/WINDOWS/TEMP/LOCKED.TMP"
expect 0 --drive-c "$drive" --clean temp cookies
said out "  deleted  user@example.txt (6 bytes)"
said out "  marker   deleted.txt written"
said out "Total: 4 files deleted (23 bytes freed), 2 entries kept"
[ "$(ls -A "$drive/WINDOWS/TEMP" | LC_ALL=C sort | tr '\n' ' ')" = ".hidden SUB deleted.txt " ] \
    || fail "TEMP holds: $(ls -A "$drive/WINDOWS/TEMP" | tr '\n' ' ')"
[ "$(ls -A "$drive/WINDOWS/Cookies")" = deleted.txt ] || fail "COOKIES holds: $(ls -A "$drive/WINDOWS/Cookies")"
marker='"This directory was emptyed by Brightsweep"'$'\r'
for folder in TEMP Cookies; do
    [ "$(cat "$drive/WINDOWS/$folder/deleted.txt")" = "$marker" ] || fail "$folder has no marker line"
done
[ -f "$drive/RECYCLED/DC1.TXT" ] || fail "--clean temp cookies emptied RECYCLED too"
[ ! -e "$drive/WINDOWS/cleaner.txt" ] || fail "--clean wrote cleaner.txt"

echo "PASS"
