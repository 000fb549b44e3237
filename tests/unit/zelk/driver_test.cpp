#include "support/failure.h"
#include "zelk/zelk_driver.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

using qv::posix::posix_exception_t;
using namespace qv::zelk;

namespace {

constexpr unsigned int ioc(unsigned int direction, unsigned int size, unsigned int type,
                           unsigned int number) {
    return direction << 29 | size << 16 | type << 8 | number;
}
// The codes must describe their own records, or a real driver would refuse them.
static_assert(FLASH_IOC_INFO == ioc(2, sizeof(device_info_t), 0xC0, 0));
static_assert(FLASH_IOC_ERASE == ioc(1, 0, 0xC0, 1));
static_assert(ZELK_IOC_ERROR_TEXT == ioc(6, sizeof(error_text_t), 0xD0, 10));

// The scripted driver: each request takes the next reply and is recorded.
struct reply_t {
    int error;         // errno of a -1 result, 0 for success
    std::string text;  // on success of ZELK_IOC_ERROR_TEXT, put into the record
    bool fill = false; // fill the whole field with text[0], no terminator
};
struct call_t {
    int fd;
    unsigned int request;
    unsigned long argument;
    error_text_t record; // as sent, for ZELK_IOC_ERROR_TEXT
};
std::deque<reply_t> replies;
std::vector<call_t> calls;

int scripted_ioctl(int fd, unsigned int request, unsigned long argument) {
    auto* record = reinterpret_cast<error_text_t*>(argument);
    calls.push_back({fd, request, argument, {}});
    if (request == ZELK_IOC_ERROR_TEXT)
        calls.back().record = *record;
    if (replies.empty()) {
        ADD_FAILURE() << "unexpected request 0x" << std::hex << request;
        errno = EINVAL;
        return -1;
    }
    const reply_t reply = replies.front();
    replies.pop_front();
    if (reply.error != 0) {
        errno = reply.error;
        return -1;
    }
    if (request == ZELK_IOC_ERROR_TEXT && reply.fill)
        std::memset(record->text, reply.text[0], sizeof record->text);
    else if (request == ZELK_IOC_ERROR_TEXT)
        std::snprintf(record->text, sizeof record->text, "%s", reply.text.c_str());
    return 0;
}

class driver_test : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = ::testing::TempDir() + "zelk_driver.XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir = pattern;
        node = dir + "/flash_bios0";
        std::ofstream(node) << "image";
        replies.clear();
        calls.clear();
    }
    void TearDown() override {
        qv::posix::set_ioctl_hook(nullptr);
        EXPECT_TRUE(replies.empty()) << "replies left unused";
        std::filesystem::remove_all(dir);
    }
    void script(std::initializer_list<reply_t> list) {
        replies = list;
        qv::posix::set_ioctl_hook(scripted_ioctl);
    }

    std::string dir;
    std::string node;
};

TEST_F(driver_test, system_error_127_reaches_the_caller_unchanged) {
    script({{127, ""}});
    driver_t d(node, O_RDWR);
    const failure_t f = failure_of([&] { d.ioctl(FLASH_IOC_ERASE); });
    EXPECT_EQ(*f.type, typeid(posix_exception_t));
    EXPECT_EQ(f.what, node + ": ioctl -- " + strerror(127));
    EXPECT_EQ(f.number, 127);
    ASSERT_EQ(calls.size(), 1u); // no text request
    EXPECT_EQ(calls[0].request, FLASH_IOC_ERASE);
    EXPECT_EQ(calls[0].argument, 0ul);
    EXPECT_EQ(calls[0].fd, d.fd());
}

TEST_F(driver_test, driver_code_128_gets_the_driver_text_from_one_request) {
    script({{128, ""}, {0, "sector 3 did not erase"}});
    driver_t d(node, O_RDONLY);
    device_info_t info = {};
    const failure_t f = failure_of([&] { d.ioctl(FLASH_IOC_INFO, &info); });
    EXPECT_EQ(*f.type, typeid(driver_exception_t));
    EXPECT_EQ(f.what, node + ": sector 3 did not erase");
    EXPECT_EQ(f.number, 128);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].request, FLASH_IOC_INFO);
    EXPECT_EQ(calls[0].argument, reinterpret_cast<unsigned long>(&info));
    EXPECT_EQ(calls[1].request, ZELK_IOC_ERROR_TEXT);
    EXPECT_EQ(calls[1].fd, calls[0].fd);
    EXPECT_EQ(calls[1].record.code, 128);
    // Pre-filled with the caught message, the rest of the field NUL.
    std::string sent = node + ": ioctl -- " + strerror(128);
    sent.resize(sizeof calls[1].record.text, '\0');
    EXPECT_EQ(std::string(calls[1].record.text, sizeof calls[1].record.text), sent);
}

