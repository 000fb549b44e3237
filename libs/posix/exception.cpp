// SPDX-License-Identifier: MIT
#include "posix/exception.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace qv {

exception_t::exception_t(const char* format, ...) {
    va_list args;
    va_start(args, format);
    set_message(format, args);
    va_end(args);
}

void exception_t::set_message(const char* format, va_list args) {
    // Zeroed so that a formatter error leaves no indeterminate bytes in the text.
    char buffer[512] = {};
    if (vsnprintf(buffer, sizeof buffer - 1, format, args) < 0)
        buffer[sizeof buffer - 1] = '\0';
    message = buffer;
}

const char* exception_t::what() const noexcept {
    return message.c_str();
}

namespace posix {

posix_exception_t::posix_exception_t(int error_number) : error_number_(error_number) {}

posix_exception_t::posix_exception_t(int error_number, const char* format, ...)
    : error_number_(error_number) {
    va_list args;
    va_start(args, format);
    set_message(format, args);
    va_end(args);
}

namespace {

struct errno_text_t {
    int number;
    const char* text;
};

// Texts are the operator's; some spellings are odd but they are what scripts match on.
const char ebadf_text[] = "EBADF: invalid open file descriptor";
const char eio_text[] = "EIO: an I/O error occurred.";
const char efault_text[] = "EFAULT: inaccessible memory area referenced";
const char sync_special_text[] =
    "EROFS/EINVAL: file is a special file that does not support synchronization";

const errno_text_t open_table[] = {
    {ENOENT, "ENOENT: file/dir does not exist or is a dangling symbolic link"},
    {ENXIO, "ENXIO: file is a fifo"},
    {ENOMEM, "ENOMEM: insufficient kernel memory was available"},
    {EACCES, "EACCESS: requested access to the file is not allowed"},
    {EFAULT, "EFAULT: file points outside your accessible address space"},
    {EEXIST, "EEXIST: file already exists and cannot be created"},
    {ENODEV, "ENODEV: file refers to a device special file and no corresponding device exists"},
    {ENOTDIR, "ENOTDIR: file is not a directory"},
    {EISDIR, "EISDIR: file is a directory and cannot be written"},
    {ENFILE,
     "ENFILE: the limit on the maximum number of files open on the system has been reached"},
    {EMFILE, "EMFILE: process has maximum number of files open"},
    {ETXTBSY, "ETXTBSY: file is an executable in use and write access cannot be granted"},
    {ENOSPC, "ENOSPC: insufficient space for new file"},
    {EROFS, "EROFS: file is on read-only file system and write access cannot be granted"},
    {ENAMETOOLONG, "ENAMETOOLONG: file name is too long"},
    {ELOOP, "ELOOP: too many symbolic links"},
    {0, nullptr},
};

const errno_text_t close_table[] = {
    {EINTR, "EINTR: close() was interrupted by a signal."},
    {EIO, eio_text},
    {EBADF, ebadf_text},
    {0, nullptr},
};

const errno_text_t mmap_table[] = {
    {EBADF, ebadf_text},
    {EAGAIN, "EAGAIN: the file is locked, or too much memory has been locked"},
    {ENOMEM, "ENOMEM: no memory is available"},
    {EACCES, "EACCES: MAP mode and file permissions are not compatible"},
    {EINVAL, "EINVAL: length and/or offset is disagreeable"},
    {ETXTBSY, "ETXTBSY: MAP_DENYWRITE was set but file is open for writing"},
    {0, nullptr},
};

const errno_text_t sync_table[] = {
    {EIO, "EIO: an error occurred during synchronization"},
    {EBADF, ebadf_text},
    {EINVAL, sync_special_text},
    {EROFS, sync_special_text},
    {0, nullptr},
};

const errno_text_t ioctl_table[] = {
    {EBADF, ebadf_text},
    {EFAULT, efault_text},
    {EINVAL, "EINVAL: invalid request or argument"},
    {ENOTTY, "ENOTTY: file is not associated with a character special device."},
    {0, nullptr},
};

const errno_text_t read_table[] = {
    {EINTR, "EINTR: read() was interrupted by a signal."},
    {EIO, eio_text},
    {EBADF, ebadf_text},
    {EAGAIN, "EAGAIN: non-blocking i/o has been selected and no data is available"},
    {EFAULT, efault_text},
    {EISDIR, "EISIR: file is a directory"},
    {EINVAL, "EINVAL: file is unsuitable for reading"},
    {0, nullptr},
};

const errno_text_t write_table[] = {
    {EINTR, "EINTR: write() was interrupted by a signal."},
    {EIO, eio_text},
    {EBADF, ebadf_text},
    {EAGAIN, "EAGAIN: non-blocking i/o has been selected and the write would block"},
    {EFAULT, efault_text},
    {EINVAL, "EINVAL: file is unsuitable for writing"},
    {ENOSPC, "ENOSPC: file has no room for this data"},
    {EPIPE, "EPIPE: file is a pipe whose reading end is closed"},
    {0, nullptr},
};

const errno_text_t seek_table[] = {
    {EBADF, ebadf_text},
    {EINVAL, "EINVAL: whence is not a proper value"},
    {ESPIPE, "ESPIPE: file is associated with a pipe, socket, or FIFO"},
    {0, nullptr},
};

const errno_text_t fcntl_table[] = {
    {EPERM, "EPERM: attempted to clear O_APPEND on a file with append-only attribute set"},
    {EINTR, "EINTR: command was interrupted by a signal"},
    {EBADF, ebadf_text},
    {EAGAIN, "EAGAIN: file has been memory-mapped to another process"},
    {EACCES, "EACCES: operation is prohibited by locks held by other processes"},
    {EFAULT, "EFAULT: lock is invalid memory"},
    {EINVAL, "EINVAL: arg is out-of-range for command"},
    {EMFILE, "EMFILE: process already has maximum file descriptors open for F_DUPFD"},
    {EDEADLK, "EDEADLK: the specified F_SETLKW would cause a deadlock"},
    {ENOLCK, "ENOLCK: too many segment locks open, lock table is full, or lock protocol failed "
             "(over NFS, for instance)"},
    {0, nullptr},
};

std::string describe(const char* prefix, const errno_text_t* table, int e) {
    std::string text = prefix;
    for (; table->text != nullptr; ++table) {
        if (table->number == e)
            return text + table->text;
    }
    // strerror_r: worker threads build these too, and strerror may share a buffer.
    char buffer[256];
    return text + strerror_r(e, buffer, sizeof buffer);
}

} // namespace

#define QV_FILE_EXCEPTION(op)                                                                      \
    file_##op##_exception_t::file_##op##_exception_t(int e) : posix_exception_t(e) {               \
        message = describe(#op " -- ", op##_table, e);                                             \
    }
QV_FILE_EXCEPTION(open)
QV_FILE_EXCEPTION(close)
QV_FILE_EXCEPTION(mmap)
QV_FILE_EXCEPTION(sync)
QV_FILE_EXCEPTION(ioctl)
QV_FILE_EXCEPTION(read)
QV_FILE_EXCEPTION(write)
QV_FILE_EXCEPTION(seek)
QV_FILE_EXCEPTION(fcntl)
#undef QV_FILE_EXCEPTION

void throw_ioctl_exception() {
    const int e = errno;
    throw file_ioctl_exception_t(e);
}

} // namespace posix
} // namespace qv
