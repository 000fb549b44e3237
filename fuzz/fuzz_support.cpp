// SPDX-License-Identifier: MIT
#include "fuzz_support.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace fuzz {

void fail(const char* format, ...) {
    std::fputs("fuzz: ", stderr);
    va_list list;
    va_start(list, format);
    std::vfprintf(stderr, format, list);
    va_end(list);
    std::fputc('\n', stderr);
    std::abort();
}

namespace {

std::string setting(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    return value && *value ? value : fallback;
}

std::string temporary_scratch;

int remove_entry(const char* path, const struct stat*, int, struct FTW*) {
    ::remove(path);
    return 0;
}

void remove_scratch() {
    if (!temporary_scratch.empty())
        nftw(temporary_scratch.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

} // namespace

std::string romtool_path() {
    return setting("ROMTOOL_FUZZ_ROMTOOL", ROMTOOL_FUZZ_DEFAULT_ROMTOOL);
}
std::string preload_path() {
    return setting("ROMTOOL_FUZZ_PRELOAD", ROMTOOL_FUZZ_DEFAULT_PRELOAD);
}
std::string vboard_path() {
    return setting("ROMTOOL_FUZZ_VBOARD", ROMTOOL_FUZZ_DEFAULT_VBOARD);
}

std::string scratch_dir() {
    static std::string dir;
    if (!dir.empty())
        return dir;
    dir = setting("ROMTOOL_FUZZ_SCRATCH", "");
    if (!dir.empty() && std::getenv("ROMTOOL_FUZZ_SCRATCH_MINE")) {
        // Made by this program before it executed itself again: still ours to remove.
        unsetenv("ROMTOOL_FUZZ_SCRATCH_MINE");
        temporary_scratch = dir;
        std::atexit(remove_scratch);
    }
    if (dir.empty()) {
        std::string pattern = setting("TMPDIR", "/tmp") + "/romtool-fuzz.XXXXXX";
        if (!mkdtemp(pattern.data()))
            fail("mkdtemp %s: %s", pattern.c_str(), std::strerror(errno));
        dir = temporary_scratch = pattern;
        std::atexit(remove_scratch);
        // A program that executes itself again keeps the same folder.
        setenv("ROMTOOL_FUZZ_SCRATCH", dir.c_str(), 1);
    }
    return dir;
}

void create_board(const std::string& dir) {
    const std::string vboard = vboard_path();
    const char* argv[] = {"python3", vboard.c_str(), "create", dir.c_str(), nullptr};
    pid_t pid;
    if (posix_spawnp(&pid, "python3", nullptr, nullptr, const_cast<char**>(argv), environ) != 0)
        fail("cannot run %s", vboard.c_str());
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        fail("vboard create %s failed", dir.c_str());
}

void run_on_board(char** argv) {
    if (std::getenv("VBOARD_DIR"))
        return;
    const std::string board = scratch_dir() + "/board";
    create_board(board);
    // The program executed again removes the folder; this image of it must not.
    if (!temporary_scratch.empty())
        setenv("ROMTOOL_FUZZ_SCRATCH_MINE", "1", 1);
    temporary_scratch.clear();
    setenv("VBOARD_DIR", board.c_str(), 1);
    setenv("LD_PRELOAD", preload_path().c_str(), 1);
    // The preload library comes before libasan in the link order.
    const std::string asan = setting("ASAN_OPTIONS", "");
    setenv("ASAN_OPTIONS", (asan + (asan.empty() ? "" : ":") + "verify_asan_link_order=0").c_str(),
           1);
    execv("/proc/self/exe", argv);
    fail("cannot execute myself again: %s", std::strerror(errno));
}

std::string board_dir() {
    return setting("VBOARD_DIR", "");
}

bytes_t read_file(const std::string& path) {
    bytes_t data;
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        fail("open %s: %s", path.c_str(), std::strerror(errno));
    uint8_t buffer[65536];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            fail("read %s: %s", path.c_str(), std::strerror(errno));
        if (n == 0)
            break;
        data.insert(data.end(), buffer, buffer + n);
    }
    ::close(fd);
    return data;
}

void write_file(const std::string& path, const uint8_t* data, size_t size) {
    // In place, never by rename: the board keeps its files by name.
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        fail("open %s: %s", path.c_str(), std::strerror(errno));
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            fail("write %s: %s", path.c_str(), std::strerror(errno));
        data += n;
        size -= static_cast<size_t>(n);
    }
    ::close(fd);
}

void empty_dir(const std::string& dir) {
    DIR* d = opendir(dir.c_str());
    if (!d)
        fail("opendir %s: %s", dir.c_str(), std::strerror(errno));
    std::vector<std::string> names;
    while (dirent* e = readdir(d)) {
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
            names.push_back(dir + "/" + e->d_name);
    }
    closedir(d);
    for (const auto& name : names)
        nftw(name.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

snapshot_t::snapshot_t(const std::string& dir) {
    DIR* d = opendir(dir.c_str());
    if (!d)
        fail("opendir %s: %s", dir.c_str(), std::strerror(errno));
    while (dirent* e = readdir(d)) {
        struct stat st;
        const std::string path = dir + "/" + e->d_name;
        if (::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode))
            files[e->d_name] = read_file(path);
    }
    closedir(d);
}

void snapshot_t::restore(const std::string& dir) const {
    for (const auto& [name, data] : files)
        write_file(dir + "/" + name, data);
}

uint32_t reference_crc32(uint32_t crc, const uint8_t* data, size_t size) {
    crc = ~crc;
    for (size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

} // namespace fuzz
