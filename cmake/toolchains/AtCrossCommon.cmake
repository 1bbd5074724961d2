# Shared part of the Debian cross toolchain files. The including file sets
# AT_CROSS_TRIPLET, AT_CROSS_PROCESSOR and AT_CROSS_QEMU.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${AT_CROSS_PROCESSOR})
set(CMAKE_LIBRARY_ARCHITECTURE ${AT_CROSS_TRIPLET})

set(CMAKE_C_COMPILER ${AT_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${AT_CROSS_TRIPLET}-g++)

# The cross compiler brings its own libc under /usr/<triplet>; Debian's
# multiarch packages of the target (android-liblog-dev:<arch>) put their
# libraries in /usr/lib/<triplet> and their arch-independent headers in
# /usr/include. Search both, and never the build machine's own libraries.
set(CMAKE_FIND_ROOT_PATH /usr/${AT_CROSS_TRIPLET} /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# qemu-user runs the target's programs: test discovery and ctest go through
# it. The target's run-time libraries are Debian's multiarch packages, which
# android-liblog:<arch> pulls in (libc6:<arch>, libstdc++6:<arch>): the
# loader /lib/ld-linux-*.so.* and the libraries under /lib/<triplet> are the
# target's own, so qemu needs no -L prefix. A prefix of /usr/<triplet> (the
# cross compiler's copy of libc) must not be used: qemu would take the loader
# from there but the loader finds libc.so.6 of the multiarch package through
# /etc/ld.so.cache, and a loader and libc from different glibc builds crash
# as soon as a thread starts. liblog under /usr/lib/<triplet>/android is
# found through the RPATH that CMake writes into every test program.
# Programs that a test program starts itself (a "threadsafe" death test
# re-executes its own binary) reach qemu through binfmt_misc
# (scripts/qemu-binfmt.sh).
find_program(AT_QEMU_PROGRAM ${AT_CROSS_QEMU} REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${AT_QEMU_PROGRAM})
