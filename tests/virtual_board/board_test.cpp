// The virtual board seen as a program sees a driver: plain system calls on
// /dev/zelk/ nodes. Run through `vboard run BOARD -- board_test`; every test
// works on its own copy of that board.
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
#include <sstream>
#include <string>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr unsigned long FLASH_IOC_INFO = 0x4040C000;
constexpr unsigned long FLASH_IOC_ERASE = 0x2000C001;
constexpr unsigned long ZELK_IOC_ERROR_TEXT = 0xC0CCD00A;
constexpr unsigned long FLASH_ENV_SET = 0x812CC002;
constexpr unsigned long FLASH_ENV_GET = 0x412CC003;
constexpr unsigned long FLASH_ENV_CLEAR = 0x412CC004;
constexpr unsigned long NVRAM_ENV_SET = 0x812CD104;
constexpr unsigned long NVRAM_ENV_GET = 0xC12CD105;
constexpr unsigned long NVRAM_ENV_CLEAR = 0x2000D103;

struct device_info_t {
    int32_t manufacturer_id;
    int32_t device_id;
    int32_t size_kbits;
    char part_name[52];
};
struct error_text_t {
    int32_t code;
    char text[200];
};
struct env_request_t {
    char key[150];
    char value[150];
};

const char* const bios0 = "/dev/zelk/flash_bios0";
const char* const env0 = "/dev/zelk/flash_env0";
const char* const nvram0 = "/dev/zelk/nvram0";
constexpr off_t bios_size = 512 * 1024;

const std::string& template_board() {
    static const std::string dir = [] {
        const char* d = std::getenv("VBOARD_DIR");
        return std::string(d ? d : "");
    }();
    return dir;
}

uint32_t crc32(const std::string& data) {
    uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char c : data) {
        crc ^= c;
        for (int i = 0; i < 8; ++i)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

// The stored environment as a reader expects it: CRC, entries, empty entry, erased rest.
std::string env_image(const std::vector<std::string>& entries, size_t size) {
    std::string body;
    for (const std::string& e : entries)
        body += e + '\0';
    body += '\0';
    body.resize(size - 4, '\xff');
    uint32_t crc = crc32(body);
    std::string head = {static_cast<char>(crc >> 24), static_cast<char>(crc >> 16),
                        static_cast<char>(crc >> 8), static_cast<char>(crc)};
    return head + body;
}

long env_get(int fd, const std::string& key, std::string& value,
             unsigned long code = FLASH_ENV_GET) {
    env_request_t r;
    std::memset(&r, 0, sizeof r);
    std::memcpy(r.key, key.data(), std::min(key.size(), sizeof r.key));
    long result = ioctl(fd, code, &r);
    if (result > 0)
        value.assign(r.value, strnlen(r.value, sizeof r.value));
    return result;
}

long env_set(int fd, const std::string& key, const std::string& value,
             unsigned long code = FLASH_ENV_SET) {
    env_request_t r;
    std::memset(&r, 0, sizeof r);
    std::memcpy(r.key, key.data(), std::min(key.size(), sizeof r.key));
    std::memcpy(r.value, value.data(), std::min(value.size(), sizeof r.value));
    return ioctl(fd, code, &r);
}

// Reads the node to its end in 32-byte requests, as a dump does.
std::string read_node(int fd) {
    std::string out;
    char buffer[32];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0)
        out.append(buffer, static_cast<size_t>(n));
    return out;
}

// Runs `body` in a child process; returns its wait status.
int in_child(const std::function<int()>& body) {
    pid_t pid = fork();
    if (pid == 0)
        _exit(body());
    int status = 0;
    waitpid(pid, &status, 0);
    return status;
}

class board_test : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(template_board().empty()) << "run me through `vboard run BOARD --`";
        dir_ = fresh_copy();
        setenv("VBOARD_DIR", dir_.c_str(), 1);
    }
    void TearDown() override {
        setenv("VBOARD_DIR", template_board().c_str(), 1);
        for (const std::string& d : copies_)
            fs::remove_all(d);
    }

    std::string fresh_copy() {
        char name[] = "/tmp/vboard-test-XXXXXX";
        if (!mkdtemp(name))
            return std::string();
        fs::copy(template_board(), name, fs::copy_options::recursive);
        copies_.push_back(name);
        return name;
    }

    std::string file(const std::string& name) const {
        std::ifstream in(dir_ + "/" + name, std::ios::binary);
        std::ostringstream out;
        out << in.rdbuf();
        return out.str();
    }
    void append(const std::string& name, const std::string& text) const {
        std::ofstream(dir_ + "/" + name, std::ios::app | std::ios::binary) << text;
    }
    void fault(const std::string& rule) {
        append("faults.txt", "id=" + std::to_string(++faults_) + " " + rule + " hits=0\n");
    }
    void log_on() const { append("board.conf", "log=on\n"); }
    // Log lines with the "pid=P tid=T " head checked against `pid` and removed.
    std::vector<std::string> log(pid_t pid = getpid()) const {
        std::vector<std::string> lines;
        std::istringstream in(file("requests.log"));
        std::string line;
        std::string head = "pid=" + std::to_string(pid) + " tid=";
        while (std::getline(in, line)) {
            if (line.compare(0, head.size(), head) != 0)
                continue;
            lines.push_back(line.substr(line.find(' ', head.size()) + 1));
        }
        return lines;
    }

    std::string dir_;
    std::vector<std::string> copies_;
    int faults_ = 0;
};

