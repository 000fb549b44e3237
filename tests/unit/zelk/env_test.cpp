// SPDX-License-Identifier: MIT
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
    const bool env_record = argument && (request >> 16 & 0x1FFF) == sizeof(env_request_t);
    calls.push_back({request, argument,
                     std::string(reinterpret_cast<const char*>(argument), env_record ? 300 : 0)});
    return forward ? ::ioctl(fd, request, argument) : 0;
}

class env_test : public ::testing::Test {
protected:
    void SetUp() override {
        // The template board, read before the first test points VBOARD_DIR at its copy.
        static const char* const template_dir = std::getenv("VBOARD_DIR");
        static const std::string board = template_dir ? template_dir : "";
        ASSERT_FALSE(board.empty()) << "run me through `vboard run BOARD --`";
        fs::copy(board, dir, fs::copy_options::recursive);
        setenv("VBOARD_DIR", dir.c_str(), 1);
        std::ofstream(dir + "/board.conf", std::ios::app) << "log=on\n";
        calls.clear();
        forward = true;
        qv::posix::set_ioctl_hook(recording_ioctl);
    }
    void TearDown() override {
        qv::posix::set_ioctl_hook(nullptr);
        fs::remove_all(dir);
    }

    // The log lines from "node=" on; the descriptor an open returned left out.
    std::vector<std::string> log() const {
        std::ifstream in(dir + "/requests.log");
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);) {
            if (line.find(" op=open") != std::string::npos)
                line.erase(line.rfind('=') + 1); // the descriptor varies
            lines.push_back(line.substr(line.find("node=")));
        }
        return lines;
    }
    // A file of the board (the flash store's image, faults.txt) or of the test.
    std::string put(const char* leaf, const std::string& bytes) {
        std::ofstream(dir + "/" + leaf, std::ios::binary) << bytes;
        return dir + "/" + leaf;
    }

    const std::string dir = "/tmp/zelk-env-" + std::to_string(getpid());
};

TEST_F(env_test, each_store_uses_its_own_node_and_codes) {
    struct row_t {
        int store;
        const char *node, *set, *get, *clear;
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
            std::ifstream text(put("load.txt", "a=1\n"));
            env.set(text);
        }
        const std::string n = std::string("node=") + row.node + " op=";
        EXPECT_EQ(log(), (std::vector<std::string>{
                             n + "open flags=O_RDWR|O_SYNC result=",
                             n + "ioctl code=" + row.set + " key=\"k\" value=\"v\" result=0",
                             n + "ioctl code=" + row.get + " key=\"k\" result=1",
                             n + "ioctl code=" + row.clear + " result=0",
                             n + "ioctl code=" + row.set + " key=\"a\" value=\"1\" result=0",
                             n + "close result=0",
                         }));
        EXPECT_EQ(calls[2].argument, 0ul); // "clear" carries no record
    }
}

TEST_F(env_test, an_unknown_store_is_refused_before_any_open) {
    EXPECT_EQ(failure_of([&] { env_t env(2); }).what, "env_t -- no environment store 2");
    EXPECT_TRUE(log().empty());
}

TEST_F(env_test, fields_are_padded_full_or_refused_never_cut) {
    const std::string k150(150, 'k'), v150(150, 'v');
    env_t env(0);
    env.set(k150, v150); // full fields, no terminator
    std::string value;
    EXPECT_TRUE(env.get(k150, value));
    EXPECT_EQ(value, v150);
    env.set("ab", "xyz");
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].record, k150 + v150);
    EXPECT_EQ(calls[1].record, k150 + std::string(150, '\0')); // no input in "get"'s value
    EXPECT_EQ(calls[2].record, "ab" + std::string(148, '\0') + "xyz" + std::string(147, '\0'));
    calls.clear();
    // Cut short they would store or read another key: refused before any request.
    EXPECT_EQ(failure_of([&] { env.set(k150 + "k", "v"); }).what,
              "env_t::set() -- key of 151 bytes, at most 150 fit");
    EXPECT_EQ(failure_of([&] { env.set("k", v150 + "v"); }).what,
              "env_t::set() -- value of 151 bytes, at most 150 fit");
    EXPECT_EQ(failure_of([&] { env.exists(k150 + "k"); }).what,
              "env_t::get() -- key of 151 bytes, at most 150 fit");
    EXPECT_TRUE(calls.empty());
}

