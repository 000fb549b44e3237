#include "posix/file.h"
#include "support/failure.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

using qv::exception_t;
using qv::posix::file_t;
using qv::posix::posix_exception_t;

namespace {

const std::string enoent_text =
    "open -- ENOENT: file/dir does not exist or is a dangling symbolic link";

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

// Exit status of a host shell probing descriptor fd after exec: 0 present, 1 absent,
// 127 when no shell could be run.
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

bool is_mapped(const void* address) {
    const auto at = reinterpret_cast<unsigned long long>(address);
    std::ifstream maps("/proc/self/maps");
    for (std::string line; std::getline(maps, line);) {
        unsigned long long start = 0, end = 0;
        if (std::sscanf(line.c_str(), "%llx-%llx", &start, &end) == 2 && start <= at && at < end)
            return true;
    }
    return false;
}

TEST_F(file_test, opens_at_first_use_and_reports_missing_files_with_the_path) {
    const std::string later = path("later");
    {
        file_t f(later, O_RDWR | O_CREAT);
        EXPECT_FALSE(f.is_open());
    }
    EXPECT_FALSE(std::filesystem::exists(later)); // never used, never created

    file_t f(later, O_RDONLY);
    char c;
    const failure_t missing = failure_of([&] { f.read(&c, 1); });
    EXPECT_EQ(missing.what, later + ": " + enoent_text);
    EXPECT_EQ(missing.number, ENOENT);
    EXPECT_EQ(*missing.type, typeid(posix_exception_t));
    put("later", "x");
    EXPECT_EQ(f.read(&c, 1), 1);

    file_t unnamed;
    const failure_t no_name = failure_of([&] { unnamed.read(&c, 1); });
    EXPECT_EQ(no_name.what, "file_t::open() --- no file name");
    EXPECT_EQ(*no_name.type, typeid(exception_t));
}

TEST_F(file_test, open_while_open_fails_and_keeps_the_first_descriptor) {
    const std::string first = put("first", "1");
    file_t f(first, O_RDONLY);
    f.open();
    const int fd = f.fd();
    const failure_t again = failure_of([&] { f.open(); });
    EXPECT_EQ(again.what, "file_t::open() -- " + first + " already open");
    EXPECT_EQ(*again.type, typeid(exception_t));
    // open(name, flags) stores the new name first, so the message shows it.
    const std::string second = put("second", "2");
    EXPECT_EQ(failure_of([&] { f.open(second, O_RDWR); }).what,
              "file_t::open() -- " + second + " already open");
    EXPECT_TRUE(f.is_open());
    EXPECT_EQ(f.fd(), fd);
    EXPECT_NE(fcntl(fd, F_GETFD), -1);
}

TEST_F(file_test, close_twice_then_reopen_from_the_start) {
    file_t f(put("data", "abc"), O_RDONLY);
    char buffer[8] = {};
    ASSERT_EQ(f.read(buffer, sizeof buffer), 3);
    EXPECT_EQ(f.read(buffer, sizeof buffer), 0); // end of file is no failure
    const int fd = f.fd();
    f.close();
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);
    EXPECT_NO_THROW(f.close());
    EXPECT_FALSE(f.is_open());

    buffer[0] = 0;
    ASSERT_EQ(f.read(buffer, 1), 1);
    EXPECT_EQ(buffer[0], 'a');
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
    f.seek(3, SEEK_SET);
    EXPECT_EQ(f.size(), 10);
    EXPECT_EQ(f.size(), 10);
    EXPECT_EQ(f.tell(), 3);
}

TEST_F(file_test, mappings_are_recorded_and_unmapped_by_close) {
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    file_t f(put("pages", std::string(2 * page, '.')), O_RDWR);
    auto* first = static_cast<char*>(f.mmap(0, page));
    auto* second = static_cast<char*>(f.mmap(static_cast<off_t>(page), page));
    ASSERT_EQ(f.mappings().size(), 2u);
    EXPECT_EQ(f.mappings().at(first), page);
    first[0] = 'A';
    second[0] = 'B';
    int not_mapped = 0;
    f.munmap(&not_mapped); // ignored
    EXPECT_EQ(f.mappings().size(), 2u);

    f.close();
    EXPECT_TRUE(f.mappings().empty());
    EXPECT_FALSE(is_mapped(first));
    EXPECT_FALSE(is_mapped(second));
    char c;
    f.seek(static_cast<off_t>(page), SEEK_SET);
    f.read(&c, 1);
    EXPECT_EQ(c, 'B'); // shared mapping reached the file
}

