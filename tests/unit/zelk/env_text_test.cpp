// SPDX-License-Identifier: MIT
// The loader text and the load plan, off the board: what a text is refused for (line and
// reason, both sides of every limit), and which requests turn a store into a text.
#include "support/failure.h"
#include "zelk/zelk_env_plan.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace qv::zelk;

namespace {

// "line:key=value;..." or the refusal.
std::string parsed(const std::string& text) {
    std::string out;
    try {
        for (const env_text_line_t& line : parse_env_text(text, "t"))
            out += std::to_string(line.line) + ":" + line.entry.key + "=" + line.entry.value + ";";
    } catch (const qv::exception_t& e) {
        return e.what();
    }
    return out;
}

TEST(env_text, lines_and_refusals) {
    const std::string k150(150, 'k'), v150(150, 'v'), S("\0", 1);
    const std::pair<std::string, std::string> rows[] = {
        {"b=2\na=1\nb=3\n", "1:b=2;2:a=1;3:b=3;"},
        {"a=1\nb=2", "1:a=1;2:b=2;"}, // the last line without its newline
        {"a=1\n\n", "1:a=1;"},        // one empty line at the very end
        {"=v\nk=\na=b=c\nsp ace =\r x\n", "1:=v;2:k=;3:a=b=c;4:sp ace =\r x;"},
        {k150 + "=" + v150, "1:" + k150 + "=" + v150 + ";"},
        {"", "t: line 1: empty text, nothing to load"},
        {"\n", "t: line 1: empty text, nothing to load"},
        {"a=1\n\nb=2\n", "t: line 2: empty line before the end of the text"},
        // A listing saved with the fatal error of a failed -list after it.
        {"\nromtool fatal error : x\n\n", "t: line 1: empty line before the end of the text"},
        {"a=1\nnoequals\n", "t: line 2: Parse error in \"noequals\""},
        {"a=1\nb=x" + S + "y\n", "t: line 2: a NUL byte in the line"},
        {"a=1\r\nb=2\r\n", "t: line 1: a value cannot end in a carriage return"},
        {"a=1\n lead=x\n", "t: line 2: a key cannot begin with white space"},
        {"\tlead=x\n", "t: line 1: a key cannot begin with white space"},
        {k150 + "k=v\n", "t: line 1: key of 151 bytes, at most 150 fit"},
        {"a=1\nk=" + v150 + "v\n", "t: line 2: value of 151 bytes, at most 150 fit"},
    };
    for (const auto& [text, expected] : rows)
        EXPECT_EQ(parsed(text), expected) << ::testing::PrintToString(text);
}

TEST(env_text, entries_that_would_not_list_back) {
    const std::pair<std::pair<std::string, std::string>, std::string> rows[] = {
        {{"k", "run a\n"}, "a value cannot hold a newline"},
        {{"k\nx", "v"}, "a key cannot hold a newline"},
        {{"a=b", "v"}, "a key cannot hold \"=\""},
        {{" k", "v"}, "a key cannot begin with white space"},
        {{"k", "v\r"}, "a value cannot end in a carriage return"},
        {{"k ", " v\r "}, ""},
        {{"", ""}, ""},
    };
    for (const auto& [entry, expected] : rows)
        EXPECT_EQ(env_entry_problem(entry.first, entry.second), expected) << entry.first;
    EXPECT_EQ(env_quoted("a\"\\\n\r\t\x01\xff"), "\"a\\\"\\\\\\n\\r\\t\\x01\\xff\"");
    EXPECT_EQ(env_quoted("\x1f ~\x7f\x80"), "\"\\x1f ~\\x7f\\x80\""); // either side of printable
}

// "clear;k=v;..." as the plan sends it, then "+added -removed ~changed" and the line it
// overflows at.
std::string plan_of(const std::vector<std::string>& store, std::size_t size,
                    const std::string& text) {
    const env_plan_t plan = plan_load({size, store}, parse_env_text(text, "t"));
    std::string out = plan.clear ? "clear;" : "";
    for (const env_entry_t& set : plan.sets)
        out += set.key + "=" + set.value + ";";
    for (const auto& [sign, keys] :
         {std::pair{"+", &plan.added}, {"-", &plan.removed}, {"~", &plan.changed}})
        for (const std::string& key : *keys)
            out += " " + std::string(sign) + key;
    if (plan.overflow_line != 0)
        out += " overflow at " + std::to_string(plan.overflow_line);
    return out;
}

TEST(env_plan, sets_only_what_changes_and_clears_only_to_remove) {
    const std::vector<std::string> store = {"a=1", "b=22222"};
    struct row_t {
        std::vector<std::string> store;
        std::size_t size;
        std::string text, expected;
    };
    const row_t rows[] = {
        {store, 64, "a=1\nb=22222\n", ""},        // nothing to send
        {store, 64, "b=22222\na=2\n", "a=2; ~a"}, // one set, no clear
        {store, 64, "a=1\nb=22222\nc=3\n", "c=3; +c"},
        {store, 64, "a=11111\nb=2\n", "b=2;a=11111; ~a ~b"}, // the shrinking set first
        {store, 64, "a=2\nb=2\n", "b=2;a=2; ~a ~b"},         // then one of the same size
        {store, 64, "b=2\nb=3\na=1\nb=22222\n", ""},         // the last line of a key wins
        {store, 64, "a=1\n", "clear;a=1; -b"},               // a key goes: clear and set all
        {{"a=1", "junk"}, 64, "a=1\n", "clear;a=1; -junk"},  // an entry without "="
        {{" a=1"}, 64, "a=1\n", "clear;a=1; +a - a"},        // a key the reader cannot name
        {{}, 64, "b=2\na=1\nb=3\n", "b=3;a=1; +b +a"},
        // 4 + "a=1\0" + the empty entry: exactly the store, then one byte past it.
        {{}, 9, "a=1\n", "a=1; +a"},
        {{}, 8, "a=1\n", "clear;a=1; +a overflow at 1"},
        {{}, 12, "a=1\nb=2\nc=3\n", "clear;a=1;b=2;c=3; +a +b +c overflow at 2"},
        {{}, 13, "a=1\nb=2\nc=3\n", "clear;a=1;b=2;c=3; +a +b +c overflow at 3"},
        // The same with entries held: 4 + "a=1\0b=22222\0" + the empty entry is 17.
        {store, 21, "a=1\nb=22222\nc=3\n", "c=3; +c"},
        {store, 20, "a=1\nb=22222\nc=3\n", "clear;a=1;b=22222;c=3; +c overflow at 3"},
        {store, 18, "a=1\nb=222222\n", "b=222222; ~b"},
        {store, 17, "a=1\nb=222222\n", "clear;a=1;b=222222; ~b overflow at 2"},
        // An entry without "=" is no key, even one the text names.
        {{"a=1", "junk"}, 64, "a=1\njunk=1\n", "clear;a=1;junk=1; +junk -junk"},
        // Stale copies of a key leave no room: a set of its own value drops them, no clear;
        // with the room still short the text does not fit.
        {{"a=111111", "a=1"}, 18, "a=1\nb=22\n", "a=1;b=22; +b"},
        {{"a=111111", "a=1"}, 13, "a=1\nb=22\n", "clear;a=1;b=22; +b overflow at 2"},
        {{"a=111111", "a=1"}, 19, "a=1\nb=2222222\n", "a=1;b=2222222; +b"},
        {{"a=111111", "a=1", "b=1"}, 23, "a=1\nb=1\nc=2222222\n", "a=1;c=2222222; +c"},
        {{"a=111111", "a=1"}, 18, "a=1\nb=2222222\n", "clear;a=1;b=2222222; +b overflow at 2"},
    };
    for (const row_t& row : rows)
        EXPECT_EQ(plan_of(row.store, row.size, row.text), row.expected) << row.text;
}

} // namespace
