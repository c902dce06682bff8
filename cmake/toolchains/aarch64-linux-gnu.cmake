# SPDX-License-Identifier: MIT
# Cross build for Debian's arm64 with its own cross compiler
# (g++-aarch64-linux-gnu).  Programs built here run on this machine under
# qemu-user, with the target's C library from /usr/aarch64-linux-gnu.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Packages from the target root or from a prefix given on the command line
# (a consumer built against an unpacked libradio-dev).
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
# The target's libraries from the cross toolchain's own folder, also when
# the loader finds another C library through this machine's ld.so.cache (a
# multiarch libc6:arm64 of another version): a loader and a C library of
# two versions make forked children spin.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L /usr/aarch64-linux-gnu -E LD_LIBRARY_PATH=/usr/aarch64-linux-gnu/lib)
# The Debian architecture of the packages built here.
set(RADIO_DEB_ARCH arm64)
