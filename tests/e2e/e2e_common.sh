# Sourced by the end-to-end scripts: a work folder removed at exit together
# with whatever program and X server the script started (set app_pid and
# xvfb_pid), and helpers that wait for a state by polling it against a
# deadline: a fixed pause is too short on a busy machine and wasted on a
# quiet one.

# Debian puts the tools only root usually runs (mkfs.vfat, fsck.fat) in
# /usr/sbin and /sbin, which an ordinary user's PATH leaves out.
for folder in /usr/sbin /sbin; do
    case ":$PATH:" in *":$folder:"*) ;; *) PATH=$PATH:$folder ;; esac
done
export PATH

work=$(mktemp -d)
xvfb_pid=
app_pid=
cleanup() {
    [ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null || true
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
# A script stopped by timeout or ^C cleans up too.
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM

fail() {
    echo "FAIL: $*" >&2
    # A failure that follows from a lost X server would send one looking in
    # the wrong place.
    if [ -n "$xvfb_pid" ]; then
        if ! kill -0 "$xvfb_pid" 2>/dev/null; then
            echo "(the X server had ended: $(cat "$work/xvfb.log"))" >&2
        elif [ -n "${DISPLAY:-}" ] && ! timeout 5 xdpyinfo >/dev/null 2>&1; then
            echo "(the X server on $DISPLAY runs but does not answer: $(cat "$work/xvfb.log"))" >&2
        fi
    fi
    exit 1
}

# Runs a command until it succeeds, for at most $1 seconds.
wait_for() {
    local seconds=$1
    shift
    local deadline=$((SECONDS + seconds))
    until "$@"; do
        [ "$SECONDS" -lt "$deadline" ] || return 1
        sleep 0.1
    done
}

# Waits at most $1 seconds for the program started in the background as
# app_pid to end, and sets exit_status to its exit status, or to "timeout".
# Call it in the script's own shell, never in $( ) or a pipe: only the
# program's parent can know its status, and a subshell that is running when
# the program ends reports a made-up one.
wait_exit() {
    local deadline=$((SECONDS + $1))
    exit_status=timeout
    while kill -0 "$app_pid" 2>/dev/null; do
        [ "$SECONDS" -lt "$deadline" ] || return 0
        sleep 0.1
    done
    exit_status=0
    wait "$app_pid" || exit_status=$?
    app_pid=
}

# Starts a private X server (it picks a free display number itself and
# tells which) and points DISPLAY at it once it answers. Without -noreset
# the server starts over each time its last client leaves, and a client
# that comes in meanwhile can be turned away.
start_display() {
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -noreset 3>"$work/display" >"$work/xvfb.log" 2>&1 &
    xvfb_pid=$!
    wait_for 10 grep -qs '[0-9]' "$work/display" || fail "Xvfb did not start: $(cat "$work/xvfb.log")"
    export DISPLAY=":$(head -n 1 "$work/display")"
    wait_for 10 xdpyinfo >/dev/null 2>&1 || fail "Xvfb does not answer"
}

# Sets window to the shown window titled exactly $1.
find_window() {
    window=$(xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -n 1)
    [ -n "$window" ]
}

# Waits at most $2 seconds for a shown window titled $1, then until its
# place and size hold still, and sets window, X, Y, WIDTH and HEIGHT.
wait_for_window() {
    wait_for "$2" find_window "$1" || return 1
    geometry=
    wait_for 10 stable_geometry || fail "the window '$1' keeps moving"
    eval "$geometry"
}
stable_geometry() {
    local now
    now=$(xdotool getwindowgeometry --shell "$window") || return 1
    [ "$now" = "$geometry" ] && return 0
    geometry=$now
    return 1
}

# Gives the keyboard to window $1 and waits until the X server says it has it.
focus_window() {
    wait_for 5 take_focus "$1" || fail "window $1 does not take the keyboard"
}
take_focus() {
    xdotool windowfocus "$1" 2>/dev/null
    [ "$(xdotool getwindowfocus 2>/dev/null)" = "$1" ]
}

# True while a drop-down or pop-up menu is shown.
menu_shown() {
    local shown
    for shown in $(xdotool search --onlyvisible --name '' 2>/dev/null); do
        xprop -id "$shown" _NET_WM_WINDOW_TYPE 2>/dev/null | grep -q '_MENU\b' && return 0
    done
    return 1
}

# click X Y: one press of the first button at X,Y of the screen. mousemove
# --sync waits for the pointer to move, so it would hang when the pointer is
# already there.
click() {
    local X Y SCREEN WINDOW
    eval "$(xdotool getmouselocation --shell)"
    if [ "$X,$Y" != "$1,$2" ]; then
        xdotool mousemove --sync "$1" "$2"
    fi
    xdotool click 1
}

# reading_folder PID DIR: process PID has folder DIR open to read it, not
# only as a handle that names it (O_PATH, as its current directory is held).
# Shell builtins only, so that it can be asked every few milliseconds.
reading_folder() {
    local fd key value
    for fd in /proc/"$1"/fd/*; do
        [ "$fd" -ef "$2" ] || continue
        while read -r key value; do
            [ "$key" = flags: ] && (((8#$value & 8#10000000) == 0)) && return 0
        done <"/proc/$1/fdinfo/${fd##*/}" 2>/dev/null
    done
    return 1
}

# Two cleans of one folder made to work on it at one moment, however the
# machine's load spreads their starts: stop_when_reading FIRST DIR stops
# process FIRST as soon as it reads DIR; go_on_when_reading FIRST SECOND DIR
# lets it go on once process SECOND reads DIR too. FIRST stays stopped no
# longer than SECOND takes to get there; a clean waits up to a second for a
# file another clean holds. Each fails saying which clean did not get there.
# A clean of 30,000 files in memory reads its folder for a tenth of a
# second, so the look comes every few milliseconds.
reading_soon() { # reading_soon PID DIR: waits at most 60 s for reading_folder, false once PID ended
    local deadline=$((SECONDS + 60))
    until reading_folder "$1" "$2"; do
        kill -0 "$1" 2>/dev/null && [ "$SECONDS" -lt "$deadline" ] || return 1
        # An ended process not yet waited for has no descriptors.
        compgen -G "/proc/$1/fd/*" >/dev/null || return 1
        sleep 0.002
    done
}
stop_when_reading() {
    reading_soon "$1" "$2" && kill -STOP "$1" 2>/dev/null \
        || fail "the first clean ended before it read $2, so the two cleans never overlapped"
}
go_on_when_reading() {
    if ! reading_soon "$2" "$3"; then
        kill -CONT "$1" 2>/dev/null
        fail "the second clean never read $3 while the first was inside it, so the two cleans never overlapped"
    fi
    kill -CONT "$1"
}

# Makes $work/drive_c with an empty TEMP and the advanced mode on, so that
# the main window shows every control, the sliders among them; prints its path.
advanced_drive() {
    local drive=$work/drive_c
    mkdir -p "$drive/WINDOWS/TEMP"
    printf '"Advanced mode = on"\r\n' >"$drive/WINDOWS/options.ini"
    echo "$drive"
}

# --- A virtual machine with Debian's own kernel -------------------------------
# vm_kernel DIR: sets kernel to the folder in DIR that scripts/lib/fetch-vm-
# kernel put the kernel in, and boot to the file qemu starts: the kernel's
# own ELF where the fetch kept it, which boots in half the time of vmlinuz.
# Skips (the script's skip) without qemu or a kernel.
vm_kernel() {
    command -v qemu-system-x86_64 >/dev/null || skip "no qemu-system-x86_64 (Debian package qemu-system-x86)"
    [ -f "$1/current" ] && kernel=$1/$(cat "$1/current") && [ -f "$kernel/load-order" ] \
        || skip "no kernel in $1: $(cat "$1/fetch-failed" 2>/dev/null \
            || echo "scripts/test fetches it with scripts/lib/fetch-vm-kernel $1")"
    boot=$kernel/vmlinux
    [ -f "$boot" ] || boot=$kernel/vmlinuz
    # The busybox package that is not static would need its own libraries.
    [ -x /bin/busybox ] && ! ldd /bin/busybox >/dev/null 2>&1 || fail "/bin/busybox is not a static busybox (busybox-static)"
}
# vm_root ROOT BINARY: ROOT made the start of an initramfs: busybox, BINARY
# as /usr/bin/brightsweep with every library at the path the loader looks
# in (the loader itself included), and the kernel's modules with the
# load-order they go in by.
vm_root() {
    local root=$1 binary=$2 library
    mkdir -p "$root"/{bin,usr/bin,dev,proc,sys,mnt,tmp,modules}
    cp /bin/busybox "$root/bin/"
    cp "$binary" "$root/usr/bin/brightsweep"
    ldd "$binary" >"$work/ldd" || fail "ldd $binary failed"
    ! grep -q 'not found' "$work/ldd" || fail "libraries of $binary are missing: $(grep 'not found' "$work/ldd")"
    for library in $(awk '$2 == "=>" && $3 ~ /^\// { print $3 } $1 ~ /^\// { print $1 }' "$work/ldd"); do
        mkdir -p "$root${library%/*}"
        cp -L "$library" "$root$library"
    done
    cp "$kernel"/modules/*.ko "$kernel/load-order" "$root/modules/"
}
