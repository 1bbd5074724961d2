#!/bin/sh
# Installs the Debian packages the project needs, only those missing, so that
# it is quick on a machine that has them. Run as root (or with sudo on PATH).
#
#   scripts/setup.sh            host build, tests, benchmarks
#   scripts/setup.sh armhf      + 32-bit ARM cross compiler and emulator
#   scripts/setup.sh arm64      + 64-bit ARM cross compiler and emulator
set -eu

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

packages="g++ cmake make libgtest-dev googletest libbenchmark-dev android-liblog-dev"

missing=""
for pkg in $packages; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $pkg"
    fi
done

if [ -n "$missing" ]; then
    echo "setup: installing$missing"
    $SUDO apt-get update -qq
    # shellcheck disable=SC2086
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq $missing
else
    echo "setup: all packages present"
fi
