// SPDX-License-Identifier: MIT
#include "posix/file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

// Members share their names with the free wrappers, so the wrappers are always qualified.
namespace sys = qv::posix;

namespace qv::posix {

file_t::file_t(posix::sync_on_close sync) : sync_on_close_(sync == posix::sync_on_close::yes) {}

file_t::file_t(const std::string& name, int flags, posix::sync_on_close sync)
    : name_(name), flags_(flags), sync_on_close_(sync == posix::sync_on_close::yes) {}

file_t::file_t(const std::string& name, int flags, mode_t mode, posix::sync_on_close sync)
    : name_(name), flags_(flags), mode_(mode), sync_on_close_(sync == posix::sync_on_close::yes) {}

file_t::file_t(int fd, const std::string& name, posix::sync_on_close sync)
    : name_(name), sync_on_close_(sync == posix::sync_on_close::yes) {
    open(fd);
}

file_t::~file_t() {
    if (!is_open_)
        return;
    try {
        if (sync_on_close_)
            sync();
    } catch (...) {
        // Nowhere to report it; closing still matters more.
    }
    if (unlink_on_close_)
        ::unlink(name_.c_str());
    try {
        close();
    } catch (...) {
    }
}

void file_t::open() {
    if (is_open_)
        throw exception_t("file_t::open() -- %s already open", name_.c_str());
    if (name_.empty())
        throw exception_t("file_t::open() --- no file name");
    int fd = -1;
    try {
        fd = sys::open(name_, flags_, mode_);
        sys::fcntl(fd, F_SETFD, FD_CLOEXEC);
    } catch (const posix_exception_t& e) {
        // A descriptor without close-on-exec is not kept.
        if (fd != -1)
            ::close(fd);
        rethrow(e);
    }
    fd_ = fd;
    is_open_ = true;
}

void file_t::open(const std::string& name, int flags) {
    open(name, flags, 0600);
}

void file_t::open(const std::string& name, int flags, mode_t mode) {
    name_ = name;
    flags_ = flags;
    mode_ = mode;
    open();
}

void file_t::open(int fd) {
    if (is_open_)
        throw exception_t("file_t::open() -- %s already open", name_.c_str());
    try {
        sys::check_descriptor(fd);
        sys::fcntl(fd, F_SETFD, FD_CLOEXEC);
    } catch (const posix_exception_t& e) {
        rethrow(e);
    }
    fd_ = fd;
    is_open_ = true;
}

void file_t::close() {
    if (!is_open_)
        return;
    munmap_all();
    // Closed from here on, whatever close() reports: the descriptor number may already
    // belong to someone else, so it must never be closed a second time.
    const int fd = fd_;
    is_open_ = false;
    fd_ = -1;
    try {
        sys::close(fd);
    } catch (const posix_exception_t& e) {
        rethrow(e);
    }
}

ssize_t file_t::read(void* buffer, size_t count) {
    return guarded([&] { return sys::read(fd_, buffer, count); });
}

ssize_t file_t::write(const void* buffer, size_t count) {
    return guarded([&] { return sys::write(fd_, buffer, count); });
}

off_t file_t::seek(off_t offset, int whence) {
    return guarded([&] { return sys::lseek(fd_, offset, whence); });
}

off_t file_t::tell() {
    return guarded([&] { return sys::tell(fd_); });
}

off_t file_t::size() {
    open_if_closed();
    const off_t at = tell();
    const off_t end = seek(0, SEEK_END);
    seek(at, SEEK_SET);
    return end;
}

void file_t::sync() {
    guarded([&] { sys::fsync(fd_); });
}

int file_t::fcntl(int command, long argument) {
    return guarded([&] { return sys::fcntl(fd_, command, argument); });
}

void file_t::set_close_on_exec(bool on) {
    fcntl(F_SETFD, on ? FD_CLOEXEC : 0);
}

void* file_t::mmap(off_t offset, size_t length) {
    void* const address = guarded([&] { return sys::mmap(fd_, offset, length); });
    try {
        mappings_[address] = length;
    } catch (...) {
        ::munmap(address, length); // unrecorded, it would never be unmapped
        throw;
    }
    return address;
}

void file_t::munmap(void* address) {
    const auto found = mappings_.find(address);
    if (found == mappings_.end())
        return;
    ::munmap(found->first, found->second);
    mappings_.erase(found);
}

void file_t::munmap_all() {
    for (const auto& [address, length] : mappings_)
        ::munmap(address, length);
    mappings_.clear();
}

void file_t::on_failure(const posix_exception_t&) {}

void file_t::rethrow(const posix_exception_t& e) const {
    throw posix_exception_t(e.error_number(), "%s: %s", name_.c_str(), e.what());
}

} // namespace qv::posix
