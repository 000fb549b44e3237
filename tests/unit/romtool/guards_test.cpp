// SPDX-License-Identifier: MIT
#include "commands.h"
#include "device_lock.h"
#include "standard_streams.h"

#include "posix/exception.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <dlfcn.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <sched.h>
#include <sstream>
#include <string>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

static int fsync_fault = 0, flock_fault = 0; // errno for the next fsync or flock, 0: none
static int mkostemp_fault = 0;               // errno for the next mkostemp, 0: none

// This program's fsync, so that syncing the dump's file can fail.
extern "C" int fsync(int fd) {
    if (fsync_fault != 0)
        return errno = std::exchange(fsync_fault, 0), -1;
    return static_cast<int>(syscall(SYS_fsync, fd));
}
extern "C" int flock(int fd, int operation) {
    if (flock_fault != 0)
        return errno = std::exchange(flock_fault, 0), -1;
    return static_cast<int>(syscall(SYS_flock, fd, operation));
}

// And its mkostemp (the header's name for it: mkostemp64 where offsets are 64-bit on a
// 32-bit target), so that a folder can refuse the dump's new file even to root.
extern "C" int mkostemp(char* name, int flags) {
    EXPECT_EQ(std::string(name).rfind(::testing::TempDir(), 0), 0u) << "not beside its target";
    if (mkostemp_fault != 0)
        return errno = std::exchange(mkostemp_fault, 0), -1;
    static const auto real = reinterpret_cast<int (*)(char*, int)>(dlsym(RTLD_NEXT, "mkostemp64"));
    return real(name, flags);
}

