// env_t on the virtual board: run through `vboard run BOARD --`; every test works on its
// own copy of that board. Requests are checked in the board's log, record bytes at the
// ioctl seam.
#include "support/failure.h"
#include "zelk/zelk_driver.h"
#include "zelk/zelk_env.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <sys/ioctl.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using qv::posix::posix_exception_t;
using namespace qv::zelk;

namespace {

// Every request made at the seam, with the record as it was sent.
struct call_t {
    unsigned int request;
    unsigned long argument;
    std::string record; // the 300 bytes of a set or get
};
std::vector<call_t> calls;
bool forward = true; // pass to the board, or answer 0 without it

int recording_ioctl(int fd, unsigned int request, unsigned long argument) {
    const auto* record = reinterpret_cast<const char*>(argument);
    const bool env_record = argument && (request >> 16 & 0x1FFF) == sizeof(env_request_t);
    calls.push_back({request, argument,
                     env_record ? std::string(record, sizeof(env_request_t)) : std::string()});
    return forward ? ::ioctl(fd, request, argument) : 0;
}

std::string field(const std::string& text) {
    std::string out = text;
    out.resize(ENV_FIELD_SIZE, '\0');
    return out;
}

class env_test : public ::testing::Test {
protected:
    void SetUp() override {
        const char* board = std::getenv("VBOARD_DIR");
        ASSERT_TRUE(board && *board) << "run me through `vboard run BOARD --`";
        template_dir = board;
        char name[] = "/tmp/zelk-env-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        dir = name;
        fs::copy(template_dir, dir, fs::copy_options::recursive);
        setenv("VBOARD_DIR", dir.c_str(), 1);
        std::ofstream(dir + "/board.conf", std::ios::app) << "log=on\n";
        calls.clear();
        forward = true;
        qv::posix::set_ioctl_hook(recording_ioctl);
    }
    void TearDown() override {
        qv::posix::set_ioctl_hook(nullptr);
        setenv("VBOARD_DIR", template_dir.c_str(), 1);
        fs::remove_all(dir);
    }

    // This process's log lines without their "pid= tid= node=" head; node kept.
    std::vector<std::string> log() const {
        std::ifstream in(dir + "/requests.log");
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);) {
            line.erase(0, line.find("node="));
            const size_t fd = line.find("op=open flags=O_RDWR|O_SYNC result=");
            if (fd != std::string::npos && line.find("result=-1") == std::string::npos)
                line.replace(line.rfind('=') + 1, std::string::npos, "fd");
            lines.push_back(line);
        }
        return lines;
    }
    void fault(const std::string& rule) {
        std::ofstream(dir + "/faults.txt", std::ios::app) << "id=9 " << rule << " hits=0\n";
    }
    // The flash store as a device of exactly these bytes (small: reading a whole 64 KiB
    // device byte by byte is slow).
    void image(const std::string& bytes) {
        std::ofstream(dir + "/flash_env0.img", std::ios::binary | std::ios::trunc) << bytes;
    }
    std::string text_file(const std::string& text) {
        std::ofstream(dir + "/load.txt", std::ios::binary) << text;
        return dir + "/load.txt";
    }

    std::string template_dir;
    std::string dir;
};

TEST_F(env_test, each_store_uses_its_own_node_and_codes) {
    struct row_t {
        int store;
        const char* node;
        const char *set, *get, *clear;
    };
    for (const row_t& row : {row_t{0, "flash_env0", "0x812cc002", "0x412cc003", "0x412cc004"},
                             row_t{1, "nvram0", "0x812cd104", "0xc12cd105", "0x2000d103"}}) {
        SCOPED_TRACE(row.node);
        std::remove((dir + "/requests.log").c_str());
        calls.clear();
        {
            env_t env(row.store);
            env.set("k", "v");
            EXPECT_EQ(env.get("k"), "v");
            std::ifstream text(text_file("a=1\n"));
            env.set(text);
        }
        const std::string n = std::string("node=") + row.node + " op=";
        EXPECT_EQ(log(), (std::vector<std::string>{
                             n + "open flags=O_RDWR|O_SYNC result=fd",
                             n + "ioctl code=" + row.set + " key=\"k\" value=\"v\" result=0",
                             n + "ioctl code=" + row.get + " key=\"k\" result=1",
                             n + "ioctl code=" + row.clear + " result=0",
                             n + "ioctl code=" + row.set + " key=\"a\" value=\"1\" result=0",
                             n + "close result=0",
                         }));
        EXPECT_EQ(calls[2].argument, 0ul); // "clear" carries no record
    }
}