// ---- records ----

class records : public board_test {};

TEST_F(records, device_info_fills_the_record_byte_for_byte) {
    struct row_t {
        const char* node;
        int32_t manufacturer, device, kbits;
        const char* part;
    } rows[] = {
        {"/dev/zelk/flash_fpga0", 0xC2, 0x22DA, 8192, "MX29LV800CT"},
        {"/dev/zelk/flash_fpga1", 0xC2, 0x22DA, 8192, "MX29LV800CT"},
        {"/dev/zelk/flash_bios0", 0xBF, 0xD7, 4096, "SST39VF040"},
        {"/dev/zelk/flash_bios1", 0xBF, 0xD7, 4096, "SST39VF040"},
        {"/dev/zelk/flash_booter", 0x01, 0x22BF, 2048, "AM29LV200BB"},
        {"/dev/zelk/flash_env0", 0xBF, 0xD4, 512, "SST39VF512"},
        {"/dev/zelk/flash_env1", 0xBF, 0xD4, 512, "SST39VF512"},
    };
    for (const row_t& row : rows) {
        SCOPED_TRACE(row.node);
        int fd = open(row.node, O_RDONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0) << strerror(errno);
        device_info_t expected;
        std::memset(&expected, 0, sizeof expected);
        expected.manufacturer_id = row.manufacturer;
        expected.device_id = row.device;
        expected.size_kbits = row.kbits;
        std::strcpy(expected.part_name, row.part);
        device_info_t got;
        std::memset(&got, 0xAA, sizeof got);
        EXPECT_EQ(ioctl(fd, FLASH_IOC_INFO, &got), 0);
        EXPECT_EQ(std::memcmp(&got, &expected, sizeof got), 0);
        // the device is as large as the identity says
        EXPECT_EQ(lseek(fd, 0, SEEK_END), static_cast<off_t>(row.kbits) * 1024 / 8);
        close(fd);
    }
}

TEST_F(records, requests_a_node_does_not_serve_fail_with_enotty) {
    struct row_t {
        const char* node;
        unsigned long code;
    } rows[] = {
        {nvram0, FLASH_IOC_INFO}, {nvram0, FLASH_IOC_ERASE}, {nvram0, FLASH_ENV_GET},
        {bios0, FLASH_ENV_GET},   {bios0, FLASH_ENV_CLEAR},  {env0, NVRAM_ENV_GET},
        {env0, NVRAM_ENV_CLEAR},  {bios0, 0x4040C0FF},       {bios0, 0},
    };
    for (const row_t& row : rows) {
        SCOPED_TRACE(row.node + std::string(" ") + std::to_string(row.code));
        int fd = open(row.node, O_RDWR);
        ASSERT_GE(fd, 0);
        env_request_t r{};
        errno = 0;
        EXPECT_EQ(ioctl(fd, row.code, &r), -1);
        EXPECT_EQ(errno, ENOTTY);
        close(fd);
    }
}

TEST_F(records, request_codes_are_compared_as_32_bits) {
    int fd = open(bios0, O_RDONLY);
    ASSERT_GE(fd, 0);
    device_info_t info{};
    // A code kept in an int arrives sign-extended where long is 64 bits wide.
    int32_t as_int = static_cast<int32_t>(0xC0CCD00Au);
    error_text_t text{};
    text.code = 130;
    EXPECT_EQ(ioctl(fd, static_cast<unsigned long>(static_cast<long>(as_int)), &text), 0);
    EXPECT_STREQ(text.text, "flash erase timeout");
    if (sizeof(unsigned long) > 4) {
        unsigned long high = (static_cast<unsigned long>(0xFFFFFFFFu) << 16 << 16) | FLASH_IOC_INFO;
        EXPECT_EQ(ioctl(fd, high, &info), 0);
        EXPECT_EQ(info.manufacturer_id, 0xBF);
    }
    close(fd);
}

TEST_F(records, error_text_serves_known_codes_and_leaves_unknown_ones) {
    append("errors.txt", "200 " + std::string(250, 'x') + "\n");
    struct row_t {
        int32_t code;
        std::string text; // expected field up to its NUL; empty: left as it was
    } rows[] = {
        {128, "flash device busy"},
        {130, "flash erase timeout"},
        {200, std::string(199, 'x')},
        {999, ""},
        {5, ""},
    };
    int fd = open(bios0, O_RDONLY);
    ASSERT_GE(fd, 0);
    for (const row_t& row : rows) {
        SCOPED_TRACE(row.code);
        error_text_t r;
        r.code = row.code;
        std::memset(r.text, 'p', sizeof r.text);
        error_text_t before = r;
        EXPECT_EQ(ioctl(fd, ZELK_IOC_ERROR_TEXT, &r), 0);
        EXPECT_EQ(r.code, row.code);
        if (row.text.empty()) {
            EXPECT_EQ(std::memcmp(&r, &before, sizeof r), 0);
        } else {
            EXPECT_EQ(std::string(r.text, strnlen(r.text, sizeof r.text)), row.text);
            EXPECT_LT(strnlen(r.text, sizeof r.text), sizeof r.text);
        }
    }
    close(fd);
}

