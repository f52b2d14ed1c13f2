#!/usr/bin/env bash
# The real program on a FAT32 drive C: of Windows 98, mounted by Debian's own
# kernel, vfat driver and all, in a virtual machine: the preview and two
# cleans in one boot, then the image looked at from the host with mtools and
# fsck.fat. On vfat, unlink deletes hidden and system files like any other,
# and only the FAT attribute byte tells them apart, so the program has to
# read it itself to keep what Windows keeps.
#
#   fat_drive_e2e.sh BRIGHTSWEEP_BINARY [KERNEL_DIR]
#
# KERNEL_DIR (build/vm-kernel by default) is where scripts/lib/fetch-vm-kernel
# put the kernel; without one, or without a qemu that starts, the test skips
# (status 77).
set -euo pipefail

binary=$1
kernels=${2:-$(cd "$(dirname "$0")/../.." && pwd)/build/vm-kernel}
. "$(dirname "$0")/e2e_common.sh"

skip() {
    echo "SKIP: $*"
    exit 77
}
# One boot, the three runs and the power off take about 5 s on a quiet
# 2-core machine, up to 30 s with a busy loop per core and a build beside
# it, and up to 50 s with three runs at once besides.
vm_seconds=240
# repeat-e2e limits: 150 270

# --- The kernel and the initramfs -------------------------------------------
vm_kernel "$kernels"
for tool in mkfs.vfat fsck.fat mmd mcopy mattrib cpio; do
    command -v "$tool" >/dev/null || fail "no $tool (scripts/test installs dosfstools, mtools and cpio)"
done

root=$work/initramfs
vm_root "$root" "$binary"

# The kernel console goes to the first serial port, kept for a failure
# message; the results go to the second, so that no kernel message lands in
# the middle of them. Each write opens the port anew: its close waits until
# the port has sent everything, before the power goes off.
cat >"$root/init" <<'EOF'
#!/bin/busybox sh
/bin/busybox mount -t devtmpfs dev /dev
exec </dev/console >/dev/console 2>&1
/bin/busybox --install -s /bin
export PATH=/bin:/usr/bin LANG=C.UTF-8
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t tmpfs tmp /tmp
say() { echo "@@@ $*" >/dev/ttyS1; }
halt() { say "$*"; sync; poweroff -f; }
while read -r module; do
    insmod "/modules/$module" || halt "insmod $module failed"
done </modules/load-order
tries=0
while [ ! -b /dev/vda ]; do
    [ $tries -lt 300 ] || halt "no /dev/vda"
    sleep 0.1
    tries=$((tries + 1))
done
# The options a desktop's disk mounter gives vfat.
mount -t vfat -o shortname=mixed,utf8=1,showexec,flush /dev/vda /mnt || halt "mount failed"
say "mounted $(grep ' /mnt ' /proc/mounts)"
step() {
    name=$1
    shift
    status=0
    brightsweep --drive-c /mnt "$@" >/tmp/out 2>/tmp/err || status=$?
    { echo "@@@ $name stdout"; cat /tmp/out; echo "@@@ $name stderr"; cat /tmp/err; echo "@@@ $name status $status"; } \
        >/dev/ttyS1
}
step preview --preview
step clean-two --clean internet-files recycled
step clean-temp --clean temp
umount /mnt && say unmounted
halt done
EOF
chmod 755 "$root/init"
(cd "$root" && find . | LC_ALL=C sort | cpio -o -H newc --quiet) >"$work/initrd" || fail "cpio failed"

