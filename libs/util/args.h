// SPDX-License-Identifier: MIT
// The command line, searched by option name rather than parsed left to right.
#pragma once

#include <string>
#include <vector>

// A value is the argument right after its option, and only when it does not begin
// with '-': an option can never be swallowed as the value of the one before it.
// A failed conversion leaves the target as it was, so callers preload the default
// and may ignore the result. None of these throw, except std::bad_alloc.
class args_t {
public:
    args_t(int argc, char** argv);
    args_t(int argc, const char* const* argv);

    // Whole-string, case-sensitive search from the first argument; on a match the
    // cursor moves behind the first occurrence. Not found: false, cursor unchanged.
    bool find(const std::string& option);

    // Takes the argument at the cursor verbatim unless it begins with '-'.
    bool next(std::string& value);

    // First white-space-delimited word of the next argument. The argument is consumed
    // even when it holds no word (then false).
    bool get(std::string& value);
    // The whole next argument, blanks and all, when it holds a word. Consumed as by get.
    bool get_text(std::string& value);
    // "0x"/"0X" followed by more text: hexadecimal; otherwise decimal with an optional
    // sign, no leading blanks, trailing text ignored. More than 32 bits, in either form,
    // is an overflow: false, target kept.
    bool get(int& value);
    // Through the int form; the 32-bit pattern is carried over.
    bool get(unsigned int& value);

private:
    using list_t = std::vector<std::string>;

    std::string program_name;
    [[maybe_unused]] int argument_count; // kept as received; nothing reads it
    list_t arguments;
    // Before the first successful find it stands at the end, so next fails.
    list_t::size_type cursor;
};