TEST_F(file_test, failing_sync_in_destructor_is_swallowed_and_the_file_closed) {
    // fsync on a FIFO fails with EINVAL; O_RDWR keeps the open from blocking.
    const std::string fifo = path("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    int fd = -1;
    try {
        file_t f(fifo, O_RDWR, true);
        const failure_t sync = failure_of([&] { f.sync(); });
        EXPECT_EQ(sync.what, fifo + ": sync -- EROFS/EINVAL: file is a special file that does not "
                                    "support synchronization");
        EXPECT_EQ(sync.number, EINVAL);
        fd = f.fd();
        throw std::runtime_error("unwinding"); // the destructor's sync fails during unwinding
    } catch (const std::runtime_error&) {
    }
    ASSERT_NE(fd, -1);
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);
}

TEST_F(file_test, descriptor_is_not_inherited_across_exec) {
    file_t f(put("secret", "x"), O_RDONLY);
    f.open();
    // dup() clears close-on-exec: the child must see this one, or the probe is blind.
    const int control = dup(f.fd());
    ASSERT_NE(control, -1);
    const int seen = probe_in_child(control);
    ::close(control);
    if (seen == 127)
        GTEST_SKIP() << "cannot run /bin/sh in a child here";
    ASSERT_EQ(seen, 0) << "the probe does not see an inherited descriptor";
    EXPECT_EQ(probe_in_child(f.fd()), 1);
}

TEST_F(file_test, ioctl_failures_carry_the_path_and_wide_arguments_are_refused) {
    const std::string plain = put("plain", "x");
    file_t f(plain, O_RDONLY);
    termios settings;
    // A terminal request: qemu-user answers requests it does not know with ENOSYS.
    const failure_t tty = failure_of([&] { f.ioctl(TCGETS, &settings); });
    EXPECT_EQ(tty.what,
              plain + ": ioctl -- ENOTTY: file is not associated with a character special device.");
    EXPECT_EQ(tty.number, ENOTTY);

#ifdef __SIZEOF_INT128__
    const __int128 wide = 1;
#else
    const long long wide = 1; // wider than unsigned long on 32-bit targets
#endif
    const std::string refused =
        " qv::posix::ioctl() -- type could not be cast to an ulong and is too large for ioctl.";
    file_t missing(path("missing"), O_RDONLY);
    const failure_t early = failure_of([&] { missing.ioctl(1u, wide); });
    EXPECT_EQ(early.what, refused); // not the open failure: refused before anything
    EXPECT_EQ(*early.type, typeid(exception_t));
    EXPECT_EQ(failure_of([&] { qv::posix::ioctl(-1, 1u, wide); }).what, refused);
}

TEST(syscall_wrappers, each_throws_its_operation_exception) {
    char buffer[4];
    int count = 0;
    const std::string ebadf = " -- EBADF: invalid open file descriptor";
    int pipe_ends[2];
    ASSERT_EQ(pipe(pipe_ends), 0);
    const struct {
        std::function<void()> call;
        std::string message;
    } rows[] = {
        {[] { qv::posix::open("", O_RDONLY, 0600); }, enoent_text},
        {[] { qv::posix::open("", O_RDONLY); }, enoent_text},
        {[] { qv::posix::creat("", 0600); }, enoent_text},
        {[] { errno = EMFILE, qv::posix::check_descriptor(-1); },
         "open -- EMFILE: process has maximum number of files open"},
        {[] { qv::posix::close(-1); }, "close" + ebadf},
        {[&] { qv::posix::read(-1, buffer, 1); }, "read" + ebadf},
        {[&] { qv::posix::write(-1, buffer, 1); }, "write" + ebadf},
        {[] { qv::posix::lseek(-1, 0, SEEK_SET); }, "seek" + ebadf},
        {[] { qv::posix::tell(-1); }, "seek" + ebadf},
        {[&] { qv::posix::tell(pipe_ends[0]); },
         "seek -- ESPIPE: file is associated with a pipe, socket, or FIFO"},
        {[] { qv::posix::fsync(-1); }, "sync" + ebadf},
        {[] { qv::posix::fcntl(-1, F_GETFD, 0); }, "fcntl" + ebadf},
        {[] { qv::posix::mmap(-1, 0, 4096); }, "mmap" + ebadf},
        {[&] { qv::posix::ioctl(-1, FIONREAD, &count); }, "ioctl" + ebadf},
    };
    for (const auto& row : rows)
        EXPECT_EQ(failure_of(row.call).what, row.message);
    ::close(pipe_ends[0]);
    ::close(pipe_ends[1]);
}

} // namespace
