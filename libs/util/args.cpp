// SPDX-License-Identifier: MIT
#include "util/args.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <sstream>
#include <utility>

args_t::args_t(int argc, char** argv) : args_t(argc, const_cast<const char* const*>(argv)) {}

args_t::args_t(int argc, const char* const* argv) : argument_count(argc), cursor(0) {
    if (argc >= 1 && argv != nullptr) {
        program_name = argv[0] ? argv[0] : "";
        for (int i = 1; i < argc; ++i)
            arguments.emplace_back(argv[i] ? argv[i] : "");
    }
    cursor = arguments.size();
}

bool args_t::find(const std::string& option) {
    for (list_t::size_type i = 0; i < arguments.size(); ++i) {
        if (arguments[i] == option) {
            cursor = i + 1;
            return true;
        }
    }
    return false;
}

void args_t::set_modifiers(std::vector<std::string> flag_options,
                           std::vector<std::string> worded_options) {
    flags = std::move(flag_options);
    worded = std::move(worded_options);
}

bool args_t::listed(const list_t& list, const std::string& argument) {
    return std::find(list.begin(), list.end(), argument) != list.end();
}

void args_t::skip_modifiers() {
    while (cursor < arguments.size()) {
        const std::string& argument = arguments[cursor];
        if (listed(flags, argument)) {
            ++cursor;
        } else if (listed(worded, argument)) {
            ++cursor;
            if (cursor < arguments.size() &&
                (arguments[cursor].empty() || arguments[cursor][0] != '-'))
                ++cursor;
        } else {
            return;
        }
    }
}

bool args_t::next(std::string& value) {
    skip_modifiers();
    if (cursor >= arguments.size())
        return false;
    const std::string& argument = arguments[cursor];
    if (!argument.empty() && argument[0] == '-')
        return false;
    value = argument;
    ++cursor;
    return true;
}

bool args_t::take_dash() {
    skip_modifiers();
    if (cursor >= arguments.size() || arguments[cursor] != "-")
        return false;
    ++cursor;
    return true;
}

bool args_t::get(std::string& value) {
    std::string text;
    if (!next(text))
        return false;
    std::istringstream in(text);
    std::string word;
    if (!(in >> word))
        return false;
    value = word;
    return true;
}

bool args_t::get_text(std::string& value) {
    std::string text;
    if (!next(text) || text.find_first_not_of(" \t\n\v\f\r") == std::string::npos)
        return false;
    value = text;
    return true;
}

bool args_t::get(int& value) {
    std::string text;
    if (!next(text))
        return false;
    if (text.size() > 2 && text[0] == '0' &&
        std::tolower(static_cast<unsigned char>(text[1])) == 'x') {
        // Read wide, so that a number beyond int is an overflow like a decimal one (the
        // target kept) on every target, not cut or wrapped to whatever "%x" leaves of it.
        unsigned long long number = 0;
        if (std::sscanf(text.c_str(), "%llx", &number) != 1 || number > INT_MAX)
            return false;
        value = static_cast<int>(number);
        return true;
    }
    // Decimal only: a leading 0 is no octal prefix, and a leading blank is refused.
    std::istringstream in(text);
    in.flags(std::ios::dec);
    int number = 0;
    in >> number; // on overflow the stream fails, and the target stays as it was
    if (in.fail())
        return false;
    value = number;
    return true;
}

bool args_t::get(unsigned int& value) {
    int number = static_cast<int>(value);
    const bool converted = get(number);
    value = static_cast<unsigned int>(number);
    return converted;
}