TEST_F(env_test, failures_name_the_node_and_leave_the_object_usable) {
    env_t env(0);
    for (const auto& [error, message] :
         {std::pair{"22", "/dev/zelk/flash_env0: ioctl -- EINVAL: invalid request or argument"},
          std::pair{"128", "/dev/zelk/flash_env0: flash device busy"}}) {
        put("faults.txt", std::string("id=1 node=flash_env0 op=ioctl nth=1 errno=") + error);
        EXPECT_EQ(failure_of([&] { env.get("serverip"); }).what, message);
    }
    EXPECT_EQ(env.get("serverip"), "192.168.1.1");
}

TEST_F(env_test, read_all_and_print_the_stored_image) {
    const std::string S("\0", 1);
    using entries_t = std::map<std::string, std::string>;
    // The device from offset 4 on, and its entries.
    const std::pair<std::string, entries_t> rows[] = {
        {S + "a=1" + S + S, {}},                                           // empty
        {"a=1" + S + "b=2" + S + "a=3" + S + S, {{"a", "3"}, {"b", "2"}}}, // a later one wins
        {" \t\n\v\f\rk =v " + S + S, {{"k ", "v "}}},                      // leading blanks
        {"k==x=" + S + S, {{"k", "=x="}}},
        {"a=1" + S + "b=2", {{"a", "1"}}},      // no final NUL
        {"a=1" + S + "\xff\xff", {{"a", "1"}}}, // erased after the entries
    };
    for (const auto& [bytes, expected] : rows) {
        put("flash_env0.img", "CRC!" + bytes);
        entries_t entries = {{"stale", "x"}};
        env_t(0).read_all(entries);
        EXPECT_EQ(entries, expected) << ::testing::PrintToString(bytes);
    }

    put("flash_env0.img", "CRC!b=2" + S + "B=1" + S + "a=3" + S + S);
    env_t env(0);
    std::ostringstream out;
    env.print(out);
    env.print(out); // positions again
    EXPECT_EQ(out.str(), "B=1\na=3\nb=2\nB=1\na=3\nb=2\n");

    put("flash_env0.img", "CRC!a=1" + S + "oops" + S + "b=2" + S + S);
    entries_t entries;
    EXPECT_EQ(failure_of([&] { env.read_all(entries); }).what, "Parse error in oops");
    EXPECT_EQ(entries, (entries_t{{"a", "1"}}));
}

TEST_F(env_test, loader_checks_the_whole_text_then_clears_and_sets_in_order) {
    const std::string k150(150, 'k'), v150(150, 'v');
    // The text, and the requests it makes ("clear", then the sets' key=value), or its
    // refusal, with nothing sent at all.
    const std::pair<std::string, std::string> rows[] = {
        {"b=2\na=1\nb=3\n", "clear;b=2;a=1;b=3"},
        {" k = x=y\n=v\n", "clear; k = x=y;=v"},                  // split at the first =
        {"a=1\n\nb=2\n", "clear;a=1"},                            // an empty line ends it
        {"a=1\nb=2", "clear;a=1;b=2"},                            // last line without newline
        {k150 + "=" + v150 + "\n", "clear;" + k150 + "=" + v150}, // the longest entry
        {"a=1\n" + k150 + "=" + v150 + "v\n", "env_t::set() -- line overflow"},
        {"a=1\nnoequals\nb=2\n", "Parse error in noequals"},
        {"a=1\nb=x" + std::string(1, '\0') + "y\n", "Parse error in b=x"}, // never cut at a NUL
        {k150 + "k=v\n", "env_t::set() -- key of 151 bytes, at most 150 fit"},
        {"", "env_t::set() -- environment text cannot be read"}, // no such file
    };
    forward = false; // the board would refuse some of these keys; the records are the point
    for (const auto& [text, expected] : rows) {
        env_t env(0);
        std::ifstream in(text.empty() ? dir + "/none" : put("load.txt", text));
        calls.clear();
        std::string got;
        try {
            env.set(in);
        } catch (const qv::exception_t& e) {
            got = e.what();
        }
        for (const call_t& c : calls)
            got += (got.empty() ? "" : ";") +
                   (c.request == 0x412CC004u ? "clear"
                                             : c.record.substr(0, 150).c_str() + std::string("=") +
                                                   c.record.substr(150).c_str());
        EXPECT_EQ(got, expected) << text;
    }
}

} // namespace
