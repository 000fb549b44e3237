// SPDX-License-Identifier: MIT
// The virtual board as a program sees a driver: plain system calls on
// /dev/zelk/ nodes. Run through `vboard run BOARD -- board_test`; every test
// works on its own copy of that board.
#include "zelk/zelk_ioctl.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <regex.h>
#include <sstream>
#include <string>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// The request codes, written out: the board must answer these numbers, whatever the
// shared header says.
constexpr unsigned long FLASH_INFO = 0x4040C000, FLASH_ERASE = 0x2000C001, ERROR_TEXT = 0xC0CCD00A,
                        FLASH_ENV_SET = 0x812CC002, FLASH_ENV_GET = 0x412CC003,
                        FLASH_ENV_CLEAR = 0x412CC004, NVRAM_ENV_SET = 0x812CD104,
                        NVRAM_ENV_GET = 0xC12CD105, NVRAM_ENV_CLEAR = 0x2000D103;

using device_info_t = zelk_device_info;
using error_text_t = zelk_error_text;
using env_request_t = zelk_env_request;

const char *const bios0 = "/dev/zelk/flash_bios0", *const env0 = "/dev/zelk/flash_env0",
                  *const nvram0 = "/dev/zelk/nvram0";
constexpr off_t bios_size = 512 * 1024;
const std::vector<std::string> default_env = {"serverip=192.168.1.1", "ipaddr=192.168.1.20",
                                              "netmask=255.255.255.0", "hostname=zelk",
                                              "bootdelay=3"};

// The stored environment after its 4-byte CRC: entries, empty entry, erased rest.
std::string env_body(const std::vector<std::string>& entries, size_t size = 64 * 1024) {
    std::string body;
    for (const std::string& e : entries)
        body += e + '\0';
    body += '\0';
    body.resize(size - 4, '\xff');
    return body;
}

std::optional<std::string> env_get(int fd, const std::string& key,
                                   unsigned long code = FLASH_ENV_GET) {
    env_request_t r{};
    std::memcpy(r.key, key.data(), std::min(key.size(), sizeof r.key));
    if (ioctl(fd, code, &r) != 1)
        return std::nullopt;
    return std::string(r.value, strnlen(r.value, sizeof r.value));
}

long env_set(int fd, const std::string& key, const std::string& value,
             unsigned long code = FLASH_ENV_SET) {
    env_request_t r{};
    std::memcpy(r.key, key.data(), std::min(key.size(), sizeof r.key));
    std::memcpy(r.value, value.data(), std::min(value.size(), sizeof r.value));
    return ioctl(fd, code, &r);
}

// Reads the node to its end in odd-sized requests.
std::string read_node(int fd) {
    std::string out;
    char buffer[1000];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;)
        out.append(buffer, static_cast<size_t>(n));
    return out;
}

// The errno of a failed call, 0 when it did not fail.
int error_of(long result) {
    return result == -1 ? errno : 0;
}

// Runs `body` in a child process; returns its wait status.
int in_child(const std::function<int()>& body) {
    pid_t pid = fork();
    if (pid == 0)
        _exit(body());
    int status = -1;
    waitpid(pid, &status, 0);
    return status;
}

class board_test : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(template_, nullptr) << "run me through `vboard run BOARD --`";
        char name[] = "/tmp/vboard-test-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        dir_ = name;
        std::filesystem::copy(template_, dir_, std::filesystem::copy_options::recursive);
        setenv("VBOARD_DIR", name, 1);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::string file(const std::string& name) const {
        std::ostringstream out;
        out << std::ifstream(dir_ + "/" + name, std::ios::binary).rdbuf();
        return out.str();
    }
    void append(const std::string& name, const std::string& text) const {
        std::ofstream(dir_ + "/" + name, std::ios::app) << text;
    }
    // Makes `rule` the board's only fault rule, its count at 0.
    void fault(const std::string& rule) const {
        std::ofstream(dir_ + "/faults.txt") << "id=1 " << rule << " hits=0\n";
    }

    static inline const char* const template_ = std::getenv("VBOARD_DIR");
    std::string dir_;
};

