// SPDX-License-Identifier: MIT
// The C library entry points a program reaches for device nodes, wrapped: calls
// on /dev/zelk/ nodes go to the board, everything else to the next definition
// (the C library) untouched. Built without large-file and 64-bit-time macros so
// that both the plain and the 64-bit entry points can be defined by name; each
// symbol must exist on its own, so most are stamped from one pattern below.
#undef _FILE_OFFSET_BITS
#undef _TIME_BITS
#include "board.h"
#include "descriptors.h"
#include "real.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>
#include <vector>

using vboard::finish;
using vboard::lookup;
using vboard::node_ref_t;

namespace {

bool takes_mode(int flags) {
    return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE;
}

template <typename F> F next_fn(std::atomic<void*>& slot, const char* name) {
    void* p = slot.load(std::memory_order_acquire);
    if (!p) {
        p = vboard::real::next(name);
        slot.store(p, std::memory_order_release);
    }
    return reinterpret_cast<F>(p);
}

// The next definition of the wrapped function itself, looked up once.
#define NEXT(type, name)                                                                           \
    ([]() {                                                                                        \
        static std::atomic<void*> slot_;                                                           \
        return next_fn<type>(slot_, name);                                                         \
    }())

// The failure of a call whose next definition does not exist.
template <typename T> T missing_symbol() {
    return finish<T>(-ENOSYS, 0);
}

// Calls the next definition of `name` (`type params`) with `args`.
#define PASS(type, name, params, args)                                                             \
    [&]() -> type {                                                                                \
        auto next_ = NEXT(type(*) params, #name);                                                  \
        return next_ ? next_ args : missing_symbol<type>();                                        \
    }()

// A board call; a failure to allocate on the way fails it with ENOMEM.
template <typename Call> long long guarded(Call call) {
    try {
        return call();
    } catch (...) {
        return -ENOMEM;
    }
}

long long do_read(const node_ref_t& ref, int fd, void* buffer, size_t count, const off64_t* at) {
    return guarded([&] { return vboard::board_read(ref, fd, buffer, count, at); });
}

long long do_write(const node_ref_t& ref, int fd, const void* buffer, size_t count,
                   const off64_t* at) {
    return guarded([&] { return vboard::board_write(ref, fd, buffer, count, at); });
}

long long do_lseek(const node_ref_t& ref, int fd, off64_t offset, int whence) {
    return guarded([&] { return vboard::board_lseek(ref, fd, offset, whence); });
}

long long do_ioctl(const node_ref_t& ref, int fd, unsigned long request, void* argument) {
    // The kernel takes the request as 32 bits; an int code arrives sign-extended.
    return guarded(
        [&] { return vboard::board_ioctl(ref, fd, static_cast<uint32_t>(request), argument); });
}

// A vectored transfer reaches the driver as one call of the total length.
long long do_readv(const node_ref_t& ref, int fd, const iovec* iov, int count, const off64_t* at) {
    if (count < 0 || count > IOV_MAX)
        return -EINVAL;
    return guarded([&] {
        size_t total = 0;
        for (int i = 0; i < count; ++i)
            total += iov[i].iov_len;
        std::vector<char> buffer(total);
        long long n = vboard::board_read(ref, fd, buffer.data(), total, at);
        size_t done = 0;
        for (int i = 0; i < count && n > 0 && done < static_cast<size_t>(n); ++i) {
            size_t part = std::min(iov[i].iov_len, static_cast<size_t>(n) - done);
            std::memcpy(iov[i].iov_base, buffer.data() + done, part);
            done += part;
        }
        return n;
    });
}

long long do_writev(const node_ref_t& ref, int fd, const iovec* iov, int count, const off64_t* at) {
    if (count < 0 || count > IOV_MAX)
        return -EINVAL;
    return guarded([&] {
        std::vector<char> buffer;
        for (int i = 0; i < count; ++i) {
            const char* base = static_cast<const char*>(iov[i].iov_base);
            buffer.insert(buffer.end(), base, base + iov[i].iov_len);
        }
        return vboard::board_write(ref, fd, buffer.data(), buffer.size(), at);
    });
}

long long do_read_at(const node_ref_t& ref, int fd, void* buffer, size_t count, off64_t at) {
    return do_read(ref, fd, buffer, count, &at);
}

long long do_write_at(const node_ref_t& ref, int fd, const void* buffer, size_t count, off64_t at) {
    return do_write(ref, fd, buffer, count, &at);
}

// An offset that a 32-bit off_t cannot hold fails as the kernel would fail it.
long long fit_off_t(long long offset) {
    return offset > static_cast<long long>(std::numeric_limits<off_t>::max()) ? -EOVERFLOW : offset;
}

// After dup and friends the new number stands for the same node.
int after_dup(int source, int result, const node_ref_t* ref) {
    if (result >= 0 && ref && !vboard::bind(result, ref)) {
        // cannot track it: better no descriptor than one that bypasses the board
        vboard::real::close(result);
        errno = EMFILE;
        return -1;
    }
    (void)source;
    return result;
}

bool is_dup_command(int command) {
    return command == F_DUPFD || command == F_DUPFD_CLOEXEC;
}

} // namespace

namespace real = vboard::real;

#define EXPORT extern "C" __attribute__((visibility("default")))

// An entry point on a descriptor `fd`: when `guard` holds and `fd` is a node, the
// board serves the call and `served` (a result or minus an error number) becomes
// its return value and errno; any other call is `passed` on.
#define ON_DESCRIPTOR(type, name, params, guard, served, passed)                                   \
    EXPORT type name params {                                                                      \
        const node_ref_t* ref = (guard) ? lookup(fd) : nullptr;                                    \
        if (!ref)                                                                                  \
            return passed;                                                                         \
        const int saved = errno;                                                                   \
        return finish<type>(served, saved);                                                        \
    }

ON_DESCRIPTOR(ssize_t, read, (int fd, void* buffer, size_t count), true,
              do_read(*ref, fd, buffer, count, nullptr), real::read(fd, buffer, count))
ON_DESCRIPTOR(ssize_t, __read_chk, (int fd, void* buffer, size_t count, size_t size), count <= size,
              do_read(*ref, fd, buffer, count, nullptr),
              PASS(ssize_t, __read_chk, (int, void*, size_t, size_t), (fd, buffer, count, size)))
ON_DESCRIPTOR(ssize_t, pread, (int fd, void* buffer, size_t count, off_t offset), true,
              do_read_at(*ref, fd, buffer, count, offset),
              PASS(ssize_t, pread, (int, void*, size_t, off_t), (fd, buffer, count, offset)))
ON_DESCRIPTOR(ssize_t, pread64, (int fd, void* buffer, size_t count, off64_t offset), true,
              do_read_at(*ref, fd, buffer, count, offset), real::pread(fd, buffer, count, offset))
ON_DESCRIPTOR(ssize_t, __pread_chk, (int fd, void* buffer, size_t count, off_t offset, size_t size),
              count <= size, do_read_at(*ref, fd, buffer, count, offset),
              PASS(ssize_t, __pread_chk, (int, void*, size_t, off_t, size_t),
                   (fd, buffer, count, offset, size)))
ON_DESCRIPTOR(ssize_t, __pread64_chk,
              (int fd, void* buffer, size_t count, off64_t offset, size_t size), count <= size,
              do_read_at(*ref, fd, buffer, count, offset),
              PASS(ssize_t, __pread64_chk, (int, void*, size_t, off64_t, size_t),
                   (fd, buffer, count, offset, size)))
ON_DESCRIPTOR(ssize_t, readv, (int fd, const struct iovec* iov, int count), true,
              do_readv(*ref, fd, iov, count, nullptr),
              PASS(ssize_t, readv, (int, const struct iovec*, int), (fd, iov, count)))
ON_DESCRIPTOR(ssize_t, write, (int fd, const void* buffer, size_t count), true,
              do_write(*ref, fd, buffer, count, nullptr), real::write(fd, buffer, count))
ON_DESCRIPTOR(ssize_t, pwrite, (int fd, const void* buffer, size_t count, off_t offset), true,
              do_write_at(*ref, fd, buffer, count, offset),
              PASS(ssize_t, pwrite, (int, const void*, size_t, off_t), (fd, buffer, count, offset)))
ON_DESCRIPTOR(ssize_t, pwrite64, (int fd, const void* buffer, size_t count, off64_t offset), true,
              do_write_at(*ref, fd, buffer, count, offset), real::pwrite(fd, buffer, count, offset))
ON_DESCRIPTOR(ssize_t, writev, (int fd, const struct iovec* iov, int count), true,
              do_writev(*ref, fd, iov, count, nullptr),
              PASS(ssize_t, writev, (int, const struct iovec*, int), (fd, iov, count)))
ON_DESCRIPTOR(off_t, lseek, (int fd, off_t offset, int whence), true,
              fit_off_t(do_lseek(*ref, fd, offset, whence)),
              PASS(off_t, lseek, (int, off_t, int), (fd, offset, whence)))
ON_DESCRIPTOR(off64_t, lseek64, (int fd, off64_t offset, int whence), true,
              do_lseek(*ref, fd, offset, whence), real::lseek(fd, offset, whence))
// The board writes through.
ON_DESCRIPTOR(int, fsync, (int fd), true, 0, PASS(int, fsync, (int), (fd)))
ON_DESCRIPTOR(int, fdatasync, (int fd), true, 0, PASS(int, fdatasync, (int), (fd)))
// A node has no memory mapping.
ON_DESCRIPTOR(void*, mmap,
              (void* address, size_t length, int protection, int flags, int fd, off_t offset),
              !(flags & MAP_ANONYMOUS), -ENODEV,
              PASS(void*, mmap, (void*, size_t, int, int, int, off_t),
                   (address, length, protection, flags, fd, offset)))
ON_DESCRIPTOR(void*, mmap64,
              (void* address, size_t length, int protection, int flags, int fd, off64_t offset),
              !(flags & MAP_ANONYMOUS), -ENODEV,
              PASS(void*, mmap64, (void*, size_t, int, int, int, off64_t),
                   (address, length, protection, flags, fd, offset)))

// ioctl and glibc's name for it in programs built with 64-bit time on 32-bit targets.
#define IOCTL_ENTRY(name)                                                                          \
    EXPORT int name(int fd, unsigned long request, ...) {                                          \
        va_list ap;                                                                                \
        va_start(ap, request);                                                                     \
        void* argument = va_arg(ap, void*);                                                        \
        va_end(ap);                                                                                \
        if (const node_ref_t* ref = lookup(fd)) {                                                  \
            const int saved = errno;                                                               \
            return finish<int>(do_ioctl(*ref, fd, request, argument), saved);                      \
        }                                                                                          \
        auto f = NEXT(int (*)(int, unsigned long, ...), #name);                                    \
        if (!f)                                                                                    \
            f = NEXT(int (*)(int, unsigned long, ...), "ioctl");                                   \
        return f ? f(fd, request, argument) : missing_symbol<int>();                               \
    }

IOCTL_ENTRY(ioctl)
IOCTL_ENTRY(__ioctl_time64)

// The open family: a node's path goes to the board, any other to the next
// definition. An absolute path ignores dirfd. The mode argument is there only
// when the flags ask for one.
#define READ_MODE                                                                                  \
    mode_t mode = 0;                                                                               \
    if (takes_mode(flags)) {                                                                       \
        va_list ap;                                                                                \
        va_start(ap, flags);                                                                       \
        mode = static_cast<mode_t>(va_arg(ap, int));                                               \
        va_end(ap);                                                                                \
    }

#define OPEN_ENTRY(name, params, node_flags, next_params, args)                                    \
    EXPORT int name params {                                                                       \
        int result;                                                                                \
        if (vboard::open_node(path, node_flags, result))                                           \
            return result;                                                                         \
        return PASS(int, name, next_params, args);                                                 \
    }

#define OPEN_WITH_MODE(name, params, next_params, args)                                            \
    EXPORT int name params {                                                                       \
        READ_MODE                                                                                  \
        int result;                                                                                \
        if (vboard::open_node(path, flags, result))                                                \
            return result;                                                                         \
        return PASS(int, name, next_params, args);                                                 \
    }

OPEN_WITH_MODE(open, (const char* path, int flags, ...), (const char*, int, ...),
               (path, flags, mode))
OPEN_WITH_MODE(open64, (const char* path, int flags, ...), (const char*, int, ...),
               (path, flags, mode))
OPEN_WITH_MODE(openat, (int dirfd, const char* path, int flags, ...), (int, const char*, int, ...),
               (dirfd, path, flags, mode))
OPEN_WITH_MODE(openat64, (int dirfd, const char* path, int flags, ...),
               (int, const char*, int, ...), (dirfd, path, flags, mode))
OPEN_ENTRY(__open_2, (const char* path, int flags), flags, (const char*, int), (path, flags))
OPEN_ENTRY(__open64_2, (const char* path, int flags), flags, (const char*, int), (path, flags))
OPEN_ENTRY(__openat_2, (int dirfd, const char* path, int flags), flags, (int, const char*, int),
           (dirfd, path, flags))
OPEN_ENTRY(__openat64_2, (int dirfd, const char* path, int flags), flags, (int, const char*, int),
           (dirfd, path, flags))
OPEN_ENTRY(creat, (const char* path, mode_t mode), O_CREAT | O_WRONLY | O_TRUNC,
           (const char*, mode_t), (path, mode))
OPEN_ENTRY(creat64, (const char* path, mode_t mode), O_CREAT | O_WRONLY | O_TRUNC,
           (const char*, mode_t), (path, mode))

#define FCNTL_ENTRY(name)                                                                          \
    EXPORT int name(int fd, int command, ...) {                                                    \
        va_list ap;                                                                                \
        va_start(ap, command);                                                                     \
        void* argument = va_arg(ap, void*);                                                        \
        va_end(ap);                                                                                \
        auto f = NEXT(int (*)(int, int, ...), #name);                                              \
        if (!f)                                                                                    \
            f = NEXT(int (*)(int, int, ...), "fcntl");                                             \
        if (!f)                                                                                    \
            return missing_symbol<int>();                                                          \
        if (!is_dup_command(command))                                                              \
            return f(fd, command, argument);                                                       \
        const node_ref_t* ref = lookup(fd);                                                        \
        return after_dup(fd, f(fd, command, argument), ref);                                       \
    }

FCNTL_ENTRY(fcntl)
FCNTL_ENTRY(fcntl64)
FCNTL_ENTRY(__fcntl_time64)

EXPORT int close(int fd) {
    if (const node_ref_t* ref = lookup(fd)) {
        int saved = errno;
        vboard::unbind(fd);
        long long r;
        try {
            r = vboard::board_close(*ref, fd);
        } catch (...) {
            r = real::close(fd) == 0 ? 0 : -errno;
        }
        return finish<int>(r, saved);
    }
    return real::close(fd);
}

// statx of a node path describes the node's image file: one identity per node of a
// board, as a device node has one per device. Nothing reaches the driver: not logged.
EXPORT int statx(int dirfd, const char* path, int flags, unsigned int mask, struct statx* out) {
    auto f = NEXT(int (*)(int, const char*, int, unsigned int, struct statx*), "statx");
    if (!f)
        return missing_symbol<int>();
    const int saved = errno;
    try {
        std::string image;
        if (!vboard::node_image(path, image))
            return f(dirfd, path, flags, mask, out);
        if (!image.empty())
            return f(AT_FDCWD, image.c_str(), flags, mask, out);
        return vboard::finish<int>(-ENOENT, saved);
    } catch (...) {
        return vboard::finish<int>(-ENOMEM, saved);
    }
}

EXPORT int close_range(unsigned first, unsigned last, int flags) {
    auto f = NEXT(int (*)(unsigned, unsigned, int), "close_range");
    if (!f)
        return missing_symbol<int>();
    int r = f(first, last, flags);
    if (r == 0 && !(flags & CLOSE_RANGE_CLOEXEC)) {
        for (unsigned fd = first; fd <= last && fd < static_cast<unsigned>(vboard::max_fd); ++fd)
            vboard::unbind(static_cast<int>(fd));
    }
    return r;
}

EXPORT int dup(int fd) {
    const node_ref_t* ref = lookup(fd);
    return after_dup(fd, real::dup(fd), ref);
}

EXPORT int dup2(int fd, int target) {
    const node_ref_t* ref = lookup(fd);
    auto f = NEXT(int (*)(int, int), "dup2");
    if (!f)
        return missing_symbol<int>();
    int r = f(fd, target);
    if (r >= 0 && r != fd)
        vboard::unbind(r);
    return r == fd ? r : after_dup(fd, r, ref);
}

EXPORT int dup3(int fd, int target, int flags) {
    const node_ref_t* ref = lookup(fd);
    int r = real::dup3(fd, target, flags);
    if (r >= 0)
        vboard::unbind(r);
    return after_dup(fd, r, ref);
}
