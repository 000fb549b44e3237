// SPDX-License-Identifier: MIT
#include "device_lock.h"

#include "failure.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <iostream>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {
const char lock_folder[] = "/run/lock";
const char not_regular[] = "not a regular file";
} // namespace

std::string device_lock_t::file_for(const std::string& node) {
    struct statx st;
    if (::statx(AT_FDCWD, node.c_str(), 0, STATX_TYPE | STATX_INO, &st) != 0)
        return "";
    char name[128];
    // A device node: the device it stands for. Anything else (a node served from a file):
    // the file itself.
    if (S_ISCHR(st.stx_mode) || S_ISBLK(st.stx_mode))
        std::snprintf(name, sizeof name, "%s/romtool-%c%u:%u.lock", lock_folder,
                      S_ISCHR(st.stx_mode) ? 'c' : 'b', st.stx_rdev_major, st.stx_rdev_minor);
    else
        std::snprintf(name, sizeof name, "%s/romtool-%u:%u-%llu.lock", lock_folder,
                      st.stx_dev_major, st.stx_dev_minor,
                      static_cast<unsigned long long>(st.stx_ino));
    return name;
}

void device_lock_t::take(const std::string& node, lock_mode_t mode, lock_wait_t wait) {
    if (mode == lock_mode_t::none)
        return;
    const std::string file = file_for(node);
    if (file.empty())
        return;
    // Read-only is enough for flock, so a file made by another user still serves. Whatever
    // another user put at this name must neither block the open (a FIFO) nor be followed
    // (a link): it is refused below instead of being worked around unlocked.
    const int flags = O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;
    bool made = true;
    int fd = ::open(file.c_str(), flags | O_CREAT | O_EXCL, 0644);
    if (fd < 0 && errno == EEXIST) {
        made = false;
        fd = ::open(file.c_str(), flags);
    }
    struct stat st;
    if (fd < 0) {
        const int error = errno;
        if (::lstat(file.c_str(), &st) == 0)
            refuse(file, S_ISREG(st.st_mode) ? std::strerror(error) : not_regular);
        // Nothing there and none can be made (no lock folder, a folder closed to us): no
        // other run can lock it either, so this one goes on without, as it always did.
        if (errno == ENOENT)
            return;
        refuse(file, std::strerror(errno));
    }
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        refuse(file, not_regular);
    }
    // Readable by all whatever the umask, so that every user's run meets this lock; flock
    // needs no write access, so nobody else is given it. A failure leaves the umask's.
    if (made)
        ::fchmod(fd, 0644);
    const int operation = (mode == lock_mode_t::shared ? LOCK_SH : LOCK_EX) |
                          (wait == lock_wait_t::fail_at_once ? LOCK_NB : 0);
    int result;
    do
        result = ::flock(fd, operation);
    while (result != 0 && errno == EINTR);
    if (result != 0) {
        const bool busy = errno == EWOULDBLOCK;
        ::close(fd);
        if (!busy)
            return; // flock not supported there: as without a lock folder
        throw command_failure_t("device busy: " + node);
    }
    fd_ = fd;
}

void device_lock_t::refuse(const std::string& file, const char* reason) {
    throw command_failure_t("lock file " + file + ": " + reason);
}

device_lock_t::~device_lock_t() {
    // Closing the last descriptor of the open file releases the lock.
    if (fd_ >= 0)
        ::close(fd_);
}
