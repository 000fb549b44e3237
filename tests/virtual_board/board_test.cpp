// SPDX-License-Identifier: MIT
// Plain system calls on /dev/zelk/ nodes, through `vboard run BOARD -- board_test`, each test
// on its own copy of that board: the preload shell's own work, and the core's rules romtool
// never reaches (so the end-to-end tests cannot).
#include "zelk/zelk_ioctl.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

const char *const bios0 = "/dev/zelk/flash_bios0", *const env0 = "/dev/zelk/flash_env0",
                  *const nvram0 = "/dev/zelk/nvram0";
constexpr off_t bios_size = 512 * 1024;

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
    // An environment request (a set by default); `value` becomes the value the board left.
    static long env(int fd, const std::string& key, std::string* value,
                    unsigned long code = FLASH_IOC_ENV_SET) {
        zelk_env_request r{};
        std::memcpy(r.key, key.data(), std::min(key.size(), sizeof r.key));
        std::memcpy(r.value, value->data(), std::min(value->size(), sizeof r.value));
        long result = ioctl(fd, code, &r);
        value->assign(r.value, strnlen(r.value, sizeof r.value));
        return result;
    }
    static int error_of(long result) { return result == -1 ? errno : 0; }
    static int in_child(const std::function<int()>& body) {
        pid_t pid = fork();
        if (pid == 0)
            _exit(body());
        int status = -1;
        waitpid(pid, &status, 0);
        return status;
    }

    static inline const char* const template_ = std::getenv("VBOARD_DIR");
    std::string dir_;
};

class core : public board_test {};
class calls : public board_test {};
class concurrency : public board_test {};

TEST_F(core, environment_requests_romtool_never_sends) {
    std::pair<const char*, unsigned long> enotty[] = {{nvram0, FLASH_IOC_INFO},
                                                      {bios0, FLASH_IOC_ENV_GET},
                                                      {env0, NVRAM_IOC_ENV_GET},
                                                      {bios0, 0},
                                                      {env0, 0}};
    for (auto [node, code] : enotty)
        EXPECT_EQ(error_of(ioctl(open(node, O_RDWR), code, dir_.data())), ENOTTY) << node;
    // a cleared store: zlib's CRC-32 of the rest (a NUL, then 0xFF), big-endian
    const struct {
        const char* node;
        unsigned long set, clear;
        std::string crc;
    } stores[] = {{env0, FLASH_IOC_ENV_SET, FLASH_IOC_ENV_CLEAR, "\xb1\x7e\x62\x74"},
                  {nvram0, NVRAM_IOC_ENV_SET, NVRAM_IOC_ENV_CLEAR, "\x78\xde\x09\x23"}};
    std::string value = "v";
    for (const auto& s : stores) {
        int fd = open(s.node, O_RDWR);
        EXPECT_EQ(error_of(env(fd, "a=b", &value, s.set)), EINVAL) << s.node; // never found again
        EXPECT_EQ(error_of(env(open(s.node, O_RDONLY), "k", &value, s.set)), EBADF) << s.node;
        EXPECT_EQ(ioctl(fd, s.clear, 0), 0);
        EXPECT_EQ(file(s.node + 10 + std::string(".img")).substr(0, 6), s.crc + '\0' + '\xff');
    }
    // a full store refuses the entry and stays as it was
    std::string stored;
    value.assign(150, 'v');
    for (int fd = open(nvram0, O_RDWR), n = 0;
         env(fd, std::to_string(n), &value, NVRAM_IOC_ENV_SET) == 0; ++n)
        stored += std::to_string(n) + "=" + value + '\0';
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_GT(stored.size(), 6000u); // 8 KiB of entries of about 155 bytes
    EXPECT_EQ(file("nvram0.img").substr(4, stored.size() + 2), stored + '\0' + '\xff');
    EXPECT_EQ(error_of(ioctl(open(nvram0, O_RDWR), NVRAM_IOC_ENV_GET, nullptr)), EFAULT);
    // written by something else: a value longer than the record is cut at its end
    std::ofstream(dir_ + "/nvram0.img") << std::string(4, 0) + "k=" + std::string(300, 'v') + '\0';
    EXPECT_EQ(env(open(nvram0, O_RDONLY), "k", &value, NVRAM_IOC_ENV_GET), 1);
    EXPECT_EQ(value, std::string(150, 'v'));
    std::ofstream(dir_ + "/nvram0.img", std::ios::trunc); // no room for the header: no key
    EXPECT_EQ(env(open(nvram0, O_RDONLY), "k", &value, NVRAM_IOC_ENV_GET), 0);
}

