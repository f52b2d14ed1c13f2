#!/usr/bin/env bash
# One drive C: of Windows 98, cleaned two ways that must end alike: the
# program reading and writing the FAT inside a disk image itself, on the
# host, and the program on the same drive mounted as vfat by Debian's own
# kernel in a virtual machine, where the kernel keeps the FAT. Four drives,
# FAT16 and FAT32, each with a partition table and without one; each
# cleaned in the machine as a raw disk, and on the host as raw, VHD (fixed
# and dynamic), qcow2, VDI and VMDK. After each clean the two must hold the
# same entries with the same attributes and contents, and the program must
# have said the same and ended the same; every file system must pass
# fsck.fat and every image qemu-img check where its format has one.
#
#   image_drive_e2e.sh BRIGHTSWEEP_BINARY [KERNEL_DIR]
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
# beside WHAT COMMAND...: runs COMMAND beside the script, what it says kept
# for a failure; joined waits for all of them and fails with the first
# that failed. On a busy machine the steps that do not wait for each other
# get their share of it each, not one share for the lot.
beside_pids=()
beside_names=()
beside() {
    local name=$1
    shift
    "$@" 2>"$work/beside.${#beside_pids[@]}.log" &
    beside_pids+=($!)
    beside_names+=("$name")
}
joined() {
    local i failed=
    for i in "${!beside_pids[@]}"; do
        wait "${beside_pids[i]}" || failed=${failed:-$i}
    done
    [ -z "$failed" ] || fail "$(sed 's/^FAIL: //' "$work/beside.$failed.log" | grep . \
        || echo "${beside_names[failed]} stopped without a word")"
    beside_pids=()
    beside_names=()
}
# A run stopped meanwhile takes them with it.
trap '[ ${#beside_pids[@]} -eq 0 ] || kill "${beside_pids[@]}" 2>/dev/null || true; cleanup' EXIT
# One boot with four cleans takes about 10 s of the machine's own time,
# the 24 cleans on the host going on beside it; the whole run about 18 s on
# a quiet 2-core machine, up to 45 s with a busy loop per core and a build
# beside it, and three runs at once up to 105 s.
vm_seconds=300
# repeat-e2e limits: 300 540

export MTOOLS_SKIP_CHECK=1
# mtools turns the names it is given into long names in the locale's
# character set, and the program prints them in it: UTF-8 on both sides.
export LC_ALL=C.UTF-8

# --- The kernel, the tools and the initramfs --------------------------------
vm_kernel "$kernels"
for tool in mkfs.fat fsck.fat sfdisk mmd mcopy mdel mattrib mlabel qemu-img qemu-nbd cpio; do
    command -v "$tool" >/dev/null || fail "no $tool (scripts/test installs dosfstools, fdisk, mtools, qemu-utils and cpio)"
done

# The drives in the order they are attached (vda, vdb, ...), each with the
# device its file system is on: the kernel reads partition tables itself.
drives=(fat16-mbr fat16-bare fat32-mbr fat32-bare)
devices=(vda1 vdb vdc1 vdd)

root=$work/initramfs
make_initrd() {
    vm_root "$root" "$binary"
    for i in "${!drives[@]}"; do
        echo "${drives[i]} ${devices[i]}"
    done >"$root/drives"

    # The kernel console goes to the first serial port, kept for a failure
    # message; the results go to the second, so that no kernel message lands
    # in the middle of them. Each write opens the port anew: its close waits
    # until the port has sent everything, before the power goes off.
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
while read -r name device; do
    tries=0
    while [ ! -b "/dev/$device" ]; do
        [ $tries -lt 300 ] || halt "no /dev/$device for $name"
        sleep 0.1
        tries=$((tries + 1))
    done
    # The options a desktop's disk mounter gives vfat.
    mount -t vfat -o shortname=mixed,utf8=1,showexec,flush "/dev/$device" /mnt || halt "mount of $name failed"
    say "$name mounted $(grep ' /mnt ' /proc/mounts)"
    status=0
    brightsweep --drive-c /mnt --clean all >/tmp/out 2>/tmp/err || status=$?
    { echo "@@@ $name stdout"; cat /tmp/out; echo "@@@ $name stderr"; cat /tmp/err; echo "@@@ $name status $status"; } \
        >/dev/ttyS1
    umount /mnt || halt "umount of $name failed"
    say "$name unmounted"
done </drives
halt done
EOF
    chmod 755 "$root/init"
    (cd "$root" && find . | LC_ALL=C sort | cpio -o -H newc --quiet) >"$work/initrd" || fail "cpio failed"
}
beside "the making of the initramfs" make_initrd

