// SPDX-License-Identifier: MIT
#undef _FILE_OFFSET_BITS
#undef _TIME_BITS
#include "board.h"

#include "call.h"
#include "log_text.h"
#include "real.h"
#include "requests.h"
#include "zelk/zelk_ioctl.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace vboard {

long board_open(const node_ref_t& ref, int flags, int& fd) {
    return serve(ref, "open", "flags=" + flags_text(flags), 0, [&](call_t& call) -> long {
        call.cut_power_at_start();
        if (long refused = call.refusal())
            return refused;
        node_info_t info;
        if (!load_info(ref, info))
            return -ENOENT;
        if ((flags & (O_CREAT | O_EXCL)) == (O_CREAT | O_EXCL))
            return -EEXIST;
        if (flags & O_DIRECTORY)
            return -ENOTDIR;
        if ((flags & O_ACCMODE) == O_ACCMODE)
            return -EINVAL;
        // The node's descriptor is its image file: the kernel then keeps the
        // offset, the status flags and close-on-exec for us, shared by dup and fork.
        const int keep = O_ACCMODE | O_CLOEXEC | O_NONBLOCK | O_APPEND | O_SYNC | O_DSYNC;
        fd = real::open(image_path(ref).c_str(), flags & keep, 0);
        return fd >= 0 ? fd : -errno;
    });
}

long board_read(const node_ref_t& ref, int fd, void* buffer, size_t count, const off64_t* at) {
    const off64_t pos = at ? *at : current_offset(fd);
    const char* op = at ? "pread" : "read";
    return serve(ref, op, transfer_text(pos, count), 0, [&](call_t& call) -> long {
        call.cut_power_at_start();
        if (long refused = call.refusal())
            return refused;
        if (access_mode(fd) == O_WRONLY)
            return -EBADF;
        if (pos < 0)
            return -EINVAL;
        image_t image(ref, false);
        if (!image.ok())
            return -EIO;
        size_t n = pos >= image.size() ? 0
                                       : static_cast<size_t>(std::min<off64_t>(
                                             static_cast<off64_t>(count), image.size() - pos));
        if (call.fault.fired && call.fault.short_to >= 0)
            n = std::min(n, static_cast<size_t>(call.fault.short_to));
        if (n > 0 && !image.read(buffer, n, pos))
            return -EIO;
        if (!at)
            real::lseek(fd, pos + static_cast<off64_t>(n), SEEK_SET);
        return static_cast<long>(n);
    });
}

long board_write(const node_ref_t& ref, int fd, const void* buffer, size_t count,
                 const off64_t* at) {
    const off64_t pos = at ? *at : current_offset(fd);
    const char* op = at ? "pwrite" : "write";
    return serve(ref, op, transfer_text(pos, count), 0, [&](call_t& call) -> long {
        if (long refused = call.refusal())
            return refused;
        if (access_mode(fd) == O_RDONLY)
            return -EBADF;
        if (count > ZELK_WRITE_MAX || pos < 0)
            return -EINVAL;
        node_info_t info;
        if (!load_info(ref, info))
            return -ENODEV;
        image_t image(ref, true);
        if (!image.ok())
            return -EIO;
        if (count == 0)
            return 0;
        if (pos + static_cast<off64_t>(count) > image.size())
            return -ENOSPC; // nothing is programmed past the end, not even in part
        unsigned char cells[ZELK_WRITE_MAX];
        const auto* in = static_cast<const unsigned char*>(buffer);
        if (!image.read(cells, count, pos))
            return -EIO;
        // NOR programming only clears bits; NVRAM takes the bytes as given.
        for (size_t i = 0; i < count; ++i)
            cells[i] = info.flash ? static_cast<unsigned char>(cells[i] & in[i]) : in[i];
        call.session.program_delay(count);
        if (call.fault.power_cut) {
            // The power goes part-way through programming.
            const size_t k = std::min(static_cast<size_t>(call.fault.partial), count);
            if (k > 0)
                image.write(cells, k, pos);
            call.cut_power();
        }
        if (!image.write(cells, count, pos))
            return -EIO;
        if (!at)
            real::lseek(fd, pos + static_cast<off64_t>(count), SEEK_SET);
        return static_cast<long>(count);
    });
}

off64_t board_lseek(const node_ref_t& ref, int fd, off64_t offset, int whence) {
    return serve(ref, "lseek", seek_text(offset, whence), 0, [&](call_t& call) -> long long {
        call.cut_power_at_start();
        if (long refused = call.refusal())
            return refused;
        image_t image(ref, false);
        const off64_t base = whence == SEEK_SET   ? 0
                             : whence == SEEK_CUR ? current_offset(fd)
                             : whence == SEEK_END ? image.size()
                                                  : -1;
        const off64_t target = base + offset;
        if (!image.ok())
            return -EIO;
        if (base < 0 || target < 0 || target > image.size())
            return -EINVAL; // a node is positioned within its device only
        return real::lseek(fd, target, SEEK_SET) < 0 ? -EIO : target;
    });
}

long board_ioctl(const node_ref_t& ref, int fd, uint32_t code, void* argument) {
    return serve(ref, "ioctl", code_text(code), code,
                 [&](call_t& call) { return device_request(call, fd, code, argument); });
}

long board_close(const node_ref_t& ref, int fd) {
    return serve(ref, "close", "", 0, [&](call_t& call) -> long {
        call.cut_power_at_start();
        // The descriptor goes whatever the driver says, as close() does on Linux.
        if (real::close(fd) != 0)
            return -errno;
        return call.refusal();
    });
}

} // namespace vboard
