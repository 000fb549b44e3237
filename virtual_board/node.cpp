// SPDX-License-Identifier: MIT
#undef _FILE_OFFSET_BITS
#undef _TIME_BITS
#include "node.h"

#include "files.h"
#include "real.h"

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vboard {

void load_info(const node_ref_t& ref, zc_node& node) {
    node = zc_node{};
    node.name = ref.node.c_str();
    std::string text;
    if (!read_cached(ref.board + "/" + ref.node + ".info", text))
        return;
    node.known = 1;
    node.flash = config_value(text, "type") != "nvram";
    const std::string env = config_value(text, "env");
    node.env = env == "flash" ? ZC_ENV_FLASH : env == "nvram" ? ZC_ENV_NVRAM : ZC_ENV_NONE;
    node.info.manufacturer_id =
        static_cast<int32_t>(to_number(config_value(text, "manufacturer_id"), 0));
    node.info.device_id = static_cast<int32_t>(to_number(config_value(text, "device_id"), 0));
    node.info.size_kbits = static_cast<int32_t>(to_number(config_value(text, "size_kbits"), 0));
    const std::string part = config_value(text, "part_name");
    std::memcpy(node.info.part_name, part.data(),
                std::min(part.size(), sizeof node.info.part_name - 1));
}

std::string image_path(const node_ref_t& ref) {
    return ref.board + "/" + ref.node + ".img";
}

int access_mode(int fd) {
    int fl = real::fcntl(fd, F_GETFL, nullptr);
    return fl < 0 ? -1 : (fl & O_ACCMODE);
}

off64_t current_offset(int fd) {
    return real::lseek(fd, 0, SEEK_CUR);
}

namespace {

// The image a thread mapped last, kept between its calls: mapping and unmapping a
// whole image for every 16-byte request took most of a request's time. It serves
// again only while its path names the same file at the same size.
struct kept_map_t {
    std::string path;
    dev_t dev = 0;
    ino_t ino = 0;
    void* data = nullptr;
    size_t size = 0;
    bool writable = false;

    ~kept_map_t() { release(); }
    bool serves(const std::string& wanted, bool writable_wanted) const {
        struct stat st;
        return data && path == wanted && (writable || !writable_wanted) &&
               stat(wanted.c_str(), &st) == 0 && st.st_dev == dev && st.st_ino == ino &&
               static_cast<size_t>(st.st_size) == size;
    }
    void release() {
        if (data)
            munmap(data, size);
        data = nullptr;
        size = 0;
        path.clear();
    }
};
thread_local kept_map_t kept;

} // namespace

bool image_map_t::map(const node_ref_t& ref, bool writable, zc_node& node) {
    if (mapped_ && (writable_ || !writable))
        return true;
    const std::string path = image_path(ref);
    if (!kept.serves(path, writable)) {
        kept.release();
        int fd = real::open(path.c_str(), (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC, 0);
        if (fd < 0)
            return false;
        struct stat st;
        bool ok = fstat(fd, &st) == 0;
        if (ok && st.st_size > 0) {
            const int protection = writable ? PROT_READ | PROT_WRITE : PROT_READ;
            void* data =
                real::mmap(nullptr, static_cast<size_t>(st.st_size), protection, MAP_SHARED, fd);
            ok = data != MAP_FAILED;
            if (ok) {
                kept.path = path;
                kept.dev = st.st_dev;
                kept.ino = st.st_ino;
                kept.data = data;
                kept.size = static_cast<size_t>(st.st_size);
                kept.writable = writable;
            }
        }
        real::close(fd);
        if (!ok)
            return false;
    }
    mapped_ = true;
    writable_ = writable;
    node.data = static_cast<uint8_t*>(kept.data);
    node.size = kept.size;
    return true;
}

void image_map_t::unmap() {
    mapped_ = false; // the mapping itself stays kept for the thread's next call
    writable_ = false;
}

} // namespace vboard