# --- The drives -------------------------------------------------------------
# C: as Windows 98 leaves it, the six folders spelt as it spells them: junk
# of every kind with short, long, lower-case, spaced and accented names,
# empty files and files of many clusters, one of them in pieces on FAT16,
# a folder of cookies that takes several clusters, old markers, the hidden
# and system files Explorer keeps in its folders, subfolders, and the
# system files around them that no clean may touch. Made with mkfs.fat,
# sfdisk and mtools alone, as a user would.
files=$work/files
mkdir "$files"
# The local copy of every file put, at its DOS path under $files.
text() { # text DOS-PATH CONTENT: the local copy of a short file
    local path=$files/$1
    mkdir -p "${path%/*}"
    printf '%s' "$2" >"$path"
}
noise() { # noise DOS-PATH BYTES: the local copy of a file of many clusters
    local path=$files/$1
    mkdir -p "${path%/*}"
    head -c "$2" /dev/urandom >"$path"
}
text MSDOS.SYS $'[Paths]\r\nWinDir=C:\\WINDOWS\r\nWinBootDir=C:\\WINDOWS\r\nHostWinBootDrv=C\r\n[Options]\r\nBootGUI=1\r\n'
noise IO.SYS 222390
noise COMMAND.COM 93890
text AUTOEXEC.BAT $'@ECHO OFF\r\nSET TEMP=C:\\WINDOWS\\TEMP\r\n'
text CONFIG.SYS $'DEVICE=C:\\WINDOWS\\HIMEM.SYS\r\n'
text "My Documents/Letter to Ann.doc" 'Dear Ann, ...'
text WINDOWS/WIN.INI $'[windows]\r\nload=\r\nrun=\r\n'
text WINDOWS/SYSTEM.INI $'[boot]\r\nshell=Explorer.exe\r\n'
noise WINDOWS/USER.DAT 61472
tif='WINDOWS/Temporary Internet Files'
dpf='WINDOWS/Downloaded Program Files'
for shortcut in 'Letter to Ann.doc.lnk' 'Budget 1999.xls.lnk' readme.txt.lnk SETUP.LOG.lnk 'Holiday Photos.lnk'; do
    text "WINDOWS/Recent/$shortcut" "L...shortcut to ${shortcut%.lnk}"
done
marker='"This directory was emptyed by Brightsweep"'$'\r\n'
text WINDOWS/Recent/DELETED.INF "$marker"
text WINDOWS/TEMP/deleted.txt "$marker"
text WINDOWS/TEMP/~GLH0000.TMP ''
noise WINDOWS/TEMP/~DFB004.TMP 4096
text "$tif/desktop.ini" $'[.ShellClassInfo]\r\nUICLSID={7BD29E00-76C1-11CF-9DD0-00A0C9034933}\r\n'
noise "$tif/Content.IE5/index.dat" 32768
noise "$tif/Content.IE5/Q1W2E3R4/logo[1].gif" 2500
noise "$tif/logo[1].gif" 3000
text "$tif/start[1].htm" '<html><body>Start</body></html>'
text "$tif/search results[1].htm" '<html><body>Results</body></html>'
text "$tif/Café menu[1].htm" '<html><body>Menu</body></html>'
noise "$tif/SETUP[1].EXE" 70000
text "$tif/style[2].css" 'body { color: black }'
noise WINDOWS/Cookies/index.dat 16384
for site in $(seq 1 60); do
    text "WINDOWS/Cookies/ann@www.site$site.example[1].txt" "id$site"$'\n'"$site"$'\n'"www.site$site.example/"$'\n'