class records : public board_test {};
class nor : public board_test {};
class faults : public board_test {};
class request_log : public board_test {};
class concurrency : public board_test {};
class calls : public board_test {};

TEST_F(records, device_info_fills_the_record_in_native_order) {
    device_info_t expected{0xC2, 0x22DA, 8192, "MX29LV800CT"}, got;
    std::memset(&got, 0xAA, sizeof got);
    int fd = open("/dev/zelk/flash_fpga1", O_RDONLY);
    EXPECT_EQ(ioctl(fd, FLASH_INFO, &got), 0);
    EXPECT_EQ(std::memcmp(&got, &expected, sizeof got), 0);
    EXPECT_EQ(lseek(fd, 0, SEEK_END), 1 << 20); // as large as it says
    close(fd);
}

TEST_F(records, requests_a_node_does_not_serve_fail_with_enotty) {
    std::pair<const char*, unsigned long> rows[] = {
        {nvram0, FLASH_INFO}, {bios0, FLASH_ENV_GET}, {env0, NVRAM_ENV_GET}, {bios0, 0}};
    for (auto [node, code] : rows) {
        int fd = open(node, O_RDWR);
        env_request_t r{};
        EXPECT_EQ(error_of(ioctl(fd, code, &r)), ENOTTY) << node << " " << code;
        close(fd);
    }
}

TEST_F(records, error_text_fills_known_codes_and_leaves_unknown_ones) {
    append("errors.txt", "200 " + std::string(250, 'x') + "\n");
    std::pair<int32_t, std::string> rows[] = {
        {130, "flash erase timeout" + std::string(181, '\0')}, // NUL-padded
        {200, std::string(199, 'x') + '\0'},                   // cut to fit with its NUL
        {999, std::string(200, 'p')},                          // unknown: left as it was
    };
    // a code kept in an int arrives sign-extended where long is 64 bits wide
    auto code = static_cast<unsigned long>(static_cast<int32_t>(ERROR_TEXT));
    int fd = open(bios0, O_RDONLY);
    for (const auto& [number, field] : rows) {
        error_text_t r{number, {}};
        std::memset(r.text, 'p', sizeof r.text);
        EXPECT_EQ(ioctl(fd, code, &r), 0) << number;
        EXPECT_EQ(r.code, number);
        EXPECT_EQ(std::string(r.text, sizeof r.text), field) << number;
    }
    close(fd);
}

TEST_F(records, environment_requests_on_both_stores_and_the_image_they_leave) {
    struct {
        const char* node;
        unsigned long set, get, clear;
        std::vector<std::string> image;
        size_t size;
    } stores[] = {{env0, FLASH_ENV_SET, FLASH_ENV_GET, FLASH_ENV_CLEAR, default_env, 64 * 1024},
                  {nvram0, NVRAM_ENV_SET, NVRAM_ENV_GET, NVRAM_ENV_CLEAR, {}, 8 * 1024}};
    // fields filled to the last byte carry no NUL, in either direction
    std::pair<std::string, std::string> entries[] = {
        {"stdin", "serial"},
        {"  spaced", "kept as sent"},
        {"stdin", ""},
        {"", "empty key"},
        {std::string(150, 'k'), std::string(150, 'v')}};
    for (auto& store : stores) {
        SCOPED_TRACE(store.node);
        int fd = open(store.node, O_RDWR | O_SYNC);
        for (const auto& [key, value] : entries) {
            EXPECT_EQ(env_set(fd, key, value, store.set), 0);
            EXPECT_EQ(env_get(fd, key, store.get), value);
        }
        // the node reads as the stored image; a key set again keeps its place
        store.image.insert(store.image.end(),
                           {"stdin=", "  spaced=kept as sent", "=empty key",
                            std::string(150, 'k') + "=" + std::string(150, 'v')});
        EXPECT_EQ(read_node(fd).substr(4), env_body(store.image, store.size));
        env_request_t raw;
        std::memset(&raw, 'Z', sizeof raw);
        std::memcpy(raw.key, "  spaced", 9);
        EXPECT_EQ(ioctl(fd, store.get, &raw), 1); // the value NUL-padded, the key untouched
        EXPECT_EQ(std::string(raw.value, 150), "kept as sent" + std::string(138, '\0'));
        EXPECT_EQ(std::string(raw.key + 9, 141), std::string(141, 'Z'));
        EXPECT_EQ(ioctl(fd, store.clear, 0), 0);
        EXPECT_EQ(env_get(fd, "  spaced", store.get), std::nullopt);
        EXPECT_EQ(file(store.node + 10 + std::string(".img")).substr(4), env_body({}, store.size));
        // a key with "=" could never be found again
        EXPECT_EQ(error_of(env_set(fd, "a=b", "c", store.set)), EINVAL);
        EXPECT_EQ(error_of(ioctl(fd, store.get, nullptr)), EFAULT);
        EXPECT_EQ(error_of(env_set(open(store.node, O_RDONLY), "k", "v", store.set)), EBADF);
        close(fd);
    }
}

