#!/bin/sh
# Installs the Debian packages that building and testing the project need,
# only those missing, so that it is quick on a machine that has them. Made for
# a fresh Debian 12: run as root, or as a user with sudo on PATH.
#
#   scripts/setup.sh            host build, tests and benchmarks
set -eu

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
    if ! command -v sudo >/dev/null 2>&1; then
        echo "setup: run as root, or install sudo" >&2
        exit 1
    fi
    SUDO="sudo"
fi

packages="g++ cmake make pkg-config python3 libgtest-dev googletest libbenchmark-dev android-liblog-dev"

# A package counts as present only in the machine's own architecture (or
# "all"): a cross build may have put the armhf or arm64 variant of
# android-liblog-dev there, which the host build cannot link.
native="$(dpkg --print-architecture)"
missing=""
for pkg in $packages; do
    if ! dpkg-query -W -f='${Architecture} ${Status}\n' "$pkg" 2>/dev/null |
            grep -Eq "^($native|all) install ok installed\$"; then
        missing="$missing $pkg"
    fi
done

if [ -n "$missing" ]; then
    echo "setup: installing$missing"
    $SUDO apt-get update -qq
    # shellcheck disable=SC2086
    $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing
else
    echo "setup: all packages present"
fi
