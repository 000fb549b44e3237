// SPDX-License-Identifier: MIT
#include "posix/file.h"
#include "support/failure.h"

#include "posix/syscalls.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdarg>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <tuple>
#include <unistd.h>
#include <utility>

using qv::posix::file_t;
using qv::posix::sync_on_close;

static int fsync_calls = 0;   // the fsyncs this program made
static int setfd_failure = 0; // errno for the next fcntl(F_SETFD), 0: none

// This program's fsync and fcntl: to count the one, to make the other fail.
extern "C" int fsync(int fd) {
    ++fsync_calls;
    return static_cast<int>(syscall(SYS_fsync, fd));
}
extern "C" int fcntl(int fd, int command, ...) {
    va_list args;
    va_start(args, command);
    const long argument = va_arg(args, long);
    va_end(args);
    if (command == F_SETFD && setfd_failure != 0)
        return errno = std::exchange(setfd_failure, 0), -1;
    return static_cast<int>(syscall(SYS_fcntl, fd, command, argument));
}

namespace {

class file_test : public ::testing::Test {
protected:
    void SetUp() override { std::filesystem::create_directory(dir); }
    void TearDown() override { std::filesystem::remove_all(dir); }

    std::string path(const char* leaf) const { return dir + "/" + leaf; }
    std::string put(const char* leaf, const std::string& content) const {
        std::ofstream(path(leaf), std::ios::binary) << content;
        return path(leaf);
    }

