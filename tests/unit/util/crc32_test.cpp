#include "util/crc32.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace {

const unsigned char check_input[] = "123456789";

TEST(crc32, standard_check_value) {
    EXPECT_EQ(crc32(0, check_input, 9), 0xCBF43926UL);
    EXPECT_EQ(crc32(0, check_input, 0), 0UL);
}

TEST(crc32, null_buffer_returns_zero) {
    EXPECT_EQ(crc32(0, nullptr, 16), 0UL);
    EXPECT_EQ(crc32(0x12345678UL, nullptr, 0), 0UL);
}

TEST(crc32, pieces_give_the_crc_of_the_whole) {
    std::vector<unsigned char> data(1000);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<unsigned char>(i * 37 + 11);
    const unsigned long whole = crc32(0, data.data(), data.size());
    for (unsigned int split : {1u, 4u, 16u, 333u, 999u}) {
        unsigned long crc = 0;
        for (unsigned int at = 0; at < data.size(); at += split) {
            const unsigned int n = std::min<unsigned int>(split, data.size() - at);
            crc = crc32(crc, data.data() + at, n);
        }
        EXPECT_EQ(crc, whole) << "pieces of " << split;
    }
}

TEST(crc32, every_table_entry_is_right) {
    // Each byte value once, in both orders, so each table entry meets both halves of the
    // running value; a single wrong entry changes these.
    unsigned char up[256], down[256];
    for (int i = 0; i < 256; ++i) {
        up[i] = static_cast<unsigned char>(i);
        down[i] = static_cast<unsigned char>(255 - i);
    }
    EXPECT_EQ(crc32(0, up, 256), 0x29058C73UL);
    EXPECT_EQ(crc32(0, down, 256), 0xDA3BA10AUL);
}

} // namespace
