// SPDX-License-Identifier: MIT
#include "util/crc32.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

TEST(crc32, check_value_null_buffer_and_pieces) {
    EXPECT_EQ(qv::util::crc32(0, reinterpret_cast<const unsigned char*>("123456789"), 9),
              0xCBF43926UL);
    EXPECT_EQ(qv::util::crc32(0, nullptr, 16), 0UL);
    EXPECT_EQ(qv::util::crc32(0x12345678UL, nullptr, 0), 0UL);
    // Every table entry is checked against zlib by the image programming tests.
    unsigned char data[512];
    for (int i = 0; i < 512; ++i)
        data[i] = static_cast<unsigned char>(i * 37 + 11);
    const unsigned long whole = qv::util::crc32(0, data, sizeof data);
    for (size_t split : {1u, 4u, 16u, 333u}) {
        unsigned long crc = 0;
        for (size_t at = 0; at < sizeof data; at += split)
            crc = qv::util::crc32(crc, data + at, std::min(split, sizeof data - at));
        EXPECT_EQ(crc, whole) << "pieces of " << split;
    }
}

} // namespace
