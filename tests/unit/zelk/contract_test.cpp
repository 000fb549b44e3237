// SPDX-License-Identifier: MIT
// The driver contract's numbers, written out here on purpose: a change of the header
// that the driver shares must show up as a failing test, never pass silently.
#include "zelk/zelk_driver.h"
#include "zelk/zelk_env.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <string>

using namespace qv::zelk;

namespace {

TEST(contract, request_codes) {
    const std::pair<unsigned long, unsigned long> rows[] = {
        {FLASH_IOC_INFO, 0x4040C000},
        {FLASH_IOC_ERASE, 0x2000C001},
        {ZELK_IOC_ERROR_TEXT, 0xC0CCD00A},
        {env_request_code(ZELK_ENV_FLASH, ZELK_ENV_SET), 0x812CC002},
        {env_request_code(ZELK_ENV_FLASH, ZELK_ENV_GET), 0x412CC003},
        {env_request_code(ZELK_ENV_FLASH, ZELK_ENV_CLEAR), 0x412CC004},
        {env_request_code(ZELK_ENV_NVRAM, ZELK_ENV_SET), 0x812CD104},
        {env_request_code(ZELK_ENV_NVRAM, ZELK_ENV_GET), 0xC12CD105},
        {env_request_code(ZELK_ENV_NVRAM, ZELK_ENV_CLEAR), 0x2000D103},
    };
    for (const auto& [code, expected] : rows)
        EXPECT_EQ(code, expected) << std::hex << expected;
}

TEST(contract, record_layouts) {
    const std::pair<std::size_t, std::size_t> rows[] = {
        {sizeof(device_info_t), 64},
        {offsetof(device_info_t, manufacturer_id), 0},
        {offsetof(device_info_t, device_id), 4},
        {offsetof(device_info_t, size_kbits), 8},
        {offsetof(device_info_t, part_name), 12},
        {sizeof(error_text_t), 204},
        {offsetof(error_text_t, text), 4},
        {sizeof(env_request_t), 300},
        {offsetof(env_request_t, value), 150},
        {ENV_FIELD_SIZE, 150},
    };
    for (std::size_t i = 0; i < std::size(rows); ++i)
        EXPECT_EQ(rows[i].first, rows[i].second) << "row " << i;
}

TEST(contract, node_paths_and_limits) {
    EXPECT_EQ(std::string(ZELK_FLASH_NODE_PREFIX), "/dev/zelk/flash_");
    EXPECT_EQ(std::string(ZELK_FLASH_ENV_NODE), "/dev/zelk/flash_env0");
    EXPECT_EQ(std::string(ZELK_NVRAM_NODE), "/dev/zelk/nvram0");
    EXPECT_EQ(ZELK_WRITE_MAX, 16);
    EXPECT_EQ(ZELK_ERRNO_MAX_SYSTEM, 127);
}

} // namespace
