// SPDX-License-Identifier: MIT
// The values of romtool's "-json" object, and their one-line text.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace json {

class value_t;
using object_t = std::vector<std::pair<std::string, value_t>>; // members in order
using array_t = std::vector<value_t>;

// Bytes from the board or the command line (keys, values, file names): carried as a JSON
// string when they are valid UTF-8, else as {"hex": "<every byte, two digits>"}, so the
// original bytes always come back exactly.
struct bytes_t {
    std::string data;
};

class value_t {
public:
    value_t() = default; // null
    value_t(bool b) : v_(b) {}
    value_t(int n) : v_(static_cast<std::int64_t>(n)) {}
    value_t(long n) : v_(static_cast<std::int64_t>(n)) {}
    value_t(long long n) : v_(static_cast<std::int64_t>(n)) {}
    value_t(unsigned n) : v_(static_cast<std::int64_t>(n)) {}
    value_t(unsigned long n) : v_(static_cast<std::int64_t>(n)) {}
    value_t(unsigned long long n) : v_(static_cast<std::int64_t>(n)) {}
    value_t(double d) : v_(d) {}
    // Text of romtool's own (a message): bytes that are not UTF-8 become U+FFFD.
    value_t(const char* s) : v_(std::string(s)) {}
    value_t(std::string s) : v_(std::move(s)) {}
    value_t(bytes_t b) : v_(std::move(b)) {}
    value_t(array_t a) : v_(std::make_shared<array_t>(std::move(a))) {}
    value_t(object_t o) : v_(std::make_shared<object_t>(std::move(o))) {}

    // Members of an object value: set replaces a member of the same name or appends one.
    void set(const std::string& name, value_t value);
    // The text, on one line, no blanks.
    std::string text() const;

private:
    std::variant<std::monostate, bool, std::int64_t, double, std::string, bytes_t,
                 std::shared_ptr<array_t>, std::shared_ptr<object_t>>
        v_;
};

// Whether text is well-formed UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool is_utf8(const std::string& text);

} // namespace json
