// SPDX-License-Identifier: MIT
#include "posix/exception.h"
#include "support/failure.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

using qv::exception_t;
using namespace qv::posix;

namespace {

// clang-format off
#define QV_RAISE(name) if (op == #name) throw file_##name##_exception_t(e);
// Throws the exception class of the operation that a message begins with.
void raise(const std::string& message, int e) {
    const std::string op = message.substr(0, message.find(' '));
    QV_RAISE(open) QV_RAISE(close) QV_RAISE(mmap) QV_RAISE(sync) QV_RAISE(ioctl)
    QV_RAISE(read) QV_RAISE(write) QV_RAISE(seek) QV_RAISE(fcntl)
}

// Every row of the nine tables, written out as the operator reads it.
const struct {
    int number;
    const char* message;
} table_rows[] = {
    {ENOENT, "open -- ENOENT: file/dir does not exist or is a dangling symbolic link"},
    {ENXIO, "open -- ENXIO: file is a fifo"},
    {ENOMEM, "open -- ENOMEM: insufficient kernel memory was available"},
    {EACCES, "open -- EACCESS: requested access to the file is not allowed"},
    {EFAULT, "open -- EFAULT: file points outside your accessible address space"},
    {EEXIST, "open -- EEXIST: file already exists and cannot be created"},
    {ENODEV, "open -- ENODEV: file refers to a device special file and no corresponding device exists"},
    {ENOTDIR, "open -- ENOTDIR: file is not a directory"},
    {EISDIR, "open -- EISDIR: file is a directory and cannot be written"},
    {ENFILE, "open -- ENFILE: the limit on the maximum number of files open on the system has been reached"},
    {EMFILE, "open -- EMFILE: process has maximum number of files open"},
    {ETXTBSY, "open -- ETXTBSY: file is an executable in use and write access cannot be granted"},
    {ENOSPC, "open -- ENOSPC: insufficient space for new file"},
    {EROFS, "open -- EROFS: file is on read-only file system and write access cannot be granted"},
    {ENAMETOOLONG, "open -- ENAMETOOLONG: file name is too long"},
    {ELOOP, "open -- ELOOP: too many symbolic links"},
    {EINTR, "close -- EINTR: close() was interrupted by a signal."},
    {EIO, "close -- EIO: an I/O error occurred."},
    {EBADF, "close -- EBADF: invalid open file descriptor"},
    {EBADF, "mmap -- EBADF: invalid open file descriptor"},
    {EAGAIN, "mmap -- EAGAIN: the file is locked, or too much memory has been locked"},
    {ENOMEM, "mmap -- ENOMEM: no memory is available"},
    {EACCES, "mmap -- EACCES: MAP mode and file permissions are not compatible"},
    {EINVAL, "mmap -- EINVAL: length and/or offset is disagreeable"},
    {ETXTBSY, "mmap -- ETXTBSY: MAP_DENYWRITE was set but file is open for writing"},
    {EIO, "sync -- EIO: an error occurred during synchronization"},
    {EBADF, "sync -- EBADF: invalid open file descriptor"},
    {EINVAL, "sync -- EROFS/EINVAL: file is a special file that does not support synchronization"},
    {EROFS, "sync -- EROFS/EINVAL: file is a special file that does not support synchronization"},
    {EBADF, "ioctl -- EBADF: invalid open file descriptor"},
    {EFAULT, "ioctl -- EFAULT: inaccessible memory area referenced"},
    {EINVAL, "ioctl -- EINVAL: invalid request or argument"},
    {ENOTTY, "ioctl -- ENOTTY: file is not associated with a character special device."},
    {EINTR, "read -- EINTR: read() was interrupted by a signal."},
    {EIO, "read -- EIO: an I/O error occurred."},
    {EBADF, "read -- EBADF: invalid open file descriptor"},
    {EAGAIN, "read -- EAGAIN: non-blocking i/o has been selected and no data is available"},
    {EFAULT, "read -- EFAULT: inaccessible memory area referenced"},
    {EISDIR, "read -- EISIR: file is a directory"},
    {EINVAL, "read -- EINVAL: file is unsuitable for reading"},
    {EINTR, "write -- EINTR: write() was interrupted by a signal."},
    {EIO, "write -- EIO: an I/O error occurred."},
    {EBADF, "write -- EBADF: invalid open file descriptor"},
    {EAGAIN, "write -- EAGAIN: non-blocking i/o has been selected and the write would block"},
    {EFAULT, "write -- EFAULT: inaccessible memory area referenced"},
    {EINVAL, "write -- EINVAL: file is unsuitable for writing"},
    {ENOSPC, "write -- ENOSPC: file has no room for this data"},
    {EPIPE, "write -- EPIPE: file is a pipe whose reading end is closed"},
    {EBADF, "seek -- EBADF: invalid open file descriptor"},
    {EINVAL, "seek -- EINVAL: whence is not a proper value"},
    {ESPIPE, "seek -- ESPIPE: file is associated with a pipe, socket, or FIFO"},
    {EPERM, "fcntl -- EPERM: attempted to clear O_APPEND on a file with append-only attribute set"},
    {EINTR, "fcntl -- EINTR: command was interrupted by a signal"},
    {EBADF, "fcntl -- EBADF: invalid open file descriptor"},
    {EAGAIN, "fcntl -- EAGAIN: file has been memory-mapped to another process"},
    {EACCES, "fcntl -- EACCES: operation is prohibited by locks held by other processes"},
    {EFAULT, "fcntl -- EFAULT: lock is invalid memory"},
    {EINVAL, "fcntl -- EINVAL: arg is out-of-range for command"},
    {EMFILE, "fcntl -- EMFILE: process already has maximum file descriptors open for F_DUPFD"},
    {EDEADLK, "fcntl -- EDEADLK: the specified F_SETLKW would cause a deadlock"},
    {ENOLCK, "fcntl -- ENOLCK: too many segment locks open, lock table is full, or lock protocol failed (over NFS, for instance)"},
};
// clang-format on

TEST(file_exceptions, every_table_row_gives_its_fixed_text) {
    for (const auto& row : table_rows) {
        const failure_t f = failure_of([&] { raise(row.message, row.number); });
        EXPECT_EQ(f.what, row.message);
        EXPECT_EQ(f.number, row.number) << row.message;
    }
}

TEST(exception, text_is_cut_to_510_characters) {
    for (size_t length : {510u, 511u, 600u}) {
        const std::string text(length, 'a');
        EXPECT_EQ(exception_t("%s", text.c_str()).what(), text.substr(0, 510)) << length;
        EXPECT_EQ(posix_exception_t(EIO, "%s", text.c_str()).what(), text.substr(0, 510)) << length;
    }
}

TEST(exception, no_text_is_an_empty_string_never_null) {
    const exception_t plain;
    const posix_exception_t numbered(EIO);
    const qv::pproc::thread_stop_exception_t stop;
    for (const char* what : {plain.what(), numbered.what(), stop.what()}) {
        ASSERT_NE(what, nullptr);
        EXPECT_STREQ(what, "");
    }
}

TEST(exception, thread_stop_passes_handlers_for_exception_t_and_std_exception) {
    bool stopped = false;
    try {
        try {
            throw qv::pproc::thread_stop_exception_t();
        } catch (const std::exception&) { // the base of qv::exception_t as well
        }
    } catch (const qv::pproc::thread_stop_exception_t&) {
        stopped = true;
    }
    EXPECT_TRUE(stopped);
}

} // namespace
