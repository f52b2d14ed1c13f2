#!/usr/bin/env bash
# The progress of a clean through the window on the task bar entry, as docks
# hear it on a private session bus: the Update signals recorded with
# dbus-monitor during a clean of 100,000 files out of TEMP (see
# launcher_signals.py for what they must say), then during one that stops at
# a read-only file, which must hide the progress too. Without a session bus
# the clean empties TEMP as well and the program prints nothing.
#
#   launcher_progress_e2e.sh BRIGHTSWEEP_BINARY
#
# The bus is the test's own dbus-daemon rather than dbus-run-session's:
# dbus-run-session does not pass a timeout's TERM on, and would leave its
# bus and the test running.
# repeat-e2e limits: 120 300
set -euo pipefail

binary=$1
here=$(cd "$(dirname "$0")" && pwd)
if [ -d /dev/shm ] && [ -w /dev/shm ]; then
    export TMPDIR=/dev/shm
fi
. "$here/e2e_common.sh"

bus_pid=
monitor_pid=
stop_bus() {
    [ -n "$monitor_pid" ] && kill "$monitor_pid" 2>/dev/null || true
    [ -n "$bus_pid" ] && kill "$bus_pid" 2>/dev/null || true
}
trap 'stop_bus; cleanup' EXIT

# Qt says where it puts its runtime files unless told.
export XDG_RUNTIME_DIR=$work/runtime
mkdir -m 700 "$XDG_RUNTIME_DIR"

# make_drive FILES [LOCKED]: a drive C: whose TEMP holds FILES empty files
# and, with LOCKED, a read-only one.
make_drive() {
    drive=$(mktemp -d "$work/drive-XXXXXX")
    mkdir -p "$drive/WINDOWS/TEMP"
    (cd "$drive/WINDOWS/TEMP" && seq -f '~DF%06g.TMP' 1 "$1" | xargs touch)
    if [ -n "${2:-}" ]; then
        printf 'keep' >"$drive/WINDOWS/TEMP/LOCKED.TMP"
        chmod a-w "$drive/WINDOWS/TEMP/LOCKED.TMP"
    fi
}

start_program() {
    QT_QPA_PLATFORM=xcb "$binary" --drive-c "$drive" >"$work/app.out" 2>"$work/app.err" &
    app_pid=$!
}

# A clean of TEMP through the window until the marker is there; the helper
# then closes the window as a window manager does.
clean_through_window() {
    /usr/bin/python3 "$here/live_window.py" --time-clean "$drive/WINDOWS/TEMP" "$app_pid" >"$work/live.log" 2>&1 \
        || fail "$scenario: $(grep -m 1 '^FAIL' "$work/live.log" || tail -n 3 "$work/live.log")"
    wait_exit 30
    [ "$exit_status" = 0 ] || fail "$scenario: the program ended with '$exit_status': $(cat "$work/app.err")"
    [ "$(ls -A "$drive/WINDOWS/TEMP")" = "deleted.txt" ] || fail "$scenario: TEMP was not emptied"
    [ ! -s "$work/app.err" ] || fail "$scenario: the program printed: $(head -c 600 "$work/app.err")"
}

start_display

# No session bus at all: the clean is the same, and nothing is said.
scenario="without a session bus"
make_drive 20000
DBUS_SESSION_BUS_ADDRESS=unix:path=$work/no-bus-here start_program
clean_through_window
echo "$scenario: TEMP emptied, nothing printed"

# The private session bus, and a monitor of the entry's signals that is seen
# to listen before the program starts.
dbus-daemon --session --nofork --nopidfile --print-address=3 3>"$work/bus" 2>"$work/bus.log" &
bus_pid=$!
wait_for 10 grep -qs '^unix:' "$work/bus" || fail "the session bus did not start: $(cat "$work/bus.log")"
DBUS_SESSION_BUS_ADDRESS=$(head -n 1 "$work/bus")
export DBUS_SESSION_BUS_ADDRESS
listen() {
    dbus-monitor --session "type='signal',interface='com.canonical.Unity.LauncherEntry',member='Update'" \
        >"$work/$1.signals" 2>"$work/monitor.log" &
    monitor_pid=$!
    wait_for 10 probe "$1" || fail "dbus-monitor does not record: $(cat "$work/monitor.log")"
}
probe() {
    dbus-send --session --type=signal /probe com.canonical.Unity.LauncherEntry.Update string:probe
    grep -q 'path=/probe;' "$work/$1.signals"
}
hidden() { # the record $1 holds an update that hides the progress
    grep -A 12 'path=/org/brightsweep' "$work/$1.signals" | grep -q 'boolean false'
}
message_box() { # the main window and a message box of the same title
    [ "$(xdotool search --onlyvisible --name '^Win 95/98 Brightsweep$' 2>/dev/null | wc -l)" -ge 2 ]
}
stop_listening() {
    kill "$monitor_pid"
    wait "$monitor_pid" 2>/dev/null || true
    monitor_pid=
}

scenario="a clean of 100,000 files"
make_drive 100000
listen clean
start_program
clean_through_window
wait_for 10 hidden clean || fail "$scenario: the progress was never hidden"
stop_listening
/usr/bin/python3 "$here/launcher_signals.py" "$work/clean.signals" succeeded >"$work/check.log" \
    || fail "$scenario: $(cat "$work/check.log")"
echo "$scenario: $(tr '\n' ' ' <"$work/check.log")"

# The clean stops at LOCKED.TMP with 75 and shows it in a message box; the
# progress must be hidden all the same.
scenario="a clean that stops at a read-only file"
make_drive 20000 locked
listen locked
start_program
wait_for_window 'Win 95/98 Brightsweep' 15 || fail "$scenario: no main window: $(cat "$work/app.err")"
menu_bar=$((HEIGHT - 362))
click $((X + 8 + 16 + 7)) $((Y + menu_bar + 40 + 96 + 8))
click $((X + 8 + 224 + 36)) $((Y + menu_bar + 40 + 16 + 12))
wait_for 60 hidden locked || fail "$scenario: the progress was never hidden"
wait_for 10 message_box || fail "$scenario: no message box came up"
stop_listening
[ "$(ls -A "$drive/WINDOWS/TEMP")" = "LOCKED.TMP" ] || fail "$scenario: TEMP holds $(ls -A "$drive/WINDOWS/TEMP" | head)"
/usr/bin/python3 "$here/launcher_signals.py" "$work/locked.signals" failed >"$work/check.log" \
    || fail "$scenario: $(cat "$work/check.log")"
echo "$scenario: $(tr '\n' ' ' <"$work/check.log")"
echo "PASS"
