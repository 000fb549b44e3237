#include "util/args.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Builds the reader from the program name plus the given arguments, as main receives them.
args_t make_args(std::vector<const char*> arguments) {
    arguments.insert(arguments.begin(), "romtool");
    return args_t(static_cast<int>(arguments.size()), arguments.data());
}

struct int_case {
    const char* text;
    bool converted;
    int value; // the default 64 when nothing was converted
};

TEST(args_int, converts_the_value_after_the_option) {
    const int_case cases[] = {
        {"0x1F", true, 31},         // hexadecimal prefix
        {"0X1F", true, 31},         // upper-case prefix too
        {"010", true, 10},          // decimal, never octal
        {"12abc", true, 12},        // trailing text ignored
        {"abc", false, 64},         // unreadable: default kept
        {" 12", false, 64},         // no skipping of leading blanks
        {"0x", true, 0},            // too short for the prefix: decimal 0
        {"+7", true, 7},            // sign allowed
        {"", false, 64},            // empty argument
        {"99999999999", false, 64}, // overflow must not clobber the default
        {"0xFFFFFFFF", true, -1},   // bit pattern carried into int
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        auto args = make_args({"-r", c.text});
        ASSERT_TRUE(args.find("-r"));
        int count = 64;
        EXPECT_EQ(args.get(count), c.converted);
        EXPECT_EQ(count, c.value);
        std::string rest;
        EXPECT_FALSE(args.next(rest)) << "the value must be consumed";
    }
}

TEST(args_int, negative_number_is_no_value_and_not_consumed) {
    auto args = make_args({"-r", "-5"});
    ASSERT_TRUE(args.find("-r"));
    int count = 64;
    EXPECT_FALSE(args.get(count));
    EXPECT_EQ(count, 64);
    EXPECT_TRUE(args.find("-5")); // still there as an argument of its own
}

TEST(args_unsigned, goes_through_int_and_keeps_default_on_failure) {
    auto args = make_args({"-rmt", "0x3", "-wmt", "x", "-e", "0xFFFFFFFF"});
    unsigned int count = 2;
    ASSERT_TRUE(args.find("-rmt"));
    EXPECT_TRUE(args.get(count));
    EXPECT_EQ(count, 3u);
    count = 2;
    ASSERT_TRUE(args.find("-wmt"));
    EXPECT_FALSE(args.get(count));
    EXPECT_EQ(count, 2u);
    ASSERT_TRUE(args.find("-e"));
    EXPECT_TRUE(args.get(count));
    EXPECT_EQ(count, 0xFFFFFFFFu);
}

TEST(args_word, reads_one_word_per_argument_until_the_end) {
    auto args = make_args({"-set", "a", " b second"});
    ASSERT_TRUE(args.find("-set"));
    std::string key, value;
    EXPECT_TRUE(args.get(key));
    EXPECT_TRUE(args.get(value));
    EXPECT_EQ(key, "a");
    EXPECT_EQ(value, "b");
    std::string third = "kept";
    EXPECT_FALSE(args.get(third));
    EXPECT_EQ(third, "kept");
}

TEST(args_word, argument_without_a_word_is_consumed_and_fails) {
    for (const char* text : {"", "   "}) {
        SCOPED_TRACE(std::string("'") + text + "'");
        auto args = make_args({"-dev", text, "tail"});
        ASSERT_TRUE(args.find("-dev"));
        std::string dev = "env0";
        EXPECT_FALSE(args.get(dev));
        EXPECT_EQ(dev, "env0");
        std::string rest;
        EXPECT_TRUE(args.next(rest));
        EXPECT_EQ(rest, "tail");
    }
}

TEST(args_find, always_finds_the_first_occurrence) {
    auto args = make_args({"-dev", "bios0", "-dev", "fpga1"});
    std::string dev;
    ASSERT_TRUE(args.find("-dev"));
    ASSERT_TRUE(args.get(dev));
    ASSERT_TRUE(args.find("-dev"));
    ASSERT_TRUE(args.get(dev));
    EXPECT_EQ(dev, "bios0");
}

TEST(args_find, is_whole_string_and_case_sensitive) {
    auto args = make_args({"-rmt5", "-I", "x"});
    EXPECT_FALSE(args.find("-rmt"));
    EXPECT_FALSE(args.find("-i"));
    EXPECT_FALSE(args.find("-"));
}

TEST(args_next, fails_before_any_find) {
    auto args = make_args({"value"});
    std::string value = "kept";
    EXPECT_FALSE(args.next(value));
    EXPECT_EQ(value, "kept");
}

TEST(args_find, nothing_found_without_arguments) {
    for (int argc : {0, 1}) {
        const char* argv[] = {"romtool", nullptr};
        args_t args(argc, argv);
        EXPECT_FALSE(args.find("-i"));
        EXPECT_FALSE(args.find(""));
        std::string value;
        EXPECT_FALSE(args.next(value));
    }
}

} // namespace
