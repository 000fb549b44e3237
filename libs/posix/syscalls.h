// SPDX-License-Identifier: MIT
// One wrapper per POSIX call: makes exactly that call, returns its result, and on failure
// throws the operation's file_<op>_exception_t built from errno. No retry (EINTR is a
// failure like any other) and no loop: a short read or write is returned as a count.
#pragma once

#include "posix/exception.h"

#include <string>
#include <sys/types.h>
#include <type_traits>

// Every unit must agree on the width of off_t; the board build gets 64 bits from
// _FILE_OFFSET_BITS=64.
static_assert(sizeof(off_t) == 8, "build with _FILE_OFFSET_BITS=64");

namespace qv::posix {

// Throws file_open_exception_t on -1.
int open(const std::string& path, int flags, mode_t mode);
int open(const std::string& path, int flags);
int creat(const std::string& path, mode_t mode);
// Makes no call: throws file_open_exception_t from errno when fd is -1, else returns fd.
int check_descriptor(int fd);
// Throws file_close_exception_t on -1. The descriptor is gone either way on Linux.
int close(int fd);
// Throws file_read_exception_t on -1; 0 at end of file.
ssize_t read(int fd, void* buffer, size_t count);
// Throws file_write_exception_t on -1.
ssize_t write(int fd, const void* buffer, size_t count);
// Throw file_seek_exception_t on -1.
off_t lseek(int fd, off_t offset, int whence);
off_t tell(int fd);
// Throws file_sync_exception_t on any result but 0.
void fsync(int fd);
// Throws file_fcntl_exception_t on -1.
int fcntl(int fd, int command, long argument);
// Maps read/write, shared. Throws file_mmap_exception_t on MAP_FAILED.
void* mmap(int fd, off_t offset, size_t length);

// Every ioctl of this library passes through ioctl_call(): the one seam where tests put a
// scripted driver in place of the system call. A hook behaves like ioctl() itself: -1 with
// errno set on failure.
using ioctl_hook_t = int (*)(int fd, unsigned int request, unsigned long argument);
// Installs hook (null restores the system call); returns the previous one. For tests.
ioctl_hook_t set_ioctl_hook(ioctl_hook_t hook);
// Throws file_ioctl_exception_t (through throw_ioctl_exception) on -1.
int ioctl_call(int fd, unsigned int request, unsigned long argument);

// An ioctl argument travels as an unsigned long. Wider types are refused by type alone,
// before any call, with a plain exception_t.
template <typename T> unsigned long ioctl_argument(T argument) {
    if constexpr (sizeof(T) > sizeof(unsigned long)) {
        (void)argument;
        throw exception_t(" qv::posix::ioctl() -- type could not be cast to an ulong and is too "
                          "large for ioctl.");
    } else if constexpr (std::is_pointer_v<T>) {
        return reinterpret_cast<unsigned long>(argument);
    } else if constexpr (std::is_null_pointer_v<T>) {
        return 0;
    } else {
        static_assert(std::is_integral_v<T> || std::is_enum_v<T>,
                      "an ioctl argument is an integer or a pointer");
        return static_cast<unsigned long>(argument);
    }
}

// Request codes are 32-bit and taken unsigned, so codes with the top bit set
// (0xC0CCD00A) are not sign-extended on a 64-bit host.
template <typename T> int ioctl(int fd, unsigned int request, T argument) {
    return ioctl_call(fd, request, ioctl_argument(argument));
}

} // namespace qv::posix
