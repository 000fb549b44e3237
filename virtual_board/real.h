// SPDX-License-Identifier: MIT
// The C library's own entry points, found with dlsym(RTLD_NEXT). The board's
// code calls these and never the public names it wraps, so that its own file
// work is neither emulated nor recursive.
#pragma once

#include <sys/types.h>
#include <sys/uio.h>

namespace vboard::real {

int open(const char* path, int flags, mode_t mode); // open64: offsets are 64-bit inside
int close(int fd);
ssize_t read(int fd, void* buffer, size_t count);
ssize_t write(int fd, const void* buffer, size_t count);
ssize_t pread(int fd, void* buffer, size_t count, off64_t offset);
ssize_t pwrite(int fd, const void* buffer, size_t count, off64_t offset);
off64_t lseek(int fd, off64_t offset, int whence);
int fcntl(int fd, int command, void* argument); // fcntl64
int dup(int fd);
int dup3(int fd, int target, int flags);
void* mmap(void* address, size_t length, int protection, int flags, int fd); // at offset 0

// Looks a symbol up in the libraries after this one; null when it is not there
// or while a lookup of the same thread is already running.
void* next(const char* name);

} // namespace vboard::real
