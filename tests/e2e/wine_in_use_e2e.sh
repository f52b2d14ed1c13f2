#!/usr/bin/env bash
# A file a running Windows program holds open in C:\windows\temp of a real
# Wine prefix. Wine's own del is the reference for what Windows keeps: the
# program must keep exactly what del keeps, say that it is in use and by
# whom, and the Windows program must then find its file whole.
#
# repeat-e2e limits: 300 600
#
#   wine_in_use_e2e.sh BRIGHTSWEEP_BINARY
#
# Exits 77 (skipped) where Wine or the cross compiler is missing or Wine
# cannot make a prefix here. WINE64 overrides the Wine binary.
set -euo pipefail

binary=$1
. "$(dirname "$0")/e2e_common.sh"

skip() {
    echo "SKIP: $*"
    exit 77
}

wine=${WINE64:-/usr/lib/wine/wine64}
wineserver=$(dirname "$wine")/wineserver
[ -x "$wine" ] || skip "no Wine at $wine (Debian package wine64)"
[ -x "$wineserver" ] || skip "no wineserver beside $wine"
command -v x86_64-w64-mingw32-gcc >/dev/null || skip "no x86_64-w64-mingw32-gcc (package gcc-mingw-w64-x86-64)"

# A prefix of our own, no display, no Mono or Gecko installer dialogs, no
# menu entries written into the home folder.
export WINEPREFIX=$work/prefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES='mscoree,mshtml=;winemenubuilder.exe=d'
unset DISPLAY WAYLAND_DISPLAY

