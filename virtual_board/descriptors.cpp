// SPDX-License-Identifier: MIT
#undef _FILE_OFFSET_BITS
#undef _TIME_BITS
#include "descriptors.h"

#include "board.h"
#include "real.h"
#include "session.h"
#include "zelk/zelk_ioctl.h"

#include <atomic>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <mutex>
#include <pthread.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>

namespace vboard {

namespace {

constexpr char node_prefix[] = ZELK_NODE_DIR;

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

} // namespace

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

// A slot whose number now names another file (closed behind our back) is dropped.
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

namespace {

bool node_path(const char* path, std::string& node) {
    if (!path || std::strncmp(path, node_prefix, sizeof node_prefix - 1) != 0)
        return false;
    node = path + sizeof node_prefix - 1;
    return !node.empty();
}

} // namespace

bool node_image(const char* path, std::string& image) {
    std::string node;
    const char* board = std::getenv("VBOARD_DIR");
    if (!node_path(path, node) || !board || !*board)
        return false;
    image.clear();
    char absolute[PATH_MAX];
    if (node.find('/') == std::string::npos && realpath(board, absolute)) {
        const std::string base = std::string(absolute) + "/" + node;
        if (::access((base + ".info").c_str(), F_OK) == 0)
            image = base + ".img";
    }
    return true;
}

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
            diagnose(std::string("no board at ") + board);
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
        long r = board_open(*ref, flags, fd);
        if (r >= 0 && !bind(fd, ref)) {
            real::close(fd);
            r = -EMFILE;
        }
        result = finish<int>(r, saved);
    } catch (...) {
        result = finish<int>(-ENOMEM, saved);
    }
    return true;
}

namespace {

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
    fork_child();
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

} // namespace vboard
