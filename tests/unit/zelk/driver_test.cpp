// SPDX-License-Identifier: MIT
#include "support/failure.h"
#include "zelk/zelk_driver.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

using qv::posix::posix_exception_t;
using namespace qv::zelk;

namespace {

// The scripted driver: each request takes the next reply (errno of a failure, 0 for
// success) and is recorded with the error-text record as it was sent.
struct reply_t {
    int error;
    std::string text; // on success of ZELK_IOC_ERROR_TEXT, the record's text: terminated
                      // when it fits, else the field filled with its first 200 bytes
};
struct call_t {
    int fd;
    unsigned int request;
    unsigned long argument;
    error_text_t record;
};
std::deque<reply_t> replies;
std::vector<call_t> calls;

int scripted_ioctl(int fd, unsigned int request, unsigned long argument) {
    auto* record = reinterpret_cast<error_text_t*>(argument);
    calls.push_back(
        {fd, request, argument, request == ZELK_IOC_ERROR_TEXT ? *record : error_text_t{}});
    if (replies.empty())
        return errno = EINVAL, -1; // unexpected: the tests count the calls
    const reply_t reply = replies.front();
    replies.pop_front();
    if (reply.error != 0)
        return errno = reply.error, -1;
    if (request == ZELK_IOC_ERROR_TEXT)
        std::memcpy(record->text, reply.text.c_str(),
                    std::min(reply.text.size() + 1, sizeof record->text));
    return 0;
}

class driver_test : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directory(dir);
        std::ofstream(node) << "image";
        calls.clear();
        qv::posix::set_ioctl_hook(scripted_ioctl);
    }
    void TearDown() override {
        qv::posix::set_ioctl_hook(nullptr);
        EXPECT_TRUE(replies.empty()) << "replies left unused";
        std::filesystem::remove_all(dir);
    }

    const std::string dir = ::testing::TempDir() + "zelk_driver." + std::to_string(getpid());
    const std::string node = dir + "/flash_" + std::string(180, 'b'); // a message of over 200
};

TEST_F(driver_test, codes_above_127_get_the_driver_text_from_one_request) {
    const struct {
        std::deque<reply_t> script;
        const std::type_info& type;
        std::string what; // after the node's path
    } rows[] = {
        {{{127, ""}}, typeid(posix_exception_t), std::string("ioctl -- ") + strerror(127)},
        {{{128, ""}, {0, "sector 3 did not erase"}},
         typeid(driver_exception_t),
         "sector 3 did not erase"},
        {{{200, ""}, {EIO, ""}}, typeid(driver_exception_t), ""}, // no text, no retry
        // The driver fills the field without a terminator: nothing past it is read.
        {{{130, ""}, {0, std::string(300, 'y')}},
         typeid(driver_exception_t),
         std::string(200, 'y')},
    };
    for (const auto& row : rows) {
        const int code = row.script.front().error;
        SCOPED_TRACE(code);
        replies = row.script;
        calls.clear();
        driver_t d(node, O_RDWR);
        const failure_t f = failure_of([&] { d.ioctl(FLASH_IOC_ERASE); });
        EXPECT_EQ(*f.type, row.type);
        EXPECT_EQ(f.what, row.what.empty() ? "" : node + ": " + row.what);
        EXPECT_EQ(f.number, code);
        ASSERT_EQ(calls.size(), row.script.size());
        EXPECT_EQ(calls[0].request, FLASH_IOC_ERASE);
        EXPECT_EQ(calls[0].argument, 0ul);
        if (calls.size() == 1)
            continue;
        EXPECT_EQ(calls[1].request, ZELK_IOC_ERROR_TEXT);
        EXPECT_EQ(calls[1].fd, calls[0].fd);
        EXPECT_EQ(calls[1].record.code, code);
        // Pre-filled with the caught message, which the long path makes fill the field.
        const std::string caught = node + ": ioctl -- " + strerror(code);
        EXPECT_EQ(std::string(calls[1].record.text, 200), caught.substr(0, 200));
    }
}

TEST_F(driver_test, translation_holds_through_a_file_t_reference) {
    // The same handle, passed on as a plain file: the driver's code still gets its text.
    replies = {{128, ""}, {0, "flash device busy"}};
    driver_t d(node, O_RDWR);
    qv::posix::file_t& f = d;
    const failure_t failure = failure_of([&] { f.ioctl(FLASH_IOC_ERASE); });
    EXPECT_EQ(*failure.type, typeid(driver_exception_t));
    EXPECT_EQ(failure.what, node + ": flash device busy");
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[1].request, ZELK_IOC_ERROR_TEXT);
}

} // namespace
