# Shared by the set-up commands: root check, Debian packages, out-of-tree builds.
# shellcheck shell=bash

TAVITTY_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# What building the daemon needs (scdoc: the manual pages), and what its tests
# need on top.
BUILD_PACKAGES=(g++ make cmake pkg-config libudev-dev libwebsockets-dev libcjson-dev
                libtinyxml-dev libsystemd-dev libxkbcommon-dev libjwt-dev procps scdoc)
VIRTUAL_SCANNER_PACKAGES=(python3 python3-gi gir1.2-umockdev-1.0 umockdev util-linux iproute2)
# python3-jwt (PyJWT) and python3-cryptography: the tests mint page tokens as
# a POS server would.
# prometheus: its promtool checks the metrics and the alert rules, and a real
# server scrapes the daemon in a test. libx11-data: the Compose table of dead
# keys. webkit2gtk-driver and python3-selenium: the sample page in WebKitGTK,
# on the X display of xvfb-run (which needs xauth). man-db: the manual pages
# rendered as a reader sees them.
TEST_PACKAGES=(libgtest-dev clang-format git binutils python3-pytest
               chromium valgrind strace prometheus libx11-data man-db
               webkit2gtk-driver xvfb xauth python3-selenium python3-jwt python3-cryptography
               "${VIRTUAL_SCANNER_PACKAGES[@]}")
# Packaging and its checks: dpkg-shlibdeps, systemd-analyze, lintian.
PACKAGE_PACKAGES=(dpkg-dev systemd lintian)
# The arm64 cross build: Debian's cross compiler and qemu-user (amd64
# packages), and the arm64 packages whose files make its sysroot.
ARM64_PACKAGES=(crossbuild-essential-arm64 qemu-user-static dpkg-dev)
ARM64_SYSROOT_PACKAGES=(libc6-dev libstdc++-12-dev libudev-dev libwebsockets-dev libcjson-dev
                        libtinyxml-dev libsystemd-dev libxkbcommon-dev libjwt-dev libgtest-dev
                        libumockdev-dev umockdev)
# The fuzz harnesses: clang with its libFuzzer and sanitizer runtimes.
FUZZ_PACKAGES=(clang libclang-rt-14-dev)

need_root() {
    if [ "$(id -u)" != 0 ]; then
        echo "$(basename "$0"): run this as root (it installs packages and uses namespaces)" >&2
        exit 1
    fi
}

# Installs the named Debian packages that are missing; silent when all are there.
install_packages() {
    local missing=() pkg
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' ||
            missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# npm packs the page client (and node runs its tests). Debian's npm package
# brings both; NodeSource's nodejs carries its own npm and conflicts with
# Debian's, so npm is installed only where there is none at all.
install_npm() {
    command -v npm >/dev/null || install_packages npm
}

# Configures and builds into $TAVITTY_ROOT/$1, passing the other arguments to cmake.
build_tree() {
    local dir="$TAVITTY_ROOT/$1"
    shift
    cmake -S "$TAVITTY_ROOT" -B "$dir" "$@" >/dev/null
    cmake --build "$dir" -j"$(nproc)" -- --no-print-directory >/dev/null
    echo "Built $dir"
}
