// SPDX-License-Identifier: MIT
#include "util/crc32.h"

#include <gtest/gtest.h>

// zlib's CRC-32: pieces chain to the CRC of the whole; a null buffer gives 0.
TEST(crc32, pieces_chain_and_a_null_buffer_is_zero) {
    const unsigned char text[] = "123456789";
    EXPECT_EQ(qv::util::crc32(0, text, 9), 0xCBF43926ul);
    EXPECT_EQ(qv::util::crc32(qv::util::crc32(0, text, 4), text + 4, 5), 0xCBF43926ul);
    EXPECT_EQ(qv::util::crc32(0x1234, nullptr, 9), 0ul);
}
