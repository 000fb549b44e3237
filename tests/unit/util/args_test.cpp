// SPDX-License-Identifier: MIT
#include "util/args.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// The reader over the program name plus these arguments, as main receives them.
args_t make_args(std::vector<const char*> arguments) {
    arguments.insert(arguments.begin(), "romtool");
    return args_t(static_cast<int>(arguments.size()), arguments.data());
}

TEST(args, number_after_the_option) {
    const struct {
        const char* text;
        bool converted;
        int value;     // the default 64 when nothing was converted
        bool consumed; // the argument is taken as the option's value
    } rows[] = {
        {"0x20", true, 32, true},         // hexadecimal prefix
        {"0X1F", true, 31, true},         // upper-case prefix too
        {"010", true, 10, true},          // decimal, never octal
        {"12abc", true, 12, true},        // trailing text ignored
        {"abc", false, 64, true},         // unreadable: default kept
        {" 12", false, 64, true},         // no skipping of leading blanks
        {"0x", true, 0, true},            // too short for the prefix: decimal 0
        {"", false, 64, true},            // empty argument
        {"99999999999", false, 64, true}, // overflow must not clobber the default
        {"0xFFFFFFFF", true, -1, true},   // bit pattern carried into int
        {"0x100000010", false, 64, true}, // past 32 bits: an overflow, never cut
        {"0x10000000000000000", false, 64, true},
        {"-5", false, 64, false}, // looks like an option: no value, left in place
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        auto args = make_args({"-r", row.text, "tail"});
        ASSERT_TRUE(args.find("-r"));
        int count = 64;
        EXPECT_EQ(args.get(count), row.converted);
        EXPECT_EQ(count, row.value);
        std::string rest;
        EXPECT_EQ(args.next(rest) && rest == "tail", row.consumed);
    }
}

TEST(args, words_and_the_first_occurrence) {
    auto args = make_args({"-set", "a", " b second", "", "-set", "z"});
    std::string key, value, empty = "kept";
    ASSERT_TRUE(args.find("-set"));
    EXPECT_TRUE(args.get(key));
    EXPECT_TRUE(args.get(value));
    EXPECT_FALSE(args.get(empty)); // consumed, though it holds no word
    EXPECT_FALSE(args.get(empty)); // stops at the next option
    EXPECT_EQ(key + "|" + value + "|" + empty, "a|b|kept");
    ASSERT_TRUE(args.find("-set")); // from the start again, every time
    EXPECT_TRUE(args.get(key));
    EXPECT_EQ(key, "a");
}

TEST(args, whole_text_value) {
    const struct {
        const char* text;
        bool converted;
        const char* value;
        bool consumed;
    } rows[] = {
        {" root=/dev/mtdblock2  quiet ", true, " root=/dev/mtdblock2  quiet ", true},
        {"  ", false, "kept", true}, // no word: refused, like the word form
        {"", false, "kept", true},
        {"-x y", false, "kept", false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        auto args = make_args({"-set", row.text, "tail"});
        ASSERT_TRUE(args.find("-set"));
        std::string value = "kept", rest;
        EXPECT_EQ(args.get_text(value), row.converted);
        EXPECT_EQ(value, row.value);
        EXPECT_EQ(args.next(rest) && rest == "tail", row.consumed);
    }
}

} // namespace
