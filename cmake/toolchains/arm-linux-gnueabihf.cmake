# 32-bit ARM (the first device target) with Debian's cross compiler. Tests run
# under qemu-user; ctest calls every test program through the emulator.
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/arm-linux-gnueabihf.cmake
set(AT_CROSS_TRIPLET arm-linux-gnueabihf)
set(AT_CROSS_PROCESSOR arm)
set(AT_CROSS_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/AtCrossCommon.cmake)
