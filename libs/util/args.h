// SPDX-License-Identifier: MIT
// The command line, searched by option name rather than parsed left to right.
#pragma once

#include <string>
#include <vector>

// A value is the argument right after its option, and only when it does not begin
// with '-': an option can never be swallowed as the value of the one before it.
// Modifiers (set_modifiers) are stepped over instead: they are never a value and never
// end a list of values, wherever they stand.
// A failed conversion leaves the target as it was, so callers preload the default
// and may ignore the result. None of these throw, except std::bad_alloc.
class args_t {
public:
    args_t(int argc, char** argv);
    args_t(int argc, const char* const* argv);

    // Whole-string, case-sensitive search from the first argument; on a match the
    // cursor moves behind the first occurrence. Not found: false, cursor unchanged.
    bool find(const std::string& option);

    // Options that modify a command: flags alone, worded ones with the word after them
    // (when it does not begin with '-'). Reads step over them.
    void set_modifiers(std::vector<std::string> flags, std::vector<std::string> worded);

    // Takes the argument at the cursor verbatim unless it begins with '-', after stepping
    // over modifiers.
    bool next(std::string& value);

    // Takes the argument at the cursor when it is a lone "-", which by convention names
    // standard input or output rather than an option (after stepping over modifiers).
    bool take_dash();

    // First white-space-delimited word of the next argument. The argument is consumed
    // even when it holds no word (then false).
    bool get(std::string& value);
    // The whole next argument, blanks and all, when it holds a word. Consumed as by get.
    bool get_text(std::string& value);
    // "0x"/"0X" followed by more text: hexadecimal; otherwise decimal with an optional
    // sign, no leading blanks, trailing text ignored. A number beyond int, in either form,
    // is an overflow: false, target kept (0xffffffff is no -1).
    bool get(int& value);
    // Through the int form.
    bool get(unsigned int& value);

private:
    using list_t = std::vector<std::string>;

    static bool listed(const list_t& list, const std::string& argument);
    void skip_modifiers();

    std::string program_name;
    [[maybe_unused]] int argument_count; // kept as received; nothing reads it
    list_t arguments;
    // Before the first successful find it stands at the end, so next fails.
    list_t::size_type cursor;
    list_t flags;
    list_t worded;
};
