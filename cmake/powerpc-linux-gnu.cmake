# SPDX-License-Identifier: MIT
# The board: 32-bit big-endian PowerPC Linux, Debian's cross toolchain.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR powerpc)
set(CMAKE_C_COMPILER powerpc-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER powerpc-linux-gnu-g++)
set(CMAKE_FIND_ROOT_PATH /usr/powerpc-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# 64-bit time_t and off_t come from the project itself
# (cmake/large_time_and_files.cmake), as with any other toolchain file.
# Tests of the board build run under qemu-user with the cross sysroot.
set(ROMTOOL_RUNNER qemu-ppc -L /usr/powerpc-linux-gnu)
set(CMAKE_CROSSCOMPILING_EMULATOR ${ROMTOOL_RUNNER})
