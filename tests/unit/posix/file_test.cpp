#include "posix/file.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <typeinfo>
#include <unistd.h>

using qv::exception_t;
using qv::posix::file_t;
using qv::posix::posix_exception_t;

namespace {

const char enoent_text[] = "open -- ENOENT: file/dir does not exist or is a dangling symbolic link";
const char wide_text[] =
    " qv::posix::ioctl() -- type could not be cast to an ulong and is too large for ioctl.";

#ifdef __SIZEOF_INT128__
using wide_t = __int128;
#else
using wide_t = long long; // wider than unsigned long on 32-bit targets
#endif
static_assert(sizeof(wide_t) > sizeof(unsigned long));

class file_test : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = ::testing::TempDir() + "posix_file.XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    std::string path(const char* leaf) const { return dir + "/" + leaf; }
    std::string put(const char* leaf, const std::string& content) const {
        std::ofstream(path(leaf), std::ios::binary) << content;
        return path(leaf);
    }

    std::string dir;
};

// Runs a host shell that checks whether descriptor fd reached it across exec.
// Returns the shell's status: 0 present, 1 absent, 127 when it could not be run.
int probe_in_child(int fd) {
    const std::string script = "test -e /proc/self/fd/" + std::to_string(fd);
    const pid_t pid = fork();
    if (pid == 0) {
        execl("/bin/sh", "sh", "-c", script.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return 127;
    return WEXITSTATUS(status);
}

// Whether address lies in any mapping of this process.
bool is_mapped(const void* address) {
    const auto at = reinterpret_cast<unsigned long long>(address);
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        unsigned long long start = 0, end = 0;
        if (std::sscanf(line.c_str(), "%llx-%llx", &start, &end) == 2 && start <= at && at < end)
            return true;
    }
    return false;
}

TEST_F(file_test, constructing_opens_nothing_until_first_use) {
    const std::string created = path("created");
    {
        file_t f(created, O_RDWR | O_CREAT);
        EXPECT_FALSE(f.is_open());
        EXPECT_FALSE(std::filesystem::exists(created));
    }
    EXPECT_FALSE(std::filesystem::exists(created));

    const std::string later = path("later");
    file_t f(later, O_RDONLY);
    put("later", "xyz");
    char buffer[4] = {};
    EXPECT_EQ(f.read(buffer, 3), 3);
    EXPECT_STREQ(buffer, "xyz");
    EXPECT_TRUE(f.is_open());
}

TEST_F(file_test, missing_file_reports_path_and_open_text) {
    const std::string missing = path("missing");
    file_t f(missing, O_RDONLY);
    char c;
    try {
        f.read(&c, 1);
        FAIL() << "no exception";
    } catch (const posix_exception_t& e) {
        EXPECT_EQ(e.what(), missing + ": " + enoent_text);
        EXPECT_EQ(e.error_number(), ENOENT);
        EXPECT_EQ(typeid(e), typeid(posix_exception_t)); // the operation class is not kept
    }
    EXPECT_FALSE(f.is_open());
}

TEST_F(file_test, open_while_open_fails_and_keeps_the_first_descriptor) {
    const std::string first = put("first", "1");
    const std::string second = put("second", "2");
    file_t f(first, O_RDONLY);
    f.open();
    const int fd = f.fd();

    const struct {
        std::function<void()> reopen;
        std::string message;
    } rows[] = {
        {[&] { f.open(); }, "file_t::open() -- " + first + " already open"},
        {[&] { f.open(second, O_RDWR); }, "file_t::open() -- " + second + " already open"},
    };
    for (const auto& row : rows) {
        try {
            row.reopen();
            ADD_FAILURE() << "no exception";
        } catch (const exception_t& e) {
            EXPECT_EQ(e.what(), row.message);
            EXPECT_EQ(dynamic_cast<const posix_exception_t*>(&e), nullptr);
        }
        EXPECT_TRUE(f.is_open());
        EXPECT_EQ(f.fd(), fd);
        EXPECT_NE(fcntl(fd, F_GETFD), -1);
    }
    EXPECT_EQ(f.name(), second);
    EXPECT_EQ(f.flags(), O_RDWR);
}

TEST_F(file_test, no_name_fails_on_first_use) {
    file_t f;
    char c;
    try {
        f.read(&c, 1);
        FAIL() << "no exception";
    } catch (const exception_t& e) {
        EXPECT_STREQ(e.what(), "file_t::open() --- no file name");
        EXPECT_EQ(dynamic_cast<const posix_exception_t*>(&e), nullptr);
    }
}

TEST_F(file_test, close_twice_then_reopen_from_the_start) {
    file_t f(put("data", "abcdef"), O_RDONLY);
    char buffer[3] = {};
    ASSERT_EQ(f.read(buffer, 2), 2);
    const int fd = f.fd();
    f.close();
    EXPECT_FALSE(f.is_open());
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);
    EXPECT_NO_THROW(f.close());

    ASSERT_EQ(f.read(buffer, 2), 2);
    EXPECT_STREQ(buffer, "ab");
    EXPECT_TRUE(f.is_open());
    EXPECT_EQ(f.flags(), O_RDONLY);
}

