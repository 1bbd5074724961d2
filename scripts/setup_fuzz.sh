#!/bin/sh
# Installs what the fuzz build needs beyond scripts/setup.sh: clang-14 and its
# runtime libraries (libFuzzer, the sanitizers), only when missing.
set -eu
./scripts/setup.sh
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
missing=""
for pkg in clang-14 libclang-rt-14-dev; do
    dpkg-query -W -f='${Status}\n' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing="$missing $pkg"
done
if [ -n "$missing" ]; then
    echo "setup_fuzz: installing$missing"
    $SUDO apt-get update -qq
    # shellcheck disable=SC2086
    $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing
fi
# The build names the compilers clang and clang++; Debian's clang-14 package
# installs them only under versioned names.
for tool in clang clang++; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        $SUDO ln -s "/usr/bin/$tool-14" "/usr/local/bin/$tool"
    fi
done
