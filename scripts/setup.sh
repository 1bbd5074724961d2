#!/bin/sh
# Installs the Debian packages the project needs, only those missing, so that
# it is quick on a machine that has them. Made for Debian 12; run as root, or
# as a user with sudo on PATH.
#
#   scripts/setup.sh            host build, tests, benchmarks, sanitizer builds
#   scripts/setup.sh armhf      + 32-bit ARM cross compiler, emulator, target liblog
#   scripts/setup.sh arm64      + 64-bit ARM cross compiler, emulator, target liblog
#   scripts/setup.sh lint       + static analysis (cppcheck)
#   scripts/setup.sh model      + model checker (spin; gcc compiles its verifiers)
#   scripts/setup.sh clang      + clang, the device's compiler (make test-clang)
#   scripts/setup.sh abi        + abidw and abidiff (make abi-check)
# Several targets may be named at once: scripts/setup.sh armhf arm64 lint.
set -eu

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
    if ! command -v sudo >/dev/null 2>&1; then
        echo "setup: run as root, or install sudo" >&2
        exit 1
    fi
    SUDO="sudo"
fi

native="$(dpkg --print-architecture)"
# googletest is the source package: cross and sanitizer builds compile it.
packages="g++ cmake make pkg-config python3 libgtest-dev libgmock-dev googletest librapidcheck-dev libbenchmark-dev android-liblog-dev"
# The AT clients of the end-to-end tests (tests/e2e): chat, pyserial, socat.
packages="$packages ppp python3-serial socat"
foreign=""
for target in "$@"; do
    case "$target" in
        armhf) packages="$packages g++-arm-linux-gnueabihf qemu-user qemu-user-binfmt android-liblog-dev:armhf libstdc++6:armhf librapidcheck-dev:armhf"
               foreign="$foreign armhf" ;;
        arm64) packages="$packages g++-aarch64-linux-gnu qemu-user qemu-user-binfmt android-liblog-dev:arm64 libstdc++6:arm64 librapidcheck-dev:arm64"
               foreign="$foreign arm64" ;;
        lint)  packages="$packages cppcheck clang python3" ;;
        model) packages="$packages spin gcc" ;;
        clang) packages="$packages clang" ;;
        abi)   packages="$packages abigail-tools" ;;
        *) echo "setup: unknown target '$target' (armhf, arm64, lint, model, clang, abi)" >&2; exit 2 ;;
    esac
done

# A package without an architecture suffix counts as present only in the
# machine's own architecture (or "all"): an installed armhf variant of
# android-liblog-dev does not serve the host build.
is_installed() {
    case "$1" in
        *:*) arch="${1#*:}"; name="${1%%:*}" ;;
        *) arch="$native"; name="$1" ;;
    esac
    dpkg-query -W -f='${Architecture} ${Status}\n' "$name:$arch" "$name" 2>/dev/null |
        grep -Eq "^($arch|all) install ok installed\$"
}

missing=""
for pkg in $packages; do
    if ! is_installed "$pkg"; then missing="$missing $pkg"; fi
done

if [ -z "$missing" ]; then
    echo "setup: all packages present"
    exit 0
fi

# The target's own packages (android-liblog-dev:armhf) come from Debian's
# multiarch archive; the architecture must be known to dpkg before the
# package lists are fetched.
for arch in $foreign; do
    if ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
        echo "setup: adding architecture $arch"
        $SUDO dpkg --add-architecture "$arch"
    fi
done

echo "setup: installing$missing"
# A mirror in the middle of a sync fails one index now and then; the install
# below still fails loudly if a package cannot be had.
$SUDO apt-get update -qq || echo "setup: apt-get update reported errors; trying the install anyway" >&2
# shellcheck disable=SC2086
$SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing
