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
        int value; // the default 64 when nothing was converted
    } rows[] = {
        {"0x20", true, 32},         // hexadecimal prefix
        {"0X1F", true, 31},         // upper-case prefix too
        {"010", true, 10},          // decimal, never octal
        {"12abc", true, 12},        // trailing text ignored
        {"abc", false, 64},         // unreadable: default kept
        {" 12", false, 64},         // no skipping of leading blanks
        {"0x", true, 0},            // too short for the prefix: decimal 0
        {"", false, 64},            // empty argument
        {"99999999999", false, 64}, // overflow must not clobber the default
        {"0xFFFFFFFF", true, -1},   // bit pattern carried into int
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        auto args = make_args({"-r", row.text, "tail"});
        ASSERT_TRUE(args.find("-r"));
        int count = 64;
        EXPECT_EQ(args.get(count), row.converted);
        EXPECT_EQ(count, row.value);
        std::string rest;
        EXPECT_TRUE(args.next(rest) && rest == "tail") << "the value must be consumed";
    }
    // A negative number looks like an option: no value, and left in place.
    auto args = make_args({"-r", "-5", "tail"});
    ASSERT_TRUE(args.find("-r"));
    unsigned int count = 64;
    std::string rest;
    EXPECT_FALSE(args.get(count));
    EXPECT_FALSE(args.next(rest));
    EXPECT_EQ(count, 64u);
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

} // namespace
