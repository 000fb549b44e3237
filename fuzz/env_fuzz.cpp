// SPDX-License-Identifier: MIT
// The environment store's whole-image reader (env_t::read_all) and its loader
// (parse_env_text, plan_load, env_t::apply) on arbitrary bytes, in process, on a virtual
// board (the program executes itself again with the preload library when started bare).
//
// Input byte 0 chooses: even, the rest of the input is the device image of
// flash_env0 (its length is the device's); odd, the rest is a loader text applied to
// the default environment. Both are checked against a plain model: the entries read,
// the refusal, the store's contents after a load (exactly the text's entries, every key
// readable), and a clear sent only when a key of the store is not in the text.
#include "fuzz_support.h"

#include "posix/exception.h"
#include "zelk/zelk_env.h"

#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace {

using entries_t = std::map<std::string, std::string>;

std::string env_image_path;
fuzz::bytes_t default_image;

bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::string show(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        }
    }
    return out;
}

// How the loader and the reader quote an offending line or entry in their message.
std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        static const char escaped[] = "\"\\\n\r\t";
        static const char letters[] = "\"\\nrt";
        const char* at = c ? std::strchr(escaped, c) : nullptr;
        if (at) {
            out += '\\';
            out += letters[at - escaped];
        } else if (c < 0x20 || c >= 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

void expect_entries(const entries_t& got, const entries_t& expected, const char* when) {
    if (got == expected)
        return;
    std::string text;
    for (const auto& [k, v] : got)
        text += "  got      '" + show(k) + "' = '" + show(v) + "'\n";
    for (const auto& [k, v] : expected)
        text += "  expected '" + show(k) + "' = '" + show(v) + "'\n";
    fuzz::fail("%s: entries differ\n%s", when, text.c_str());
}

// The image reader: entries from offset 4 up to an empty entry or the device's end.
struct image_model_t {
    entries_t entries;
    std::optional<std::string> parse_error; // the entry without "="
};

image_model_t model_image(const uint8_t* data, size_t size) {
    image_model_t m;
    std::string entry;
    for (size_t i = 4; i < size; ++i) {
        if (data[i] != 0) {
            entry += static_cast<char>(data[i]);
            continue;
        }
        if (entry.empty())
            break;
        size_t start = 0;
        while (start < entry.size() && is_space(entry[start]))
            ++start;
        entry.erase(0, start);
        const size_t equals = entry.find('=');
        if (equals == std::string::npos) {
            m.parse_error = entry;
            break;
        }
        m.entries[entry.substr(0, equals)] = entry.substr(equals + 1);
        entry.clear();
    }
    return m;
}

void check_read_all(const uint8_t* input, size_t size) {
    // No device is smaller than the 4 bytes the reader skips.
    fuzz::bytes_t image(input, input + size);
    if (image.size() < 4)
        image.resize(4, 0xFF);
    const uint8_t* data = image.data();
    size = image.size();
    fuzz::write_file(env_image_path, image);
    const image_model_t m = model_image(data, size);
    qv::zelk::env_t env(0);
    entries_t got = {{"stale", "entry"}};
    try {
        env.read_all(got);
    } catch (const qv::exception_t& e) {
        if (!m.parse_error)
            fuzz::fail("read_all threw '%s'", e.what());
        // Messages are cut at 510 characters.
        const std::string expected = "Parse error in " + quoted(*m.parse_error);
        if (expected.compare(0, std::string(e.what()).size(), e.what()) != 0)
            fuzz::fail("read_all threw '%s', expected '%s'", show(e.what()).c_str(),
                       show(expected).c_str());
        expect_entries(got, m.entries, "read_all before the parse error");
        return;
    }
    if (m.parse_error)
        fuzz::fail("read_all accepted the entry '%s'", show(*m.parse_error).c_str());
    expect_entries(got, m.entries, "read_all");
}

// The loader text: "key=value" lines; one empty line may end it.
struct load_model_t {
    std::vector<std::pair<std::string, std::string>> lines;
    std::optional<std::string> refused; // the message
};

load_model_t model_load(const uint8_t* data, size_t size) {
    load_model_t m;
    const std::string text(reinterpret_cast<const char*>(data), size);
    size_t number = 0;
    const auto refuse = [&](const std::string& reason) {
        m.refused = "env: line " + std::to_string(number) + ": " + reason;
        return m;
    };
    for (size_t pos = 0; pos < text.size();) {
        ++number;
        size_t end = text.find('\n', pos);
        end = end == std::string::npos ? text.size() : end;
        const std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        if (line.empty()) {
            if (pos < text.size())
                return refuse("empty line before the end of the text");
            break;
        }
        if (line.find('\0') != std::string::npos)
            return refuse("a NUL byte in the line");
        const size_t equals = line.find('=');
        if (equals == std::string::npos)
            return refuse("Parse error in " + quoted(line));
        const std::string key = line.substr(0, equals), value = line.substr(equals + 1);
        if (key.size() > 150)
            return refuse("key of " + std::to_string(key.size()) + " bytes, at most 150 fit");
        if (value.size() > 150)
            return refuse("value of " + std::to_string(value.size()) + " bytes, at most 150 fit");
        if (!key.empty() && is_space(key[0]))
            return refuse("a key cannot begin with white space");
        if (!value.empty() && value.back() == '\r')
            return refuse("a value cannot end in a carriage return");
        m.lines.emplace_back(key, value);
    }
    if (m.lines.empty()) {
        number = 1;
        return refuse("empty text, nothing to load");
    }
    return m;
}

void check_load(const uint8_t* data, size_t size) {
    fuzz::write_file(env_image_path, default_image);
    const load_model_t m = model_load(data, size);
    entries_t expected;
    for (const auto& [key, value] : m.lines)
        expected[key] = value;

    qv::zelk::env_t env(0);
    std::vector<qv::zelk::env_text_line_t> lines;
    try {
        lines =
            qv::zelk::parse_env_text(std::string(reinterpret_cast<const char*>(data), size), "env");
    } catch (const qv::exception_t& e) {
        if (!m.refused)
            fuzz::fail("load refused with '%s'", show(e.what()).c_str());
        // Messages are cut at 510 characters.
        if (m.refused->compare(0, std::string(e.what()).size(), e.what()) != 0)
            fuzz::fail("load refused with '%s', expected '%s'", show(e.what()).c_str(),
                       show(*m.refused).c_str());
        return;
    }
    if (m.refused)
        fuzz::fail("load accepted a text to refuse with '%s'", show(*m.refused).c_str());

    entries_t before;
    env.read_all(before);
    const qv::zelk::env_plan_t plan = qv::zelk::plan_load(env.read_image(), lines);
    if (plan.overflow_line != 0)
        return; // the default store has 64 KiB: a fuzzed text hardly fills it
    bool removes = false;
    for (const auto& [key, value] : before)
        removes = removes || expected.count(key) == 0;
    if (plan.clear != removes)
        fuzz::fail("a clear %s", plan.clear ? "that removes no key" : "missing");
    env.apply(plan);
    entries_t got;
    env.read_all(got);
    expect_entries(got, expected, "after the load");
    for (const auto& [key, value] : expected) {
        std::string v;
        if (!env.get(key, v) || v != value)
            fuzz::fail("get '%s' after the load", show(key).c_str());
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char*** argv) {
    fuzz::run_on_board(*argv);
    env_image_path = fuzz::board_dir() + "/flash_env0.img";
    default_image = fuzz::read_file(env_image_path);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    if (data[0] & 1)
        check_load(data + 1, size - 1);
    else
        check_read_all(data + 1, size - 1);
    return 0;
}
