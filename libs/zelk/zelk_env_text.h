// SPDX-License-Identifier: MIT
// The environment as text: entries a listing prints back and a load restores exactly, and
// the loader text ("key=value" lines), read whole and checked before anything is sent.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace qv::zelk {

// The key is everything before the first "=", the value everything after it.
struct env_entry_t {
    std::string key;
    std::string value;
};

// Why key=value cannot be stored so that its listing line loads back to the same entry, or
// "" when it can: a field longer than the request record holds, "=" or a newline in the
// key, a key beginning with white space (a reader of the store drops it), a newline in the
// value, or a value ending in a carriage return (the line would read back without it).
std::string env_entry_problem(const std::string& key, const std::string& value);

// A stored entry as a reader of the store takes it: leading white space dropped, the key up
// to the first "=". Throws exception_t "Parse error in <entry>" (env_quoted) when there is
// no "=".
env_entry_t env_entry_of(const std::string& stored);

struct env_text_line_t {
    env_entry_t entry;
    std::size_t line; // counted from 1
};

// The most text a load takes: more than any store of the board holds.
constexpr std::size_t env_text_limit = 1 << 20;

// The "key=value" lines of text, in order; one empty line may end the text. Refuses, with
// exception_t "<name>: line <n>: <reason>", an empty text, an empty line before the end, a
// line without "=" ("Parse error in <line>", env_quoted), a NUL byte, and a line that
// env_entry_problem refuses.
std::vector<env_text_line_t> parse_env_text(const std::string& text, const std::string& name);

// How a key or a value is shown in a message: in double quotes, '"' and '\' escaped, bytes
// outside 0x20-0x7E as \n, \r, \t or \xHH.
std::string env_quoted(const std::string& text);

} // namespace qv::zelk
