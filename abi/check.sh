#!/bin/sh
# The ABI of libat_stubs.so as a closed host binary sees it: the exported
# functions with their types and the layout of every type the public headers
# define, dumped by abidw from the library's debug information and compared
# with abidiff against the baselines abi/<arch>.abi.
#
#   abi/check.sh check  [ARCH...]   fails on any difference from the baseline
#   abi/check.sh update [ARCH...]   rewrites the baselines (a deliberate change)
#
# ARCH: x86_64, armhf, arm64 (all three by default). Each is built in
# build-abi/<arch>/, the library target only, at -O0 with debug information;
# the ARM ones with the cross toolchain files. The public headers are the ones
# that `cmake --install` ships, so the dump and the installed package agree on
# what is public.
set -eu
cd "$(dirname "$0")/.."
mode=${1:-check}
[ $# -gt 0 ] && shift
case "$mode" in check|update) ;; *) echo "usage: abi/check.sh check|update [ARCH...]" >&2; exit 2 ;; esac
[ $# -gt 0 ] || set -- x86_64 armhf arm64
src=$(pwd)
failed=""

for arch in "$@"; do
    case "$arch" in
        x86_64) toolchain="" ;;
        armhf) toolchain="-DCMAKE_TOOLCHAIN_FILE=$src/cmake/toolchains/arm-linux-gnueabihf.cmake" ;;
        arm64) toolchain="-DCMAKE_TOOLCHAIN_FILE=$src/cmake/toolchains/aarch64-linux-gnu.cmake" ;;
        *) echo "abi: unknown architecture '$arch' (x86_64, armhf, arm64)" >&2; exit 2 ;;
    esac
    if [ "$arch" = x86_64 ] && [ "$(uname -m)" != x86_64 ]; then
        echo "abi: x86_64 skipped: this machine is $(uname -m)"
        continue
    fi
    dir=build-abi/$arch
    mkdir -p "$dir"
    # The source tree's path is mapped away so that the dump names no folder
    # of this machine.
    # shellcheck disable=SC2086
    cmake -S . -B "$dir" $toolchain -DCMAKE_BUILD_TYPE=Debug -DAT_WERROR=ON \
        -DAT_BUILD_TESTS=OFF -DAT_BUILD_EXAMPLES=OFF \
        "-DCMAKE_C_FLAGS=-fdebug-prefix-map=$src/=" "-DCMAKE_CXX_FLAGS=-fdebug-prefix-map=$src/=" >"$dir/configure.log" 2>&1 ||
        { cat "$dir/configure.log"; exit 1; }
    cmake --build "$dir" --target at_stubs -j "${JOBS:-2}" >"$dir/build.log" 2>&1 || { cat "$dir/build.log"; exit 1; }
    rm -rf "$dir/stage"
    cmake --install "$dir" --component devel --prefix "$dir/stage" >/dev/null
    # Pinned so that two runs on the same code write the same bytes: no
    # paths, no source lines, ids from type hashes rather than from the order
    # in which types were met, and only what the exported functions reach.
    abidw --headers-dir "$dir/stage/include/at_stubs" --drop-private-types --exported-interfaces-only \
        --no-corpus-path --no-comp-dir-path --no-show-locs --no-elf-needed --type-id-style hash \
        --out-file "$dir/at_stubs.abi" "$dir/libat_stubs.so"
    if [ "$mode" = update ]; then
        cp "$dir/at_stubs.abi" "abi/$arch.abi"
        echo "abi: $arch: abi/$arch.abi rewritten"
    elif [ ! -f "abi/$arch.abi" ]; then
        echo "abi: $arch: no baseline abi/$arch.abi (make abi-update writes it)"
        failed="$failed $arch"
    elif abidiff "abi/$arch.abi" "$dir/at_stubs.abi" >"$dir/abidiff.txt" 2>&1; then
        echo "abi: $arch: same as abi/$arch.abi"
    else
        # abidiff's status is a bit set: 1 error, 2 usage, 4 a change, 8 an
        # incompatible change. Every change fails: the baseline is the
        # contract, and a wanted change is recorded with make abi-update.
        echo "abi: $arch: differs from abi/$arch.abi:"
        cat "$dir/abidiff.txt"
        failed="$failed $arch"
    fi
done

if [ -n "$failed" ]; then
    echo "abi: FAILED for$failed. If the change is meant (and the closed hosts are rebuilt with it), run make abi-update and commit abi/."
    exit 1
fi