TEST_F(records, environment_get_set_clear_on_both_stores) {
    struct row_t {
        const char* node;
        unsigned long set, get, clear;
    } rows[] = {
        {env0, FLASH_ENV_SET, FLASH_ENV_GET, FLASH_ENV_CLEAR},
        {nvram0, NVRAM_ENV_SET, NVRAM_ENV_GET, NVRAM_ENV_CLEAR},
    };
    int env = open(env0, O_RDONLY);
    std::string value;
    EXPECT_EQ(env_get(env, "serverip", value), 1); // the default environment
    EXPECT_EQ(value, "192.168.1.1");
    close(env);
    for (const row_t& row : rows) {
        SCOPED_TRACE(row.node);
        int fd = open(row.node, O_RDWR | O_SYNC | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        value = "untouched";
        EXPECT_EQ(env_get(fd, "stdin", value, row.get), 0);
        EXPECT_EQ(value, "untouched");
        EXPECT_EQ(env_set(fd, "stdin", "serial", row.set), 0);
        EXPECT_EQ(env_get(fd, "stdin", value, row.get), 1);
        EXPECT_EQ(value, "serial");
        env_request_t raw;
        std::memset(&raw, 'Z', sizeof raw);
        std::memcpy(raw.key, "stdin", 6);
        EXPECT_EQ(ioctl(fd, row.get, &raw), 1); // the value NUL-padded, the key untouched
        EXPECT_EQ(std::string(raw.value, 150), "serial" + std::string(144, '\0'));
        EXPECT_EQ(std::string(raw.key + 6, 144), std::string(144, 'Z'));
        EXPECT_EQ(env_set(fd, "stdin", "", row.set), 0);
        EXPECT_EQ(env_get(fd, "stdin", value, row.get), 1);
        EXPECT_EQ(value, "");
        EXPECT_EQ(env_set(fd, "  spaced", "kept as sent", row.set), 0);
        EXPECT_EQ(env_get(fd, "  spaced", value, row.get), 1);
        EXPECT_EQ(value, "kept as sent");
        // fields filled to the last byte carry no NUL, in either direction
        EXPECT_EQ(env_set(fd, std::string(150, 'k'), std::string(150, 'v'), row.set), 0);
        EXPECT_EQ(env_get(fd, std::string(150, 'k'), value, row.get), 1);
        EXPECT_EQ(value, std::string(150, 'v'));
        EXPECT_EQ(env_set(fd, "", "empty key", row.set), 0);
        EXPECT_EQ(env_get(fd, "", value, row.get), 1);
        EXPECT_EQ(value, "empty key");
        EXPECT_EQ(ioctl(fd, row.clear, 0), 0);
        EXPECT_EQ(env_get(fd, "stdin", value, row.get), 0);
        EXPECT_EQ(env_get(fd, "serverip", value, row.get), 0);
        close(fd);
    }
}

TEST_F(records, environment_refuses_what_it_cannot_store) {
    int fd = open(nvram0, O_RDWR);
    ASSERT_GE(fd, 0);
    errno = 0;
    EXPECT_EQ(env_set(fd, "a=b", "c", NVRAM_ENV_SET), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(ioctl(fd, NVRAM_ENV_GET, nullptr), -1);
    EXPECT_EQ(errno, EFAULT);
    // 8 KiB of NVRAM: the key that does not fit fails, the ones before it stay
    int stored = 0;
    for (; stored < 100; ++stored)
        if (env_set(fd, "key" + std::to_string(stored), std::string(150, 'v'), NVRAM_ENV_SET) != 0)
            break;
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_GT(stored, 40);
    EXPECT_LT(stored, 60);
    std::string value;
    EXPECT_EQ(env_get(fd, "key0", value, NVRAM_ENV_GET), 1);
    EXPECT_EQ(env_get(fd, "key" + std::to_string(stored), value, NVRAM_ENV_GET), 0);
    close(fd);
    int ro = open(env0, O_RDONLY);
    EXPECT_EQ(env_set(ro, "k", "v"), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(ioctl(ro, FLASH_ENV_CLEAR, 0), -1);
    EXPECT_EQ(errno, EBADF);
    close(ro);
}

TEST_F(records, environment_node_reads_as_the_stored_image) {
    int fd = open(env0, O_RDWR | O_SYNC);
    ASSERT_GE(fd, 0);
    const size_t size = 64 * 1024;
    std::vector<std::string> entries = {"serverip=192.168.1.1", "ipaddr=192.168.1.20",
                                        "netmask=255.255.255.0", "hostname=zelk", "bootdelay=3"};
    EXPECT_EQ(read_node(fd), env_image(entries, size));
    EXPECT_EQ(env_set(fd, "ipaddr", "10.1.1.1"), 0); // replaced in place
    EXPECT_EQ(env_set(fd, "stdin", "serial"), 0);    // appended
    entries[1] = "ipaddr=10.1.1.1";
    entries.push_back("stdin=serial");
    ASSERT_EQ(lseek(fd, 0, SEEK_SET), 0);
    EXPECT_EQ(read_node(fd), env_image(entries, size));
    EXPECT_EQ(file("flash_env0.img"), env_image(entries, size));
    EXPECT_EQ(ioctl(fd, FLASH_ENV_CLEAR, 0), 0);
    ASSERT_EQ(lseek(fd, 0, SEEK_SET), 0);
    EXPECT_EQ(read_node(fd), env_image({}, size));
    close(fd);
}

// ---- NOR flash ----

class nor : public board_test {};

TEST_F(nor, programming_clears_bits_and_erase_sets_them) {
    int fd = open(bios0, O_RDWR);
    ASSERT_GE(fd, 0);
    const unsigned char first[4] = {0xF0, 0x0F, 0xAA, 0x12};
    const unsigned char second[4] = {0x3C, 0xFF, 0x55, 0x12};
    EXPECT_EQ(write(fd, first, 4), 4);
    EXPECT_EQ(pwrite(fd, second, 4, 0), 4);
    std::string image = file("flash_bios0.img");
    EXPECT_EQ(image.substr(0, 5), std::string("\x30\x0f\x00\x12\xff", 5));
    EXPECT_EQ(ioctl(fd, FLASH_IOC_ERASE, 0), 0);
    EXPECT_EQ(file("flash_bios0.img"), std::string(bios_size, '\xff'));
    close(fd);
}

TEST_F(nor, transfers_stay_within_the_device_and_16_bytes) {
    int fd = open(bios0, O_RDWR);
    ASSERT_GE(fd, 0);
    char data[32];
    std::memset(data, 0x11, sizeof data);
    struct row_t {
        off_t at;
        size_t count;
        bool is_write;
        ssize_t result;
        int error;
    } rows[] = {
        {0, 17, true, -1, EINVAL},             // more than a write may carry
        {0, 16, true, 16, 0},                  // the largest write
        {bios_size - 8, 16, true, -1, ENOSPC}, // runs past the end: nothing programmed
        {bios_size, 1, true, -1, ENOSPC},      // at the end
        {bios_size - 8, 32, false, 8, 0},      // read up to the end
        {bios_size, 32, false, 0, 0},          // read at the end
        {0, 0, true, 0, 0},
    };
    for (const row_t& row : rows) {
        SCOPED_TRACE(std::to_string(row.at) + "+" + std::to_string(row.count));
        ASSERT_EQ(lseek(fd, row.at, SEEK_SET), row.at);
        errno = 0;
        ssize_t n = row.is_write ? write(fd, data, row.count) : read(fd, data, row.count);
        EXPECT_EQ(n, row.result);
        if (row.result < 0) {
            EXPECT_EQ(errno, row.error);
        }
        EXPECT_EQ(lseek(fd, 0, SEEK_CUR), row.at + std::max<ssize_t>(n, 0));
    }
    std::string image = file("flash_bios0.img");
    EXPECT_EQ(image.substr(bios_size - 8), std::string(8, '\xff'));
    EXPECT_EQ(image.substr(0, 17), std::string(16, '\x11') + '\xff');
    close(fd);
}

TEST_F(nor, positioning_stays_within_the_device) {
    int fd = open(bios0, O_RDONLY);
    ASSERT_GE(fd, 0);
    struct row_t {
        off_t offset;
        int whence;
        off_t result;
    } rows[] = {
        {0x7FFFC, SEEK_SET, 0x7FFFC},
        {4, SEEK_CUR, bios_size},
        {1, SEEK_CUR, -1},
        {0, SEEK_END, bios_size},
        {-16, SEEK_END, bios_size - 16},
        {1, SEEK_END, -1},
        {-1, SEEK_SET, -1},
        {0, 7, -1},
        {0, SEEK_SET, 0},
    };
    for (const row_t& row : rows) {
        SCOPED_TRACE(std::to_string(row.offset) + " " + std::to_string(row.whence));
        off_t before = lseek(fd, 0, SEEK_CUR);
        errno = 0;
        EXPECT_EQ(lseek(fd, row.offset, row.whence), row.result);
        if (row.result < 0) {
            EXPECT_EQ(errno, EINVAL);
            EXPECT_EQ(lseek(fd, 0, SEEK_CUR), before);
        }
    }
    close(fd);
}

TEST_F(nor, each_open_has_its_own_offset_and_dup_shares_it) {
    int a = open(bios0, O_RDWR);
    int b = open(bios0, O_RDONLY);
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);
    EXPECT_EQ(write(a, "0123456789abcdef", 16), 16);
    char buffer[16];
    EXPECT_EQ(read(b, buffer, 4), 4);
    EXPECT_EQ(std::string(buffer, 4), "0123");
    int c = dup(b);
    int d = fcntl(b, F_DUPFD_CLOEXEC, 100);
    ASSERT_GE(c, 0);
    ASSERT_GE(d, 100);
    EXPECT_EQ(read(c, buffer, 4), 4);
    EXPECT_EQ(std::string(buffer, 4), "4567");
    EXPECT_EQ(read(d, buffer, 4), 4);
    EXPECT_EQ(std::string(buffer, 4), "89ab");
    EXPECT_EQ(lseek(b, 0, SEEK_CUR), 12);
    EXPECT_EQ(lseek(a, 0, SEEK_CUR), 16);
    // pread and pwrite leave the offset alone
    EXPECT_EQ(pread(b, buffer, 2, 14), 2);
    EXPECT_EQ(std::string(buffer, 2), "ef");
    EXPECT_EQ(lseek(b, 0, SEEK_CUR), 12);
    // readv and writev are one driver call each
    iovec parts[2] = {{buffer, 2}, {buffer + 2, 2}};
    EXPECT_EQ(readv(b, parts, 2), 4);
    EXPECT_EQ(std::string(buffer, 4), "cdef");
    for (int fd : {a, b, c, d})
        EXPECT_EQ(close(fd), 0);
}

TEST_F(nor, access_mode_is_enforced) {
    int ro = open(bios0, O_RDONLY);
    int wo = open(bios0, O_WRONLY);
    ASSERT_GE(ro, 0);
    ASSERT_GE(wo, 0);
    char c = 0;
    errno = 0;
    EXPECT_EQ(write(ro, &c, 1), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(read(wo, &c, 1), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(ioctl(ro, FLASH_IOC_ERASE, 0), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(mmap(nullptr, 4096, PROT_READ, MAP_SHARED, ro, 0), MAP_FAILED);
    EXPECT_EQ(errno, ENODEV);
    EXPECT_EQ(open("/dev/zelk/flash_bios0", O_RDWR | O_CREAT | O_EXCL, 0600), -1);
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(open("/dev/zelk/flash_nothing", O_RDONLY), -1);
    EXPECT_EQ(errno, ENOENT);
    close(ro);
    close(wo);
}

TEST_F(nor, state_persists_across_processes) {
    int status = in_child([] {
        int fd = open(bios0, O_RDWR);
        int env = open(env0, O_RDWR | O_SYNC);
        bool ok = write(fd, "persist", 7) == 7 && env_set(env, "stdin", "serial") == 0;
        return ok && close(fd) == 0 && close(env) == 0 ? 0 : 1;
    });
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    int fd = open(bios0, O_RDONLY);
    char buffer[7];
    EXPECT_EQ(read(fd, buffer, 7), 7);
    EXPECT_EQ(std::string(buffer, 7), "persist");
    close(fd);
    int env = open(env0, O_RDONLY);
    std::string value;
    EXPECT_EQ(env_get(env, "stdin", value), 1);
    EXPECT_EQ(value, "serial");
    close(env);
    EXPECT_EQ(file("flash_bios0.img").substr(0, 8), std::string("persist\xff"));
}

// ---- faults ----

class faults : public board_test {};

struct outcome_t {
    long result;
    int error;
};

TEST_F(faults, failures_hit_the_chosen_call) {
    // Each row: a rule, then the calls made on a fresh node and what each gives.
    using call_t = std::function<long(int)>;
    call_t rd = [](int fd) {
        char b[16];
        return static_cast<long>(read(fd, b, 16));
    };
    call_t wr = [](int fd) { return static_cast<long>(write(fd, "x", 1)); };
    call_t sk = [](int fd) { return static_cast<long>(lseek(fd, 0, SEEK_SET)); };
    call_t info = [](int fd) {
        device_info_t i;
        return static_cast<long>(ioctl(fd, FLASH_IOC_INFO, &i));
    };
    call_t erase = [](int fd) { return static_cast<long>(ioctl(fd, FLASH_IOC_ERASE, 0)); };
    struct row_t {
        std::string rule;
        std::vector<std::pair<call_t, outcome_t>> calls;
    } rows[] = {
        {"node=flash_bios0 op=read nth=2 errno=5", {{rd, {16, 0}}, {rd, {-1, EIO}}, {rd, {16, 0}}}},
        {"node=* op=write errno=130", {{wr, {-1, 130}}, {wr, {-1, 130}}}},
        {"node=flash_bios0 op=lseek from=2 errno=22",
         {{sk, {0, 0}}, {sk, {-1, EINVAL}}, {sk, {-1, EINVAL}}}},
        {"node=flash_bios0 op=ioctl code=0x4040c000 errno=131",
         {{info, {-1, 131}}, {erase, {0, 0}}, {info, {-1, 131}}}},
        {"node=flash_bios1 op=read errno=5", {{rd, {16, 0}}}}, // another node
        {"node=flash_bios0 op=read short=5", {{rd, {5, 0}}, {sk, {0, 0}}}},
    };
    for (const row_t& row : rows) {
        SCOPED_TRACE(row.rule);
        std::ofstream(dir_ + "/faults.txt") << "id=1 " << row.rule << " hits=0\n";
        int fd = open(bios0, O_RDWR);
        ASSERT_GE(fd, 0);
        for (const auto& [call, expected] : row.calls) {
            errno = 0;
            EXPECT_EQ(call(fd), expected.result);
            EXPECT_EQ(errno, expected.error);
        }
        std::ofstream(dir_ + "/faults.txt").flush();
        close(fd);
    }
}

TEST_F(faults, open_and_close_failures) {
    struct row_t {
        std::string rule;
        int open_error, close_error;
    } rows[] = {
        {"node=flash_bios0 op=open errno=2", ENOENT, 0},
        {"node=flash_bios0 op=open errno=13", EACCES, 0},
        {"node=flash_bios0 op=close errno=5", 0, EIO},
        {"node=flash_bios0 op=close errno=129", 0, 129},
    };
    for (const row_t& row : rows) {
        SCOPED_TRACE(row.rule);
        std::ofstream(dir_ + "/faults.txt") << "id=1 " << row.rule << " hits=0\n";
        errno = 0;
        int fd = open(bios0, O_RDONLY);
        if (row.open_error) {
            EXPECT_EQ(fd, -1);
            EXPECT_EQ(errno, row.open_error);
            continue;
        }
        ASSERT_GE(fd, 0);
        EXPECT_EQ(close(fd), -1);
        EXPECT_EQ(errno, row.close_error);
        // the descriptor is gone all the same, as on Linux
        EXPECT_EQ(fcntl(fd, F_GETFD), -1);
        EXPECT_EQ(errno, EBADF);
    }
}

TEST_F(faults, driver_codes_come_with_their_text_unless_that_request_fails) {
    fault("node=flash_bios0 op=write errno=130");
    int fd = open(bios0, O_RDWR);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(write(fd, "x", 1), -1);
    ASSERT_EQ(errno, 130);
    error_text_t r{};
    r.code = 130;
    EXPECT_EQ(ioctl(fd, ZELK_IOC_ERROR_TEXT, &r), 0);
    EXPECT_STREQ(r.text, "flash erase timeout");
    fault("node=flash_bios0 op=ioctl code=0xc0ccd00a errno=5");
    EXPECT_EQ(ioctl(fd, ZELK_IOC_ERROR_TEXT, &r), -1);
    EXPECT_EQ(errno, EIO);
    close(fd);
}

TEST_F(faults, random_faults_repeat_with_the_seed) {
    std::string first_board = dir_;
    std::string second_board = fresh_copy();
    std::string rule = "id=1 node=flash_bios0 op=read prob=0.3 seed=42 errno=5 hits=0\n";
    std::vector<bool> patterns[2];
    for (int run = 0; run < 2; ++run) {
        const std::string& board = run == 0 ? first_board : second_board;
        std::ofstream(board + "/faults.txt") << rule;
        setenv("VBOARD_DIR", board.c_str(), 1);
        int fd = open(bios0, O_RDONLY);
        ASSERT_GE(fd, 0);
        for (int i = 0; i < 100; ++i) {
            char b[16];
            patterns[run].push_back(read(fd, b, 16) < 0);
        }
        close(fd);
    }
    EXPECT_EQ(patterns[0], patterns[1]);
    long failed = std::count(patterns[0].begin(), patterns[0].end(), true);
    EXPECT_GT(failed, 10);
    EXPECT_LT(failed, 60);
}

TEST_F(faults, nth_call_is_counted_across_processes) {
    fault("node=flash_bios0 op=write nth=2 errno=5");
    int status = in_child([] {
        int fd = open(bios0, O_RDWR);
        return write(fd, "a", 1) == 1 ? 0 : 1;
    });
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    int fd = open(bios0, O_RDWR);
    EXPECT_EQ(write(fd, "b", 1), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(write(fd, "c", 1), 1);
    close(fd);
    EXPECT_NE(file("faults.txt").find(" hits=3"), std::string::npos);
}

TEST_F(faults, power_cut_leaves_the_device_as_far_as_it_got) {
    struct row_t {
        std::string rule;
        size_t programmed; // bytes of the 5 x 16 written before the power went
    } rows[] = {
        {"node=flash_bios0 op=write nth=3 powercut", 32},
        {"node=flash_bios0 op=write nth=3 powercut partial=5", 37},
        {"node=flash_bios0 op=ioctl code=0x4040c000 powercut", 0},
    };
    std::string data;
    for (int i = 0; i < 80; ++i)
        data += static_cast<char>('A' + i % 26);
    for (const row_t& row : rows) {
        SCOPED_TRACE(row.rule);
        std::ofstream(dir_ + "/faults.txt") << "id=1 " << row.rule << " hits=0\n";
        int status = in_child([&] {
            int fd = open(bios0, O_RDWR);
            device_info_t info;
            ioctl(fd, FLASH_IOC_INFO, &info);
            for (size_t at = 0; at < data.size(); at += 16)
                if (write(fd, data.data() + at, 16) != 16)
                    return 1;
            return 0;
        });
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
        std::string image = file("flash_bios0.img");
        EXPECT_EQ(image.substr(0, 96),
                  data.substr(0, row.programmed) + std::string(96 - row.programmed, '\xff'));
        int fd = open(bios0, O_RDWR);
        EXPECT_EQ(ioctl(fd, FLASH_IOC_ERASE, 0), 0); // the next row starts erased
        close(fd);
    }
}

TEST_F(faults, power_cut_during_an_environment_store) {
    fault("node=flash_env0 op=ioctl code=0x812cc002 powercut partial=10");
    int status = in_child([] {
        int fd = open(env0, O_RDWR | O_SYNC);
        env_set(fd, "stdin", "serial");
        return 0;
    });
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    std::string full =
        env_image({"serverip=192.168.1.1", "ipaddr=192.168.1.20", "netmask=255.255.255.0",
                   "hostname=zelk", "bootdelay=3", "stdin=serial"},
                  64 * 1024);
    EXPECT_EQ(file("flash_env0.img"), full.substr(0, 10) + std::string(64 * 1024 - 10, '\xff'));
    // the half-written store reads as empty
    std::ofstream(dir_ + "/faults.txt").flush();
    int fd = open(env0, O_RDWR | O_SYNC);
    std::string value;
    EXPECT_EQ(env_get(fd, "serverip", value), 0);
    close(fd);
}

// ---- request log ----

class request_log : public board_test {};

TEST_F(request_log, one_line_per_call_in_order) {
    log_on();
    fault("node=flash_bios0 op=read nth=2 errno=130");
    int fd = open(bios0, O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    char b[16];
    read(fd, b, 16);
    read(fd, b, 16);
    lseek(fd, 0x10, SEEK_SET);
    device_info_t info;
    ioctl(fd, FLASH_IOC_INFO, &info);
    error_text_t text{};
    text.code = 130;
    ioctl(fd, ZELK_IOC_ERROR_TEXT, &text);
    close(fd);
    int env = open(env0, O_RDWR | O_SYNC);
    std::string value;
    env_get(env, "serverip", value);
    env_set(env, "say", "a \"b\"\n");
    ioctl(env, FLASH_ENV_CLEAR, 0);
    close(env);
    std::string f = std::to_string(fd), e = std::to_string(env);
    std::vector<std::string> expected = {
        "node=flash_bios0 op=open flags=O_RDONLY|O_CLOEXEC result=" + f,
        "node=flash_bios0 op=read off=0 len=16 result=16",
        "node=flash_bios0 op=read off=16 len=16 result=-1 errno=130 fault=1",
        "node=flash_bios0 op=lseek off=16 whence=SET result=16",
        "node=flash_bios0 op=ioctl code=0x4040c000 result=0",
        "node=flash_bios0 op=ioctl code=0xc0ccd00a errcode=130 result=0",
        "node=flash_bios0 op=close result=0",
        "node=flash_env0 op=open flags=O_RDWR|O_SYNC result=" + e,
        "node=flash_env0 op=ioctl code=0x412cc003 key=\"serverip\" result=1",
        "node=flash_env0 op=ioctl code=0x812cc002 key=\"say\" value=\"a \\\"b\\\"\\x0a\" result=0",
        "node=flash_env0 op=ioctl code=0x412cc004 result=0",
        "node=flash_env0 op=close result=0",
    };
    EXPECT_EQ(log(), expected);
    std::string head = "pid=" + std::to_string(getpid()) +
                       " tid=" + std::to_string(syscall(SYS_gettid)) + " node=";
    EXPECT_EQ(file("requests.log").compare(0, head.size(), head), 0);
}

TEST_F(request_log, off_by_default_and_whole_lines_under_threads) {
    int fd = open(bios0, O_RDONLY);
    close(fd);
    EXPECT_EQ(file("requests.log"), "");
    log_on();
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([] {
            int fd = open(bios0, O_RDONLY);
            char b[16];
            for (int i = 0; i < 25; ++i)
                read(fd, b, 16);
            close(fd);
        });
    for (std::thread& t : threads)
        t.join();
    // whole lines only: a head, one of the operations, a result at the end
    auto whole = [](const std::string& text) {
        size_t node = text.find(" node=flash_bios0 op=");
        size_t result = text.rfind(" result=");
        return text.compare(0, 4, "pid=") == 0 && text.find(" tid=") < node &&
               node != std::string::npos && result != std::string::npos &&
               text.find_first_not_of("0123456789", result + 8) == std::string::npos &&
               (text.compare(node + 21, 5, "open ") == 0 ||
                text.compare(node + 21, 5, "read ") == 0 ||
                text.compare(node + 21, 6, "close ") == 0);
    };
    std::istringstream in(file("requests.log"));
    std::string text;
    int count = 0;
    while (std::getline(in, text)) {
        EXPECT_TRUE(whole(text)) << text;
        ++count;
    }
    EXPECT_EQ(count, 8 * 27);
}

// ---- environment under concurrency ----

class concurrency : public board_test {};

TEST_F(concurrency, sixteen_threads_in_four_processes_lose_nothing) {
    constexpr int processes = 4, threads = 16, rounds = 8;
    std::vector<pid_t> children;
    for (int p = 0; p < processes; ++p) {
        pid_t pid = fork();
        if (pid == 0) {
            std::vector<std::thread> workers;
            std::atomic<int> failures{0};
            for (int t = 0; t < threads; ++t)
                workers.emplace_back([p, t, &failures] {
                    std::string key = "p" + std::to_string(p) + "t" + std::to_string(t);
                    for (int r = 0; r < rounds; ++r) {
                        int fd = open(env0, O_RDWR | O_SYNC | O_CLOEXEC);
                        std::string value, other;
                        if (env_set(fd, key, "round" + std::to_string(r)) != 0 ||
                            env_get(fd, key, value) != 1 || value != "round" + std::to_string(r) ||
                            env_get(fd, "serverip", other) != 1 || other != "192.168.1.1")
                            ++failures;
                        close(fd);
                    }
                });
            for (std::thread& w : workers)
                w.join();
            _exit(failures == 0 ? 0 : 1);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    int fd = open(env0, O_RDONLY);
    for (int p = 0; p < processes; ++p)
        for (int t = 0; t < threads; ++t) {
            std::string value;
            std::string key = "p" + std::to_string(p) + "t" + std::to_string(t);
            EXPECT_EQ(env_get(fd, key, value), 1) << key;
            EXPECT_EQ(value, "round" + std::to_string(rounds - 1)) << key;
        }
    close(fd);
}

TEST_F(concurrency, fork_during_another_threads_request_blocks_nothing) {
    append("board.conf", "erase_ms=400\n");
    std::thread eraser([] {
        int fd = open(bios0, O_RDWR);
        ioctl(fd, FLASH_IOC_ERASE, 0); // holds the board for 400 ms
        close(fd);
    });
    usleep(100 * 1000);
    int status = in_child([] {
        // the child's copy of the eraser's lock must not keep the board locked
        int fd = open(env0, O_RDONLY);
        std::string value;
        return env_get(fd, "serverip", value) == 1 && close(fd) == 0 ? 0 : 1;
    });
    eraser.join();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// ---- the calls themselves ----

class calls : public board_test {};

TEST_F(calls, errno_is_set_on_failure_only) {
    errno = 1234;
    int fd = open(bios0, O_RDWR);
    ASSERT_GE(fd, 0);
    char b[16];
    EXPECT_EQ(read(fd, b, 16), 16);
    EXPECT_EQ(write(fd, b, 16), 16);
    EXPECT_EQ(lseek(fd, 0, SEEK_SET), 0);
    device_info_t info;
    EXPECT_EQ(ioctl(fd, FLASH_IOC_INFO, &info), 0);
    EXPECT_GE(fcntl(fd, F_GETFL), 0);
    EXPECT_EQ(fsync(fd), 0);
    EXPECT_EQ(close(fd), 0);
    EXPECT_EQ(errno, 1234);
    EXPECT_EQ(open("/dev/zelk/flash_none", O_RDONLY), -1);
    EXPECT_EQ(errno, ENOENT);
}

TEST_F(calls, other_paths_and_descriptors_pass_through) {
    std::string path = dir_ + "/plain.bin";
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    std::string big(100, 'z'); // no 16-byte limit off the board
    EXPECT_EQ(write(fd, big.data(), big.size()), 100);
    EXPECT_EQ(lseek(fd, 1000, SEEK_SET), 1000); // nor a device size
    int pipes[2];
    ASSERT_EQ(pipe(pipes), 0);
    EXPECT_EQ(write(pipes[1], "abc", 3), 3);
    int pending = 0;
    EXPECT_EQ(ioctl(pipes[0], FIONREAD, &pending), 0);
    EXPECT_EQ(pending, 3);
    close(pipes[0]);
    close(pipes[1]);
    EXPECT_EQ(close(fd), 0);
    EXPECT_EQ(file("requests.log"), "");
    // without a board the node does not exist at all
    unsetenv("VBOARD_DIR");
    errno = 0;
    EXPECT_EQ(open(bios0, O_RDONLY), -1);
    EXPECT_EQ(errno, ENOENT);
}

TEST_F(calls, close_on_exec_is_honoured) {
    int kept = open(bios0, O_RDONLY);
    int dropped = open(bios0, O_RDONLY | O_CLOEXEC);
    ASSERT_GE(kept, 0);
    ASSERT_GE(dropped, 0);
    EXPECT_EQ(fcntl(kept, F_GETFD), 0);
    EXPECT_EQ(fcntl(dropped, F_GETFD), FD_CLOEXEC);
    int toggled = open(bios0, O_RDONLY);
    EXPECT_EQ(fcntl(toggled, F_SETFD, FD_CLOEXEC), 0);
    EXPECT_EQ(fcntl(toggled, F_GETFD), FD_CLOEXEC);
    auto open_after_exec = [](int fd) {
        int status = in_child([fd] {
            int null = open("/dev/null", O_WRONLY);
            dup2(null, 2); // an emulator may complain about the preload in the shell
            std::string test = "test -e /proc/self/fd/" + std::to_string(fd);
            execl("/bin/sh", "sh", "-c", test.c_str(), static_cast<char*>(nullptr));
            return 99;
        });
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    };
    EXPECT_TRUE(open_after_exec(kept));
    EXPECT_FALSE(open_after_exec(dropped));
    EXPECT_FALSE(open_after_exec(toggled));
    close(kept);
    close(dropped);
    close(toggled);
}

TEST_F(calls, an_inherited_descriptor_stays_the_node_after_exec) {
#if defined(__powerpc__)
    GTEST_SKIP() << "the shell run by exec is a host program, without this build's library";
#else
    log_on();
    int fd = open(bios0, O_RDONLY);
    ASSERT_GE(fd, 0);
    std::string script = "dd bs=16 count=1 status=none <&" + std::to_string(fd) + " >/dev/null";
    pid_t child = fork();
    if (child == 0) {
        execl("/bin/sh", "sh", "-c", script.c_str(), static_cast<char*>(nullptr));
        _exit(99);
    }
    int status = 0;
    waitpid(child, &status, 0);
    close(fd);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    // the shell and dd (same process after exec) still read through the board
    EXPECT_NE(file("requests.log").find("node=flash_bios0 op=read off=0 len=16 result=16"),
              std::string::npos);
#endif
}

} // namespace
