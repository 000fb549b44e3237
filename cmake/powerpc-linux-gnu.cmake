# The board: 32-bit big-endian PowerPC Linux, Debian's cross toolchain.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR powerpc)
set(CMAKE_C_COMPILER powerpc-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER powerpc-linux-gnu-g++)
set(CMAKE_FIND_ROOT_PATH /usr/powerpc-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Safe past 2038 and for files over 2 GiB.
add_compile_definitions(_TIME_BITS=64 _FILE_OFFSET_BITS=64)
# Tests of the board build run under qemu-user with the cross sysroot.
set(ROMTOOL_RUNNER qemu-ppc -L /usr/powerpc-linux-gnu)
set(CMAKE_CROSSCOMPILING_EMULATOR ${ROMTOOL_RUNNER})
