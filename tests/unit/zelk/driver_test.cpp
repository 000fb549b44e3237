#include "zelk/zelk_driver.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <string>
#include <typeinfo>
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
    int error;         // 0: success, else the errno of a -1 result
    std::string text;  // success of ZELK_IOC_ERROR_TEXT: written into the record
    bool fill = false; // write 200 bytes of text[0], no terminator
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
    call_t call = {fd, request, argument, {}};
    auto* record = reinterpret_cast<error_text_t*>(argument);
    if (request == ZELK_IOC_ERROR_TEXT)
        call.record = *record;
    calls.push_back(call);
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
    if (request == ZELK_IOC_ERROR_TEXT) {
        if (reply.fill)
            std::memset(record->text, reply.text[0], sizeof record->text);
        else
            std::strncpy(record->text, reply.text.c_str(), sizeof record->text - 1);
    }
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
    try {
        d.ioctl(FLASH_IOC_ERASE);
        FAIL() << "no exception";
    } catch (const posix_exception_t& e) {
        EXPECT_EQ(typeid(e), typeid(posix_exception_t));
        EXPECT_EQ(e.what(), node + ": ioctl -- " + strerror(127));
        EXPECT_EQ(e.error_number(), 127);
    }
    ASSERT_EQ(calls.size(), 1u); // no text request
    EXPECT_EQ(calls[0].request, FLASH_IOC_ERASE);
    EXPECT_EQ(calls[0].argument, 0ul);
    EXPECT_EQ(calls[0].fd, d.fd());
}

TEST_F(driver_test, driver_code_128_gets_the_driver_text_from_one_request) {
    script({{128, ""}, {0, "sector 3 did not erase"}});
    driver_t d(node, O_RDONLY);
    device_info_t info = {};
    try {
        d.ioctl(FLASH_IOC_INFO, &info);
        FAIL() << "no exception";
    } catch (const posix_exception_t& e) {
        EXPECT_EQ(typeid(e), typeid(driver_exception_t));
        EXPECT_EQ(e.what(), node + ": sector 3 did not erase");
        EXPECT_EQ(e.error_number(), 128);
    }
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].request, FLASH_IOC_INFO);
    EXPECT_EQ(calls[0].argument, reinterpret_cast<unsigned long>(&info));
    EXPECT_EQ(calls[1].request, ZELK_IOC_ERROR_TEXT);
    EXPECT_EQ(calls[1].fd, calls[0].fd);
    EXPECT_EQ(calls[1].record.code, 128);
    // Pre-filled with the caught message, the rest of the field NUL.
    const std::string sent = node + ": ioctl -- " + strerror(128);
    ASSERT_LT(sent.size(), sizeof calls[1].record.text);
    EXPECT_EQ(std::string(calls[1].record.text, sizeof calls[1].record.text),
              sent + std::string(sizeof calls[1].record.text - sent.size(), '\0'));
}

TEST_F(driver_test, failed_text_request_gives_an_empty_message_and_no_retry) {
    script({{200, ""}, {201, ""}});
    driver_t d(node, O_RDWR);
    try {
        d.ioctl(FLASH_IOC_ERASE);
        FAIL() << "no exception";
    } catch (const driver_exception_t& e) {
        EXPECT_STREQ(e.what(), "");
        EXPECT_EQ(e.error_number(), 200);
    }
    EXPECT_EQ(calls.size(), 2u);
}

TEST_F(driver_test, texts_are_cut_to_the_record_field_both_ways) {
    script({{0, "y", true}});
    driver_t d(node, O_RDWR);
    const std::string long_text(300, 'x');
    try {
        try {
            throw posix_exception_t(130, "%s", long_text.c_str());
        } catch (const posix_exception_t& e) {
            d.translate_error(e);
        }
        FAIL() << "no exception";
    } catch (const driver_exception_t& e) {
        // The driver filled the field without a terminator: nothing past it is read.
        EXPECT_EQ(e.what(), node + ": " + std::string(200, 'y'));
    }
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(std::string(calls[0].record.text, 200), std::string(200, 'x'));
}

TEST_F(driver_test, missing_node_fails_at_first_access_without_a_request) {
    script({});
    const std::string missing = dir + "/flash_nothing";
    driver_t d(missing, O_RDWR | O_CREAT);
    EXPECT_FALSE(d.is_open());
    EXPECT_FALSE(std::filesystem::exists(missing)); // construction touched nothing
    std::filesystem::remove(node);
    driver_t gone(node, O_RDONLY);
    device_info_t info = {};
    try {
        gone.ioctl(FLASH_IOC_INFO, &info);
        FAIL() << "no exception";
    } catch (const posix_exception_t& e) {
        EXPECT_EQ(typeid(e), typeid(posix_exception_t));
        EXPECT_EQ(e.what(), node + ": open -- ENOENT: file/dir does not exist or is a dangling "
                                   "symbolic link");
        EXPECT_EQ(e.error_number(), ENOENT);
    }
    EXPECT_TRUE(calls.empty());
}

TEST_F(driver_test, real_system_errors_keep_the_path_and_text) {
    driver_t d(dir, O_RDONLY); // a directory opens, and reading it fails
    char buffer[16];
    try {
        d.read(buffer, sizeof buffer);
        FAIL() << "no exception";
    } catch (const posix_exception_t& e) {
        EXPECT_EQ(typeid(e), typeid(posix_exception_t));
        EXPECT_EQ(e.what(), dir + ": read -- EISIR: file is a directory");
        EXPECT_EQ(e.error_number(), EISDIR);
    }
}

TEST_F(driver_test, driver_code_on_a_node_without_text_support_gives_an_empty_message) {
    // No hook: a regular file refuses ZELK_IOC_ERROR_TEXT like a driver that fails it.
    driver_t d(node, O_RDONLY);
    try {
        d.translate_error(posix_exception_t(200, "first failure"));
    } catch (const driver_exception_t& e) {
        EXPECT_STREQ(e.what(), "");
        EXPECT_EQ(e.error_number(), 200);
    }
    EXPECT_TRUE(d.is_open()); // opened for the text request
}

TEST_F(driver_test, translate_error_outside_a_handler_throws_a_copy) {
    driver_t d(node, O_RDONLY);
    try {
        d.translate_error(posix_exception_t(EIO, "outside"));
    } catch (const posix_exception_t& e) {
        EXPECT_STREQ(e.what(), "outside");
        EXPECT_EQ(e.error_number(), EIO);
    }
    EXPECT_FALSE(d.is_open());
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

TEST(driver_exception, formats_like_every_exception) {
    const std::string long_text(600, 'z');
    const driver_exception_t e(129, "%s", long_text.c_str());
    EXPECT_EQ(e.what(), long_text.substr(0, 510));
    EXPECT_EQ(e.error_number(), 129);
    EXPECT_STREQ(driver_exception_t(129).what(), "");
}

} // namespace
