// SPDX-License-Identifier: MIT
#include "posix/exception.h"
#include "support/failure.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <type_traits>

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

// One row per table, and the texts scripts match letter for letter, odd spellings included.
const struct {
    int number;
    const char* message;
} table_rows[] = {
    {EACCES, "open -- EACCESS: requested access to the file is not allowed"},
    {EINTR, "close -- EINTR: close() was interrupted by a signal."},
    {ENOMEM, "mmap -- ENOMEM: no memory is available"},
    {EINVAL, "sync -- EROFS/EINVAL: file is a special file that does not support synchronization"},
    {EROFS, "sync -- EROFS/EINVAL: file is a special file that does not support synchronization"},
    {ENOTTY, "ioctl -- ENOTTY: file is not associated with a character special device."},
    {EISDIR, "read -- EISIR: file is a directory"},
    {EPIPE, "write -- EPIPE: file is a pipe whose reading end is closed"},
    {ESPIPE, "seek -- ESPIPE: file is associated with a pipe, socket, or FIFO"},
    {ENOLCK, "fcntl -- ENOLCK: too many segment locks open, lock table is full, or lock protocol failed (over NFS, for instance)"},
};
// clang-format on

TEST(file_exceptions, every_table_row_gives_its_fixed_text) {
    for (const auto& row : table_rows) {
        const failure_t f = failure_of([&] { raise(row.message, row.number); });
        EXPECT_EQ(f.what, row.message);
        EXPECT_EQ(f.number, row.number) << row.message;
    }
    // No row: the C library's text.
    EXPECT_EQ(file_read_exception_t(EDOM).what(), std::string("read -- ") + strerror(EDOM));
}

TEST(exception, text_is_cut_to_510_characters) {
    for (size_t length : {510u, 511u, 600u}) {
        const std::string text(length, 'a');
        EXPECT_EQ(exception_t("%s", text.c_str()).what(), text.substr(0, 510)) << length;
        EXPECT_EQ(posix_exception_t(EIO, "%s", text.c_str()).what(), text.substr(0, 510)) << length;
    }
}

// A handler for std::exception (the base of qv::exception_t too) must not catch a stop.
static_assert(!std::is_convertible_v<qv::pproc::thread_stop_exception_t*, const std::exception*>);

} // namespace