done
text WINDOWS/TEMP/~DF1A2B.TMP 'word scratch'
text WINDOWS/TEMP/glf2b.tmp 'setup'
text 'WINDOWS/TEMP/Setup Log 1.txt' 'setup log'
noise WINDOWS/TEMP/~DFA001.TMP 5000
noise WINDOWS/TEMP/~DFA002.TMP 9000
noise WINDOWS/TEMP/~DFA003.TMP 30000
text WINDOWS/TEMP/~WRS0001.TMP 'hidden work file'
text WINDOWS/TEMP/~SYS0001.TMP 'system work file'
text WINDOWS/TEMP/SETUP01/_INST32I.EX_ 'installer'
text RECYCLED/desktop.ini $'[.ShellClassInfo]\r\nCLSID={645FF040-5081-101B-9F08-00AA002F954E}\r\n'
text RECYCLED/INFO2 'INFO2 record'
text RECYCLED/DC1.TXT 'deleted letter'
noise RECYCLED/DC2.EXE 10000
text 'RECYCLED/DC3/Old Letter.doc' 'old letter'
text "$dpf/desktop.ini" $'[.ShellClassInfo]\r\nCLSID={88C6C381-2E85-11D0-94DE-444553540000}\r\n'
text "$dpf/swflash.inf" '[Add.Code]'
noise "$dpf/FLASH.OCX" 20000
text "$dpf/CONFLICT.1/swflash.inf" '[Add.Code] older'
text "$dpf/MSVBVM60.DLL" 'MZ read-only runtime'

