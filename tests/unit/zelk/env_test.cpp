// SPDX-License-Identifier: MIT
// env_t at the ioctl seam, each test on its own copy of the board of `vboard run BOARD --`:
// the record bytes the board cannot show and the edges of the two parsers.
#include "posix/syscalls.h"
#include "support/failure.h"
#include "zelk/zelk_env.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <sys/ioctl.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using namespace qv::zelk;

namespace {

// Every request made at the seam: its record as it was sent, the 300 bytes of a set or get.
std::vector<std::string> calls;

int recording_ioctl(int fd, unsigned int request, unsigned long argument) {
    const bool env_record = argument && (request >> 16 & 0x1FFF) == sizeof(env_request_t);
    calls.emplace_back(reinterpret_cast<const char*>(argument), env_record ? 300 : 0);
    return ::ioctl(fd, request, argument);
}

class env_test : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(board, nullptr) << "run me through `vboard run BOARD --`";
        fs::copy(board, dir, fs::copy_options::recursive);
        setenv("VBOARD_DIR", dir.c_str(), 1);
        calls.clear();
        qv::posix::set_ioctl_hook(recording_ioctl);
    }
    void TearDown() override {
        qv::posix::set_ioctl_hook(nullptr);
        fs::remove_all(dir);
    }

    // the template board, read before the first test points VBOARD_DIR at its copy
    static inline const char* const board = std::getenv("VBOARD_DIR");
    const std::string dir = "/tmp/zelk-env-" + std::to_string(getpid());
};

TEST_F(env_test, fields_are_padded_full_or_refused_never_cut) {
    const std::string k150(150, 'k'), v150(150, 'v');
    env_t env(0);
    env.set(k150, v150); // full fields, no terminator
    std::string value;
    EXPECT_TRUE(env.get(k150, value));
    EXPECT_EQ(value, v150);
    env.set("ab", "xyz");
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0], k150 + v150);
    EXPECT_EQ(calls[1], k150 + std::string(150, '\0')); // no input in "get"'s value
    EXPECT_EQ(calls[2], "ab" + std::string(148, '\0') + "xyz" + std::string(147, '\0'));
    calls.clear();
    // Cut short they would store or read another key: refused before any request.
    EXPECT_EQ(failure_of([&] { env.set(k150 + "k", "v"); }).what,
              "env_t::set() -- key of 151 bytes, at most 150 fit");
    EXPECT_EQ(failure_of([&] { env.set("k", v150 + "v"); }).what,
              "env_t::set() -- value of 151 bytes, at most 150 fit");
    EXPECT_EQ(failure_of([&] { env.exists(k150 + "k"); }).what,
              "env_t::get() -- key of 151 bytes, at most 150 fit");
    EXPECT_EQ(failure_of([&] { env.get("nokey"); }).what, "no such key, nokey\n");
    EXPECT_EQ(failure_of([] { env_t other(2); }).what, "env_t -- no environment store 2");
    EXPECT_EQ(calls.size(), 1u); // the get of nokey
    // erase sets an existing key empty and sends nothing more for a missing one.
    env.erase("ab");
    env.erase("nokey");
    EXPECT_EQ(env.get("ab"), "");
    EXPECT_EQ(calls.size(), 5u); // get and set of ab, get of nokey, the get above
}

TEST_F(env_test, read_all_stops_at_the_empty_entry_or_the_end) {
    const std::string S("\0", 1);
    using entries_t = std::map<std::string, std::string>;
    // The device from offset 4 on, and its entries.
    const std::pair<std::string, entries_t> rows[] = {
        {S + "a=1" + S + S, {}},                                           // empty
        {"a=1" + S + "b=2" + S + "a=3" + S + S, {{"a", "3"}, {"b", "2"}}}, // a later one wins
        {"a=1" + S + "b=2", {{"a", "1"}}},                                 // no final NUL
        {"a=1" + S + "\xff\xff", {{"a", "1"}}},                            // erased after them
    };
    for (const auto& [bytes, expected] : rows) {
        std::ofstream(dir + "/flash_env0.img", std::ios::binary) << "CRC!" + bytes;
        entries_t entries = {{"stale", "x"}};
        env_t(0).read_all(entries);
        EXPECT_EQ(entries, expected) << ::testing::PrintToString(bytes);
    }
}

} // namespace
