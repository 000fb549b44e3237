// SPDX-License-Identifier: MIT
#include "json.h"

#include <cstdio>

namespace json {

namespace {

// The length of the well-formed UTF-8 sequence at text[at], 0 when there is none.
std::size_t sequence_at(const std::string& text, std::size_t at) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    if (lead < 0x80)
        return 1;
    // The second byte's range rules out overlong forms, surrogates and code points past
    // U+10FFFF; the others are plain continuation bytes.
    unsigned char low = 0x80, high = 0xBF;
    std::size_t length;
    if (lead >= 0xC2 && lead <= 0xDF)
        length = 2;
    else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else
        return 0;
    if (at + length > text.size() || byte(at + 1) < low || byte(at + 1) > high)
        return 0;
    for (std::size_t i = 2; i < length; ++i)
        if ((byte(at + i) & 0xC0) != 0x80)
            return 0;
    return length;
}

void put_string(std::string& out, const std::string& text) {
    out += '"';
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t length = sequence_at(text, at);
        const char c = text[at];
        if (length == 0) {
            out += "\ufffd"; // not UTF-8: only romtool's own texts get here
            ++at;
            continue;
        }
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned char>(c));
            out += escaped;
        } else {
            out.append(text, at, length);
        }
        at += length;
    }
    out += '"';
}

} // namespace

bool is_utf8(const std::string& text) {
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t length = sequence_at(text, at);
        if (length == 0)
            return false;
        at += length;
    }
    return true;
}

void value_t::set(const std::string& name, value_t value) {
    if (!std::holds_alternative<std::shared_ptr<object_t>>(v_))
        v_ = std::make_shared<object_t>();
    object_t& members = *std::get<std::shared_ptr<object_t>>(v_);
    for (auto& [member, old] : members)
        if (member == name) {
            old = std::move(value);
            return;
        }
    members.emplace_back(name, std::move(value));
}

std::string value_t::text() const {
    std::string out;
    if (std::holds_alternative<std::monostate>(v_)) {
        out = "null";
    } else if (const bool* b = std::get_if<bool>(&v_)) {
        out = *b ? "true" : "false";
    } else if (const std::int64_t* n = std::get_if<std::int64_t>(&v_)) {
        out = std::to_string(*n);
    } else if (const double* d = std::get_if<double>(&v_)) {
        char number[32];
        std::snprintf(number, sizeof number, "%.6f", *d);
        out = number;
    } else if (const std::string* s = std::get_if<std::string>(&v_)) {
        put_string(out, *s);
    } else if (const bytes_t* b = std::get_if<bytes_t>(&v_)) {
        if (is_utf8(b->data)) {
            put_string(out, b->data);
        } else {
            out = "{\"hex\":\"";
            for (const char c : b->data) {
                char hex[3];
                std::snprintf(hex, sizeof hex, "%02x", static_cast<unsigned char>(c));
                out += hex;
            }
            out += "\"}";
        }
    } else if (const auto* a = std::get_if<std::shared_ptr<array_t>>(&v_)) {
        out = "[";
        for (const value_t& item : **a)
            out += (out.size() > 1 ? "," : "") + item.text();
        out += "]";
    } else {
        out = "{";
        for (const auto& [name, member] : *std::get<std::shared_ptr<object_t>>(v_)) {
            if (out.size() > 1)
                out += ",";
            put_string(out, name);
            out += ":" + member.text();
        }
        out += "}";
    }
    return out;
}

} // namespace json