TEST_F(core, programming_ands_erase_sets_and_transfers_stay_in_bounds) {
    int fd = open(bios0, O_RDWR);
    const unsigned char first[4] = {0xF0, 0x0F, 0xAA, 0x12}, second[4] = {0x3C, 0xFF, 0x55, 0x12};
    EXPECT_EQ(write(fd, first, 4), 4);
    EXPECT_EQ(pwrite(fd, second, 4, 0), 4);
    char b[17] = {};
    EXPECT_EQ(error_of(write(fd, b, 17)), EINVAL); // more than a write may carry
    EXPECT_EQ(write(fd, b, 0), 0);
    ASSERT_EQ(lseek(fd, bios_size - 8, SEEK_SET), bios_size - 8);
    EXPECT_EQ(error_of(write(fd, b, 16)), ENOSPC); // would run past the end: fails whole
    EXPECT_EQ(error_of(lseek(fd, bios_size + 1, SEEK_SET)), EINVAL); // and before the start:
    EXPECT_EQ(error_of(pread(fd, b, 1, -1)) + error_of(pwrite(fd, b, 1, -1)), 2 * EINVAL);
    EXPECT_EQ(read(fd, b, 16), 8); // failures left the offset alone: a short count at the end
    EXPECT_EQ(read(fd, b, 16), 0);
    EXPECT_EQ(pwrite(fd, "01234567", 8, bios_size - 8), 8); // up to the very end
    std::string expected(bios_size, '\xff');
    expected.replace(0, 4, "\x30\x0f\x00\x12", 4).replace(bios_size - 8, 8, "01234567");
    EXPECT_EQ(file("flash_bios0.img"), expected);
    EXPECT_EQ(error_of(ioctl(open(bios0, O_RDONLY), FLASH_IOC_ERASE, 0)), EBADF);
    EXPECT_EQ(ioctl(fd, FLASH_IOC_ERASE, 0), 0);
    EXPECT_EQ(file("flash_bios0.img"), std::string(bios_size, '\xff'));
}

TEST_F(core, fault_rules_fail_the_calls_they_choose) {
    int fd = -1; // the other rules are met through romtool in the end-to-end tests
    char b[16];
    zelk_error_text text{130, {}};
    // a code kept in an int arrives sign-extended where long is 64 bits wide
    auto error_text = static_cast<unsigned long>(static_cast<int32_t>(ZELK_IOC_ERROR_TEXT));
    auto call = [&](size_t i) -> long {
        return i == 0  ? ((fd = open(bios0, O_RDWR)) < 0 ? -1 : 0)
               : i < 3 ? pread(fd, b, 16, 16 * (i - 1)) // a rule on read covers pread
               : i < 4 ? ioctl(fd, error_text, &text)
                       : close(fd);
    };
    std::pair<std::string, std::vector<long>> rows[] = {
        {"node=* op=read from=2 errno=5", {0, 16, -EIO}}, // any node
        {"node=flash_bios0 op=read from=2 short=0", {0, 16, 0}},
        {"node=flash_bios1 op=read errno=5", {0, 16, 16}},
        {"node=flash_bios0 op=ioctl code=0xc0ccd00a errno=5", {0, 16, 16, -EIO}},
        {"node=flash_bios0 op=close errno=129", {0, 16, 16, 0, -129}},
    };
    for (const auto& [rule, expected] : rows) {
        std::ofstream(dir_ + "/faults.txt") << "id=1 " << rule << " hits=0\n";
        for (size_t i = 0; i < expected.size(); ++i) {
            errno = 0;
            long result = call(i);
            EXPECT_EQ(result < 0 ? -errno : result, expected[i]) << rule << ", call " << i;
        }
        // a failed close still closes, as on Linux
        EXPECT_TRUE(expected.size() < 5 || fcntl(fd, F_GETFD) == -1);
        close(fd);
    }
    // a rule holds a node name of up to 63 bytes
    const std::string longest = "flash_" + std::string(57, 'n');
    append(longest + ".info", "type=flash\n");
    append(longest + ".img", std::string(64, '\xff'));
    std::ofstream(dir_ + "/faults.txt") << "id=1 node=" << longest << " op=read errno=5 hits=0\n";
    EXPECT_EQ(error_of(read(open(("/dev/zelk/" + longest).c_str(), O_RDONLY), b, 16)), EIO);
    // prob=0.5 fails about half the calls
    std::ofstream(dir_ + "/faults.txt")
        << "id=1 node=flash_bios0 op=read prob=0.5 seed=7 errno=5\n";
    fd = open(bios0, O_RDONLY);
    int failed = 0;
    for (int i = 0; i < 64; ++i)
        failed += read(fd, b, 16) < 0;
    EXPECT_TRUE(failed > 22 && failed < 42) << failed;
}

