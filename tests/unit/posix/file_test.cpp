// SPDX-License-Identifier: MIT
#include "posix/file.h"
#include "support/failure.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using qv::posix::file_t;

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

TEST_F(file_test, descriptor_is_not_inherited_across_exec) {
    file_t f(put("secret", "x"), O_RDONLY);
    f.open();
    // dup() clears close-on-exec: the child must see that one (else exit 2), or the probe is blind.
    const int control = dup(f.fd());
    const std::string probe = "test -e /proc/self/fd/" + std::to_string(control) +
                              " || exit 2; test ! -e /proc/self/fd/" + std::to_string(f.fd());
    const pid_t pid = fork();
    if (pid == 0) {
        execl("/bin/sh", "sh", "-c", probe.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = -1;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ::close(control);
    if (status == 127 << 8)
        GTEST_SKIP() << "cannot run /bin/sh in a child here";
    EXPECT_EQ(status, 0) << "exit status 1: inherited; 2: the probe does not work";
}

} // namespace
