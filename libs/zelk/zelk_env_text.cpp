// SPDX-License-Identifier: MIT
#include "zelk/zelk_env_text.h"

#include "posix/exception.h"
#include "zelk/zelk_ioctl.h"

#include <cctype>
#include <cstdio>

namespace qv::zelk {

namespace {

bool is_space(char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

} // namespace

std::string env_entry_problem(const std::string& key, const std::string& value) {
    for (const auto& [text, what] : {std::pair{&key, "key"}, {&value, "value"}}) {
        if (text->size() > ZELK_ENV_FIELD_SIZE)
            return std::string(what) + " of " + std::to_string(text->size()) + " bytes, at most " +
                   std::to_string(ZELK_ENV_FIELD_SIZE) + " fit";
        if (text->find('\n') != std::string::npos)
            return std::string("a ") + what + " cannot hold a newline";
    }
    if (key.find('=') != std::string::npos)
        return "a key cannot hold \"=\"";
    if (!key.empty() && is_space(key[0]))
        return "a key cannot begin with white space";
    if (!value.empty() && value.back() == '\r')
        return "a value cannot end in a carriage return";
    return "";
}

env_entry_t env_entry_of(const std::string& stored) {
    std::size_t start = 0;
    while (start < stored.size() && is_space(stored[start]))
        ++start;
    const std::size_t equals = stored.find('=', start);
    // Quoted: the bytes come from the store and may hold a terminal's control sequences.
    if (equals == std::string::npos)
        throw exception_t("Parse error in %s", env_quoted(stored.substr(start)).c_str());
    return {stored.substr(start, equals - start), stored.substr(equals + 1)};
}

std::vector<env_text_line_t> parse_env_text(const std::string& text, const std::string& name) {
    std::vector<env_text_line_t> lines;
    const auto refuse = [&](std::size_t line, const std::string& reason) {
        throw exception_t("%s: line %zu: %s", name.c_str(), line, reason.c_str());
    };
    std::size_t number = 0;
    for (std::size_t start = 0; start < text.size();) {
        ++number;
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        if (line.empty()) {
            // A listing saved with a failure after it, or two texts run together: never
            // the end of what the operator meant to load.
            if (start < text.size())
                refuse(number, "empty line before the end of the text");
            break;
        }
        if (line.find('\0') != std::string::npos)
            refuse(number, "a NUL byte in the line");
        const std::size_t equals = line.find('=');
        if (equals == std::string::npos)
            refuse(number, "Parse error in " + env_quoted(line));
        env_entry_t entry{line.substr(0, equals), line.substr(equals + 1)};
        const std::string problem = env_entry_problem(entry.key, entry.value);
        if (!problem.empty())
            refuse(number, problem);
        lines.push_back({std::move(entry), number});
    }
    if (lines.empty())
        refuse(1, "empty text, nothing to load");
    return lines;
}

std::string env_quoted(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (byte < 0x20 || byte >= 0x7F) {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x", byte);
            out += hex;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

} // namespace qv::zelk
