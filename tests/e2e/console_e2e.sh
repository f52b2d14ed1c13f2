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

# Drive C: is --drive-c, else that of WINEPREFIX's prefix when it is set and
# not empty, else the default prefix's. A prefix's drive C: is what Wine
# takes for C:: its link dosdevices/c:, wherever winecfg pointed it and even
# when it leads nowhere, and drive_c only where the link is missing. Each
# prefix here has a drive_c with a TEMP of its own, so that a drive taken from
# the wrong place shows in what the preview lists. The preview says which
# was taken.
prefix_drive() { # prefix_drive FOLDER: a drive C: whose TEMP holds one file named after its place
    local place=${1#"$work"/}
    mkdir -p "$1/WINDOWS/TEMP"
    printf 'x' >"$1/WINDOWS/TEMP/${place//\//_}.tmp"
}
prefix_drive "$work/moved_c"
prefix_drive "$work/elsewhere/drive_c"
mkdir "$work/elsewhere/devices"
# NAME | dosdevices a link to | dosdevices/c: a link to | DRIVE C: shown | FILE its TEMP lists | WHICH WAS TAKEN
# (@ stands for the work folder; an empty link is none, FILE - a missing TEMP)
while IFS='|' read -r name devices link shown listed taken; do
    prefix=$work/prefixes/$name
    prefix_drive "$prefix/drive_c"
    if [ -n "$devices" ]; then
        ln -s "${devices//@/$work}" "$prefix/dosdevices"
    else
        mkdir "$prefix/dosdevices"
    fi
    [ -z "$link" ] || ln -s "${link//@/$work}" "$prefix/dosdevices/c:"
    WINEPREFIX=$prefix expect 0 --preview temp
    said out "Drive C: is ${shown//@/$work} ($taken)."
    if [ "$listed" = - ]; then
        said out "  C:\\WINDOWS\\TEMP: missing"
    else
        said out "  delete   $listed (1 bytes)"
        said out "  1 file to delete (1 bytes), 0 entries kept"
    fi
done <<'CASES'
relative||../drive_c|@/prefixes/relative/drive_c|prefixes_relative_drive_c.tmp|dosdevices/c: of the Wine prefix WINEPREFIX names
relative-elsewhere||../../../moved_c|@/moved_c|moved_c.tmp|dosdevices/c: of the Wine prefix WINEPREFIX names
absolute-elsewhere||@/moved_c|@/moved_c|moved_c.tmp|dosdevices/c: of the Wine prefix WINEPREFIX names
dangling||../gone_c|@/prefixes/dangling/gone_c|-|dosdevices/c: of the Wine prefix WINEPREFIX names
missing|||@/prefixes/missing/drive_c|prefixes_missing_drive_c.tmp|drive_c of the Wine prefix WINEPREFIX names, as it has no dosdevices/c:
linked-devices|@/elsewhere/devices|../drive_c|@/prefixes/linked-devices/dosdevices/../drive_c|elsewhere_drive_c.tmp|dosdevices/c: of the Wine prefix WINEPREFIX names
CASES
WINEPREFIX=$work/prefixes/relative expect 0 --drive-c "$drive" --preview temp
said out "Drive C: is $drive (given with --drive-c)."
home=$(getent passwd "$(id -u)" | cut -d: -f6)
WINEPREFIX= expect 0 --preview temp
if [ -e "$home/.wine/dosdevices/c:" ] || [ -L "$home/.wine/dosdevices/c:" ]; then
    grep -q '^Drive C: is .* (dosdevices/c: of the default Wine prefix, as WINEPREFIX is not set)\.$' "$work/out" \
        || fail "the default prefix's dosdevices/c: is not taken: $(head -n 1 "$work/out")"
else
    said out "Drive C: is $home/.wine/drive_c (drive_c of the default Wine prefix, as WINEPREFIX is not set and it has no dosdevices/c:)."
fi

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

# A disk image as drive C:, and files that are no drive C: of any kind.
export MTOOLS_SKIP_CHECK=1
image=$work/win98.img
mkfs.fat -F 16 -C "$image" 16384 >/dev/null || fail "mkfs.fat failed"
mmd -i "$image" ::/WINDOWS ::/WINDOWS/TEMP || fail "mmd failed"
printf 'abc' >"$work/junk"
mcopy -i "$image" "$work/junk" ::/WINDOWS/TEMP/~DF1.TMP || fail "mcopy failed"
expect 2 "$image" "$image"
expect 2 --drive-c "$image" --preview temp "$image"
expect 0 --drive-c "$image" --preview temp
said out "Drive C: is $image (given with --drive-c): the whole disk, FAT16, of a raw disk image."
said out "  C:\\WINDOWS\\TEMP in $image"
said out "  delete   ~DF1.TMP (3 bytes)"
# A program that has the image open keeps any clean from it; the preview
# still reads it and says so.
exec 7<"$image"
holder="in use by $(basename "$(readlink -f /proc/$$/exe)") (PID $$)"
expect 0 --drive-c "$image" --preview temp
said out "A clean would change nothing now: $holder."
said out "  delete   ~DF1.TMP (3 bytes)"
expect 1 --drive-c "$image" --clean temp
said err "brightsweep: Run-time error '75': Path/File access error: C:\\WINDOWS\\TEMP\\*.* ($holder)"
exec 7<&-
expect 0 --drive-c "$image" --clean temp
said out "  deleted  ~DF1.TMP (3 bytes)"
[ "$(mdir -b -i "$image" ::/WINDOWS/TEMP | sed 's|.*/||')" = deleted.txt ] || fail "TEMP of the image holds: $(mdir -b -i "$image" ::/WINDOWS/TEMP)"
fsck.fat -n "$image" >"$work/fsck" 2>&1 || fail "fsck.fat finds the image damaged: $(cat "$work/fsck")"
head -c 1048576 /dev/zero >"$work/zeros.img"
expect 1 --drive-c "$work/zeros.img" --preview
said err "brightsweep: $work/zeros.img cannot be drive C:: an empty disk: its first sector holds nothing"

echo "PASS"
