// SPDX-License-Identifier: MIT
#include "util/args.h"

#include <cctype>
#include <cstdio>
#include <sstream>

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

bool args_t::next(std::string& value) {
    if (cursor >= arguments.size())
        return false;
    const std::string& argument = arguments[cursor];
    if (!argument.empty() && argument[0] == '-')
        return false;
    value = argument;
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
        // Read wide, so that more than 32 bits is an overflow like a decimal one (the
        // target kept) on every target, not cut to whatever "%x" leaves of it.
        unsigned long long number = 0;
        if (std::sscanf(text.c_str(), "%llx", &number) != 1 || number > 0xFFFFFFFFull)
            return false;
        value = static_cast<int>(static_cast<unsigned int>(number));
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
