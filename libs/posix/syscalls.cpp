// SPDX-License-Identifier: MIT
#include "posix/syscalls.h"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace qv::posix {

// errno is saved before the throw: allocating the exception may change it.

int open(const std::string& path, int flags, mode_t mode) {
    const int fd = ::open(path.c_str(), flags, mode);
    if (fd == -1) {
        const int e = errno;
        throw file_open_exception_t(e);
    }
    return fd;
}

int open(const std::string& path, int flags) {
    const int fd = ::open(path.c_str(), flags);
    if (fd == -1) {
        const int e = errno;
        throw file_open_exception_t(e);
    }
    return fd;
}

int creat(const std::string& path, mode_t mode) {
    const int fd = ::creat(path.c_str(), mode);
    if (fd == -1) {
        const int e = errno;
        throw file_open_exception_t(e);
    }
    return fd;
}

int check_descriptor(int fd) {
    if (fd == -1) {
        const int e = errno;
        throw file_open_exception_t(e);
    }
    return fd;
}

int close(int fd) {
    // Not retried: on Linux the descriptor is gone even when close reports EINTR.
    if (::close(fd) == -1) {
        const int e = errno;
        throw file_close_exception_t(e);
    }
    return 0;
}

ssize_t read(int fd, void* buffer, size_t count) {
    const ssize_t n = ::read(fd, buffer, count);
    if (n == -1) {
        const int e = errno;
        throw file_read_exception_t(e);
    }
    return n;
}

ssize_t write(int fd, const void* buffer, size_t count) {
    const ssize_t n = ::write(fd, buffer, count);
    if (n == -1) {
        const int e = errno;
        throw file_write_exception_t(e);
    }
    return n;
}

off_t lseek(int fd, off_t offset, int whence) {
    const off_t at = ::lseek(fd, offset, whence);
    if (at == -1) {
        const int e = errno;
        throw file_seek_exception_t(e);
    }
    return at;
}

off_t tell(int fd) {
    return lseek(fd, 0, SEEK_CUR);
}

void fsync(int fd) {
    if (::fsync(fd) != 0) {
        const int e = errno;
        throw file_sync_exception_t(e);
    }
}

int fcntl(int fd, int command, long argument) {
    const int result = ::fcntl(fd, command, argument);
    if (result == -1) {
        const int e = errno;
        throw file_fcntl_exception_t(e);
    }
    return result;
}

void* mmap(int fd, off_t offset, size_t length) {
    void* address = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, offset);
    if (address == MAP_FAILED) {
        const int e = errno;
        throw file_mmap_exception_t(e);
    }
    return address;
}

namespace {
std::atomic<ioctl_hook_t> ioctl_hook{nullptr};
}

ioctl_hook_t set_ioctl_hook(ioctl_hook_t hook) {
    return ioctl_hook.exchange(hook);
}

int ioctl_call(int fd, unsigned int request, unsigned long argument) {
    const ioctl_hook_t hook = ioctl_hook.load(std::memory_order_acquire);
    const int result = hook ? hook(fd, request, argument) : ::ioctl(fd, request, argument);
    if (result == -1)
        throw_ioctl_exception();
    return result;
}

} // namespace qv::posix
