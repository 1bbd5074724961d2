#!/bin/sh
# Lets the kernel run ARM programs through qemu-user (binfmt_misc), for the
# ARM test gates. ctest itself starts every test program through qemu; this
# is for the programs a test starts on its own: GoogleTest's "threadsafe"
# death tests re-execute the test binary, and without a handler that exec
# fails with ENOEXEC. Uses the handlers that Debian's qemu-user-binfmt
# installs in /usr/lib/binfmt.d; registers only the ones missing.
#
#   scripts/qemu-binfmt.sh arm|aarch64
set -eu
name="qemu-$1"
conf="/usr/lib/binfmt.d/$name.conf"
dir=/proc/sys/fs/binfmt_misc

if [ ! -f "$conf" ]; then
    echo "qemu-binfmt: $conf missing (package qemu-user-binfmt)" >&2
    exit 1
fi
if [ ! -e "$dir/register" ]; then
    mount -t binfmt_misc binfmt_misc "$dir" 2>/dev/null || true
fi
if [ ! -e "$dir/register" ]; then
    echo "qemu-binfmt: binfmt_misc unavailable; death tests that re-execute will fail" >&2
    exit 1
fi
if [ -e "$dir/$name" ]; then
    exit 0
fi
sed -n '/^:/p' "$conf" > "$dir/register"
echo "qemu-binfmt: registered $name"
