// SPDX-License-Identifier: MIT
#include "device_lock.h"

#include "failure.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <iostream>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {
const char lock_folder[] = "/run/lock";
}

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

void device_lock_t::take(const std::string& node, lock_mode_t mode, bool nowait) {
    const std::string file = file_for(node);
    if (file.empty())
        return;
    // Read-only is enough for flock, so a file made by another user still serves.
    const int fd = ::open(file.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0)
        return;
    const bool wait = mode == lock_mode_t::shared || !nowait;
    const int operation = (mode == lock_mode_t::shared ? LOCK_SH : LOCK_EX) | (wait ? 0 : LOCK_NB);
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
    return;
}

device_lock_t::~device_lock_t() {
    // Closing the last descriptor of the open file releases the lock.
    if (fd_ >= 0)
        ::close(fd_);
}
