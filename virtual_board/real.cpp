// SPDX-License-Identifier: MIT
#undef _FILE_OFFSET_BITS
#undef _TIME_BITS
#include "real.h"

#include <atomic>
#include <cerrno>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace vboard::real {

namespace {

// dlsym may allocate, and an allocator may open files; a lookup that comes back
// into this library while one is running gets null and the raw system call.
__thread int in_lookup;

template <typename F> F find(std::atomic<void*>& slot, const char* name) {
    void* p = slot.load(std::memory_order_acquire);
    if (!p) {
        p = next(name);
        if (p)
            slot.store(p, std::memory_order_release);
    }
    return reinterpret_cast<F>(p);
}

} // namespace

void* next(const char* name) {
    if (in_lookup)
        return nullptr;
    in_lookup = 1;
    int saved = errno;
    void* p = dlsym(RTLD_NEXT, name);
    errno = saved;
    in_lookup = 0;
    return p;
}

int open(const char* path, int flags, mode_t mode) {
    static std::atomic<void*> slot;
    if (auto f = find<int (*)(const char*, int, ...)>(slot, "open64"))
        return f(path, flags, mode);
    return static_cast<int>(syscall(SYS_openat, AT_FDCWD, path, flags | O_LARGEFILE, mode));
}

int close(int fd) {
    static std::atomic<void*> slot;
    if (auto f = find<int (*)(int)>(slot, "close"))
        return f(fd);
    return static_cast<int>(syscall(SYS_close, fd));
}

ssize_t read(int fd, void* buffer, size_t count) {
    static std::atomic<void*> slot;
    if (auto f = find<ssize_t (*)(int, void*, size_t)>(slot, "read"))
        return f(fd, buffer, count);
    return syscall(SYS_read, fd, buffer, count);
}

ssize_t write(int fd, const void* buffer, size_t count) {
    static std::atomic<void*> slot;
    if (auto f = find<ssize_t (*)(int, const void*, size_t)>(slot, "write"))
        return f(fd, buffer, count);
    return syscall(SYS_write, fd, buffer, count);
}

ssize_t pread(int fd, void* buffer, size_t count, off64_t offset) {
    static std::atomic<void*> slot;
    if (auto f = find<ssize_t (*)(int, void*, size_t, off64_t)>(slot, "pread64"))
        return f(fd, buffer, count, offset);
    errno = ENOSYS;
    return -1;
}

ssize_t pwrite(int fd, const void* buffer, size_t count, off64_t offset) {
    static std::atomic<void*> slot;
    if (auto f = find<ssize_t (*)(int, const void*, size_t, off64_t)>(slot, "pwrite64"))
        return f(fd, buffer, count, offset);
    errno = ENOSYS;
    return -1;
}

off64_t lseek(int fd, off64_t offset, int whence) {
    static std::atomic<void*> slot;
    if (auto f = find<off64_t (*)(int, off64_t, int)>(slot, "lseek64"))
        return f(fd, offset, whence);
    errno = ENOSYS;
    return -1;
}

int fcntl(int fd, int command, void* argument) {
    static std::atomic<void*> slot;
    if (auto f = find<int (*)(int, int, ...)>(slot, "fcntl64"))
        return f(fd, command, argument);
    return static_cast<int>(syscall(SYS_fcntl, fd, command, argument));
}

int dup(int fd) {
    static std::atomic<void*> slot;
    if (auto f = find<int (*)(int)>(slot, "dup"))
        return f(fd);
    return static_cast<int>(syscall(SYS_dup, fd));
}

int dup3(int fd, int target, int flags) {
    static std::atomic<void*> slot;
    if (auto f = find<int (*)(int, int, int)>(slot, "dup3"))
        return f(fd, target, flags);
    return static_cast<int>(syscall(SYS_dup3, fd, target, flags));
}

void* mmap(void* address, size_t length, int protection, int flags, int fd) {
    static std::atomic<void*> slot;
    if (auto f = find<void* (*)(void*, size_t, int, int, int, off64_t)>(slot, "mmap64"))
        return f(address, length, protection, flags, fd, 0);
    errno = ENOSYS;
    return MAP_FAILED;
}

} // namespace vboard::real
