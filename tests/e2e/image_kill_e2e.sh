#!/usr/bin/env bash
# A clean of 20,000 files out of TEMP inside a disk image, killed with
# SIGKILL at random moments, many times, on a raw and on a qcow2 image;
# after each kill: nothing the program started runs on, qemu-img check and
# fsck.fat -n find nothing but lost clusters, every file that is to stay is
# byte for byte what it was, and every junk file is there whole or gone.
# Then two cleans of one image at once, which must end as one clean after
# the other would.
#
#   image_kill_e2e.sh BRIGHTSWEEP_BINARY [KILLS]
# repeat-e2e limits: 400 900
set -euo pipefail

binary=$1
kills=${2:-24}
. "$(dirname "$0")/e2e_common.sh"
export MTOOLS_SKIP_CHECK=1

for tool in mkfs.fat fsck.fat mmd mcopy mattrib mdir qemu-img; do
    command -v "$tool" >/dev/null || fail "no $tool (scripts/test installs dosfstools, mtools and qemu-utils)"
done

files=20000
# --- The drive, made once by mkfs.fat and mtools ------------------------------
pristine=$work/pristine.img
mkfs.fat -F 32 -s 1 -n WIN98 -C "$pristine" 262144 >"$work/mkfs.log" 2>&1 || fail "mkfs.fat: $(cat "$work/mkfs.log")"
mkdir -p "$work/tree/TEMP" "$work/kept"
# One cluster each, so that every delete frees one.
(cd "$work/tree/TEMP" && seq -f '~DF%05g.TMP' 1 "$files" | xargs -n 1000 sh -c 'for f; do printf x >"$f"; done' sh)
mmd -i "$pristine" ::/WINDOWS || fail "mmd failed"
mcopy -s -i "$pristine" "$work/tree/TEMP" ::/WINDOWS/ || fail "mcopy of TEMP failed"
put() { # put DOS-PATH CONTENT [ATTRIBUTES...]
    local local_copy=$work/kept/${1//\//_}
    printf '%s' "$2" >"$local_copy"
    mcopy -i "$pristine" "$local_copy" "::/$1" || fail "mcopy of $1 failed"
    [ $# -lt 3 ] || mattrib -i "$pristine" "${@:3}" "::/$1" || fail "mattrib $1 failed"
}
put MSDOS.SYS $'[Options]\r\nBootGUI=1\r\n' +h +s +r
put WINDOWS/WIN.INI "$(head -c 30000 /dev/zero | tr '\0' 'w')"
put WINDOWS/TEMP/KEEP.TMP 'hidden work file' +h
put WINDOWS/TEMP/SYSTEM.TMP 'system work file' +s
kept=(MSDOS.SYS WINDOWS/WIN.INI WINDOWS/TEMP/KEEP.TMP WINDOWS/TEMP/SYSTEM.TMP)

# What must hold of a drive after any kill. $1 is the image as the program
# had it, $2 its raw form.
check_drive() {
    local image=$1 raw=$2 problems
    problems=$(fsck.fat -n "$raw" 2>&1 | grep -v -e '^fsck.fat ' -e "^$raw:" -e '^Leaving filesystem unchanged' \
        -e '^Reclaimed ' -e '^Free cluster summary wrong' -e 'Auto-correcting' || true)
    [ -z "$problems" ] || fail "after $what, fsck.fat -n finds: $problems"
    rm -rf "$work/out"
    mkdir "$work/out"
    for file in "${kept[@]}"; do
        mcopy -n -i "$raw" "::/$file" "$work/out/x" >/dev/null 2>&1 || fail "after $what, C:\\$file is gone"
        cmp -s "$work/kept/${file//\//_}" "$work/out/x" || fail "after $what, C:\\$file is not what it was"
        rm -f "$work/out/x"
    done
    # Every junk file left is whole (one byte, "x"); fsck.fat has checked
    # each one's cluster against its size, these few are read through.
    left=$(mdir -b -i "$raw" ::/WINDOWS/TEMP | grep -c '~DF' || true)
    if [ "$left" -gt 0 ]; then
        local sample
        for sample in $(mdir -b -i "$raw" ::/WINDOWS/TEMP | grep '~DF' | shuf -n 20 | sed 's|.*/||'); do
            [ "$(mcopy -n -i "$raw" "::/WINDOWS/TEMP/$sample" - 2>/dev/null)" = x ] \
                || fail "after $what, C:\\WINDOWS\\TEMP\\$sample is not what it was"
        done
    fi
}

# Waits until no process of the program, nor a server it started, has the
# image: a commit under way finishes, and qemu-nbd ends with the connection.
wait_image_free() {
    local image=$1
    holders() { pgrep -f -- "$image" >/dev/null; }
    wait_for 10 eval '! holders' || fail "after $what, processes still hold $image: $(pgrep -af -- "$image")"
}

# How long a whole clean takes here, to spread the kills over it.
cp "$pristine" "$work/timing.img"
started=$(date +%s%N)
"$binary" --drive-c "$work/timing.img" --clean temp >/dev/null 2>"$work/timing.err" || fail "a whole clean failed: $(cat "$work/timing.err")"
span_ms=$((($(date +%s%N) - started) / 1000000 + 50))
echo "a whole clean of $files files takes $((span_ms - 50)) ms here"

untouched=0
partly=0
whole=0
for ((round = 1; round <= kills; round++)); do
    format=raw
    [ $((round % 3)) -ne 0 ] || format=qcow2
    raw=$work/kill.img
    cp "$pristine" "$raw"
    image=$raw
    if [ "$format" = qcow2 ]; then
        image=$work/kill.qcow2
        rm -f "$image"
        qemu-img convert -f raw -O qcow2 "$raw" "$image"
    fi
    # qemu-nbd's start comes before a qcow2 clean's deletes.
    stretch=1
    [ "$format" = raw ] || stretch=2
    # Half the kills anywhere in the run, half in its later part, where
    # the deletes and their commits are.
    delay=$((RANDOM % (span_ms * stretch)))
    [ $((round % 2)) -eq 0 ] || delay=$((span_ms * stretch * 2 / 5 + RANDOM % (span_ms * stretch * 3 / 5)))
    what="a kill after $delay ms ($format, round $round)"
    "$binary" --drive-c "$image" --clean temp >/dev/null 2>&1 &
    pid=$!
    sleep "$(printf '0.%03d' "$delay")" 2>/dev/null || sleep "$((delay / 1000))"
    kill -9 "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    wait_image_free "$image"
    if [ "$format" = qcow2 ]; then
        qemu-img check "$image" >"$work/check.log" 2>&1 || fail "after $what, qemu-img check: $(cat "$work/check.log")"
        qemu-img convert -f qcow2 -O raw "$image" "$raw"
    fi
    check_drive "$image" "$raw"
    if [ "$left" -eq "$files" ]; then
        untouched=$((untouched + 1))
    elif [ "$left" -eq 0 ]; then
        whole=$((whole + 1))
    else
        partly=$((partly + 1))
    fi
done
echo "$kills kills: $untouched before any delete, $partly in the middle, $whole after the last"

# --- Two cleans of one image at once -------------------------------------------
for format in raw qcow2; do
    raw=$work/two.img
    cp "$pristine" "$raw"
    image=$raw
    if [ "$format" = qcow2 ]; then
        image=$work/two.qcow2
        rm -f "$image"
        qemu-img convert -f raw -O qcow2 "$raw" "$image"
    fi
    what="two cleans at once ($format)"
    "$binary" --drive-c "$image" --clean temp >"$work/a.out" 2>"$work/a.err" &
    a=$!
    "$binary" --drive-c "$image" --clean temp >"$work/b.out" 2>"$work/b.err" &
    b=$!
    status_a=0
    status_b=0
    wait "$a" || status_a=$?
    wait "$b" || status_b=$?
    [ "$status_a" -eq 0 ] && [ "$status_b" -eq 0 ] \
        || fail "$what: they ended with $status_a and $status_b: $(cat "$work/a.err" "$work/b.err")"
    deleted=$(($(grep -c '^  deleted  ~DF' "$work/a.out" || true) + $(grep -c '^  deleted  ~DF' "$work/b.out" || true)))
    [ "$deleted" -eq "$files" ] || fail "$what: they say they deleted $deleted junk files, not $files"
    wait_image_free "$image"
    [ "$format" = raw ] || qemu-img convert -f qcow2 -O raw "$image" "$raw"
    check_drive "$image" "$raw"
    [ "$left" -eq 0 ] || fail "$what: $left junk files are left"
    [ "$(mcopy -n -i "$raw" ::/WINDOWS/TEMP/deleted.txt - | tr -d '\r')" = '"This directory was emptyed by Brightsweep"' ] \
        || fail "$what: TEMP has no marker"
    echo "$what: as one clean after the other"
done
echo "PASS"