# The processes of this prefix, the server included: they all carry its
# WINEPREFIX, and no other test's prefix is the same folder.
prefix_pids() {
    grep -lxzF "WINEPREFIX=$WINEPREFIX" /proc/[0-9]*/environ 2>/dev/null | sed 's|^/proc/\([0-9]*\)/.*|\1|' || true
}
# Ends the prefix's server and every process of the prefix, and waits until
# they are gone: a process that is being killed has lost its environment
# before it leaves the process table, so the PIDs are taken first.
stop_wine() {
    [ -d "$WINEPREFIX" ] || return 0
    local pids pid
    read -ra pids <<<"$(prefix_pids | tr '\n' ' ')"
    [ ${#pids[@]} -gt 0 ] || return 0
    timeout 30 "$wineserver" -k >/dev/null 2>&1 || true
    wait_for 30 all_ended "${pids[@]}" && return 0
    for pid in "${pids[@]}"; do
        running "$pid" && echo "still running after wineserver -k: $pid $(cat "/proc/$pid/comm" 2>/dev/null)" >&2
    done
    kill -9 "${pids[@]}" 2>/dev/null
    return 1
}
running() { [ -e "/proc/$1" ] && ! grep -q '^[^)]*) [ZX]' "/proc/$1/stat" 2>/dev/null; }
all_ended() {
    local pid
    for pid in "$@"; do
        ! running "$pid" || return 1
    done
}
cleanup() {
    stop_wine || true
    [ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null || true
    rm -rf "$work"
}

x86_64-w64-mingw32-gcc -std=c11 -O2 -Wall -Wextra -Werror -o "$work/holdfile.exe" "$(dirname "$0")/holdfile.c" \
    || fail "holdfile.c does not build"

# The first run makes the prefix; on a loaded 2-core machine that takes a
# minute or more.
started=$SECONDS
status=0
timeout 400 "$wine" wineboot -i >"$work/wineboot.log" 2>&1 || status=$?
[ "$status" -ne 124 ] || fail "wineboot did not make the prefix within 400 s: $(tail -n 3 "$work/wineboot.log")"
[ "$status" -eq 0 ] || skip "Wine cannot make a prefix here ($status): $(tail -n 3 "$work/wineboot.log")"
[ -d "$WINEPREFIX/drive_c/windows" ] || skip "wineboot made no drive_c/windows: $(tail -n 3 "$work/wineboot.log")"
echo "prefix made in $((SECONDS - started)) s"

# C: moved elsewhere as winecfg does it, with a decoy left in drive_c: Wine
# and the program must both take dosdevices/c:.
mv "$WINEPREFIX/drive_c" "$work/moved_c"
ln -sfn "$work/moved_c" "$WINEPREFIX/dosdevices/c:"
mkdir -p "$WINEPREFIX/drive_c/windows/temp"
printf 'decoy' >"$WINEPREFIX/drive_c/windows/temp/DECOY.TMP"
temp=$work/moved_c/windows/temp

# The situation: junk in TEMP and a Windows program holding HOLD.TMP beside
# it. Sets app_pid to the Windows program (Wine keeps the PID it was started
# with and names the process after the program).
situation() {
    find "$temp" -mindepth 1 -delete
    rm -f "$work/moved_c/hold-ready" "$work/moved_c/hold-go"
    local name
    for name in '~DF1A2B.TMP' setup0.tmp GLF12.TMP; do
        printf 'junk %s\r\n' "$name" >"$temp/$name"
    done
    "$wine" "$work/holdfile.exe" 'C:\windows\temp\HOLD.TMP' 'C:\hold-ready' 'C:\hold-go' \
        >"$work/holdfile.out" 2>&1 &
    app_pid=$!
    local waited=$SECONDS
    wait_for 180 test -e "$work/moved_c/hold-ready" \
        || fail "the Windows program did not get ready: $(cat "$work/holdfile.out")"
    echo "Windows program holding its file after $((SECONDS - waited)) s"
}
# What is left in TEMP but the marker, one line.
left_in_temp() { (cd "$temp" && ls -A | { grep -vx deleted.txt || true; } | LC_ALL=C sort | tr '\n' ' '); }
held_by() { # held_by PID: the PID holds a descriptor of HOLD.TMP on the host
    local fd
    for fd in "/proc/$1/fd"/*; do
        [ "$(readlink "$fd" 2>/dev/null)" = "$temp/HOLD.TMP" ] && return 0
    done
    return 1
}

# The reference: Wine's own del, while the program holds its file.
situation
held_by "$app_pid" || fail "the Windows program holds no descriptor of HOLD.TMP"
server_pid=
for pid in $(prefix_pids); do
    case $(cat "/proc/$pid/comm" 2>/dev/null) in wineserver*) server_pid=$pid ;; esac
done
[ -n "$server_pid" ] || fail "no wineserver runs for the prefix"
held_by "$server_pid" || fail "wineserver holds no descriptor of HOLD.TMP"
started=$SECONDS
timeout 120 "$wine" cmd /c 'del /q C:\windows\temp\*.tmp' >"$work/del.out" 2>&1 || true
echo "Wine's del took $((SECONDS - started)) s"
kept_by_del=$(left_in_temp)
[ "$kept_by_del" = "HOLD.TMP " ] || fail "Wine's del kept '$kept_by_del', not just HOLD.TMP: $(cat "$work/del.out")"
grep -q 'Sharing violation' "$work/del.out" || fail "Wine's del gave no sharing violation: $(cat "$work/del.out")"
touch "$work/moved_c/hold-go"
wait_exit 120
[ "$exit_status" = 0 ] || fail "after Wine's del the Windows program ended with $exit_status: $(cat "$work/holdfile.out")"

# The same situation for the program, which finds drive C: through WINEPREFIX.
# Every check is made before the verdict, so that one failure does not hide
# what the clean did.
situation
holder=$(cat "/proc/$app_pid/comm")
[ "$holder" = holdfile.exe ] || fail "Wine named the Windows program '$holder'"
problems=()
started=$SECONDS
status=0
timeout 120 "$binary" --preview temp >"$work/preview.out" 2>"$work/preview.err" || status=$?
[ "$status" -eq 0 ] || problems+=("--preview temp ended with $status")
grep -qxF "Drive C: is $work/moved_c (dosdevices/c: of the Wine prefix WINEPREFIX names)." "$work/preview.out" \
    || problems+=("--preview temp did not take dosdevices/c:")
grep -qE "^  keep     HOLD\.TMP: in use by (.*, )?$holder \(PID $app_pid\)(,|\$)" "$work/preview.out" \
    || problems+=("--preview temp does not list HOLD.TMP as kept, in use by $holder (PID $app_pid)")
[ -f "$temp/HOLD.TMP" ] || problems+=("--preview temp deleted HOLD.TMP")

status=0
timeout 120 "$binary" --clean temp >"$work/clean.out" 2>"$work/clean.err" || status=$?
kept_by_program=$(left_in_temp)
[ "$kept_by_program" = "$kept_by_del" ] \
    || problems+=("--clean temp left '$kept_by_program' where Wine's del left '$kept_by_del'")
[ "$status" -eq 1 ] || problems+=("--clean temp ended with $status, not 1")
grep -qE "^  kept     HOLD\.TMP: in use by (.*, )?$holder \(PID $app_pid\)(,|\$)" "$work/clean.out" \
    || problems+=("--clean temp does not report HOLD.TMP kept, in use by $holder (PID $app_pid)")
grep -q "Run-time error '75'.*HOLD\.TMP" "$work/clean.err" || problems+=("--clean temp does not fail with 75 naming HOLD.TMP")
[ -f "$WINEPREFIX/drive_c/windows/temp/DECOY.TMP" ] || problems+=("the decoy drive_c was touched")

echo "--preview and --clean took $((SECONDS - started)) s"
touch "$work/moved_c/hold-go"
wait_exit 120
[ "$exit_status" = 0 ] || problems+=("the Windows program then ended with $exit_status: $(cat "$work/holdfile.out")")
if [ ${#problems[@]} -gt 0 ]; then
    fail "$(printf '%s\n' "${problems[@]}")
--preview temp printed:
$(cat "$work/preview.out" "$work/preview.err")
--clean temp printed:
$(cat "$work/clean.out" "$work/clean.err")"
fi

started=$SECONDS
stop_wine || fail "Wine processes of the prefix outlive wineserver -k"
echo "wineserver -k took $((SECONDS - started)) s"
echo "PASS in $SECONDS s"
