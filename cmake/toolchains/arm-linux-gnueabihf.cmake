# SPDX-License-Identifier: MIT
# Cross build for Debian's armhf with its own cross compiler
# (g++-arm-linux-gnueabihf).  Programs built here run on this machine under
# qemu-user, with the target's C library from /usr/arm-linux-gnueabihf.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabihf)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Packages from the target root or from a prefix given on the command line
# (a consumer built against an unpacked libradio-dev).
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
# The target's libraries from the cross toolchain's own folder, also when
# the loader finds another C library through this machine's ld.so.cache (a
# multiarch libc6:armhf of another version): a loader and a C library of
# two versions make forked children spin.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L /usr/arm-linux-gnueabihf -E LD_LIBRARY_PATH=/usr/arm-linux-gnueabihf/lib)
# The Debian architecture of the packages built here.
set(RADIO_DEB_ARCH armhf)
