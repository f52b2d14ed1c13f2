# Sourced by the scripts: installs the Debian packages a step needs, and
# nothing when they are all present already.

# Packages to build the program and run it (scripts/run): the tool chain, Qt
# and the fonts the layout is fitted with.
BUILD_PACKAGES=(
    cmake ninja-build g++ pkg-config
    qt6-base-dev qt6-base-dev-tools libgl-dev fonts-dejavu-core
)

# How scripts/run configures build/: the tests off, so that nothing only they
# need (Qt's private headers, say) is looked for. A test configures a scratch
# tree the same way and fails where that reads a file of a package not in
# BUILD_PACKAGES.
RUN_CMAKE_ARGUMENTS=(-G Ninja -DBUILD_TESTING=OFF)

# Packages the tests need on top of the build (scripts/test): the private X
# server and the tools that drive and inspect it, setpriv to run a case as
# another user, the validators of the desktop entry, the AppStream data and
# the manual page, the interpreter that redraws the artwork to compare it,
# its X client library that pings and photographs a window and its
# accessibility client that reads the window as a screen reader does, with
# the private session bus and the accessibility bus it needs, Qt's
# window-system interface that widget tests send input through as a
# platform does, Wine with the cross compiler of the Windows program that
# holds a file open, and the virtual machine that mounts a FAT drive with
# Debian's own kernel: the emulator, the shell of its initramfs and the tools
# that make and check the drive, and for the drives inside emulators' disk
# images QEMU's image tool and server (qemu-utils) and the partitioner; and
# the monitor that records the progress the task bar is sent on that bus.
TEST_PACKAGES=(
    xvfb xauth xdotool x11-utils attr util-linux dbus-daemon dbus-bin
    desktop-file-utils appstream groff-base python3 python3-xlib qt6-base-private-dev
    python3-pyatspi at-spi2-core
    wine64 gcc-mingw-w64-x86-64
    qemu-system-x86 busybox-static cpio dosfstools mtools
    qemu-utils fdisk
)

# Packages scripts/screenshot needs on top of the build: the X server, the
# tool that finds the window and the one that photographs it.
SCREENSHOT_PACKAGES=(xvfb xauth xdotool imagemagick)

# Packages scripts/bench needs on top of the build: the benchmark library, the
# X client library of the window timer, the peer cleaner it is compared with,
# the X server and interpreter that run the table, and what makes disk
# images and deletes in them the other way (mtools' mdel).
BENCH_PACKAGES=(
    libbenchmark-dev libx11-dev bleachbit xvfb findutils python3 python3-xlib
    qemu-utils dosfstools mtools
)

# Packages to make the Debian package (scripts/package).
PACKAGE_PACKAGES=(dpkg-dev file lintian)

# Packages for the fuzz targets (scripts/fuzz and the end of scripts/test):
# clang with libFuzzer and the sanitizer runtimes.
FUZZ_PACKAGES=(clang-14 libclang-rt-14-dev)

# apt-get waits this many seconds for a lock another apt-get holds.
APT_LOCK_SECONDS=300

ensure_packages() {
    local missing=()
    local pkg
    for pkg in "$@"; do
        if ! dpkg-query -W -f='${db:Status-Status}' "$pkg" 2>/dev/null | grep -qx installed; then
            missing+=("$pkg")
        fi
    done
    [ ${#missing[@]} -eq 0 ] && return 0

    # sudo starts apt-get with a clean environment, so the setting goes on
    # its command line, where sudo passes it on.
    local apt=(env DEBIAN_FRONTEND=noninteractive apt-get -o "DPkg::Lock::Timeout=$APT_LOCK_SECONDS")
    if [ "$(id -u)" -ne 0 ]; then
        if ! command -v sudo >/dev/null 2>&1; then
            echo "scripts/${0##*/}: missing Debian packages: ${missing[*]}; there is no sudo to install them." \
                "As root, run: apt-get update && apt-get install -y --no-install-recommends ${missing[*]}" >&2
            return 1
        fi
        apt=(sudo DEBIAN_FRONTEND=noninteractive apt-get -o "DPkg::Lock::Timeout=$APT_LOCK_SECONDS")
    fi
    echo "Installing: ${missing[*]}"
    "${apt[@]}" update -q
    "${apt[@]}" install -y -q --no-install-recommends "${missing[@]}"
}
