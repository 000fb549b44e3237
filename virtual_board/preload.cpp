// The C library entry points a program reaches for device nodes, wrapped: calls
// on /dev/zelk/ nodes go to the board, everything else to the next definition
// (the C library) untouched. Built without large-file and 64-bit-time macros so
// that both the plain and the 64-bit entry points can be defined by name.
#undef _FILE_OFFSET_BITS
#undef _TIME_BITS
#include "board.h"
#include "real.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <limits>
#include <mutex>
#include <pthread.h>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>
#include <unordered_map>
#include <vector>

using vboard::node_ref_t;

namespace {

constexpr char node_prefix[] = "/dev/zelk/";
constexpr int max_fd = 65536;

// Descriptor number -> node. `used` is read without the lock so that calls on
// ordinary descriptors cost one load; the rest is guarded by `table_lock`.
std::atomic<uint32_t> used[max_fd];
struct slot_t {
    const node_ref_t* ref;
    dev_t dev;
    ino_t ino;
};
slot_t slots[max_fd];
std::mutex table_lock;

// Nodes are interned and never freed, so a slot can point at one.
std::unordered_map<std::string, node_ref_t*>* nodes;

const node_ref_t* intern(const std::string& board, const std::string& node) {
    // called with table_lock held
    if (!nodes)
        nodes = new std::unordered_map<std::string, node_ref_t*>;
    std::string key = board + '\0' + node;
    auto it = nodes->find(key);
    if (it != nodes->end())
        return it->second;
    auto* ref = new node_ref_t{board, node};
    nodes->emplace(key, ref);
    return ref;
}

bool bind(int fd, const node_ref_t* ref) {
    struct stat st;
    if (fd < 0 || fd >= max_fd || fstat(fd, &st) != 0)
        return false;
    std::lock_guard<std::mutex> hold(table_lock);
    slots[fd] = slot_t{ref, st.st_dev, st.st_ino};
    used[fd].store(1, std::memory_order_release);
    return true;
}

void unbind(int fd) {
    if (fd < 0 || fd >= max_fd || !used[fd].load(std::memory_order_acquire))
        return;
    std::lock_guard<std::mutex> hold(table_lock);
    used[fd].store(0, std::memory_order_release);
    slots[fd] = slot_t{};
}

// The node behind a descriptor, or null for an ordinary one. A slot whose
// number now names another file (closed behind our back) is dropped.
const node_ref_t* lookup(int fd) {
    if (fd < 0 || fd >= max_fd || !used[fd].load(std::memory_order_acquire))
        return nullptr;
    slot_t slot;
    {
        std::lock_guard<std::mutex> hold(table_lock);
        slot = slots[fd];
    }
    struct stat st;
    if (slot.ref && fstat(fd, &st) == 0 && st.st_dev == slot.dev && st.st_ino == slot.ino)
        return slot.ref;
    unbind(fd);
    return nullptr;
}

// Result of a board call: sets errno only on failure, keeps the caller's otherwise.
template <typename T> T finish(long long result, int saved) {
    if (result < 0) {
        errno = static_cast<int>(-result);
        return static_cast<T>(-1);
    }
    errno = saved;
    return static_cast<T>(result);
}

bool node_path(const char* path, std::string& node) {
    if (!path || std::strncmp(path, node_prefix, sizeof node_prefix - 1) != 0)
        return false;
    node = path + sizeof node_prefix - 1;
    return !node.empty();
}

// Opens a node when `path` names one and a board is set; false lets the call
// go to the C library.
bool open_node(const char* path, int flags, int& result) {
    std::string node;
    if (!node_path(path, node))
        return false;
    const char* board = std::getenv("VBOARD_DIR");
    if (!board || !*board)
        return false;
    int saved = errno;
    try {
        char absolute[PATH_MAX];
        if (!realpath(board, absolute)) {
            vboard::diagnose(std::string("no board at ") + board);
            result = finish<int>(-ENOENT, saved);
            return true;
        }
        if (node.find('/') != std::string::npos) {
            result = finish<int>(-ENOENT, saved);
            return true;
        }
        const node_ref_t* ref;
        {
            std::lock_guard<std::mutex> hold(table_lock);
            ref = intern(absolute, node);
        }
        int fd = -1;
        long r = vboard::board_open(*ref, flags, fd);
        if (r >= 0 && !bind(fd, ref)) {
            vboard::real::close(fd);
            r = -EMFILE;
        }
        result = finish<int>(r, saved);
    } catch (...) {
        result = finish<int>(-ENOMEM, saved);
    }
    return true;
}

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

int missing_symbol() {
    errno = ENOSYS;
    return -1;
}

long long do_read(const node_ref_t& ref, int fd, void* buffer, size_t count, const off64_t* at) {
    try {
        return vboard::board_read(ref, fd, buffer, count, at);
    } catch (...) {
        return -ENOMEM;
    }
}

long long do_write(const node_ref_t& ref, int fd, const void* buffer, size_t count,
                   const off64_t* at) {
    try {
        return vboard::board_write(ref, fd, buffer, count, at);
    } catch (...) {
        return -ENOMEM;
    }
}

long long do_lseek(const node_ref_t& ref, int fd, off64_t offset, int whence) {
    try {
        return vboard::board_lseek(ref, fd, offset, whence);
    } catch (...) {
        return -ENOMEM;
    }
}

long long do_ioctl(const node_ref_t& ref, int fd, unsigned long request, void* argument) {
    try {
        // The kernel takes the request as 32 bits; an int code arrives sign-extended.
        return vboard::board_ioctl(ref, fd, static_cast<uint32_t>(request), argument);
    } catch (...) {
        return -ENOMEM;
    }
}

// A vectored transfer reaches the driver as one call of the total length.
long long do_readv(const node_ref_t& ref, int fd, const iovec* iov, int count, const off64_t* at) {
    if (count < 0 || count > IOV_MAX)
        return -EINVAL;
    try {
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
    } catch (...) {
        return -ENOMEM;
    }
}

long long do_writev(const node_ref_t& ref, int fd, const iovec* iov, int count, const off64_t* at) {
    if (count < 0 || count > IOV_MAX)
        return -EINVAL;
    try {
        std::vector<char> buffer;
        for (int i = 0; i < count; ++i) {
            const char* base = static_cast<const char*>(iov[i].iov_base);
            buffer.insert(buffer.end(), base, base + iov[i].iov_len);
        }
        return vboard::board_write(ref, fd, buffer.data(), buffer.size(), at);
    } catch (...) {
        return -ENOMEM;
    }
}

// After dup and friends the new number stands for the same node.
int after_dup(int source, int result, const node_ref_t* ref) {
    if (result >= 0 && ref && !bind(result, ref)) {
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

// Descriptors inherited through exec are found again by the image they hold open.
void adopt_inherited() {
    const char* board = std::getenv("VBOARD_DIR");
    char absolute[PATH_MAX];
    if (!board || !*board || !realpath(board, absolute))
        return;
    DIR* dir = opendir("/proc/self/fd");
    if (!dir)
        return;
    std::string prefix = std::string(absolute) + "/";
    int own = dirfd(dir);
    while (dirent* entry = readdir(dir)) {
        char* end = nullptr;
        long fd = std::strtol(entry->d_name, &end, 10);
        if (*end != '\0' || fd == own || fd < 0 || fd >= max_fd)
            continue;
        char target[PATH_MAX];
        std::string link = std::string("/proc/self/fd/") + entry->d_name;
        ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
        if (n <= 0)
            continue;
        std::string path(target, static_cast<size_t>(n));
        if (path.compare(0, prefix.size(), prefix) != 0 || path.size() <= prefix.size() + 4 ||
            path.compare(path.size() - 4, 4, ".img") != 0)
            continue;
        std::string node = path.substr(prefix.size(), path.size() - prefix.size() - 4);
        if (node.find('/') != std::string::npos)
            continue;
        const node_ref_t* ref;
        {
            std::lock_guard<std::mutex> hold(table_lock);
            ref = intern(absolute, node);
        }
        bind(static_cast<int>(fd), ref);
    }
    closedir(dir);
}

void prepare() {
    table_lock.lock();
}
void parent() {
    table_lock.unlock();
}
void child() {
    table_lock.unlock();
    vboard::fork_child();
}

__attribute__((constructor)) void start() {
    int saved = errno;
    pthread_atfork(prepare, parent, child);
    try {
        adopt_inherited();
    } catch (...) {
    }
    errno = saved;
}

} // namespace

namespace real = vboard::real;

extern "C" {

__attribute__((visibility("default"))) int open(const char* path, int flags, ...) {
    mode_t mode = 0;
    if (takes_mode(flags)) {
        va_list ap;
        va_start(ap, flags);
        mode = static_cast<mode_t>(va_arg(ap, int));
        va_end(ap);
    }
    int result;
    if (open_node(path, flags, result))
        return result;
    auto f = NEXT(int (*)(const char*, int, ...), "open");
    return f ? f(path, flags, mode) : missing_symbol();
}

__attribute__((visibility("default"))) int open64(const char* path, int flags, ...) {
    mode_t mode = 0;
    if (takes_mode(flags)) {
        va_list ap;
        va_start(ap, flags);
        mode = static_cast<mode_t>(va_arg(ap, int));
        va_end(ap);
    }
    int result;
    if (open_node(path, flags, result))
        return result;
    auto f = NEXT(int (*)(const char*, int, ...), "open64");
    return f ? f(path, flags, mode) : missing_symbol();
}

__attribute__((visibility("default"))) int __open_2(const char* path, int flags) {
    int result;
    if (open_node(path, flags, result))
        return result;
    auto f = NEXT(int (*)(const char*, int), "__open_2");
    return f ? f(path, flags) : missing_symbol();
}

__attribute__((visibility("default"))) int __open64_2(const char* path, int flags) {
    int result;
    if (open_node(path, flags, result))
        return result;
    auto f = NEXT(int (*)(const char*, int), "__open64_2");
    return f ? f(path, flags) : missing_symbol();
}

__attribute__((visibility("default"))) int openat(int dirfd, const char* path, int flags, ...) {
    mode_t mode = 0;
    if (takes_mode(flags)) {
        va_list ap;
        va_start(ap, flags);
        mode = static_cast<mode_t>(va_arg(ap, int));
        va_end(ap);
    }
    int result;
    if (open_node(path, flags, result)) // an absolute path ignores dirfd
        return result;
    auto f = NEXT(int (*)(int, const char*, int, ...), "openat");
    return f ? f(dirfd, path, flags, mode) : missing_symbol();
}

__attribute__((visibility("default"))) int openat64(int dirfd, const char* path, int flags, ...) {
    mode_t mode = 0;
    if (takes_mode(flags)) {
        va_list ap;
        va_start(ap, flags);
        mode = static_cast<mode_t>(va_arg(ap, int));
        va_end(ap);
    }
    int result;
    if (open_node(path, flags, result))
        return result;
    auto f = NEXT(int (*)(int, const char*, int, ...), "openat64");
    return f ? f(dirfd, path, flags, mode) : missing_symbol();
}

__attribute__((visibility("default"))) int __openat_2(int dirfd, const char* path, int flags) {
    int result;
    if (open_node(path, flags, result))
        return result;
    auto f = NEXT(int (*)(int, const char*, int), "__openat_2");
    return f ? f(dirfd, path, flags) : missing_symbol();
}

__attribute__((visibility("default"))) int __openat64_2(int dirfd, const char* path, int flags) {
    int result;
    if (open_node(path, flags, result))
        return result;
    auto f = NEXT(int (*)(int, const char*, int), "__openat64_2");
    return f ? f(dirfd, path, flags) : missing_symbol();
}

__attribute__((visibility("default"))) int creat(const char* path, mode_t mode) {
    int result;
    if (open_node(path, O_CREAT | O_WRONLY | O_TRUNC, result))
        return result;
    auto f = NEXT(int (*)(const char*, mode_t), "creat");
    return f ? f(path, mode) : missing_symbol();
}

__attribute__((visibility("default"))) int creat64(const char* path, mode_t mode) {
    int result;
    if (open_node(path, O_CREAT | O_WRONLY | O_TRUNC, result))
        return result;
    auto f = NEXT(int (*)(const char*, mode_t), "creat64");
    return f ? f(path, mode) : missing_symbol();
}

__attribute__((visibility("default"))) ssize_t read(int fd, void* buffer, size_t count) {
    if (const node_ref_t* ref = lookup(fd)) {
        int saved = errno;
        return finish<ssize_t>(do_read(*ref, fd, buffer, count, nullptr), saved);
    }
    return real::read(fd, buffer, count);
}

__attribute__((visibility("default"))) ssize_t __read_chk(int fd, void* buffer, size_t count,
                                                          size_t size) {
    const node_ref_t* ref = count <= size ? lookup(fd) : nullptr;
    if (ref) {
        int saved = errno;
        return finish<ssize_t>(do_read(*ref, fd, buffer, count, nullptr), saved);
    }
    auto f = NEXT(ssize_t(*)(int, void*, size_t, size_t), "__read_chk");
    return f ? f(fd, buffer, count, size) : missing_symbol();
}

__attribute__((visibility("default"))) ssize_t pread(int fd, void* buffer, size_t count,
                                                     off_t offset) {
    if (const node_ref_t* ref = lookup(fd)) {
        int saved = errno;
        off64_t at = offset;
        return finish<ssize_t>(do_read(*ref, fd, buffer, count, &at), saved);
    }
    auto f = NEXT(ssize_t(*)(int, void*, size_t, off_t), "pread");
    return f ? f(fd, buffer, count, offset) : missing_symbol();
}

__attribute__((visibility("default"))) ssize_t pread64(int fd, void* buffer, size_t count,
                                                       off64_t offset) {
    if (const node_ref_t* ref = lookup(fd)) {
        int saved = errno;
        return finish<ssize_t>(do_read(*ref, fd, buffer, count, &offset), saved);
    }
    return real::pread(fd, buffer, count, offset);
}

__attribute__((visibility("default"))) ssize_t __pread_chk(int fd, void* buffer, size_t count,
                                                           off_t offset, size_t size) {
    const node_ref_t* ref = count <= size ? lookup(fd) : nullptr;
    if (ref) {
        int saved = errno;
        off64_t at = offset;
        return finish<ssize_t>(do_read(*ref, fd, buffer, count, &at), saved);
    }
    auto f = NEXT(ssize_t(*)(int, void*, size_t, off_t, size_t), "__pread_chk");
    return f ? f(fd, buffer, count, offset, size) : missing_symbol();
}

__attribute__((visibility("default"))) ssize_t __pread64_chk(int fd, void* buffer, size_t count,
                                                             off64_t offset, size_t size) {
    const node_ref_t* ref = count <= size ? lookup(fd) : nullptr;
    if (ref) {
        int saved = errno;
        return finish<ssize_t>(do_read(*ref, fd, buffer, count, &offset), saved);
    }
    auto f = NEXT(ssize_t(*)(int, void*, size_t, off64_t, size_t), "__pread64_chk");
    return f ? f(fd, buffer, count, offset, size) : missing_symbol();
}

__attribute__((visibility("default"))) ssize_t readv(int fd, const struct iovec* iov, int count) {
    if (const node_ref_t* ref = lookup(fd)) {
        int saved = errno;
        return finish<ssize_t>(do_readv(*ref, fd, iov, count, nullptr), saved);
    }
    auto f = NEXT(ssize_t(*)(int, const struct iovec*, int), "readv");
    return f ? f(fd, iov, count) : missing_symbol();
}

__attribute__((visibility("default"))) ssize_t write(int fd, const void* buffer, size_t count) {
    if (const node_ref_t* ref = lookup(fd)) {
        int saved = errno;
        return finish<ssize_t>(do_write(*ref, fd, buffer, count, nullptr), saved);
    }
    return real::write(fd, buffer, count);
}

__attribute__((visibility("default"))) ssize_t pwrite(int fd, const void* buffer, size_t count,
                                                      off_t offset) {
    if (const node_ref_t* ref = lookup(fd)) {
        int saved = errno;
        off64_t at = offset;
        return finish<ssize_t>(do_write(*ref, fd, buffer, count, &at), saved);
    }
    auto f = NEXT(ssize_t(*)(int, const void*, size_t, off_t), "pwrite");
    return f ? f(fd, buffer, count, offset) : missing_symbol();
}

__attribute__((visibility("default"))) ssize_t pwrite64(int fd, const void* buffer, size_t count,
                                                        off64_t offset) {
    if (const node_ref_t* ref = lookup(fd)) {
        int saved = errno;
        return finish<ssize_t>(do_write(*ref, fd, buffer, count, &offset), saved);
    }
    return real::pwrite(fd, buffer, count, offset);
}

__attribute__((visibility("default"))) ssize_t writev(int fd, const struct iovec* iov, int count) {
    if (const node_ref_t* ref = lookup(fd)) {
        int saved = errno;
        return finish<ssize_t>(do_writev(*ref, fd, iov, count, nullptr), saved);
    }
    auto f = NEXT(ssize_t(*)(int, const struct iovec*, int), "writev");
    return f ? f(fd, iov, count) : missing_symbol();
}

__attribute__((visibility("default"))) off_t lseek(int fd, off_t offset, int whence) {
    if (const node_ref_t* ref = lookup(fd)) {
        int saved = errno;
        long long r = do_lseek(*ref, fd, offset, whence);
        if (r > static_cast<long long>(std::numeric_limits<off_t>::max()))
            r = -EOVERFLOW;
        return finish<off_t>(r, saved);
    }
    auto f = NEXT(off_t(*)(int, off_t, int), "lseek");
    return f ? f(fd, offset, whence) : missing_symbol();
}

__attribute__((visibility("default"))) off64_t lseek64(int fd, off64_t offset, int whence) {
    if (const node_ref_t* ref = lookup(fd)) {
        int saved = errno;
        return finish<off64_t>(do_lseek(*ref, fd, offset, whence), saved);
    }
    return real::lseek(fd, offset, whence);
}

__attribute__((visibility("default"))) int ioctl(int fd, unsigned long request, ...) {
    va_list ap;
    va_start(ap, request);
    void* argument = va_arg(ap, void*);
    va_end(ap);
    if (const node_ref_t* ref = lookup(fd)) {
        int saved = errno;
        return finish<int>(do_ioctl(*ref, fd, request, argument), saved);
    }
    auto f = NEXT(int (*)(int, unsigned long, ...), "ioctl");
    return f ? f(fd, request, argument) : missing_symbol();
}

// glibc's name for ioctl in programs built with 64-bit time on 32-bit targets.
__attribute__((visibility("default"))) int __ioctl_time64(int fd, unsigned long request, ...) {
    va_list ap;
    va_start(ap, request);
    void* argument = va_arg(ap, void*);
    va_end(ap);
    if (const node_ref_t* ref = lookup(fd)) {
        int saved = errno;
        return finish<int>(do_ioctl(*ref, fd, request, argument), saved);
    }
    auto f = NEXT(int (*)(int, unsigned long, ...), "__ioctl_time64");
    if (!f)
        f = NEXT(int (*)(int, unsigned long, ...), "ioctl");
    return f ? f(fd, request, argument) : missing_symbol();
}

__attribute__((visibility("default"))) int close(int fd) {
    if (const node_ref_t* ref = lookup(fd)) {
        int saved = errno;
        unbind(fd);
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
__attribute__((visibility("default"))) int statx(int dirfd, const char* path, int flags,
                                                 unsigned int mask, struct statx* out) {
    auto f = NEXT(int (*)(int, const char*, int, unsigned int, struct statx*), "statx");
    if (!f)
        return missing_symbol();
    std::string node;
    const char* board = std::getenv("VBOARD_DIR");
    if (!node_path(path, node) || !board || !*board)
        return f(dirfd, path, flags, mask, out);
    try {
        char absolute[PATH_MAX];
        if (node.find('/') == std::string::npos && realpath(board, absolute)) {
            const std::string base = std::string(absolute) + "/" + node;
            if (access((base + ".info").c_str(), F_OK) == 0)
                return f(AT_FDCWD, (base + ".img").c_str(), flags, mask, out);
        }
        errno = ENOENT;
    } catch (...) {
        errno = ENOMEM;
    }
    return -1;
}

__attribute__((visibility("default"))) int close_range(unsigned first, unsigned last, int flags) {
    auto f = NEXT(int (*)(unsigned, unsigned, int), "close_range");
    if (!f)
        return missing_symbol();
    int r = f(first, last, flags);
    if (r == 0 && !(flags & CLOSE_RANGE_CLOEXEC)) {
        for (unsigned fd = first; fd <= last && fd < static_cast<unsigned>(max_fd); ++fd)
            unbind(static_cast<int>(fd));
    }
    return r;
}

#define FCNTL_WRAPPER(fname)                                                                       \
    __attribute__((visibility("default"))) int fname(int fd, int command, ...) {                   \
        va_list ap;                                                                                \
        va_start(ap, command);                                                                     \
        void* argument = va_arg(ap, void*);                                                        \
        va_end(ap);                                                                                \
        auto f = NEXT(int (*)(int, int, ...), #fname);                                             \
        if (!f)                                                                                    \
            f = NEXT(int (*)(int, int, ...), "fcntl");                                             \
        if (!f)                                                                                    \
            return missing_symbol();                                                               \
        if (!is_dup_command(command))                                                              \
            return f(fd, command, argument);                                                       \
        const node_ref_t* ref = lookup(fd);                                                        \
        return after_dup(fd, f(fd, command, argument), ref);                                       \
    }

FCNTL_WRAPPER(fcntl)
FCNTL_WRAPPER(fcntl64)
FCNTL_WRAPPER(__fcntl_time64)

__attribute__((visibility("default"))) int fsync(int fd) {
    if (lookup(fd))
        return 0; // the board writes through
    auto f = NEXT(int (*)(int), "fsync");
    return f ? f(fd) : missing_symbol();
}

__attribute__((visibility("default"))) int fdatasync(int fd) {
    if (lookup(fd))
        return 0;
    auto f = NEXT(int (*)(int), "fdatasync");
    return f ? f(fd) : missing_symbol();
}

__attribute__((visibility("default"))) int dup(int fd) {
    const node_ref_t* ref = lookup(fd);
    return after_dup(fd, real::dup(fd), ref);
}

__attribute__((visibility("default"))) int dup2(int fd, int target) {
    const node_ref_t* ref = lookup(fd);
    auto f = NEXT(int (*)(int, int), "dup2");
    if (!f)
        return missing_symbol();
    int r = f(fd, target);
    if (r >= 0 && r != fd)
        unbind(r);
    return r == fd ? r : after_dup(fd, r, ref);
}

__attribute__((visibility("default"))) int dup3(int fd, int target, int flags) {
    const node_ref_t* ref = lookup(fd);
    int r = real::dup3(fd, target, flags);
    if (r >= 0)
        unbind(r);
    return after_dup(fd, r, ref);
}

// A node has no memory mapping.
__attribute__((visibility("default"))) void* mmap(void* address, size_t length, int protection,
                                                  int flags, int fd, off_t offset) {
    if (!(flags & MAP_ANONYMOUS) && lookup(fd)) {
        errno = ENODEV;
        return MAP_FAILED;
    }
    auto f = NEXT(void* (*)(void*, size_t, int, int, int, off_t), "mmap");
    if (!f) {
        errno = ENOSYS;
        return MAP_FAILED;
    }
    return f(address, length, protection, flags, fd, offset);
}

__attribute__((visibility("default"))) void* mmap64(void* address, size_t length, int protection,
                                                    int flags, int fd, off64_t offset) {
    if (!(flags & MAP_ANONYMOUS) && lookup(fd)) {
        errno = ENODEV;
        return MAP_FAILED;
    }
    auto f = NEXT(void* (*)(void*, size_t, int, int, int, off64_t), "mmap64");
    if (!f) {
        errno = ENOSYS;
        return MAP_FAILED;
    }
    return f(address, length, protection, flags, fd, offset);
}

} // extern "C"
