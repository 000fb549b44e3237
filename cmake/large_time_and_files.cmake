# SPDX-License-Identifier: MIT
#
# 64-bit time_t and off_t on every 32-bit glibc target, whichever toolchain
# file brought the compiler (ours, Yocto's, Buildroot's): the board must work
# past 2038 and with files over 2 GiB. 64-bit targets have both already; glibc
# before 2.34 ignores _TIME_BITS, which the check below then reports.
include(CheckCXXSourceCompiles)
include(CMakePushCheckState)

cmake_push_check_state(RESET)
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
check_cxx_source_compiles([[
#include <cstddef>
#ifndef __GLIBC__
#error not glibc
#endif
int main() { return 0; }
]] ROMTOOL_LIBC_IS_GLIBC)
cmake_pop_check_state()

if(ROMTOOL_LIBC_IS_GLIBC AND CMAKE_SIZEOF_VOID_P EQUAL 4)
  add_compile_definitions(_TIME_BITS=64 _FILE_OFFSET_BITS=64)
  cmake_push_check_state(RESET)
  set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
  set(CMAKE_REQUIRED_DEFINITIONS -D_TIME_BITS=64 -D_FILE_OFFSET_BITS=64)
  check_cxx_source_compiles([[
#include <sys/types.h>
#include <time.h>
static_assert(sizeof(time_t) == 8 && sizeof(off_t) == 8, "32-bit time_t or off_t");
int main() { return 0; }
]] ROMTOOL_HAVE_64BIT_TIME_AND_OFF)
  cmake_pop_check_state()
  if(NOT ROMTOOL_HAVE_64BIT_TIME_AND_OFF)
    message(FATAL_ERROR "this C library gives no 64-bit time_t and off_t on a 32-bit target "
                        "(glibc 2.34 or newer is needed)")
  endif()
endif()