# --- The drive --------------------------------------------------------------
# C: as Windows 98 leaves it: TEMP with working files, one of them hidden,
# one system and one read-only; the browser cache and the recycle bin with
# the hidden and system files that Explorer keeps there, in folders marked as
# Windows marks them.
img=$work/c.img
export MTOOLS_SKIP_CHECK=1
mkfs.vfat -F 32 -n WIN98 -C "$img" 65536 >"$work/mkfs.log" 2>&1 || fail "mkfs.vfat failed: $(cat "$work/mkfs.log")"
files=$work/files
put() { # put DOS-PATH CONTENT [ATTRIBUTES...]
    local local_copy=$files/${1//\//_}
    printf '%s' "$2" >"$local_copy"
    mcopy -i "$img" "$local_copy" "::/$1" || fail "mcopy of $1 failed"
    [ $# -lt 3 ] || mattrib -i "$img" "${@:3}" "::/$1" || fail "mattrib ${*:3} $1 failed"
}
mkdir "$files"
tif='WINDOWS/Temporary Internet Files'
mmd -i "$img" ::/WINDOWS ::/WINDOWS/TEMP "::/$tif" ::/RECYCLED || fail "mmd failed"
mattrib -i "$img" +h +s ::/RECYCLED
mattrib -i "$img" +s "::/$tif"
put MSDOS.SYS $'[Options]\r\nBootGUI=1\r\n' +h +s +r
put AUTOEXEC.BAT $'@ECHO OFF\r\n'
put WINDOWS/WIN.INI $'[windows]\r\n'
put WINDOWS/TEMP/~DF1A2B.TMP 'word scratch'
put WINDOWS/TEMP/GLF2B.TMP 'setup'
put WINDOWS/TEMP/~WRS0001.TMP 'hidden work file' +h
put WINDOWS/TEMP/~SYS0001.TMP 'system work file' +s
put WINDOWS/TEMP/INSTALL.TMP 'read-only' +r
put "$tif/desktop.ini" $'[.ShellClassInfo]\r\nUICLSID={7BD29E00-76C1-11CF-9DD0-00A0C9034933}\r\n' +h +s
put "$tif/logo[1].gif" 'GIF89a......'
put "$tif/start[1].htm" '<html></html>'
put RECYCLED/desktop.ini $'[.ShellClassInfo]\r\nCLSID={645FF040-5081-101B-9F08-00AA002F954E}\r\n' +h +s
put RECYCLED/INFO2 'INFO2 record' +h
put RECYCLED/DC1.TXT 'deleted letter'
put RECYCLED/DC2.EXE 'MZ'

# Every entry with its attributes, as mtools reads them.
listing() {
    mattrib -/ -i "$img" ::/ | LC_ALL=C sort
}
before=$(listing)

# --- The machine ------------------------------------------------------------
# KVM stalls this boot on these machines; TCG does not. No default devices:
# the network card's boot ROM alone costs seconds. On a loaded host the
# emulated timer can miss the ticks the kernel's IO-APIC check waits for,
# and the kernel then panics before it starts: no_timer_check.
qemu-system-x86_64 -accel tcg -m 512 -smp 1 -nodefaults -display none -monitor none -no-reboot \
    -kernel "$boot" -initrd "$work/initrd" \
    -append 'console=ttyS0 panic=-1 quiet no_timer_check' \
    -drive "file=$img,if=virtio,format=raw" \
    -serial "file:$work/console.log" -serial "file:$work/results.raw" \
    >"$work/qemu.log" 2>&1 &
app_pid=$!
wait_exit "$vm_seconds"
[ "$exit_status" != timeout ] \
    || fail "the machine did not power off within $vm_seconds s; its console: $(tail -n 20 "$work/console.log")"
# Not a word from the machine: qemu itself gave up.
if [ "$exit_status" -ne 0 ] && [ ! -s "$work/console.log" ] && [ ! -s "$work/results.raw" ]; then
    skip "qemu-system-x86_64 cannot start here (status $exit_status): $(cat "$work/qemu.log")"
fi
tr -d '\r' <"$work/results.raw" >"$work/results"
grep -qx '@@@ done' "$work/results" \
    || fail "the machine did not get through its steps: $(grep '^@@@' "$work/results" | tail -n 3);" \
        "its console: $(tail -n 20 "$work/console.log")"
[ "$exit_status" -eq 0 ] || fail "qemu ended with $exit_status: $(cat "$work/qemu.log")"
mounted=$(grep -m 1 '^@@@ mounted ' "$work/results" || true)
for option in shortname=mixed utf8 showexec flush; do
    [[ $mounted =~ ^@@@\ mounted\ /dev/vda\ /mnt\ vfat\ ([^ ]*,)?$option(,[^ ]*)?\  ]] \
        || fail "the drive was not mounted as vfat with $option: $mounted"
done
grep -qx '@@@ unmounted' "$work/results" || fail "the drive could not be unmounted"
awk -v dir="$work" '
    /^@@@ [a-z-]+ (stdout|stderr)$/ { out = dir "/" $2 "." $3; printf "" >out; next }
    /^@@@ / { out = ""; next }
    out != "" { print >out }' "$work/results"

# --- What the program said --------------------------------------------------
status_of() { sed -n "s/^@@@ $1 status //p" "$work/results"; }
# The entry lines the run $1 printed for the target captioned $2, sorted.
entries() {
    awk -v RS= -v caption="$2" 'index($0, caption "\n") == 1' "$work/$1.stdout" \
        | grep -E '^  (delete |deleted|keep   |kept   ) ' | LC_ALL=C sort
}
# expect_entries RUN CAPTION LINE...: exactly these entry lines.
expect_entries() {
    local run=$1 caption=$2 got wanted
    shift 2
    got=$(entries "$run" "$caption")
    wanted=$(printf '%s\n' "$@" | LC_ALL=C sort)
    [ "$got" = "$wanted" ] || fail "$run, $caption: the entries differ (- wanted, + printed):" \
        "$(diff <(echo "$wanted") <(echo "$got") | grep '^[<>]' | sed 's/^</-/; s/^>/+/')"
}
# said RUN CAPTION LINE: the section holds the line.
said() {
    awk -v RS= -v caption="$2" 'index($0, caption "\n") == 1' "$work/$1.stdout" | grep -qxF -- "$3" \
        || fail "$1, $2: no line '$3' in: $(cat "$work/$1.stdout")"
}
internet='Clean Temporary Internet Files'
temp='Clean Temporary Windows Files'
trash='Clean Windows Trash Box'
kept_system='DOS hidden or system'

[ "$(status_of preview)" = 0 ] || fail "--preview ended with $(status_of preview): $(cat "$work/preview.stderr")"
[ ! -s "$work/preview.stderr" ] || fail "--preview said on stderr: $(cat "$work/preview.stderr")"
grep -qxF 'Drive C: is /mnt (given with --drive-c).' "$work/preview.stdout" \
    || fail "--preview did not take /mnt: $(head -n 1 "$work/preview.stdout")"
expect_entries preview "$internet" \
    "  keep     desktop.ini: $kept_system" \
    '  delete   logo[1].gif (12 bytes)' \
    '  delete   start[1].htm (13 bytes)'
expect_entries preview "$trash" \
    "  keep     desktop.ini: $kept_system" \
    "  keep     INFO2: $kept_system" \
    '  delete   DC1.TXT (14 bytes)' \
    '  delete   DC2.EXE (2 bytes)'
expect_entries preview "$temp" \
    "  keep     ~WRS0001.TMP: $kept_system" \
    "  keep     ~SYS0001.TMP: $kept_system" \
    '  keep     INSTALL.TMP: DOS read-only' \
    '  delete   ~DF1A2B.TMP (12 bytes)' \
    '  delete   GLF2B.TMP (5 bytes)'
said preview "$temp" "  a clean stops here: 1 matching file cannot be deleted (Run-time error '75')"
# Hidden and system files are no match: they stop no clean.
! grep -q 'a clean stops here' <(awk -v RS= -v caption="$internet" 'index($0, caption "\n") == 1' \
    "$work/preview.stdout") || fail "--preview says the hidden desktop.ini stops the clean of $internet"
! grep -q 'a clean stops here' <(awk -v RS= -v caption="$trash" 'index($0, caption "\n") == 1' \
    "$work/preview.stdout") || fail "--preview says hidden or system files stop the clean of $trash"

[ "$(status_of clean-two)" = 0 ] \
    || fail "--clean internet-files recycled ended with $(status_of clean-two): $(cat "$work/clean-two.stderr")"
[ ! -s "$work/clean-two.stderr" ] || fail "--clean internet-files recycled said on stderr: $(cat "$work/clean-two.stderr")"
expect_entries clean-two "$internet" \
    "  kept     desktop.ini: $kept_system" \
    '  deleted  logo[1].gif (12 bytes)' \
    '  deleted  start[1].htm (13 bytes)'
expect_entries clean-two "$trash" \
    "  kept     desktop.ini: $kept_system" \
    "  kept     INFO2: $kept_system" \
    '  deleted  DC1.TXT (14 bytes)' \
    '  deleted  DC2.EXE (2 bytes)'
said clean-two "$internet" '  marker   deleted.txt written'
said clean-two "$trash" '  marker   deleted.txt written'

[ "$(status_of clean-temp)" = 1 ] || fail "--clean temp ended with $(status_of clean-temp), not 1 for INSTALL.TMP"
grep -qF "brightsweep: Run-time error '75': Path/File access error: C:\\WINDOWS\\TEMP\\INSTALL.TMP" \
    "$work/clean-temp.stderr" || fail "--clean temp does not fail with 75 on INSTALL.TMP: $(cat "$work/clean-temp.stderr")"
expect_entries clean-temp "$temp" \
    "  kept     ~WRS0001.TMP: $kept_system" \
    "  kept     ~SYS0001.TMP: $kept_system" \
    '  kept     INSTALL.TMP: DOS read-only' \
    '  deleted  ~DF1A2B.TMP (12 bytes)' \
    '  deleted  GLF2B.TMP (5 bytes)'

# --- The image, from the host -----------------------------------------------
fsck.fat -n "$img" >"$work/fsck.log" 2>&1 || fail "fsck.fat -n finds the drive damaged: $(cat "$work/fsck.log")"
# Exactly the ordinary junk is gone, a marker has come in each folder
# emptied, and everything else is there with its attributes.
gone="::/WINDOWS/TEMP/~DF1A2B.TMP|::/WINDOWS/TEMP/GLF2B.TMP|::/$tif/logo\\[1\\].gif|::/$tif/start\\[1\\].htm"
gone="$gone|::/RECYCLED/DC1.TXT|::/RECYCLED/DC2.EXE"
wanted=$( (echo "$before" | grep -vE "[[:space:]]($gone)\$"
    printf '  A          %s\n' "::/$tif/deleted.txt" ::/RECYCLED/deleted.txt) | LC_ALL=C sort)
after=$(listing)
[ "$after" = "$wanted" ] || fail "the drive holds other entries or attributes than it should (- wanted, + found):" \
    "$(diff <(echo "$wanted") <(echo "$after") | grep '^[<>]' | sed 's/^</-/; s/^>/+/')"
# What was kept is whole, and the markers say what they should.
mkdir "$work/after"
mcopy -s -n -i "$img" ::/ "$work/after/" || fail "mcopy of the drive failed"
for kept in MSDOS.SYS WINDOWS/TEMP/~WRS0001.TMP WINDOWS/TEMP/~SYS0001.TMP WINDOWS/TEMP/INSTALL.TMP \
    "$tif/desktop.ini" RECYCLED/desktop.ini RECYCLED/INFO2; do
    cmp -s "$files/${kept//\//_}" "$work/after/$kept" || fail "C:\\${kept//\//\\} is not what it was"
done
marker='"This directory was emptyed by Brightsweep"'$'\r'
for folder in "$tif" RECYCLED; do
    [ "$(cat "$work/after/$folder/deleted.txt")" = "$marker" ] || fail "C:\\${folder//\//\\}\\deleted.txt has no marker line"
done

echo "PASS"
