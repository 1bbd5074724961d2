# 64-bit ARM with Debian's cross compiler. Tests run under qemu-user; ctest
# calls every test program through the emulator.
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/aarch64-linux-gnu.cmake
set(AT_CROSS_TRIPLET aarch64-linux-gnu)
set(AT_CROSS_PROCESSOR aarch64)
set(AT_CROSS_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/AtCrossCommon.cmake)
