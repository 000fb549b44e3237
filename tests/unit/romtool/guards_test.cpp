// SPDX-License-Identifier: MIT
#include "commands.h"
#include "device_lock.h"

#include "posix/exception.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/file.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <utility>

namespace {
int fsync_fault = 0; // errno for the next fsync, 0: none
}

// This program's fsync, so that syncing the dump's file can fail.
extern "C" int fsync(int fd) {
    if (fsync_fault != 0)
        return errno = std::exchange(fsync_fault, 0), -1;
    return static_cast<int>(syscall(SYS_fsync, fd));
}

namespace {

namespace fs = std::filesystem;

std::string contents(const std::string& path) {
    std::ostringstream out;
    out << std::ifstream(path, std::ios::binary).rdbuf();
    return out.str();
}

TEST(dump, old_file_stays_until_the_new_one_is_synced) {
    const std::string dir = ::testing::TempDir() + "romtool_dump." + std::to_string(getpid());
    fs::create_directory(dir);
    const std::string node = dir + "/node", file = dir + "/out.bin";
    std::ofstream(node, std::ios::binary) << std::string(70, 'n'); // not a multiple of 32
    std::ofstream(file, std::ios::binary) << "old";
    fsync_fault = EIO;
    EXPECT_THROW(dump_to_file(node, file), qv::exception_t);
    EXPECT_EQ(fsync_fault, 0) << "the new file was never synced";
    EXPECT_EQ(contents(file), "old");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), {}), 2) << "a temporary file is left";
    testing::internal::CaptureStdout();
    dump_to_file(node, file);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "70 bytes written\n");
    EXPECT_EQ(contents(file), std::string(70, 'n'));
    fs::remove_all(dir);
}

TEST(device_lock, a_device_node_is_locked_by_its_device_number) {
    // /dev/null is the character device 1:3 wherever it is opened from.
    const std::string file = device_lock_t::file_for("/dev/null");
    ASSERT_EQ(file, "/run/lock/romtool-c1:3.lock");
    {
        device_lock_t lock;
        lock.take("/dev/null", lock_mode_t::exclusive, true);
        const int other = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_NE(other, -1);
        EXPECT_EQ(::flock(other, LOCK_SH | LOCK_NB), -1) << "not held exclusively";
        ::close(other);
    }
    ::unlink(file.c_str());
}

} // namespace
