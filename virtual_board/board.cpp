// SPDX-License-Identifier: MIT
#undef _FILE_OFFSET_BITS
#undef _TIME_BITS
#include "board.h"

#include "real.h"
#include "session.h"

#include <cerrno>
#include <unistd.h>

namespace vboard {

namespace {

// A read or write without `at` moves the descriptor's offset, which the kernel keeps.
long long moved(int fd, long long result, const zc_file& file, const off64_t* at) {
    if (result >= 0 && !at)
        real::lseek(fd, file.pos, SEEK_SET);
    return result;
}

} // namespace

long board_open(const node_ref_t& ref, int flags, int& fd) {
    session_t session(ref, -1);
    long result = zc_open(&session.board, &session.node, flags);
    fd = session.fd;
    return result;
}

long board_read(const node_ref_t& ref, int fd, void* buffer, size_t count, const off64_t* at) {
    session_t session(ref, fd);
    zc_file file = session.file(at);
    return moved(
        fd, zc_read(&session.board, &session.node, &file, at ? "pread" : "read", buffer, count),
        file, at);
}

long board_write(const node_ref_t& ref, int fd, const void* buffer, size_t count,
                 const off64_t* at) {
    session_t session(ref, fd);
    zc_file file = session.file(at);
    return moved(
        fd, zc_write(&session.board, &session.node, &file, at ? "pwrite" : "write", buffer, count),
        file, at);
}

off64_t board_lseek(const node_ref_t& ref, int fd, off64_t offset, int whence) {
    session_t session(ref, fd);
    zc_file file = session.file(nullptr);
    long long result = zc_lseek(&session.board, &session.node, &file, offset, whence);
    if (result >= 0 && real::lseek(fd, result, SEEK_SET) < 0)
        return -EIO;
    return result;
}

long board_ioctl(const node_ref_t& ref, int fd, uint32_t code, void* argument) {
    session_t session(ref, fd);
    zc_file file = session.file(nullptr);
    return zc_ioctl(&session.board, &session.node, &file, code, argument);
}

long board_close(const node_ref_t& ref, int fd) {
    session_t session(ref, fd);
    long result = zc_close(&session.board, &session.node);
    // The descriptor goes whatever the driver says, as close() does on Linux.
    if (!session.closed)
        real::close(fd);
    return result;
}

} // namespace vboard
