// SPDX-License-Identifier: MIT
#include "standard_streams.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

bool open_standard_streams() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        // open gives the lowest free descriptor: this one, as those below it are open by
        // now. Anything else (no /dev/null) is a failure.
        if (::open("/dev/null", O_RDWR) != fd)
            return false;
    }
    return true;
}