    const std::string dir = ::testing::TempDir() + "posix_file." + std::to_string(getpid());
};

TEST_F(file_test, open_twice_refused_close_twice_harmless_reopen_from_the_start) {
    const std::string data = put("data", "0123456789");
    file_t f(data, O_RDONLY);
    f.seek(3, SEEK_SET);
    const int fd = f.fd();
    EXPECT_EQ(::fcntl(fd, F_GETFD), FD_CLOEXEC); // opened close-on-exec
    EXPECT_EQ(failure_of([&] { f.open(); }).what, "file_t::open() -- " + data + " already open");
    EXPECT_EQ(f.size(), 10);
    EXPECT_EQ(f.tell(), 3); // size() keeps the offset
    f.close();
    EXPECT_EQ(::fcntl(fd, F_GETFD), -1);
    EXPECT_NO_THROW(f.close());
    char c = 0;
    ASSERT_EQ(f.read(&c, 1), 1);
    EXPECT_EQ(c, '0');
}

TEST_F(file_test, failing_sync_in_destructor_is_swallowed_and_the_file_closed) {
    // fsync on a FIFO fails with EINVAL; O_RDWR keeps the open from blocking.
    const std::string fifo = path("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    int fd = -1;
    try {
        file_t f(fifo, O_RDWR, qv::posix::sync_on_close::yes);
        f.open();
        fd = f.fd();
        throw std::runtime_error("unwinding"); // the destructor's sync fails during unwinding
    } catch (const std::runtime_error&) {
    }
    ASSERT_NE(fd, -1);
    EXPECT_EQ(::fcntl(fd, F_GETFD), -1);
}

TEST_F(file_test, made_closed_with_its_defaults_and_synced_only_when_asked) {
    const file_t plain;
    EXPECT_EQ(std::make_tuple(plain.flags(), plain.mode(), plain.fd(), plain.sync_on_close()),
              std::make_tuple(0, mode_t{0600}, -1, false));
    const std::string data = put("data", "x");
    for (const sync_on_close sync : {sync_on_close::no, sync_on_close::yes}) {
        const bool yes = sync == sync_on_close::yes;
        EXPECT_EQ(file_t(sync).sync_on_close(), yes);
        EXPECT_EQ(file_t(data, O_RDONLY, sync).sync_on_close(), yes);
        EXPECT_EQ(file_t(data, O_RDONLY, 0644, sync).sync_on_close(), yes);
        fsync_calls = 0;
        { file_t(::open(data.c_str(), O_RDONLY), data, sync); }
        EXPECT_EQ(fsync_calls, yes ? 1 : 0);
    }
    // Never opened: the destructor opens nothing either (no file is made).
    { file_t(path("new"), O_RDWR | O_CREAT, sync_on_close::yes); }
    EXPECT_FALSE(std::filesystem::exists(path("new")));
}

TEST_F(file_test, open_failures_leave_nothing_open) {
    EXPECT_EQ(failure_of([] { file_t().open(); }).what, "file_t::open() --- no file name");
    // A failed open has no descriptor to close: standard input stays as it was.
    if (::fcntl(0, F_GETFD) == -1) {
        ASSERT_EQ(::open("/dev/null", O_RDONLY), 0);
    }
    EXPECT_EQ(failure_of([&] { file_t(path("none"), O_RDONLY).open(); }).number, ENOENT);
    EXPECT_NE(::fcntl(0, F_GETFD), -1);
    ::umask(022);
    file_t made;
    made.open(path("made"), O_RDWR | O_CREAT); // 0600 unless given
    EXPECT_EQ(std::filesystem::status(path("made")).permissions(),
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    EXPECT_EQ(failure_of([&] { made.open(::dup(0)); }).what,
              "file_t::open() -- " + path("made") + " already open");
    made.close();
    EXPECT_EQ(made.fd(), -1);
    // A descriptor whose close-on-exec cannot be set is closed, not kept.
    const int next = ::dup(0);
    ::close(next);
    setfd_failure = EBADF;
    file_t f(path("made"), O_RDONLY);
    EXPECT_EQ(failure_of([&] { f.open(); }).number, EBADF);
    EXPECT_EQ(::fcntl(next, F_GETFD), -1);
}

TEST_F(file_test, close_on_exec_mappings_and_the_bare_request) {
    file_t f(put("data", std::string(4096, 'a')), O_RDWR);
    f.set_close_on_exec(false);
    EXPECT_EQ(::fcntl(f.fd(), F_GETFD), 0);
    f.set_close_on_exec(true);
    EXPECT_EQ(::fcntl(f.fd(), F_GETFD), FD_CLOEXEC);
    char* mapped = static_cast<char*>(f.mmap(0, 4096));
    mapped[0] = 'b'; // shared and writable: the file sees it
    char c = 0;
    ASSERT_EQ(f.read(&c, 1), 1);
    EXPECT_EQ(c, 'b');
    char other;
    f.munmap(&other); // never mapped: ignored
    EXPECT_EQ(f.mappings().size(), 1u);
    f.munmap(mapped);
    EXPECT_TRUE(f.mappings().empty());
    qv::posix::set_ioctl_hook(
        [](int, unsigned int, unsigned long argument) { return static_cast<int>(argument) + 7; });
    EXPECT_EQ(f.ioctl(0x1234), 7); // the argument 0
    qv::posix::set_ioctl_hook(nullptr);
    EXPECT_EQ(qv::posix::ioctl_argument(nullptr), 0u);
}

TEST(syscalls, each_wrapper_returns_or_throws_its_operations_text) {
    namespace sys = qv::posix;
    const std::string missing = "/nonexistent/romtool-test";
    EXPECT_EQ(failure_of([&] { sys::open(missing, O_RDONLY); }).number, ENOENT);
    EXPECT_EQ(failure_of([&] { sys::creat(missing, 0600); }).number, ENOENT);
    errno = EMFILE;
    EXPECT_EQ(failure_of([] { sys::check_descriptor(-1); }).number, EMFILE);
    EXPECT_EQ(failure_of([] { sys::close(-1); }).what,
              "close -- EBADF: invalid open file descriptor");
    EXPECT_EQ(failure_of([] { sys::fcntl(-1, F_GETFD, 0); }).number, EBADF);
    EXPECT_EQ(failure_of([] { sys::mmap(-1, 0, 4096); }).number, EBADF);
    const int fd = sys::open("/dev/null", O_RDONLY);
    EXPECT_EQ(sys::check_descriptor(fd), fd);
    EXPECT_EQ(sys::fcntl(fd, F_GETFL, 0) & O_ACCMODE, O_RDONLY);
    EXPECT_EQ(sys::close(fd), 0);
    const int made = sys::creat(::testing::TempDir() + "posix_creat", 0600);
    EXPECT_EQ(sys::close(made), 0);
}

} // namespace