TEST_F(driver_test, failed_text_request_gives_an_empty_message_and_no_retry) {
    script({{200, ""}, {201, ""}});
    driver_t d(node, O_RDWR);
    const failure_t f = failure_of([&] { d.ioctl(FLASH_IOC_ERASE); });
    EXPECT_EQ(*f.type, typeid(driver_exception_t));
    EXPECT_EQ(f.what, "");
    EXPECT_EQ(f.number, 200);
    EXPECT_EQ(calls.size(), 2u);
}

TEST_F(driver_test, texts_are_cut_to_the_record_field_both_ways) {
    script({{0, "y", true}});
    driver_t d(node, O_RDWR);
    const failure_t f = failure_of([&] {
        try {
            throw posix_exception_t(130, "%s", std::string(300, 'x').c_str());
        } catch (const posix_exception_t& e) {
            d.translate_error(e);
        }
    });
    // The driver filled the field without a terminator: nothing past it is read.
    EXPECT_EQ(f.what, node + ": " + std::string(200, 'y'));
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(std::string(calls[0].record.text, 200), std::string(200, 'x'));
}

TEST_F(driver_test, missing_node_fails_at_first_access_without_a_request) {
    script({});
    driver_t unused(dir + "/flash_none", O_RDWR | O_CREAT);
    EXPECT_FALSE(std::filesystem::exists(dir + "/flash_none")); // construction touches nothing
    std::filesystem::remove(node);
    driver_t d(node, O_RDONLY);
    device_info_t info = {};
    const failure_t f = failure_of([&] { d.ioctl(FLASH_IOC_INFO, &info); });
    EXPECT_EQ(*f.type, typeid(posix_exception_t));
    EXPECT_EQ(f.what, node + ": open -- ENOENT: file/dir does not exist or is a dangling "
                             "symbolic link");
    EXPECT_TRUE(calls.empty());
}

TEST_F(driver_test, real_files_without_a_driver) {
    driver_t directory(dir, O_RDONLY); // opens, and reading it fails
    char buffer[16];
    const failure_t read = failure_of([&] { directory.read(buffer, sizeof buffer); });
    EXPECT_EQ(*read.type, typeid(posix_exception_t));
    EXPECT_EQ(read.what, dir + ": read -- EISIR: file is a directory");

    // A regular file refuses ZELK_IOC_ERROR_TEXT like a driver that fails it.
    driver_t d(node, O_RDONLY);
    const failure_t code = failure_of([&] { d.translate_error(posix_exception_t(200, "x")); });
    EXPECT_EQ(*code.type, typeid(driver_exception_t));
    EXPECT_EQ(code.what, "");
    EXPECT_EQ(code.number, 200);

    // Outside a handler a system error comes back as a copy instead of ending the process.
    const failure_t copy = failure_of([&] { d.translate_error(posix_exception_t(EIO, "out")); });
    EXPECT_EQ(copy.what, "out");
    EXPECT_EQ(copy.number, EIO);

    EXPECT_EQ(driver_exception_t(129, "%s", std::string(600, 'z').c_str()).what(),
              std::string(510, 'z'));
}

TEST_F(driver_test, error_text_returns_the_driver_text_or_false) {
    script({{0, "bad block"}, {EIO, ""}});
    driver_t d(node, O_RDONLY);
    std::string text = "before";
    EXPECT_TRUE(d.error_text(133, text));
    EXPECT_EQ(text, "bad block");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].record.code, 133);
    EXPECT_EQ(std::string(calls[0].record.text, 200), std::string(200, '\0'));

    text = "before";
    EXPECT_FALSE(d.error_text(134, text));
    EXPECT_EQ(text, "before");
}

} // namespace