# fill IMAGE STOPS: puts the drive on the FAT file system in IMAGE (mtools'
# FILE@@OFFSET for a partition); with STOPS=stops, Downloaded Program Files
# also holds a read-only file, so that a clean of all six stops there, the
# last, after the five others are done. Writes the DOS paths a clean must
# delete to $work/$3.junk.
fill() {
    local image=$1 stops=$2 junk=$work/$3.junk
    : >"$junk"
    put() { # put DOS-PATH junk|kept [ATTRIBUTE...]
        mcopy -i "$image" "$files/$1" "::/$1" || fail "mcopy of $1 failed"
        [ $# -lt 3 ] || mattrib -i "$image" "${@:3}" "::/$1" || fail "mattrib ${*:3} $1 failed"
        [ "$2" != junk ] || echo "::/$1" >>"$junk"
    }
    mmd -i "$image" ::/WINDOWS ::/WINDOWS/Recent "::/$tif" ::/WINDOWS/Cookies ::/WINDOWS/TEMP \
        ::/RECYCLED "::/$dpf" "::/My Documents" "::/$tif/Content.IE5" "::/$tif/Content.IE5/Q1W2E3R4" \
        ::/WINDOWS/TEMP/SETUP01 ::/RECYCLED/DC3 "::/$dpf/CONFLICT.1" || fail "mmd failed"
    mattrib -i "$image" +h +s ::/RECYCLED
    mattrib -i "$image" +s "::/$tif" "::/$dpf"
    mattrib -i "$image" +h +s "::/$tif/Content.IE5"
    put IO.SYS kept +h +s +r
    put MSDOS.SYS kept +h +s +r
    put COMMAND.COM kept
    put AUTOEXEC.BAT kept
    put CONFIG.SYS kept
    put "My Documents/Letter to Ann.doc" kept
    put WINDOWS/WIN.INI kept
    put WINDOWS/SYSTEM.INI kept
    put WINDOWS/USER.DAT kept +h +s +r
    for shortcut in 'Letter to Ann.doc.lnk' 'Budget 1999.xls.lnk' readme.txt.lnk SETUP.LOG.lnk 'Holiday Photos.lnk'; do
        put "WINDOWS/Recent/$shortcut" junk
    done
    put "$tif/desktop.ini" kept +h +s
    put "$tif/Content.IE5/index.dat" kept
    put "$tif/Content.IE5/Q1W2E3R4/logo[1].gif" kept
    put "$tif/logo[1].gif" junk
    put "$tif/start[1].htm" junk
    put "$tif/search results[1].htm" junk
    put "$tif/Café menu[1].htm" junk
    put "$tif/SETUP[1].EXE" junk
    put "$tif/style[2].css" junk
    # The markers of a clean before, one spelt as a DOS program spells it.
    put WINDOWS/Recent/DELETED.INF junk
    put WINDOWS/TEMP/deleted.txt junk
    put WINDOWS/TEMP/~DF1A2B.TMP junk
    put WINDOWS/TEMP/~GLH0000.TMP junk
    put WINDOWS/TEMP/~DFB004.TMP junk
    put WINDOWS/TEMP/glf2b.tmp junk
    put 'WINDOWS/TEMP/Setup Log 1.txt' junk
    put WINDOWS/TEMP/~WRS0001.TMP kept +h
    put WINDOWS/TEMP/~SYS0001.TMP kept +s
    put WINDOWS/TEMP/SETUP01/_INST32I.EX_ kept
    # A file deleted before another is written: on FAT16, where mtools
    # takes the first free cluster, the new one fills the hole and goes on
    # beyond the next file, in two pieces; its entry slot stays deleted.
    mcopy -i "$image" "$files/WINDOWS/TEMP/~DFA001.TMP" ::/WINDOWS/TEMP/~DFA001.TMP || fail "mcopy of ~DFA001.TMP failed"
    put WINDOWS/TEMP/~DFA002.TMP junk
    mdel -i "$image" ::/WINDOWS/TEMP/~DFA001.TMP || fail "mdel failed"
    put WINDOWS/TEMP/~DFA003.TMP junk
    put RECYCLED/desktop.ini kept +h +s
    put RECYCLED/INFO2 kept +h
    put RECYCLED/DC1.TXT junk
    put RECYCLED/DC2.EXE junk
    put 'RECYCLED/DC3/Old Letter.doc' kept
    put "$dpf/desktop.ini" kept +h +s
    put "$dpf/swflash.inf" junk
    put "$dpf/FLASH.OCX" junk
    put "$dpf/CONFLICT.1/swflash.inf" kept
    [ "$stops" != stops ] || put "$dpf/MSVBVM60.DLL" kept +r
    # Written last, the cookies make their folder grow into clusters far
    # from its first.
    put WINDOWS/Cookies/index.dat junk
    mcopy -i "$image" "$files"/WINDOWS/Cookies/ann@* ::/WINDOWS/Cookies/ || fail "mcopy of the cookies failed"
    for site in $(seq 1 60); do
        echo "::/WINDOWS/Cookies/ann@www.site$site.example[1].txt" >>"$junk"
    done
}

# The sectors before the partition, where there is one: 63, as Windows 98's
# FDISK leaves them.
start_sector=63
declare -A fat_bits=([fat16-mbr]=16 [fat16-bare]=16 [fat32-mbr]=32 [fat32-bare]=32)
declare -A partition_type=([fat16-mbr]=06 [fat32-mbr]=0C)
declare -A stops=([fat16-mbr]=stops [fat16-bare]=runs-through [fat32-mbr]=runs-through [fat32-bare]=stops)
# FAT32 needs 65,525 clusters at least: 64 MB of 512-byte clusters.
declare -A fs_sectors=([fat16-mbr]=65536 [fat16-bare]=65536 [fat32-mbr]=131072 [fat32-bare]=131072)
# make_drive DRIVE: the drive's image, and a copy of it for the VM to clean.
make_drive() {
    local drive=$1 image=$work/$1.img sectors=${fs_sectors[$1]} log=$work/$1.made.log
    if [ -n "${partition_type[$drive]:-}" ]; then
        truncate -s $(((start_sector + sectors) * 512)) "$image"
        echo "$start_sector,$sectors,${partition_type[$drive]}" | sfdisk -q "$image" >"$log" 2>&1 \
            || fail "sfdisk on $drive failed: $(cat "$log")"
        mkfs.fat -F "${fat_bits[$drive]}" -n WIN98 --offset "$start_sector" -h "$start_sector" \
            "$image" $((sectors / 2)) >"$log" 2>&1 || fail "mkfs.fat on $drive failed: $(cat "$log")"
        fill "$image@@$((start_sector * 512))" "${stops[$drive]}" "$drive"
    else
        mkfs.fat -F "${fat_bits[$drive]}" -n WIN98 -C "$image" $((sectors / 2)) >"$log" 2>&1 \
            || fail "mkfs.fat on $drive failed: $(cat "$log")"
        fill "$image" "${stops[$drive]}" "$drive"
    fi
    cp --sparse=always "$image" "$work/$drive.vm.img"
}
for drive in "${drives[@]}"; do
    beside "the making of $drive" make_drive "$drive"
done
joined

# --- The machine, while the host cleans -------------------------------------
# KVM stalls this boot on these machines; TCG does not. No default devices:
# the network card's boot ROM alone costs seconds. On a loaded host the
# emulated timer can miss the few ticks the kernel's IO-APIC check waits
# for, and the kernel then panics before it starts: no_timer_check.
disks=()
for drive in "${drives[@]}"; do
    disks+=(-drive "file=$work/$drive.vm.img,if=virtio,format=raw")
done
qemu-system-x86_64 -accel tcg -m 512 -smp 1 -nodefaults -display none -monitor none -no-reboot \
    -kernel "$boot" -initrd "$work/initrd" \
    -append 'console=ttyS0 panic=-1 quiet no_timer_check' \
    "${disks[@]}" \
    -serial "file:$work/console.log" -serial "file:$work/results.raw" \
    >"$work/qemu.log" 2>&1 &
app_pid=$!

# fs_of DRIVE DISK: sets fs to the file its FAT file system is in, for the
# tools that know no offset: DISK itself, or a copy of its partition.
fs_of() {
    if [ -n "${partition_type[$1]:-}" ]; then
        fs=$2.fs
        dd if="$2" of="$fs" bs=1M iflag=skip_bytes,count_bytes skip=$((start_sector * 512)) \
            count=$((fs_sectors[$1] * 512)) conv=sparse status=none \
            || fail "dd of the partition of $2 failed"
    else
        fs=$2
    fi
}
# fsck_clean WHAT FS: fsck.fat finds nothing to say of FS but its summary.
fsck_clean() {
    local said
    said=$(fsck.fat -n "$2" 2>&1) || fail "$1: fsck.fat -n finds the drive damaged: $said"
    [[ ${said##*$'\n'} =~ ^"$2: "[0-9]+\ files,\ [0-9]+/[0-9]+\ clusters$ ]] \
        && ! grep -vxE -e 'fsck\.fat [0-9.]+ \(.*\)' -e '.*: [0-9]+ files, [0-9]+/[0-9]+ clusters' <<<"$said" >/dev/null \
        || fail "$1: fsck.fat -n has more to say than its summary: $said"
}
# listing FS FILE: the volume label, then every entry with its attributes
# as mtools reads them.
listing() {
    mlabel -s -i "$1" :: >"$2" || fail "mlabel -s on $1 failed"
    mattrib -/ -i "$1" ::/ >"$2.unsorted" || fail "mattrib on $1 failed"
    LC_ALL=C sort "$2.unsorted" >>"$2"
    rm "$2.unsorted"
}
# contents FS DIR: every file of FS copied out into DIR.
contents() {
    rm -rf "$2"
    mkdir "$2"
    mcopy -s -n -i "$1" ::/ "$2/" || fail "mcopy out of $1 failed"
}
# differences A B: what diff finds, - for A, + for B.
differences() {
    diff <(echo "$1") <(echo "$2") | grep '^[<>]' | sed 's/^</-/; s/^>/+/'
}
# said_on STDOUT-FILE IMAGE: the stdout of a clean without what tells the
# two routes apart: the drive line, and each folder's line with where the
# folder is, under /mnt in the machine or in IMAGE on the host; the entry
# lines of each target sorted among themselves, as the two list a folder
# each in its own order.
said_on() {
    awk -v image="$2" '
        /^Drive C: is / { next }
        /^  C:\\/ && image == "" && index($0, " = /mnt/") { next }
        /^  C:\\/ && image != "" && substr($0, length($0) - length(image) - 3) == " in " image { next }
        /^$/ { section++; line = 0; first = 0; next }
        /^  (deleted|kept)  / { if (!first) first = ++line; printf "%04d\t%04d\t%s\n", section, first, $0; next }
        { printf "%04d\t%04d\t%s\n", section, ++line, $0 }' "$1" \
        | LC_ALL=C sort -t $'\t' -k1,1 -k2,2 -k3 | cut -f 3-
}

# The drives as made are sound, so that a complaint below is the clean's;
# their boot sectors, which a clean leaves alone.
for drive in "${drives[@]}"; do
    fs_of "$drive" "$work/$drive.img"
    fsck_clean "$drive as made" "$fs"
    listing "$fs" "$work/$drive.before"
    head -c 512 "$fs" >"$work/$drive.boot"
    [ "$fs" = "$work/$drive.img" ] || rm "$fs"
    if [ -n "${partition_type[$drive]:-}" ]; then
        type=${partition_type[$drive]#0}
        sfdisk -d "$work/$drive.img" | grep -qE "start= *$start_sector, size= *${fs_sectors[$drive]}, type=${type,,}\$" \
            || fail "$drive as made has not the one partition wanted: $(sfdisk -d "$work/$drive.img")"
    fi
done
# The pieces FAT16 makes of a file written into a hole.
mshowfat -i "$work/fat16-bare.img" ::/WINDOWS/TEMP/~DFA003.TMP | grep -qE '^[^<]*<[0-9-]+> <[0-9-]+>$' \
    || fail "~DFA003.TMP is not in two pieces on FAT16: $(mshowfat -i "$work/fat16-bare.img" ::/WINDOWS/TEMP/~DFA003.TMP)"

# unchanged_around WHAT DRIVE DISK FS: a clean left alone what is not the
# file system's, the partition table and the sectors before the partition,
# and the file system's boot sector.
unchanged_around() {
    if [ -n "${partition_type[$2]:-}" ]; then
        cmp -s -n $((start_sector * 512)) "$3" "$work/$2.img" \
            || fail "$1: the clean changed the first $start_sector sectors of the disk, before the partition"
    fi
    cmp -s -n 512 "$4" "$work/$2.boot" || fail "$1: the clean changed the boot sector of the file system"
}

# --- The host: each drive in each format ------------------------------------
formats=(raw vhd-fixed vhd-dynamic qcow2 vdi vmdk)
declare -A driver=([raw]=raw [vhd-fixed]=vpc [vhd-dynamic]=vpc [qcow2]=qcow2 [vdi]=vdi [vmdk]=vmdk)
declare -A options=([vhd-fixed]=subformat=fixed [vhd-dynamic]=subformat=dynamic)
declare -A shown_as=([raw]=raw [vhd-fixed]='VHD (fixed)' [vhd-dynamic]='VHD (dynamic)' [qcow2]=qcow2 [vdi]=VDI [vmdk]=VMDK)
# clean_on_host DRIVE: the drive in each format cleaned, then back in raw
# looked at; run for the four drives at once, as a clean spends much of its
# time waiting for qemu-nbd.
clean_on_host() {
    local drive=$1 format what image status first kind where
    for format in "${formats[@]}"; do
        what="$drive as $format"
        image=$work/$drive.$format
        if [ "$format" = raw ]; then
            cp --sparse=always "$work/$drive.img" "$image"
        else
            qemu-img convert -f raw -O "${driver[$format]}" ${options[$format]:+-o "${options[$format]}"} \
                "$work/$drive.img" "$image" >"$image.log" 2>&1 \
                || fail "$what: qemu-img convert failed: $(cat "$image.log")"
        fi
        status=0
        timeout 120 "$binary" --drive-c "$image" --clean all >"$image.stdout" 2>"$image.stderr" || status=$?
        [ "$status" -ne 124 ] || fail "$what: --clean all did not end within 120 s"
        echo "$status" >"$image.status"
        first=$(head -n 1 "$image.stdout")
        kind="FAT${fat_bits[$drive]}, of a ${shown_as[$format]} disk image"
        [[ $first == "Drive C: is $image (given with --drive-c): "*"$kind." ]] \
            || fail "$what: the program did not take it for $kind: $first $(cat "$image.stderr")"
        where="partition 1 (type ${partition_type[$drive]:-}) at sector $start_sector, "
        [ -z "${partition_type[$drive]:-}" ] || [[ $first == *": $where"* ]] \
            || fail "$what: the program did not take partition 1 at sector $start_sector: $first"
        case $format in
        qcow2 | vdi | vmdk)
            qemu-img check -f "${driver[$format]}" "$image" >"$image.log" 2>&1 \
                || fail "$what: qemu-img check finds the image damaged after the clean: $(cat "$image.log")"
            ;;
        esac
        if [ "$format" != raw ]; then
            qemu-img convert -f "${driver[$format]}" -O raw "$image" "$image.raw" >"$image.log" 2>&1 \
                || fail "$what: qemu-img convert back to raw failed after the clean: $(cat "$image.log")"
            mv "$image.raw" "$image"
        fi
        fs_of "$drive" "$image"
        fsck_clean "$what, cleaned on the host" "$fs"
        listing "$fs" "$image.after"
        contents "$fs" "$image.contents"
        unchanged_around "$what" "$drive" "$image" "$fs"
        rm -f "$image" "$image.fs"
    done
}
for drive in "${drives[@]}"; do
    beside "the cleans of $drive on the host" clean_on_host "$drive"
done
joined

# --- The machine's results --------------------------------------------------
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
awk -v dir="$work" '
    /^@@@ [a-z0-9-]+ (stdout|stderr)$/ { out = dir "/" $2 ".vm." $3; printf "" >out; next }
    /^@@@ / { out = ""; next }
    out != "" { print >out }' "$work/results"

# check_drive I: the drive cleaned in the machine against what a clean
# leaves, and each of its images cleaned on the host against it.
check_drive() {
    local i=$1
    drive=${drives[i]}
    mounted=$(grep -m 1 "^@@@ $drive mounted " "$work/results" || true)
    for option in shortname=mixed utf8 showexec flush; do
        [[ $mounted =~ ^@@@\ $drive\ mounted\ /dev/${devices[i]}\ /mnt\ vfat\ ([^ ]*,)?$option(,[^ ]*)?\  ]] \
            || fail "$drive was not mounted from /dev/${devices[i]} as vfat with $option: $mounted"
    done
    grep -qx "@@@ $drive unmounted" "$work/results" || fail "$drive could not be unmounted"
    vm_status=$(sed -n "s/^@@@ $drive status //p" "$work/results")
    grep -qxF 'Drive C: is /mnt (given with --drive-c).' "$work/$drive.vm.stdout" \
        || fail "$drive in the machine: the program did not take /mnt: $(head -n 1 "$work/$drive.vm.stdout")"

    # The folder route did what a clean does, so that agreeing with it
    # means something: exactly the junk gone, a marker in each folder
    # emptied, and everything else there with its attributes and contents.
    fs_of "$drive" "$work/$drive.vm.img"
    fsck_clean "$drive, cleaned in the machine" "$fs"
    listing "$fs" "$work/$drive.vm.after"
    contents "$fs" "$work/$drive.vm.contents"
    unchanged_around "$drive in the machine" "$drive" "$work/$drive.vm.img" "$fs"
    emptied=(WINDOWS/Recent/deleted.inf "$tif/deleted.txt" WINDOWS/Cookies/deleted.txt WINDOWS/TEMP/deleted.txt
        RECYCLED/deleted.txt)
    if [ "${stops[$drive]}" = stops ]; then
        [ "$vm_status" = 1 ] || fail "$drive in the machine: --clean all ended with $vm_status, not 1 for MSVBVM60.DLL"
        grep -qF "Run-time error '75': Path/File access error: C:\\${dpf//\//\\}\\MSVBVM60.DLL" "$work/$drive.vm.stderr" \
            || fail "$drive in the machine: --clean all does not fail with 75 on MSVBVM60.DLL:" \
                "$(cat "$work/$drive.vm.stderr")"
    else
        [ "$vm_status" = 0 ] || fail "$drive in the machine: --clean all ended with $vm_status: $(cat "$work/$drive.vm.stderr")"
        emptied+=("$dpf/deleted.txt")
    fi
    wanted=$(head -n 1 "$work/$drive.before"
        (tail -n +2 "$work/$drive.before" | grep -vxF -f <(sed 's/^/  A          /' "$work/$drive.junk")
            printf '  A          ::/%s\n' "${emptied[@]}") | LC_ALL=C sort)
    [ "$(cat "$work/$drive.vm.after")" = "$wanted" ] \
        || fail "$drive in the machine: the drive holds other entries or attributes than a clean leaves" \
            "(- wanted, + found):" \
            "$(differences "$wanted" "$(cat "$work/$drive.vm.after")")"
    while read -r kept; do
        [ -f "$files/$kept" ] || continue
        cmp -s "$files/$kept" "$work/$drive.vm.contents/$kept" \
            || fail "$drive in the machine: C:\\${kept//\//\\} is not what it was"
    done < <(tail -n +2 "$work/$drive.vm.after" | sed -n 's/^.\{13\}::\///p')
    for folder in "${emptied[@]}"; do
        cmp -s <(printf '%s' "$marker") "$work/$drive.vm.contents/$folder" \
            || fail "$drive in the machine: C:\\${folder//\//\\} has no marker line"
    done

    # --- The two routes, side by side ---------------------------------------
    vm_said=$(said_on "$work/$drive.vm.stdout" '')
    for format in "${formats[@]}"; do
        what="$drive as $format"
        image=$work/$drive.$format
        host_status=$(cat "$image.status")
        [ "$host_status" = "$vm_status" ] \
            || fail "$what: --clean all ended with $host_status on the image and with $vm_status in the machine:" \
                "$(cat "$image.stderr")"
        host_said=$(said_on "$image.stdout" "$image")
        [ "$host_said" = "$vm_said" ] \
            || fail "$what: --clean all said other things on the image than in the machine (- machine, + image):" \
                "$(differences "$vm_said" "$host_said")"
        [ "$(cat "$image.stderr")" = "$(cat "$work/$drive.vm.stderr")" ] \
            || fail "$what: --clean all said other things on stderr on the image than in the machine" \
                "(- machine, + image):" \
                "$(differences "$(cat "$work/$drive.vm.stderr")" "$(cat "$image.stderr")")"
        [ "$(cat "$image.after")" = "$(cat "$work/$drive.vm.after")" ] \
            || fail "$what: the image holds other entries or attributes than the drive cleaned in the machine" \
                "(- machine, + image): $(differences "$(cat "$work/$drive.vm.after")" "$(cat "$image.after")")"
        found=$(diff -r "$work/$drive.vm.contents" "$image.contents" 2>&1) \
            || fail "$what: the image's files differ from those of the drive cleaned in the machine:" \
                "${found//$work\//}"
        rm -rf "$image.contents"
    done
    [ "$fs" = "$work/$drive.vm.img" ] || rm "$fs"
}
for i in "${!drives[@]}"; do
    beside "the checks of ${drives[i]}" check_drive "$i"
done
joined

echo "PASS"
