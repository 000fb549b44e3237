// SPDX-License-Identifier: MIT
#undef _FILE_OFFSET_BITS
#undef _TIME_BITS
#include "node.h"

#include "files.h"
#include "real.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vboard {

bool load_info(const node_ref_t& ref, node_info_t& info) {
    std::string text;
    if (!read_cached(ref.board + "/" + ref.node + ".info", text))
        return false;
    info.flash = config_value(text, "type") != "nvram";
    info.env = config_value(text, "env");
    info.manufacturer_id = to_number(config_value(text, "manufacturer_id"), 0);
    info.device_id = to_number(config_value(text, "device_id"), 0);
    info.size_kbits = to_number(config_value(text, "size_kbits"), 0);
    info.part_name = config_value(text, "part_name");
    return true;
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

image_t::image_t(const node_ref_t& ref, bool writable) {
    fd_ = real::open(image_path(ref).c_str(), (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC, 0);
    struct stat st;
    if (fd_ >= 0 && fstat(fd_, &st) == 0)
        size_ = st.st_size;
    else if (fd_ >= 0) {
        real::close(fd_);
        fd_ = -1;
    }
}

image_t::~image_t() {
    if (fd_ >= 0)
        real::close(fd_);
}

bool image_t::read(void* buffer, size_t count, off64_t at) const {
    size_t done = 0;
    while (done < count) {
        ssize_t n = real::pread(fd_, static_cast<char*>(buffer) + done, count - done,
                                at + static_cast<off64_t>(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

bool image_t::write(const void* buffer, size_t count, off64_t at) const {
    return write_all(fd_, static_cast<const char*>(buffer), count, at);
}

bool image_t::read_all(std::string& out) const {
    out.assign(static_cast<size_t>(size_), '\0');
    return read(&out[0], out.size(), 0);
}

} // namespace vboard
