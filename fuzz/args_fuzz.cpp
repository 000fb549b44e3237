// SPDX-License-Identifier: MIT
// args_t on arbitrary argument vectors, checked against a plain model of the reader.
//
// The input is split on NUL bytes into the argument vector. Its first element, the
// program name, doubles as the script: each of its bytes is one call (find, next or a
// typed get). The model keeps its own cursor, so every result and value is compared
// exactly, except the value of a hexadecimal read that overflows 32 bits.
#include "util/args.h"

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

namespace {

[[noreturn]] void fail(const char* what, const std::string& detail) {
    std::fprintf(stderr, "args_fuzz: %s [%s]\n", what, detail.c_str());
    std::abort();
}

bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

int hex_digit(char c) {
    if (is_digit(c))
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

struct model_t {
    std::vector<std::string> arguments;
    size_t cursor;

    bool find(const std::string& option) {
        for (size_t i = 0; i < arguments.size(); ++i) {
            if (arguments[i] == option) {
                cursor = i + 1;
                return true;
            }
        }
        return false;
    }

    std::optional<std::string> next() {
        if (cursor >= arguments.size())
            return std::nullopt;
        const std::string& a = arguments[cursor];
        if (!a.empty() && a[0] == '-')
            return std::nullopt;
        ++cursor;
        return a;
    }

    // nullopt: the argument was not taken; "" inside: taken but no word.
    std::optional<std::optional<std::string>> word() {
        auto text = next();
        if (!text)
            return std::nullopt;
        size_t b = 0;
        while (b < text->size() && is_space((*text)[b]))
            ++b;
        size_t e = b;
        while (e < text->size() && !is_space((*text)[e]))
            ++e;
        if (b == e)
            return std::optional<std::string>();
        return std::optional<std::string>(text->substr(b, e - b));
    }

    // Outer nullopt: the conversion fails. Inner nullopt: converts, value not modelled.
    std::optional<std::optional<int>> integer(bool& taken) {
        auto text = next();
        taken = text.has_value();
        if (!text)
            return std::nullopt;
        const std::string& t = *text;
        if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
            // sscanf("%x") on "0x" and what follows: the value of the hex digits.
            size_t i = 2;
            int digits = 0;
            unsigned long long v = 0;
            while (i < t.size() && hex_digit(t[i]) >= 0) {
                v = v * 16 + static_cast<unsigned>(hex_digit(t[i]));
                if (v > 0xFFFFFFFFull)
                    return std::optional<int>(); // overflow: the C library decides
                ++i;
                ++digits;
            }
            if (digits == 0)
                return std::optional<int>(); // "0x" without digits: the C library decides
            return std::optional<int>(static_cast<int>(static_cast<unsigned int>(v)));
        }
        size_t i = 0;
        bool negative = false;
        if (i < t.size() && (t[i] == '+' || t[i] == '-')) {
            negative = t[i] == '-';
            ++i;
        }
        if (i >= t.size() || !is_digit(t[i]))
            return std::nullopt;
        long long v = 0;
        for (; i < t.size() && is_digit(t[i]); ++i) {
            v = v * 10 + (t[i] - '0');
            if (v > static_cast<long long>(INT_MAX) + 1)
                return std::nullopt; // out of range: the stream fails
        }
        if (negative)
            v = -v;
        if (v > INT_MAX || v < INT_MIN)
            return std::nullopt;
        return std::optional<int>(static_cast<int>(v));
    }
};

// Both integer forms: a failure leaves the target alone; where the model knows the
// outcome, result and value agree with it.
void check_integer(model_t& model, bool ok, int value, int before) {
    bool taken = false;
    const auto expected = model.integer(taken);
    if (!ok && value != before)
        fail("integer changed the value on failure", std::to_string(value));
    if (!expected) {
        if (ok)
            fail("integer converted what it should refuse", std::to_string(value));
    } else if (*expected) {
        if (!ok || value != **expected)
            fail("integer value", std::to_string(value));
    }
}

const char* const known_options[] = {"-dev", "-r", "-dump",  "-rmt",   "-wmt", "-e", "-set",
                                     "-get", "-p", "-pbios", "-pfpga", "-i",   "-l", ""};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> tokens(1);
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0)
            tokens.emplace_back();
        else
            tokens.back() += static_cast<char>(data[i]);
    }
    std::vector<const char*> argv;
    for (const auto& t : tokens)
        argv.push_back(t.c_str());
    argv.push_back(nullptr);

    args_t args(static_cast<int>(tokens.size()), argv.data());
    model_t model{std::vector<std::string>(tokens.begin() + 1, tokens.end()), tokens.size() - 1};

    const std::string script = tokens[0];
    for (unsigned char op : script) {
        const unsigned selector = op >> 3;
        switch (op & 7) {
        case 0:
        case 1: { // find: an argument of the vector, or one of the tool's options
            std::string option;
            if ((op & 1) && !model.arguments.empty())
                option = model.arguments[selector % model.arguments.size()];
            else
                option = known_options[selector % (sizeof known_options / sizeof *known_options)];
            if (args.find(option) != model.find(option))
                fail("find", option);
            break;
        }
        case 2: {
            std::string value = "unchanged";
            const bool ok = args.next(value);
            const auto expected = model.next();
            if (ok != expected.has_value())
                fail("next result", value);
            if (ok && value != *expected)
                fail("next value", value);
            if (!ok && value != "unchanged")
                fail("next changed the value on failure", value);
            if (ok && !value.empty() && value[0] == '-')
                fail("next took an option", value);
            break;
        }
        case 3: {
            std::string value = "unchanged";
            const bool ok = args.get(value);
            const auto expected = model.word();
            const bool expected_ok = expected.has_value() && expected->has_value();
            if (ok != expected_ok)
                fail("word result", value);
            if (ok && value != **expected)
                fail("word value", value);
            if (!ok && value != "unchanged")
                fail("word changed the value on failure", value);
            break;
        }
        case 4:
        case 5: {
            const int before = static_cast<int>(0x5A5A5A5A ^ selector);
            int value = before;
            const bool ok = args.get(value);
            check_integer(model, ok, value, before);
            break;
        }
        case 6: {
            const unsigned before = 0xA5A5A5A5u ^ selector;
            unsigned value = before;
            const bool ok = args.get(value);
            check_integer(model, ok, static_cast<int>(value), static_cast<int>(before));
            break;
        }
        default: { // a fresh reader from a prefix of the vector: argc below the size
            const int argc = static_cast<int>(selector % (tokens.size() + 1));
            args_t other(argc, argv.data());
            std::string value;
            if (argc <= 1 && (other.find(tokens.back()) || other.next(value)))
                fail("empty reader found something", tokens.back());
            break;
        }
        }
    }
    return 0;
}