TEST_F(core, silent_faults_report_success_and_change_only_their_first_bytes) {
    append("board.conf", "log=on\n");
    const std::string data = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuv", ff(48, '\xff');
    // the rule; the first bytes after three writes (and an erase for the ioctl rules)
    const std::pair<std::string, std::string> rows[] = {
        {"op=write nth=2 silent", data.substr(0, 16) + ff.substr(0, 16) + data.substr(32)},
        {"op=write from=2 silent partial=5",
         data.substr(0, 21) + ff.substr(0, 11) + data.substr(32, 5) + ff.substr(0, 11)},
        {"op=write silent partial=17", data}, // the whole piece
        {"op=ioctl code=0x2000c001 silent", data},
        {"op=ioctl code=0x2000c001 silent partial=20", ff.substr(0, 20) + data.substr(20)},
    };
    for (const auto& [rule, image] : rows) {
        std::fstream(dir_ + "/flash_bios0.img", std::ios::in | std::ios::out) << ff;
        std::ofstream(dir_ + "/requests.log").flush();
        std::ofstream(dir_ + "/faults.txt") << "id=1 node=flash_bios0 " << rule << " hits=0\n";
        int fd = open(bios0, O_RDWR);
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(i < 2 ? write(fd, &data[16 * i], 16) : pwrite(fd, &data[32], 16, 32), 16);
        const bool erase = rule.find("code=") != std::string::npos;
        EXPECT_EQ(lseek(fd, 0, SEEK_CUR) + (erase ? ioctl(fd, FLASH_IOC_ERASE, 0) : 0), 32) << rule;
        close(fd);
        EXPECT_EQ(file("flash_bios0.img").substr(0, 48), image) << rule;
        const char* line = erase ? " result=0 fault=1 silent\n" : " result=16 fault=1 silent\n";
        EXPECT_NE(file("requests.log").find(line), std::string::npos) << rule;
    }
}

TEST_F(core, error_text_names_every_code_and_replaces_the_callers_text) {
    append("errors.txt", "141 " + std::string(200, 'y') + "\n");
    const std::pair<int32_t, std::string> rows[] = {{130, "flash erase timeout"},
                                                    {141, std::string(199, 'y')}, // cut, NUL-ended
                                                    {140, "driver error 140"},
                                                    {INT32_MIN, "driver error -2147483648"}};
    for (const auto& [code, text] : rows) {
        zelk_error_text record{code, {}};
        std::memset(record.text, 'x', sizeof record.text);
        EXPECT_EQ(ioctl(open(bios0, O_RDONLY), ZELK_IOC_ERROR_TEXT, &record), 0);
        EXPECT_EQ(std::string(record.text, sizeof record.text),
                  text + std::string(sizeof record.text - text.size(), '\0'));
    }
}