TEST_F(records, a_cleared_store_carries_the_big_endian_crc_of_the_rest) {
    // zlib's CRC-32 of a NUL and 0xFF to the end of a 64 KiB and an 8 KiB device
    const struct {
        const char* node;
        unsigned long clear;
        std::string crc;
    } rows[] = {{env0, FLASH_ENV_CLEAR, "\xb1\x7e\x62\x74"},
                {nvram0, NVRAM_ENV_CLEAR, "\x78\xde\x09\x23"}};
    for (const auto& row : rows) {
        int fd = open(row.node, O_RDWR);
        EXPECT_EQ(ioctl(fd, row.clear, 0), 0);
        char crc[4];
        EXPECT_EQ(pread(fd, crc, 4, 0), 4);
        EXPECT_EQ(std::string(crc, 4), row.crc) << row.node;
        close(fd);
    }
}

TEST_F(records, a_full_store_refuses_the_entry_and_stays_as_it_was) {
    int fd = open(nvram0, O_RDWR);
    std::vector<std::string> stored;
    for (std::string key = "k0"; stored.size() < 100; key = "k" + std::to_string(stored.size())) {
        if (env_set(fd, key, std::string(150, 'v'), NVRAM_ENV_SET) != 0)
            break;
        stored.push_back(key + "=" + std::string(150, 'v'));
    }
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_GT(stored.size(), 40u); // 8 KiB of entries of about 155 bytes
    EXPECT_EQ(file("nvram0.img").substr(4), env_body(stored, 8 * 1024));
    close(fd);
}

TEST_F(nor, programming_ands_erase_sets_and_transfers_stay_in_bounds) {
    int fd = open(bios0, O_RDWR);
    const unsigned char first[4] = {0xF0, 0x0F, 0xAA, 0x12}, second[4] = {0x3C, 0xFF, 0x55, 0x12};
    EXPECT_EQ(write(fd, first, 4), 4);
    EXPECT_EQ(pwrite(fd, second, 4, 0), 4);
    EXPECT_EQ(pwrite(fd, "0123456789abcdef", 16, 300000), 16);
    char zeros[17] = {};
    EXPECT_EQ(error_of(write(fd, zeros, 17)), EINVAL); // more than a write may carry
    ASSERT_EQ(lseek(fd, bios_size - 8, SEEK_SET), bios_size - 8);
    EXPECT_EQ(error_of(write(fd, zeros, 16)), ENOSPC); // would run past the end: fails whole
    EXPECT_EQ(error_of(lseek(fd, bios_size + 1, SEEK_SET)), EINVAL);
    EXPECT_EQ(lseek(fd, 0, SEEK_CUR), bios_size - 8); // failures leave the offset alone
    std::string expected(bios_size, '\xff');
    expected.replace(0, 4, "\x30\x0f\x00\x12", 4).replace(300000, 16, "0123456789abcdef");
    EXPECT_EQ(file("flash_bios0.img"), expected);
    ASSERT_EQ(lseek(fd, 0, SEEK_SET), 0);
    EXPECT_EQ(read_node(fd), expected); // in order, a short count at the end, then 0
    EXPECT_EQ(ioctl(fd, FLASH_ERASE, 0), 0);
    EXPECT_EQ(file("flash_bios0.img"), std::string(bios_size, '\xff'));
    close(fd);
}