TEST_F(env_test, refused_selector_opens_nothing) {
    for (int store : {-1, 2}) {
        EXPECT_EQ(failure_of([&] { env_t env(store); }).what,
                  "env_t -- no environment store " + std::to_string(store));
    }
    EXPECT_TRUE(log().empty());
}

TEST_F(env_test, fields_are_padded_full_or_refused_never_cut) {
    const std::string k150(150, 'k'), v150(150, 'v');
    struct row_t {
        std::string key, value, refusal;
    };
    const row_t rows[] = {
        {"ab", "xyz", ""},
        {"", "", ""},     // still sent: 150 NUL bytes in each field
        {k150, v150, ""}, // full fields, no terminator
        {k150 + "k", "v", "env_t::set() -- key of 151 bytes, at most 150 fit"},
        {"k", v150 + "v", "env_t::set() -- value of 151 bytes, at most 150 fit"},
    };
    env_t env(0);
    for (const row_t& row : rows) {
        SCOPED_TRACE(row.key.size());
        calls.clear();
        if (!row.refusal.empty()) {
            EXPECT_EQ(failure_of([&] { env.set(row.key, row.value); }).what, row.refusal);
            EXPECT_TRUE(calls.empty());
            continue;
        }
        env.set(row.key, row.value);
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(calls[0].record, field(row.key) + field(row.value));
        std::string value = "old";
        EXPECT_TRUE(env.get(row.key, value));
        EXPECT_EQ(value, row.value);
        EXPECT_EQ(calls[1].record, field(row.key) + field("")); // no input in "get"'s value
    }
    calls.clear();
    EXPECT_EQ(failure_of([&] { env.exists(k150 + "k"); }).what,
              "env_t::get() -- key of 151 bytes, at most 150 fit");
    EXPECT_TRUE(calls.empty());
}

TEST_F(env_test, missing_key) {
    env_t env(0);
    std::string value = "abc";
    EXPECT_FALSE(env.get("foo", value));
    EXPECT_EQ(value, "abc");
    EXPECT_EQ(failure_of([&] { env.get("foo"); }).what, "no such key, foo\n");
    EXPECT_FALSE(env.exists("foo"));
}

TEST_F(env_test, failures_name_the_node_and_leave_the_object_usable) {
    env_t env(0);
    fault("node=flash_env0 op=ioctl nth=1 errno=22");
    failure_t f = failure_of([&] { env.set("k", "v"); });
    EXPECT_EQ(*f.type, typeid(posix_exception_t));
    EXPECT_EQ(f.number, 22);
    EXPECT_EQ(f.what, "/dev/zelk/flash_env0: ioctl -- EINVAL: invalid request or argument");

    fault("node=flash_env0 op=ioctl nth=1 errno=128"); // counts from now
    f = failure_of([&] { env.get("serverip"); });
    EXPECT_EQ(*f.type, typeid(driver_exception_t));
    EXPECT_EQ(f.what, "/dev/zelk/flash_env0: flash device busy");
    EXPECT_EQ(env.get("serverip"), "192.168.1.1");

    fault("node=nvram0 op=open errno=2");
    f = failure_of([&] { env_t nvram(1); });
    EXPECT_EQ(*f.type, typeid(posix_exception_t));
    EXPECT_EQ(f.number, 2);
    EXPECT_EQ(f.what.rfind("/dev/zelk/nvram0: open -- ENOENT", 0), 0u) << f.what;
}