TEST_F(core, power_cut_leaves_the_board_as_far_as_it_got_whichever_process_counts) {
    append("faults.txt", "id=1 node=flash_bios0 op=write nth=3 powercut partial=5 hits=0\n");
    append("board.conf", "log=on\n");
    const std::string data = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuv";
    int fd = open(bios0, O_RDWR);
    EXPECT_EQ(write(fd, data.data(), 16), 16); // the board's third write is cut, in a child
    auto two_more = [&] { return int(write(fd, &data[16], 16) + write(fd, &data[32], 16)); };
    EXPECT_EQ(WTERMSIG(in_child(two_more)), SIGKILL);
    EXPECT_EQ(file("flash_bios0.img").substr(0, 64), data.substr(0, 37) + std::string(27, '\xff'));
    EXPECT_NE(file("requests.log").find("result=-1 errno=0 fault=1 powercut\n"), std::string::npos);
    // the cut was counted: the rule does not fire again in a later process
    EXPECT_TRUE(WIFEXITED(in_child([&] { return int(write(fd, "x", 1)); })));
    // cut part-way: an erase clears its first bytes only; a set clears all, then writes 6
    append("faults.txt", "id=2 node=flash_bios0 op=ioctl code=0x2000c001 powercut partial=3\n"
                         "id=3 node=flash_env0 op=ioctl code=0x812cc002 powercut partial=6\n");
    EXPECT_EQ(WTERMSIG(in_child([&] { return int(ioctl(fd, FLASH_IOC_ERASE, 0)); })), SIGKILL);
    EXPECT_EQ(file("flash_bios0.img").substr(0, 8), "\xff\xff\xff" + data.substr(3, 5));
    std::string v = "v";
    EXPECT_EQ(WTERMSIG(in_child([&] { return env(open(env0, O_RDWR), "k", &v); })), SIGKILL);
    EXPECT_EQ(file("flash_env0.img").substr(6, 4), std::string(4, '\xff'));
    int cuts = 0; // each logged once, though an erase or a set is cut on its way
    std::istringstream log(file("requests.log"));
    for (std::string line; std::getline(log, line);)
        cuts += line.find(" powercut") != std::string::npos;
    EXPECT_EQ(cuts, 3);
}

TEST_F(core, request_log_lines_keep_their_layout) {
    // the end-to-end tests read the fields; their order, lseek's whence and the quoting here
    append("board.conf", "log=on\n");
    int fd = open(env0, O_RDWR | 0x18); // flags with no name here: in hex
    std::string value = "a \"b\"\x1f~\x7f", head = "pid=" + std::to_string(getpid()) +
                                                   " tid=" + std::to_string(syscall(SYS_gettid)) +
                                                   " node=flash_env0 op=";
    lseek(fd, 0x60, SEEK_SET);
    lseek(fd, 1, -1), lseek(fd, 1, 3); // no such whence (3: SEEK_DATA): printed as its number
    lseek(fd, 0, SEEK_END);
    ioctl(fd, 0x7a01, 0); // a code is always eight hex digits
    env(fd, "say", &value);
    std::ofstream(dir_ + "/faults.txt") << "id=4 node=* op=ioctl errno=5\n"; // still its key
    env(fd, "no", &value);
    EXPECT_EQ(file("requests.log"),
              head + "open flags=O_RDWR|0x18 result=" + std::to_string(fd) + "\n" + head +
                  "lseek off=96 whence=SET result=96\n" + head +
                  "lseek off=1 whence=-1 result=-1 errno=22\n" + head +
                  "lseek off=1 whence=3 result=-1 errno=22\n" + head +
                  "lseek off=0 whence=END result=65536\n" + head +
                  "ioctl code=0x00007a01 result=-1 errno=25\n" + head +
                  R"(ioctl code=0x812cc002 key="say" value="a \"b\"\x1f~\x7f" result=0)" + "\n" +
                  head + "ioctl code=0x812cc002 key=\"no\" result=-1 errno=5 fault=4\n");
}

TEST_F(concurrency, sixteen_threads_in_four_processes_lose_nothing_and_log_whole_lines) {
    append("board.conf", "log=on\n");
    for (int p = 0; p < 4; ++p)
        if (fork() == 0) {
            std::vector<std::thread> workers;
            for (int t = 0; t < 16; ++t)
                workers.emplace_back([key = std::to_string(p * 16 + t)] {
                    for (int r = 0; r < 8; ++r) {
                        std::string value = std::to_string(r);
                        int fd = open(env0, O_RDWR | O_SYNC);
                        if (env(fd, key, &value) != 0 || close(fd) != 0)
                            _exit(1);
                    }
                });
            for (std::thread& w : workers)
                w.join();
            _exit(0);
        }
    for (int status = -1, p = 0; p < 4; ++p, status = -1)
        EXPECT_TRUE(wait(&status) > 0 && status == 0);
    // one whole line per call, however many threads and processes call at once
    std::istringstream in(file("requests.log"));
    int count = 0;
    for (std::string line; std::getline(in, line); ++count)
        EXPECT_TRUE(line.rfind("pid=", 0) == 0 && line.find("pid=", 1) == std::string::npos &&
                    line.find(" result=") != std::string::npos)
            << line;
    EXPECT_EQ(count, 4 * 16 * 8 * 3);
    std::string got; // no process wrote another's entries over with an older image
    for (int key = 0, fd = open(env0, O_RDONLY); key < 64; ++key)
        EXPECT_TRUE(env(fd, std::to_string(key), &got, FLASH_IOC_ENV_GET) == 1 && got == "7")
            << key;
}

