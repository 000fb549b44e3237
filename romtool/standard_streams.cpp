// SPDX-License-Identifier: MIT
#include "standard_streams.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

bool open_standard_streams() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        // The lowest free descriptor: this one, since those below it are open by now.
        const int null = ::open("/dev/null", O_RDWR);
        if (null == -1)
            return false;
        if (null != fd) {
            const bool moved = ::dup2(null, fd) == fd;
            ::close(null);
            if (!moved)
                return false;
        }
    }
    return true;
}
