# Sourced by the scripts: installs the Debian packages a step needs, and
# nothing when they are all present already.

# Packages to build the program and run its tests.
BUILD_PACKAGES=(
    cmake ninja-build g++ pkg-config
    qt6-base-dev qt6-base-dev-tools libgl-dev
    xvfb xauth xdotool x11-utils imagemagick attr util-linux
    desktop-file-utils appstream groff-base fonts-dejavu-core python3
)

# Packages scripts/bench needs on top of the build: the benchmark library, the
# X client library of the window timer, the peer cleaner it is compared with,
# and the X server and interpreter that run the table.
BENCH_PACKAGES=(
    libbenchmark-dev libx11-dev bleachbit xvfb findutils python3
)

# Packages to make the Debian package (scripts/package).
PACKAGE_PACKAGES=(dpkg-dev file lintian)

# Packages for the fuzz targets (scripts/fuzz and the end of scripts/test):
# clang with libFuzzer and the sanitizer runtimes.
FUZZ_PACKAGES=(clang-14 libclang-rt-14-dev)

ensure_packages() {
    local missing=()
    local pkg
    for pkg in "$@"; do
        if ! dpkg-query -W -f='${db:Status-Status}' "$pkg" 2>/dev/null | grep -qx installed; then
            missing+=("$pkg")
        fi
    done
    [ ${#missing[@]} -eq 0 ] && return 0

    local sudo=()
    if [ "$(id -u)" -ne 0 ]; then
        sudo=(sudo)
    fi
    echo "Installing: ${missing[*]}"
    "${sudo[@]}" apt-get update -q
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
}
