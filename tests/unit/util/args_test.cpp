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

// The plain argument after the option's value: "tail" when the value was consumed; when it
// was left in place, an option stands there and there is none.
std::string after_value(args_t& args) {
    std::string rest = "(none)";
    args.next(rest);
    return rest;
}

TEST(args, number_after_the_option) {
    const struct {
        const char* text;
        bool converted;
        int value;     // the default 64 when nothing was converted
        bool consumed; // the argument is taken as the option's value
    } rows[] = {
        {"010", true, 10, true},          // decimal, never octal
        {"12abc", true, 12, true},        // trailing text ignored
        {" 12", false, 64, true},         // no skipping of leading blanks
        {"0x", true, 0, true},            // too short for the prefix: decimal 0
        {"99999999999", false, 64, true}, // overflow must not clobber the default
        {"0x7FFFFFFF", true, 0x7FFFFFFF, true},
        {"0x80000000", false, 64, true},  // beyond int: never wrapped to a negative count
        {"0x100000010", false, 64, true}, // past 32 bits: never cut
        {"-5", false, 64, false},         // looks like an option: no value, left in place
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        auto args = make_args({"-r", row.text, "tail"});
        ASSERT_TRUE(args.find("-r"));
        int count = 64;
        EXPECT_EQ(args.get(count), row.converted);
        EXPECT_EQ(count, row.value);
        EXPECT_EQ(after_value(args), row.consumed ? "tail" : "(none)");
    }
}

TEST(args, words_stop_at_the_next_option_and_find_starts_over) {
    auto args = make_args({"-set", "a", " b second", "", "-set", "z"});
    std::string key, value, empty = "kept";
    ASSERT_TRUE(args.find("-set"));
    EXPECT_TRUE(args.get(key));
    EXPECT_EQ(key, "a");
    EXPECT_TRUE(args.get(value));
    EXPECT_EQ(value, "b");         // the first word only
    EXPECT_FALSE(args.get(empty)); // consumed, though it holds no word
    EXPECT_FALSE(args.get(empty)); // stops at the next option
    EXPECT_EQ(empty, "kept");
    // Found again: from its first occurrence, not the next one.
    ASSERT_TRUE(args.find("-set"));
    EXPECT_TRUE(args.get(key));
    EXPECT_EQ(key, "a");
}

TEST(args, unsigned_number_beyond_int_keeps_the_default) {
    auto args = make_args({"-r", "0xFFFFFFFF"}); // read through int: no 4294967295 either
    unsigned count = 64;
    ASSERT_TRUE(args.find("-r"));
    EXPECT_FALSE(args.get(count));
    EXPECT_EQ(count, 64u);
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
        {"-x y", false, "kept", false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        auto args = make_args({"-set", row.text, "tail"});
        ASSERT_TRUE(args.find("-set"));
        std::string value = "kept";
        EXPECT_EQ(args.get_text(value), row.converted);
        EXPECT_EQ(value, row.value);
        EXPECT_EQ(after_value(args), row.consumed ? "tail" : "(none)");
    }
}

} // namespace
