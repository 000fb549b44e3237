#include "posix/exception.h"
#include "support/failure.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

using qv::exception_t;
using namespace qv::posix;

namespace {

// Throws the file-operation exception of op, built from e.
void raise(const std::string& op, int e) {
    if (op == "open")
        throw file_open_exception_t(e);
    if (op == "close")
        throw file_close_exception_t(e);
    if (op == "mmap")
        throw file_mmap_exception_t(e);
    if (op == "sync")
        throw file_sync_exception_t(e);
    if (op == "ioctl")
        throw file_ioctl_exception_t(e);
    if (op == "read")
        throw file_read_exception_t(e);
    if (op == "write")
        throw file_write_exception_t(e);
    if (op == "seek")
        throw file_seek_exception_t(e);
    if (op == "fcntl")
        throw file_fcntl_exception_t(e);
}

struct row_t {
    const char* op;
    int number;
    const char* message;
};

// Every row of the nine tables, written out as the operator reads it.
const row_t table_rows[] = {
    {"open", ENOENT, "open -- ENOENT: file/dir does not exist or is a dangling symbolic link"},
    {"open", ENXIO, "open -- ENXIO: file is a fifo"},
    {"open", ENOMEM, "open -- ENOMEM: insufficient kernel memory was available"},
    {"open", EACCES, "open -- EACCESS: requested access to the file is not allowed"},
    {"open", EFAULT, "open -- EFAULT: file points outside your accessible address space"},
    {"open", EEXIST, "open -- EEXIST: file already exists and cannot be created"},
    {"open", ENODEV,
     "open -- ENODEV: file refers to a device special file and no corresponding device exists"},
    {"open", ENOTDIR, "open -- ENOTDIR: file is not a directory"},
    {"open", EISDIR, "open -- EISDIR: file is a directory and cannot be written"},
    {"open", ENFILE,
     "open -- ENFILE: the limit on the maximum number of files open on the system has been "
     "reached"},
    {"open", EMFILE, "open -- EMFILE: process has maximum number of files open"},
    {"open", ETXTBSY,
     "open -- ETXTBSY: file is an executable in use and write access cannot be granted"},
    {"open", ENOSPC, "open -- ENOSPC: insufficient space for new file"},
    {"open", EROFS,
     "open -- EROFS: file is on read-only file system and write access cannot be granted"},
    {"open", ENAMETOOLONG, "open -- ENAMETOOLONG: file name is too long"},
    {"open", ELOOP, "open -- ELOOP: too many symbolic links"},

    {"close", EINTR, "close -- EINTR: close() was interrupted by a signal."},
    {"close", EIO, "close -- EIO: an I/O error occurred."},
    {"close", EBADF, "close -- EBADF: invalid open file descriptor"},

    {"mmap", EBADF, "mmap -- EBADF: invalid open file descriptor"},
    {"mmap", EAGAIN, "mmap -- EAGAIN: the file is locked, or too much memory has been locked"},
    {"mmap", ENOMEM, "mmap -- ENOMEM: no memory is available"},
    {"mmap", EACCES, "mmap -- EACCES: MAP mode and file permissions are not compatible"},
    {"mmap", EINVAL, "mmap -- EINVAL: length and/or offset is disagreeable"},
    {"mmap", ETXTBSY, "mmap -- ETXTBSY: MAP_DENYWRITE was set but file is open for writing"},

    {"sync", EIO, "sync -- EIO: an error occurred during synchronization"},
    {"sync", EBADF, "sync -- EBADF: invalid open file descriptor"},
    {"sync", EINVAL,
     "sync -- EROFS/EINVAL: file is a special file that does not support synchronization"},
    {"sync", EROFS,
     "sync -- EROFS/EINVAL: file is a special file that does not support synchronization"},

    {"ioctl", EBADF, "ioctl -- EBADF: invalid open file descriptor"},
    {"ioctl", EFAULT, "ioctl -- EFAULT: inaccessible memory area referenced"},
    {"ioctl", EINVAL, "ioctl -- EINVAL: invalid request or argument"},
    {"ioctl", ENOTTY, "ioctl -- ENOTTY: file is not associated with a character special device."},

    {"read", EINTR, "read -- EINTR: read() was interrupted by a signal."},
    {"read", EIO, "read -- EIO: an I/O error occurred."},
    {"read", EBADF, "read -- EBADF: invalid open file descriptor"},
    {"read", EAGAIN, "read -- EAGAIN: non-blocking i/o has been selected and no data is available"},
    {"read", EFAULT, "read -- EFAULT: inaccessible memory area referenced"},
    {"read", EISDIR, "read -- EISIR: file is a directory"},
    {"read", EINVAL, "read -- EINVAL: file is unsuitable for reading"},

    {"write", EINTR, "write -- EINTR: write() was interrupted by a signal."},
    {"write", EIO, "write -- EIO: an I/O error occurred."},
    {"write", EBADF, "write -- EBADF: invalid open file descriptor"},
    {"write", EAGAIN,
     "write -- EAGAIN: non-blocking i/o has been selected and the write would block"},
    {"write", EFAULT, "write -- EFAULT: inaccessible memory area referenced"},
    {"write", EINVAL, "write -- EINVAL: file is unsuitable for writing"},
    {"write", ENOSPC, "write -- ENOSPC: file has no room for this data"},
    {"write", EPIPE, "write -- EPIPE: file is a pipe whose reading end is closed"},

    {"seek", EBADF, "seek -- EBADF: invalid open file descriptor"},
    {"seek", EINVAL, "seek -- EINVAL: whence is not a proper value"},
    {"seek", ESPIPE, "seek -- ESPIPE: file is associated with a pipe, socket, or FIFO"},

    {"fcntl", EPERM,
     "fcntl -- EPERM: attempted to clear O_APPEND on a file with append-only attribute set"},
    {"fcntl", EINTR, "fcntl -- EINTR: command was interrupted by a signal"},
    {"fcntl", EBADF, "fcntl -- EBADF: invalid open file descriptor"},
    {"fcntl", EAGAIN, "fcntl -- EAGAIN: file has been memory-mapped to another process"},
    {"fcntl", EACCES, "fcntl -- EACCES: operation is prohibited by locks held by other processes"},
    {"fcntl", EFAULT, "fcntl -- EFAULT: lock is invalid memory"},
    {"fcntl", EINVAL, "fcntl -- EINVAL: arg is out-of-range for command"},
    {"fcntl", EMFILE,
     "fcntl -- EMFILE: process already has maximum file descriptors open for F_DUPFD"},
    {"fcntl", EDEADLK, "fcntl -- EDEADLK: the specified F_SETLKW would cause a deadlock"},
    {"fcntl", ENOLCK,
     "fcntl -- ENOLCK: too many segment locks open, lock table is full, or lock protocol failed "
     "(over NFS, for instance)"},
};

TEST(file_exceptions, every_table_row_gives_its_fixed_text) {
    for (const row_t& row : table_rows) {
        const failure_t f = failure_of([&] { raise(row.op, row.number); });
        EXPECT_EQ(f.what, row.message) << row.op << " errno " << row.number;
        EXPECT_EQ(f.number, row.number) << row.op;
    }
}

TEST(file_exceptions, number_without_a_row_gives_the_library_text) {
    const struct {
        const char* op;
        int number;
    } rows[] = {{"open", EPERM},  {"close", EPERM}, {"close", 0},     {"mmap", EIO},
                {"sync", ENOSPC}, {"ioctl", 12345}, {"read", ENOTTY}, {"write", EROFS},
                {"seek", EIO},    {"fcntl", EROFS}};
    for (const auto& row : rows) {
        const failure_t f = failure_of([&] { raise(row.op, row.number); });
        EXPECT_EQ(f.what, std::string(row.op) + " -- " + strerror(row.number)) << row.op;
        EXPECT_EQ(f.number, row.number) << row.op;
    }
}

TEST(file_exceptions, throw_ioctl_exception_uses_the_current_errno) {
    errno = EFAULT;
    const failure_t f = failure_of([] { throw_ioctl_exception(); });
    EXPECT_EQ(f.what, "ioctl -- EFAULT: inaccessible memory area referenced");
    EXPECT_EQ(f.number, EFAULT);
    EXPECT_EQ(*f.type, typeid(file_ioctl_exception_t));
}

TEST(exception, formatted_text_is_cut_to_510_characters) {
    for (size_t length : {510u, 511u, 600u}) {
        const std::string text(length, 'a');
        EXPECT_EQ(exception_t("%s", text.c_str()).what(), text.substr(0, 510)) << length;
        EXPECT_EQ(posix_exception_t(EIO, "%s", text.c_str()).what(), text.substr(0, 510));
    }
    EXPECT_STREQ(exception_t("%s: %d", "x", 7).what(), "x: 7");
}

TEST(exception, empty_messages_are_empty_strings_not_null) {
    const exception_t plain;
    const posix_exception_t numbered(EIO);
    const qv::pproc::thread_stop_exception_t stop;
    for (const char* what : {plain.what(), numbered.what(), stop.what()}) {
        ASSERT_NE(what, nullptr);
        EXPECT_STREQ(what, "");
    }
}

TEST(exception, thread_stop_passes_handlers_for_exception_t_and_std_exception) {
    const char* reached = "none";
    try {
        try {
            throw qv::pproc::thread_stop_exception_t();
        } catch (const exception_t&) {
            reached = "exception_t";
        } catch (const std::exception&) {
            reached = "std::exception";
        }
    } catch (...) {
        reached = "catch-all";
    }
    EXPECT_STREQ(reached, "catch-all");
    // Every other class is seen by the base handlers.
    EXPECT_THROW(throw file_write_exception_t(EPIPE), posix_exception_t);
    EXPECT_THROW(throw file_read_exception_t(EIO), std::exception);
}

} // namespace