TEST_F(faults, rules_fail_the_calls_they_choose) {
    int fd = -1;
    char b[16];
    device_info_t info;
    error_text_t text{130, {}};
    // The calls of every row, in order; each gives its result or -errno.
    std::function<long()> op = [&] { return (fd = open(bios0, O_RDWR)) < 0 ? -1L : 0L; },
                          rd = [&] { return long(read(fd, b, 16)); },
                          wr = [&] { return long(write(fd, "x", 1)); },
                          id = [&] { return long(ioctl(fd, FLASH_INFO, &info)); },
                          tx = [&] { return long(ioctl(fd, ERROR_TEXT, &text)); },
                          cl = [&] { return long(close(fd)); },
                          script[] = {op, rd, rd, rd, wr, wr, id, tx, cl};
    std::pair<std::string, std::vector<long>> rows[] = {
        {"node=flash_bios0 op=read nth=2 errno=5", {0, 16, -EIO, 16}},
        {"node=flash_bios0 op=read from=2 errno=5", {0, 16, -EIO, -EIO}},
        {"node=flash_bios0 op=read short=5", {0, 5, 5, 5}},
        {"node=flash_bios1 op=read errno=5", {0, 16, 16, 16}},
        {"node=* op=write errno=130", {0, 16, 16, 16, -130, -130, 0, 0}},
        {"node=flash_bios0 op=ioctl code=0xc0ccd00a errno=5", {0, 16, 16, 16, 1, 1, 0, -EIO}},
        {"node=flash_bios0 op=close errno=129", {0, 16, 16, 16, 1, 1, 0, 0, -129}},
        {"node=flash_bios0 op=open errno=2", {-ENOENT}},
        {"node=* op=open errno=13", {-EACCES}},
    };
    for (const auto& [rule, expected] : rows) {
        SCOPED_TRACE(rule);
        fault(rule);
        for (size_t i = 0; i < expected.size(); ++i) {
            errno = 0;
            long result = script[i]();
            EXPECT_EQ(result < 0 ? -errno : result, expected[i]) << "call " << i;
        }
        // a failed close still closes, as on Linux
        EXPECT_TRUE(expected.size() < std::size(script) || fcntl(fd, F_GETFD) == -1);
        close(fd);
    }
}

TEST_F(faults, random_failures_repeat_with_the_seed) {
    std::vector<bool> runs[2];
    char b[16];
    for (std::vector<bool>& failed : runs) {
        fault("node=flash_bios0 op=read prob=0.3 seed=42 errno=5"); // the count back at 0
        int fd = open(bios0, O_RDONLY);
        while (failed.size() < 100)
            failed.push_back(read(fd, b, 16) < 0);
        close(fd);
    }
    EXPECT_EQ(runs[0], runs[1]);
    long failed = std::count(runs[0].begin(), runs[0].end(), true);
    EXPECT_GT(failed, 10);
    EXPECT_LT(failed, 60);
}

TEST_F(faults, power_cut_leaves_the_board_as_far_as_it_got_whichever_process_counts) {
    fault("node=flash_bios0 op=write nth=3 powercut partial=5"); // the board's third write
    const std::string data = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuv";
    int fd = open(bios0, O_RDWR);
    EXPECT_EQ(write(fd, data.data(), 16), 16);
    auto writer = [&] {
        for (int at = 16; at < 48; at += 16)
            write(fd, data.data() + at, 16);
        return 0;
    };
    EXPECT_EQ(WTERMSIG(in_child(writer)), SIGKILL);
    char b[64];
    EXPECT_EQ(pread(fd, b, 64, 0), 64); // two whole writes and 5 bytes of the third
    EXPECT_EQ(std::string(b, 64), data.substr(0, 37) + std::string(27, '\xff'));
    // the cut was counted: the rule does not fire again in a later process
    EXPECT_TRUE(WIFEXITED(in_child([&] { return int(write(fd, "x", 1)); })));
    close(fd);
    // an environment store is left erased with the start of the new image
    fault("node=flash_env0 op=ioctl code=0x812cc002 powercut partial=10");
    EXPECT_EQ(WTERMSIG(in_child([] { return int(env_set(open(env0, O_RDWR), "a", "b")); })),
              SIGKILL);
    std::vector<std::string> entries = default_env;
    entries.push_back("a=b");
    // its CRC (a big-endian zlib CRC-32 of the rest) and the first 6 bytes of the entries
    EXPECT_EQ(file("flash_env0.img"), "\xb2\x6e\xf4\x0e" + env_body(entries).substr(0, 6) +
                                          std::string(64 * 1024 - 10, '\xff'));
}

