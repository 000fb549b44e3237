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

// The value after the option: an int, an unsigned or the whole text.
TEST(args, value_after_the_option) {
    const struct {
        char type; // 'i', 'u' or 't'
        const char* text;
        bool converted;
        const char* value; // the default 64 or "kept" when nothing was converted
        bool consumed;     // the argument is taken as the option's value, not left in place
    } rows[] = {
        {'i', "010", true, "10", true},          // decimal, never octal
        {'i', "12abc", true, "12", true},        // trailing text ignored
        {'i', " 12", false, "64", true},         // no skipping of leading blanks
        {'i', "0x", true, "0", true},            // too short for the prefix: decimal 0
        {'i', "99999999999", false, "64", true}, // overflow must not clobber the default
        {'i', "0x7FFFFFFF", true, "2147483647", true},
        {'i', "0x80000000", false, "64", true},  // beyond int: never wrapped to a negative count
        {'i', "0x100000010", false, "64", true}, // past 32 bits: never cut
        {'i', "-5", false, "64", false},         // looks like an option
        {'u', "0xFFFFFFFF", false, "64", true},  // read through int: no 4294967295 either
        {'t', " root=/dev/mtdblock2  quiet ", true, " root=/dev/mtdblock2  quiet ", true},
        {'t', "  ", false, "kept", true}, // no word: refused, like the word form
        {'t', "-x y", false, "kept", false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        auto args = make_args({"-r", row.text, "tail"});
        ASSERT_TRUE(args.find("-r"));
        int count = 64;
        unsigned ucount = 64;
        std::string value = "kept", rest = "(none)";
        EXPECT_EQ(row.type == 'i'   ? args.get(count)
                  : row.type == 'u' ? args.get(ucount)
                                    : args.get_text(value),
                  row.converted);
        EXPECT_EQ(row.type == 'i'   ? std::to_string(count)
                  : row.type == 'u' ? std::to_string(ucount)
                                    : value,
                  row.value);
        args.next(rest);
        EXPECT_EQ(rest, row.consumed ? "tail" : "(none)");
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

TEST(args, the_program_name_and_worded_modifiers) {
    // argv[0] is no argument; a missing argv or program name is no crash.
    const char* const named[] = {"-i", "x", nullptr};
    args_t args(2, named);
    EXPECT_FALSE(args.find("-i"));
    EXPECT_TRUE(args.find("x"));
    const char* const none[] = {nullptr};
    EXPECT_FALSE(args_t(1, none).find(""));
    EXPECT_FALSE(args_t(1, static_cast<const char* const*>(nullptr)).find(""));
    // A worded modifier takes its word, unless that is an option, wherever it stands.
    auto words = make_args({"-p", "-dev", "-x", "-pfpga", "-dev", "b", "-verify", "g", "-dev"});
    words.set_modifiers({"-verify"}, {"-dev"});
    std::string value;
    ASSERT_TRUE(words.find("-p"));
    EXPECT_FALSE(words.next(value));
    ASSERT_TRUE(words.find("-pfpga"));
    EXPECT_TRUE(words.next(value) && value == "g");
    EXPECT_FALSE(words.next(value)); // "-dev" last: no word to take, none read past the end
}

} // namespace