TEST_F(file_test, read_at_end_of_file_returns_zero) {
    file_t f(put("short", "ab"), O_RDONLY);
    char buffer[8];
    EXPECT_EQ(f.read(buffer, sizeof buffer), 2);
    EXPECT_EQ(f.read(buffer, sizeof buffer), 0);
    EXPECT_EQ(f.read(buffer, sizeof buffer), 0);
}

TEST_F(file_test, created_files_get_0600_before_umask) {
    const mode_t saved = umask(0);
    {
        file_t f(path("created"), O_RDWR | O_CREAT);
        f.write("x", 1);
    }
    umask(saved);
    struct stat st = {};
    ASSERT_EQ(stat(path("created").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
}

TEST_F(file_test, size_twice_leaves_the_offset) {
    file_t f(put("ten", "0123456789"), O_RDONLY);
    EXPECT_EQ(f.seek(3, SEEK_SET), 3);
    EXPECT_EQ(f.size(), 10);
    EXPECT_EQ(f.size(), 10);
    EXPECT_EQ(f.tell(), 3);
    char c;
    f.read(&c, 1);
    EXPECT_EQ(c, '3');
}

TEST_F(file_test, mappings_are_recorded_and_unmapped_by_close) {
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    file_t f(put("pages", std::string(2 * page, '.')), O_RDWR);
    auto* first = static_cast<char*>(f.mmap(0, page));
    auto* second = static_cast<char*>(f.mmap(static_cast<off_t>(page), page));
    ASSERT_EQ(f.mappings().size(), 2u);
    EXPECT_LT(f.mappings().begin()->first, f.mappings().rbegin()->first);
    for (const auto& [address, length] : f.mappings())
        EXPECT_EQ(length, page);
    first[0] = 'A';
    second[0] = 'B';

    int not_recorded = 0;
    f.munmap(&not_recorded); // ignored
    EXPECT_EQ(f.mappings().size(), 2u);

    f.close();
    EXPECT_TRUE(f.mappings().empty());
    EXPECT_FALSE(is_mapped(first));
    EXPECT_FALSE(is_mapped(second));

    char c;
    f.read(&c, 1);
    EXPECT_EQ(c, 'A');
    f.seek(static_cast<off_t>(page), SEEK_SET);
    f.read(&c, 1);
    EXPECT_EQ(c, 'B');
}

TEST_F(file_test, failing_sync_in_destructor_is_swallowed_and_the_file_closed) {
    // fsync on a FIFO fails with EINVAL; O_RDWR keeps the open from blocking.
    const std::string fifo = path("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    {
        file_t f(fifo, O_RDWR, true);
        try {
            f.sync();
            FAIL() << "no exception";
        } catch (const posix_exception_t& e) {
            EXPECT_EQ(e.what(), fifo + ": sync -- EROFS/EINVAL: file is a special file that does "
                                       "not support synchronization");
            EXPECT_EQ(e.error_number(), EINVAL);
        }
    }
    int fd = -1;
    try {
        file_t f(fifo, O_RDWR, true);
        f.write("x", 1);
        fd = f.fd();
        throw std::runtime_error("unwinding");
    } catch (const std::runtime_error&) {
    }
    ASSERT_NE(fd, -1);
    EXPECT_EQ(fcntl(fd, F_GETFD), -1); // closed despite the failed sync
}

TEST_F(file_test, descriptor_is_not_inherited_across_exec) {
    file_t f(put("secret", "x"), O_RDONLY);
    f.open();
    EXPECT_EQ(fcntl(f.fd(), F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
    // dup() clears close-on-exec: the child must see this one, or the probe is blind.
    const int control = dup(f.fd());
    ASSERT_NE(control, -1);
    const int seen = probe_in_child(control);
    ::close(control);
    if (seen == 127)
        GTEST_SKIP() << "cannot run /bin/sh in a child here";
    ASSERT_EQ(seen, 0) << "probe does not see an inherited descriptor";
    EXPECT_EQ(probe_in_child(f.fd()), 1);
}

TEST_F(file_test, ioctl_failure_carries_the_path) {
    const std::string plain = put("plain", "x");
    file_t f(plain, O_RDONLY);
    struct termios settings;
    try {
        // A terminal request: qemu-user answers requests it does not know with ENOSYS.
        f.ioctl(TCGETS, &settings);
        FAIL() << "no exception";
    } catch (const posix_exception_t& e) {
        EXPECT_EQ(e.what(), plain + ": ioctl -- ENOTTY: file is not associated with a character "
                                    "special device.");
        EXPECT_EQ(e.error_number(), ENOTTY);
    }
}

TEST_F(file_test, ioctl_refuses_wide_arguments_before_any_call) {
    file_t f(path("missing"), O_RDONLY);
    const wide_t wide = 1;
    for (const std::function<void()>& call :
         {std::function<void()>([&] { f.ioctl(1u, wide); }),
          std::function<void()>([&] { qv::posix::ioctl(-1, 1u, wide); })}) {
        try {
            call();
            ADD_FAILURE() << "no exception";
        } catch (const exception_t& e) {
            EXPECT_STREQ(e.what(), wide_text);
            EXPECT_EQ(dynamic_cast<const posix_exception_t*>(&e), nullptr);
        }
    }
    EXPECT_FALSE(f.is_open());
}

TEST(syscall_wrappers, each_throws_its_operation_exception) {
    char buffer[4];
    int count = 0;
    const char ebadf[] = "EBADF: invalid open file descriptor";
    const struct {
        const char* name;
        std::function<void()> call;
        int number;
        std::string message;
    } rows[] = {
        {"open", [] { qv::posix::open("", O_RDONLY, 0600); }, ENOENT, enoent_text},
        {"open2", [] { qv::posix::open("", O_RDONLY); }, ENOENT, enoent_text},
        {"creat", [] { qv::posix::creat("", 0600); }, ENOENT, enoent_text},
        {"check_descriptor",
         [] {
             errno = EMFILE;
             qv::posix::check_descriptor(-1);
         },
         EMFILE, "open -- EMFILE: process has maximum number of files open"},
        {"close", [] { qv::posix::close(-1); }, EBADF, std::string("close -- ") + ebadf},
        {"read", [&] { qv::posix::read(-1, buffer, 1); }, EBADF, std::string("read -- ") + ebadf},
        {"write", [&] { qv::posix::write(-1, buffer, 1); }, EBADF,
         std::string("write -- ") + ebadf},
        {"lseek", [] { qv::posix::lseek(-1, 0, SEEK_SET); }, EBADF,
         std::string("seek -- ") + ebadf},
        {"tell", [] { qv::posix::tell(-1); }, EBADF, std::string("seek -- ") + ebadf},
        {"fsync", [] { qv::posix::fsync(-1); }, EBADF, std::string("sync -- ") + ebadf},
        {"fcntl", [] { qv::posix::fcntl(-1, F_GETFD, 0); }, EBADF,
         std::string("fcntl -- ") + ebadf},
        {"mmap", [] { qv::posix::mmap(-1, 0, 4096); }, EBADF, std::string("mmap -- ") + ebadf},
        {"ioctl", [&] { qv::posix::ioctl(-1, FIONREAD, &count); }, EBADF,
         std::string("ioctl -- ") + ebadf},
    };
    for (const auto& row : rows) {
        try {
            row.call();
            ADD_FAILURE() << row.name << ": no exception";
        } catch (const posix_exception_t& e) {
            EXPECT_EQ(e.what(), row.message) << row.name;
            EXPECT_EQ(e.error_number(), row.number) << row.name;
        }
    }
}

TEST(syscall_wrappers, seek_on_a_pipe_is_espipe) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    try {
        qv::posix::lseek(ends[0], 0, SEEK_SET);
        ADD_FAILURE() << "no exception";
    } catch (const qv::posix::file_seek_exception_t& e) {
        EXPECT_STREQ(e.what(), "seek -- ESPIPE: file is associated with a pipe, socket, or FIFO");
    }
    ::close(ends[0]);
    ::close(ends[1]);
}

} // namespace
