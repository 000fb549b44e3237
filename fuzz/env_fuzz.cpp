// SPDX-License-Identifier: MIT
// The environment store's whole-image reader (env_t::read_all) and its loader
// (env_t::set(std::ifstream&)) on arbitrary bytes, in process, on a virtual board
// (the program executes itself again with the preload library when started bare).
//
// Input byte 0 chooses: even, the rest of the input is the device image of
// flash_env0 (its length is the device's); odd, the rest is a loader text applied to
// the default environment. Both are checked against a plain model: the entries read,
// the exception raised, the store's contents after a load, and an untouched store
// when the text is refused.
#include "fuzz_support.h"

#include "posix/exception.h"
#include "zelk/zelk_env.h"

#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace {

using entries_t = std::map<std::string, std::string>;

std::string env_image_path, text_path;
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
        const std::string expected = "Parse error in " + *m.parse_error;
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

// The loader: lines read as std::istream::getline into 256 bytes does, checked whole
// before the store is cleared.
struct load_model_t {
    std::vector<std::pair<std::string, std::string>> lines;
    std::optional<std::string> refused; // the start of the message
};

// The longest line the loader takes: a full key, "=", a full value.
constexpr size_t longest_line = 150 + 1 + 150;

load_model_t model_load(const uint8_t* data, size_t size) {
    load_model_t m;
    size_t pos = 0;
    for (;;) {
        std::string stored;
        while (stored.size() < longest_line + 1 && pos < size && data[pos] != '\n')
            stored += static_cast<char>(data[pos++]);
        bool eof = false, fail = false, delimiter = false;
        if (pos >= size)
            eof = true;
        else if (data[pos] == '\n')
            ++pos, delimiter = true;
        else
            fail = true;
        if (stored.empty() && !delimiter)
            fail = true;
        const std::string line = stored.substr(0, stored.find('\0'));
        if (line.size() == longest_line + 1 || (fail && !eof)) {
            m.refused = "env_t::set() -- line overflow";
            return m;
        }
        if (line.size() != stored.size()) {
            m.refused = "Parse error in " + line;
            return m;
        }
        if (line.empty())
            return m;
        const size_t equals = line.find('=');
        if (equals == std::string::npos) {
            m.refused = "Parse error in " + line;
            return m;
        }
        std::string key = line.substr(0, equals), value = line.substr(equals + 1);
        if (key.size() > 150 || value.size() > 150) {
            m.refused = "env_t::set() -- ";
            return m;
        }
        m.lines.emplace_back(key, value);
        if (eof || fail)
            return m;
    }
}

void check_load(const uint8_t* data, size_t size) {
    fuzz::write_file(env_image_path, default_image);
    fuzz::write_file(text_path, data, size);
    const load_model_t m = model_load(data, size);

    // The store as the board keeps it: a set replaces the value of the key's entry
    // or appends one; keys are stored as sent, leading blanks included.
    std::vector<std::pair<std::string, std::string>> store;
    for (const auto& [key, value] : m.lines) {
        auto it = store.begin();
        while (it != store.end() && it->first != key)
            ++it;
        if (it == store.end())
            store.emplace_back(key, value);
        else
            it->second = value;
    }
    // The reader drops an entry's leading white space; a later entry wins.
    entries_t expected;
    for (const auto& [key, value] : store) {
        size_t start = 0;
        while (start < key.size() && is_space(key[start]))
            ++start;
        expected[key.substr(start)] = value;
    }

    qv::zelk::env_t env(0);
    std::ifstream text(text_path, std::ios::binary);
    try {
        env.set(text);
    } catch (const qv::exception_t& e) {
        if (!m.refused)
            fuzz::fail("load refused with '%s'", show(e.what()).c_str());
        const std::string what = e.what();
        if (what.compare(0, m.refused->size(), *m.refused) != 0 &&
            m.refused->compare(0, what.size(), what) != 0)
            fuzz::fail("load refused with '%s', expected '%s'", show(what).c_str(),
                       show(*m.refused).c_str());
        if (fuzz::read_file(env_image_path) != default_image)
            fuzz::fail("a refused text changed the store");
        return;
    }
    if (m.refused)
        fuzz::fail("load accepted a text to refuse with '%s'", show(*m.refused).c_str());

    entries_t got;
    env.read_all(got);
    expect_entries(got, expected, "after the load");
    for (const auto& [key, value] : store) {
        std::string v;
        if (!env.get(key, v) || v != value)
            fuzz::fail("get '%s' after the load", show(key).c_str());
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char*** argv) {
    fuzz::run_on_board(*argv);
    env_image_path = fuzz::board_dir() + "/flash_env0.img";
    text_path = fuzz::scratch_dir() + "/env.txt";
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