namespace {

namespace fs = std::filesystem;

std::string contents(const std::string& path) {
    std::ostringstream out;
    out << std::ifstream(path, std::ios::binary).rdbuf();
    return out.str();
}

TEST(dump, replaces_a_file_only_once_the_new_one_is_synced) {
    const std::string dir = ::testing::TempDir() + "romtool_dump." + std::to_string(getpid());
    const auto at = [&](const char* leaf) { return dir + "/" + leaf; };
    fs::create_directory(dir);
    const std::string device(70, 'n'); // not a multiple of the 32-byte read
    std::ofstream(at("node"), std::ios::binary) << device;
    std::ofstream(at("empty"), std::ios::binary);
    fs::create_symlink("target.bin", at("link.bin"));
    fs::create_symlink(at(".") + std::string(299, '/') + "new.bin", at("dangling.bin")); // > 255
    for (const auto& [leaf, mode] : {std::pair{"old.bin", 0640}, {"target.bin", 0605}}) {
        std::ofstream(at(leaf), std::ios::binary) << std::string(4096, 'o');
        fs::permissions(at(leaf), fs::perms(mode));
    }
    // {name: link or mode, bytes} of the folder
    const auto folder = [&] {
        std::map<std::string, std::pair<std::string, std::string>> out;
        for (const auto& entry : fs::directory_iterator(dir)) {
            const std::string path = entry.path();
            out[entry.path().filename()] = {
                entry.is_symlink()
                    ? fs::read_symlink(path).string()
                    : std::to_string(static_cast<int>(fs::status(path).permissions())),
                contents(path)};
        }
        return out;
    };
    const auto before = folder();
    const char* const names[] = {"old.bin", "link.bin", "dangling.bin"};
    for (const char* name : names) {
        fsync_fault = EIO;
        EXPECT_THROW(dump_to_file(at("node"), at(name)), qv::exception_t) << name;
        EXPECT_EQ(fsync_fault, 0) << name << ": never synced";
        EXPECT_EQ(folder(), before) << name;
    }
    testing::internal::CaptureStdout();
    for (const char* name : names)
        dump_to_file(at("node"), at(name));
    EXPECT_EQ(::signal(SIGHUP, SIG_IGN), SIG_DFL); // the dumps' handler gone; now as nohup has it
    dump_to_file(at("empty"), at("none.bin"));     // nothing read: no file made
    EXPECT_EQ(::signal(SIGHUP, SIG_DFL), SIG_IGN);
    // A folder it may not write in, a file it may: overwritten in place, and synced too.
    mkostemp_fault = EACCES, fsync_fault = EINVAL;
    EXPECT_THROW(dump_to_file(at("node"), at("old.bin")), qv::exception_t);
    fsync_fault = EIO; // a device's sync may fail with EINVAL or EROFS only
    EXPECT_THROW(dump_to_file(at("node"), "/dev/null"), qv::exception_t);
    std::ofstream(at("old.bin"), std::ios::binary) << std::string(4096, 'o');
    mkostemp_fault = EACCES;
    EXPECT_NO_THROW(dump_to_file(at("node"), at("old.bin")));
    EXPECT_EQ(mkostemp_fault, 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "70 bytes written\n70 bytes written\n70 bytes written\n0 bytes written\n"
              "70 bytes written\n");
    auto after = before;
    for (const char* leaf : {"old.bin", "target.bin", "link.bin", "dangling.bin"})
        after[leaf].second = device;
    after["new.bin"] = {"384", device}; // 0600
    EXPECT_EQ(folder(), after);
    // Links, to one-byte names first, are followed as open follows them: 40, but not 41.
    for (int i = 1; i <= 41; ++i)
        fs::create_symlink(std::to_string(i), at(std::to_string(i - 1).c_str()));
    EXPECT_THROW(dump_to_file(at("node"), at("0")), qv::exception_t);
    dump_to_file(at("node"), at("1"));
    EXPECT_EQ(contents(at("41")), device);
    fs::remove_all(dir);
}

TEST(device_lock, a_device_node_is_locked_by_its_device_number) {
    // /dev/null is the character device 1:3 wherever it is opened from.
    const std::string file = device_lock_t::file_for("/dev/null");
    ASSERT_EQ(file, "/run/lock/romtool-c1:3.lock");
    EXPECT_EQ(device_lock_t::file_for("/dev/none"), ""); // nothing to lock: open tells why
    const int other = ::open(file.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_NE(other, -1);
    {
        device_lock_t lock;
        lock.take("/dev/null", lock_mode_t::exclusive, lock_wait_t::fail_at_once);
        EXPECT_EQ(::flock(other, LOCK_SH | LOCK_NB), -1) << "not held exclusively";
    }
    // Released with the command's handles, before the report: a slow reader holds no one.
    EXPECT_EQ(::flock(other, LOCK_SH | LOCK_NB), 0) << "still held";
    ::close(other);
    EXPECT_EQ(fs::status(file).permissions(), fs::perms(0600)) << "a lock file found is kept as is";
    flock_fault = ENOLCK; // a file system without flock: the run goes on unlocked
    device_lock_t().take("/dev/null", lock_mode_t::exclusive, lock_wait_t::fail_at_once);
    ::unlink(file.c_str());
    // Without a lock folder no run can lock, so this one goes on unlocked. In a child with
    // its own mounts, an empty /run over the real one.
    const pid_t pid = fork();
    if (pid == 0) {
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("none", "/run", "tmpfs", 0, nullptr) != 0)
            _exit(77);
        try {
            device_lock_t().take("/dev/null", lock_mode_t::exclusive, lock_wait_t::fail_at_once);
        } catch (...) {
            _exit(1);
        }
        _exit(0);
    }
    int status = -1;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    if (WEXITSTATUS(status) == 77)
        GTEST_SKIP() << "no mount namespace to hide /run/lock in";
    EXPECT_EQ(status, 0) << "refused to run without a lock folder";
}

TEST(standard_streams, every_closed_one_is_reopened_on_dev_null) {
    // In a child: closing the test's own streams would lose its report.
    for (const int closed : {0b001, 0b010, 0b100, 0b101, 0b111}) {
        const pid_t pid = fork();
        if (pid == 0) {
            for (int fd = 0; fd <= 2; ++fd)
                if (closed >> fd & 1)
                    ::close(fd);
            if (!open_standard_streams())
                _exit(2);
            struct stat null_node, stream;
            ::stat("/dev/null", &null_node);
            for (int fd = 0; fd <= 2; ++fd)
                if ((closed >> fd & 1) &&
                    (::fstat(fd, &stream) != 0 || stream.st_rdev != null_node.st_rdev))
                    _exit(3 + fd);
            _exit(0);
        }
        int status = -1;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_EQ(status, 0) << "closed " << closed << ": 2 failed, 3 to 5 that stream";
    }
}

} // namespace