TEST_F(concurrency, fork_during_another_threads_request_blocks_nothing) {
    append("board.conf", "erase_ms=400\n");
    std::thread eraser([] { ioctl(open(bios0, O_RDWR), FLASH_IOC_ERASE, 0); }); // holds the board
    usleep(100 * 1000);
    // the child's copy of the eraser's lock must not keep the board locked
    std::string got;
    int status = in_child(
        [&] { return int(env(open(env0, O_RDONLY), "serverip", &got, FLASH_IOC_ENV_GET)); });
    eraser.join();
    EXPECT_EQ(WEXITSTATUS(status), 1);
}

TEST_F(calls, errno_kept_on_success_close_on_exec_and_only_the_boards_nodes) {
    errno = 1234;
    int fd = open(bios0, O_RDWR), dropped = open(bios0, O_RDONLY | O_CLOEXEC);
    char b[16];
    zelk_device_info info;
    EXPECT_EQ(read(fd, b, 16) + write(fd, b, 16) + lseek(fd, 0, SEEK_SET) + fsync(fd), 32);
    EXPECT_EQ(ioctl(fd, FLASH_IOC_INFO, &info), 0);
    EXPECT_EQ(errno, 1234);
    EXPECT_EQ(file("requests.log"), ""); // the log is off by default
    auto open_after_exec = [](int fd) {
        return in_child([fd] {
            dup2(open("/dev/null", O_WRONLY), 2); // an emulator may complain about the preload
            std::string test = "test -e /proc/self/fd/" + std::to_string(fd);
            return execl("/bin/sh", "sh", "-c", test.c_str(), nullptr);
        });
    };
    EXPECT_EQ(fcntl(fd, F_GETFD) + open_after_exec(fd), 0);
    EXPECT_EQ(fcntl(dropped, F_GETFD), FD_CLOEXEC);
    EXPECT_NE(open_after_exec(dropped), 0);
    EXPECT_EQ(error_of(open("/dev/zelk/flash_none", O_RDONLY)), ENOENT);
    EXPECT_EQ(error_of(open(bios0, O_RDWR | O_CREAT | O_EXCL)), EEXIST);
    EXPECT_GE(open(bios0, O_RDWR | O_CREAT), 0);
    EXPECT_EQ(error_of(ioctl(fd, FLASH_IOC_INFO, nullptr)), EFAULT);
    EXPECT_EQ(error_of(read(open(bios0, O_WRONLY), b, 16)), EBADF);
    EXPECT_EQ(error_of(write(open(bios0, O_RDONLY), b, 16)), EBADF);
    append("flash_one.info", "type=flash\n"); // the smallest image
    append("flash_one.img", "Z");
    EXPECT_EQ(read(open("/dev/zelk/flash_one", O_RDONLY), b, 16), 1);
    append("flash_dir.info", "type=flash\nenv=flash\n"); // an image that cannot be mapped
    append("flash_dir.img", "Z");
    const int dir = open("/dev/zelk/flash_dir", O_RDWR);
    std::filesystem::remove(dir_ + "/flash_dir.img");
    std::filesystem::create_directory(dir_ + "/flash_dir.img");
    std::string value;
    EXPECT_EQ(error_of(read(dir, b, 16)) + error_of(lseek(dir, 0, SEEK_SET)) +
                  error_of(write(dir, b, 16)) + error_of(env(dir, "k", &value, FLASH_IOC_ENV_GET)),
              4 * EIO);
    std::filesystem::remove(dir_ + "/flash_bios0.info"); // a node no longer described
    EXPECT_EQ(error_of(ioctl(fd, FLASH_IOC_INFO, &info)) + error_of(write(fd, b, 16)), 2 * ENODEV);
    std::filesystem::remove_all(dir_); // a board taken away under an open node
    EXPECT_EQ(error_of(lseek(fd, 0, SEEK_SET)) + error_of(read(fd, b, 16)), 2 * ENOENT);
    EXPECT_EQ(error_of(write(fd, b, 16)) + error_of(ioctl(fd, FLASH_IOC_INFO, &info)) +
                  error_of(close(fd)),
              3 * ENOENT);
    unsetenv("VBOARD_DIR"); // without a board the node does not exist at all
    EXPECT_EQ(error_of(open(bios0, O_RDONLY)), ENOENT);
}

} // namespace