TEST_F(request_log, one_line_per_call_in_order) {
    append("board.conf", "log=on\n");
    fault("node=flash_bios0 op=read nth=2 errno=130");
    int fd = open(bios0, O_RDONLY | O_CLOEXEC);
    char b[16];
    read(fd, b, 16);
    read(fd, b, 16);
    lseek(fd, 0x10, SEEK_SET);
    error_text_t text{130, {}};
    ioctl(fd, ERROR_TEXT, &text);
    close(fd);
    int env = open(env0, O_RDWR | O_SYNC);
    env_get(env, "serverip");
    env_set(env, "say", "a \"b\"\n");
    close(env);
    std::string head = "pid=" + std::to_string(getpid()) +
                       " tid=" + std::to_string(syscall(SYS_gettid)) + " node=flash_";
    std::vector<std::string> lines = {
        "bios0 op=open flags=O_RDONLY|O_CLOEXEC result=" + std::to_string(fd),
        "bios0 op=read off=0 len=16 result=16",
        "bios0 op=read off=16 len=16 result=-1 errno=130 fault=1",
        "bios0 op=lseek off=16 whence=SET result=16",
        "bios0 op=ioctl code=0xc0ccd00a errcode=130 result=0",
        "bios0 op=close result=0",
        "env0 op=open flags=O_RDWR|O_SYNC result=" + std::to_string(env),
        "env0 op=ioctl code=0x412cc003 key=\"serverip\" result=1",
        "env0 op=ioctl code=0x812cc002 key=\"say\" value=\"a \\\"b\\\"\\x0a\" result=0",
        "env0 op=close result=0",
    };
    std::string expected;
    for (const std::string& line : lines)
        expected += head + line + "\n";
    EXPECT_EQ(file("requests.log"), expected);
}

TEST_F(concurrency, sixteen_threads_in_four_processes_lose_nothing_and_log_whole_lines) {
    append("board.conf", "log=on\n");
    auto key = [](int p, int t) { return "p" + std::to_string(p) + "t" + std::to_string(t); };
    pid_t children[4];
    for (int p = 0; p < 4; ++p) {
        if ((children[p] = fork()) != 0)
            continue;
        std::atomic<bool> ok{true};
        std::vector<std::thread> workers;
        for (int t = 0; t < 16; ++t)
            workers.emplace_back([&, t] {
                for (int r = 0; r < 8; ++r) {
                    int fd = open(env0, O_RDWR | O_SYNC);
                    std::string value = "round" + std::to_string(r);
                    if (env_set(fd, key(p, t), value) != 0 || env_get(fd, key(p, t)) != value ||
                        env_get(fd, "serverip") != "192.168.1.1" || close(fd) != 0)
                        ok = false;
                }
            });
        for (std::thread& w : workers)
            w.join();
        _exit(ok ? 0 : 1);
    }
    for (pid_t pid : children) {
        int status = -1;
        waitpid(pid, &status, 0);
        EXPECT_EQ(status, 0);
    }
    // one whole line per call, however many threads and processes call at once
    regex_t whole; // <regex> trips a false warning of g++ 12 under the sanitizers
    ASSERT_EQ(regcomp(&whole,
                      "^pid=[0-9]+ tid=[0-9]+ node=flash_env0 op=(open flags=O_RDWR[|]O_SYNC|close|"
                      "ioctl code=0x[0-9a-f]{8} key=\"[a-z0-9]+\"( value=\"round[0-9]\")?) "
                      "result=[0-9]+$",
                      REG_EXTENDED | REG_NOSUB),
              0);
    std::istringstream in(file("requests.log"));
    int count = 0;
    for (std::string line; std::getline(in, line); ++count)
        EXPECT_EQ(regexec(&whole, line.c_str(), 0, nullptr, 0), 0) << line;
    regfree(&whole);
    EXPECT_EQ(count, 4 * 16 * 8 * 5);
    int fd = open(env0, O_RDONLY);
    for (int p = 0; p < 4; ++p)
        for (int t = 0; t < 16; ++t)
            EXPECT_EQ(env_get(fd, key(p, t)), "round7") << key(p, t);
    close(fd);
}

