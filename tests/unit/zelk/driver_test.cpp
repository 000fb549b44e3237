// SPDX-License-Identifier: MIT
// What the board cannot show of a driver code's translation: the error-text record as sent
// and a text that fills its field. Which codes, by which requests: tests/e2e/test_flash_errors.py.
#include "support/failure.h"
#include "zelk/zelk_driver.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

using namespace qv::zelk;

namespace {

// The driver: the first request fails with code 130, the error-text request is answered
// with a text that fills the field without a terminator. Each request is recorded.
struct call_t {
    int fd;
    error_text_t record;
};
std::vector<call_t> calls;

int scripted_ioctl(int fd, unsigned int request, unsigned long argument) {
    auto* record = reinterpret_cast<error_text_t*>(argument);
    calls.push_back({fd, request == ZELK_IOC_ERROR_TEXT ? *record : error_text_t{}});
    if (calls.size() == 1)
        return errno = 130, -1;
    std::memset(record->text, 'y', sizeof record->text);
    return 0;
}

TEST(driver, error_text_record_is_prefilled_and_a_full_field_read_no_further) {
    const std::string dir = ::testing::TempDir() + "zelk_driver." + std::to_string(getpid());
    const std::string node = dir + "/flash_" + std::string(180, 'b'); // a message of over 200
    std::filesystem::create_directory(dir);
    std::ofstream(node) << "image";
    qv::posix::set_ioctl_hook(scripted_ioctl);
    {
        driver_t d(node, O_RDWR);
        qv::posix::file_t& file = d; // passed on as a plain file, it still translates
        const failure_t f = failure_of([&] { file.ioctl(FLASH_IOC_ERASE); });
        EXPECT_EQ(*f.type, typeid(driver_exception_t));
        EXPECT_EQ(f.what, node + ": " + std::string(200, 'y'));
        EXPECT_EQ(f.number, 130);
    }
    qv::posix::set_ioctl_hook(nullptr);
    std::filesystem::remove_all(dir);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[1].fd, calls[0].fd);
    EXPECT_EQ(calls[1].record.code, 130); // recorded for the error-text request only
    // Pre-filled with the caught message, which the long path makes fill the field.
    const std::string caught = node + ": ioctl -- " + strerror(130);
    EXPECT_EQ(std::string(calls[1].record.text, 200), caught.substr(0, 200));
}

TEST(driver, a_system_error_passes_unchanged_also_outside_a_handler) {
    driver_t d("/dev/null", O_RDONLY);
    const qv::posix::posix_exception_t caught(EIO, "/dev/null: read -- EIO");
    const failure_t f = failure_of([&] { d.translate_error(caught); });
    EXPECT_EQ(std::make_pair(f.what, f.number), std::make_pair(std::string(caught.what()), EIO));
}

} // namespace