TEST_F(env_test, read_all_and_print_the_stored_image) {
    struct row_t {
        const char* name;
        std::string bytes; // from offset 4 to the end of the device
        std::map<std::string, std::string> entries;
    };
    const std::string S("\0", 1);
    const row_t rows[] = {
        {"empty", S + "a=1" + S + S, {}},
        {"later wins", "a=1" + S + "b=2" + S + "a=3" + S + S, {{"a", "3"}, {"b", "2"}}},
        {"leading blanks", " \t\n\v\f\rk =v " + S + S, {{"k ", "v "}}},
        {"value with =", "k==x=" + S + S, {{"k", "=x="}}},
        {"device ends after an entry", "a=1" + S, {{"a", "1"}}},
        {"no final NUL", "a=1" + S + "b=2", {{"a", "1"}}},
        {"erased after the entries", "a=1" + S + "\xff\xff", {{"a", "1"}}},
    };
    for (const row_t& row : rows) {
        SCOPED_TRACE(row.name);
        image("CRC!" + row.bytes);
        env_t env(0);
        std::map<std::string, std::string> entries = {{"stale", "x"}};
        env.read_all(entries);
        EXPECT_EQ(entries, row.entries);
    }

    image("CRC!b=2" + S + "B=1" + S + "a=3" + S + S);
    env_t env(0);
    std::ostringstream out;
    env.print(out);
    env.print(out); // positions again
    EXPECT_EQ(out.str(), "B=1\na=3\nb=2\nB=1\na=3\nb=2\n");

    image("CRC!a=1" + S + "oops" + S + "b=2" + S + S);
    std::map<std::string, std::string> entries;
    EXPECT_EQ(failure_of([&] { env.read_all(entries); }).what, "Parse error in oops");
    EXPECT_EQ(entries, (std::map<std::string, std::string>{{"a", "1"}}));
}

TEST_F(env_test, erase_sets_an_existing_key_empty_and_leaves_a_missing_one) {
    env_t env(0);
    env.erase("serverip");
    env.erase("nosuchkey");
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[1].request, 0x812CC002u);
    EXPECT_EQ(calls[1].record, field("serverip") + field(""));
    EXPECT_EQ(calls[2].request, 0x412CC003u); // only the get for the missing key
    EXPECT_EQ(env.get("serverip"), "");
}

TEST_F(env_test, loader_sends_clear_then_the_lines_or_nothing_at_all) {
    const std::string line254 = std::string(150, 'k') + "=" + std::string(103, 'v');
    struct row_t {
        const char* name;
        std::string text;
        std::vector<std::string> records; // key + value fields after the "clear"
        std::string refusal;              // nothing sent at all
    };
    const row_t rows[] = {
        {"lines in order", "b=2\na=1\nb=3\n", {"b|2", "a|1", "b|3"}, ""},
        {"split at the first =", " k = x=y\n=v\n", {" k | x=y", "|v"}, ""},
        {"empty line ends it", "a=1\n\nb=2\n", {"a|1"}, ""},
        {"empty text clears", "", {}, ""},
        {"last line without newline", "a=1\nb=2", {"a|1", "b|2"}, ""},
        {"254 characters",
         line254 + "\n",
         {std::string(150, 'k') + "|" + std::string(103, 'v')},
         ""},
        {"255 characters", "a=1\n" + line254 + "v\n", {}, "env_t::set() -- line overflow"},
        {"far too long",
         "a=1\n" + std::string(600, 'x') + "\n",
         {},
         "env_t::set() -- line overflow"},
        {"no =", "a=1\nnoequals\nb=2\n", {}, "Parse error in noequals"},
        {"long key",
         std::string(151, 'k') + "=v\n",
         {},
         "env_t::set() -- key of 151 bytes, at most 150 fit"},
    };
    forward = false; // the board would refuse some of these keys; the records are the point
    for (const row_t& row : rows) {
        SCOPED_TRACE(row.name);
        env_t env(0);
        std::ifstream text(text_file(row.text));
        calls.clear();
        if (!row.refusal.empty()) {
            EXPECT_EQ(failure_of([&] { env.set(text); }).what, row.refusal);
            EXPECT_TRUE(calls.empty());
            continue;
        }
        env.set(text);
        ASSERT_EQ(calls.size(), row.records.size() + 1);
        EXPECT_EQ(calls[0].request, 0x412CC004u);
        for (size_t i = 0; i < row.records.size(); ++i) {
            const std::string& r = row.records[i];
            EXPECT_EQ(calls[i + 1].request, 0x812CC002u);
            EXPECT_EQ(calls[i + 1].record,
                      field(r.substr(0, r.find('|'))) + field(r.substr(r.find('|') + 1)));
        }
    }
    std::ifstream unopened(dir + "/no-such-file");
    calls.clear();
    EXPECT_EQ(failure_of([&] { env_t(0).set(unopened); }).what,
              "env_t::set() -- environment text cannot be read");
    EXPECT_TRUE(calls.empty());
}

} // namespace