TEST_F(concurrency, fork_during_another_threads_request_blocks_nothing) {
    append("board.conf", "erase_ms=400\n");
    std::thread eraser([] {
        int fd = open(bios0, O_RDWR);
        ioctl(fd, FLASH_ERASE, 0); // holds the board for 400 ms
        close(fd);
    });
    usleep(100 * 1000);
    // the child's copy of the eraser's lock must not keep the board locked
    int status = in_child([] {
        int fd = open(env0, O_RDONLY);
        return env_get(fd, "serverip") == "192.168.1.1" && close(fd) == 0 ? 0 : 1;
    });
    eraser.join();
    EXPECT_EQ(status, 0);
}

TEST_F(calls, errno_is_kept_on_success_and_other_paths_pass_through) {
    errno = 1234;
    int fd = open(bios0, O_RDWR);
    char b[16];
    device_info_t info;
    EXPECT_EQ(read(fd, b, 16), 16);
    EXPECT_EQ(write(fd, b, 16), 16);
    EXPECT_EQ(lseek(fd, 0, SEEK_SET), 0);
    EXPECT_EQ(ioctl(fd, FLASH_INFO, &info), 0);
    EXPECT_EQ(fsync(fd), 0);
    EXPECT_EQ(close(fd), 0);
    EXPECT_EQ(errno, 1234);
    EXPECT_EQ(file("requests.log"), ""); // the log is off by default
    append("board.conf", "log=on\n");
    fd = open((dir_ + "/plain.bin").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    EXPECT_EQ(write(fd, std::string(100, 'z').data(), 100), 100); // no 16-byte limit
    EXPECT_EQ(lseek(fd, 1000, SEEK_SET), 1000);                   // nor a device size
    int pipes[2], pending = 0;
    ASSERT_EQ(pipe(pipes), 0);
    EXPECT_EQ(write(pipes[1], "abc", 3), 3);
    EXPECT_EQ(ioctl(pipes[0], FIONREAD, &pending), 0);
    EXPECT_EQ(pending, 3);
    EXPECT_EQ(close(fd), 0);
    EXPECT_EQ(file("requests.log"), "");
    EXPECT_EQ(error_of(open("/dev/zelk/flash_none", O_RDONLY)), ENOENT);
    unsetenv("VBOARD_DIR"); // without a board the node does not exist at all
    EXPECT_EQ(error_of(open(bios0, O_RDONLY)), ENOENT);
}

TEST_F(calls, close_on_exec_is_honoured) {
    int kept = open(bios0, O_RDONLY), dropped = open(bios0, O_RDONLY | O_CLOEXEC);
    EXPECT_EQ(fcntl(kept, F_GETFD), 0);
    EXPECT_EQ(fcntl(dropped, F_GETFD), FD_CLOEXEC);
    auto open_after_exec = [](int fd) {
        return in_child([fd] {
            dup2(open("/dev/null", O_WRONLY), 2); // an emulator may complain about the preload
            std::string test = "test -e /proc/self/fd/" + std::to_string(fd);
            return execl("/bin/sh", "sh", "-c", test.c_str(), nullptr);
        });
    };
    EXPECT_EQ(open_after_exec(kept), 0);
    EXPECT_NE(open_after_exec(dropped), 0);
    close(kept);
    close(dropped);
}

} // namespace
