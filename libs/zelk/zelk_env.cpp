// SPDX-License-Identifier: MIT
#include "zelk/zelk_env.h"

#include "posix/exception.h"
#include "zelk/zelk_driver.h"

#include <cctype>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace qv::zelk {

namespace {

// The loader's longest line is the longest entry a store holds (a full key, "=", a full
// value), so every listing loads back. It reads one character more: a line that long
// may have been cut.
constexpr std::size_t loader_line_size = 2 * ENV_FIELD_SIZE + 1 + 2;

// what: "key" or "value"; caller: the member named in the message.
void check_field(const std::string& text, const char* what, const char* caller) {
    if (text.size() > ENV_FIELD_SIZE)
        throw exception_t("env_t::%s() -- %s of %zu bytes, at most %zu fit", caller, what,
                          text.size(), ENV_FIELD_SIZE);
}

void fill_field(char (&field)[ENV_FIELD_SIZE], const std::string& text) {
    std::memcpy(field, text.data(), text.size()); // checked: at most the field
}

} // namespace

class env_impl_t {
public:
    explicit env_impl_t(zelk_env_store store) : store(store) {}

    unsigned int code(zelk_env_op op) const { return env_request_code(store, op); }

    bool get(const std::string& key, std::string& value) {
        check_field(key, "key", "get");
        env_request_t record = {};
        fill_field(record.key, key);
        if (device.ioctl(code(ZELK_ENV_GET), &record) == 0)
            return false;
        value.assign(record.value, strnlen(record.value, sizeof record.value));
        return true;
    }

    void set(const std::string& key, const std::string& value) {
        check_field(key, "key", "set");
        check_field(value, "value", "set");
        send_set(key, value);
    }

    // Fields already checked.
    void send_set(const std::string& key, const std::string& value) {
        env_request_t record = {};
        fill_field(record.key, key);
        fill_field(record.value, value);
        device.ioctl(code(ZELK_ENV_SET), &record);
    }

    const zelk_env_store store;
    driver_t device;
};

env_t::env_t(int store) {
    if (store != 0 && store != 1)
        throw exception_t("env_t -- no environment store %d", store);
    impl = std::make_unique<env_impl_t>(store == 0 ? ZELK_ENV_FLASH : ZELK_ENV_NVRAM);
    impl->device.open(store == 0 ? ZELK_FLASH_ENV_NODE : ZELK_NVRAM_NODE, O_RDWR | O_SYNC);
}

env_t::~env_t() = default;

bool env_t::get(const std::string& key, std::string& value) {
    return impl->get(key, value);
}

std::string env_t::get(const std::string& key) {
    std::string value;
    if (!impl->get(key, value))
        throw exception_t("no such key, %s\n", key.c_str());
    return value;
}

void env_t::set(const std::string& key, const std::string& value) {
    impl->set(key, value);
}

void env_t::set(std::istream& file, load_progress_t* progress) {
    // Clearing comes last: a text that cannot be stored whole must not cost the
    // environment that is there.
    load_progress_t unused;
    load_progress_t& done = progress ? *progress : unused;
    done = {};
    if (!file.good())
        throw exception_t("env_t::set() -- environment text cannot be read");
    std::vector<std::pair<std::string, std::string>> entries;
    while (file.good()) {
        char line[loader_line_size];
        file.getline(line, sizeof line, '\n');
        if (file.bad()) // a failed read (a directory, say) is no long line
            throw exception_t("env_t::set() -- environment text cannot be read");
        const std::size_t length = std::strlen(line);
        // failbit without eofbit: the line filled the buffer before its newline.
        if (length == loader_line_size - 1 || (file.fail() && !file.eof()))
            throw exception_t("env_t::set() -- line overflow");
        // A NUL inside a line would silently cut it (or end the load early) and the
        // rest of the text would be lost; such a text is refused like any bad line.
        const std::size_t taken = static_cast<std::size_t>(file.gcount()) - (file.good() ? 1 : 0);
        if (length != taken)
            throw exception_t("Parse error in %s", line);
        if (length == 0)
            break;
        const char* equals = std::strchr(line, '=');
        if (equals == nullptr)
            throw exception_t("Parse error in %s", line);
        std::string key(line, static_cast<std::size_t>(equals - line));
        std::string value(equals + 1);
        check_field(key, "key", "set");
        check_field(value, "value", "set");
        entries.emplace_back(std::move(key), std::move(value));
    }

    done.checked = true;
    impl->device.ioctl(impl->code(ZELK_ENV_CLEAR));
    done.cleared = true;
    for (const auto& [key, value] : entries) {
        impl->send_set(key, value);
        ++done.stored;
    }
}

void env_t::read_all(std::map<std::string, std::string>& entries) {
    entries.clear();
    driver_t& device = impl->device;
    device.seek(4, SEEK_SET); // the first 4 bytes are the driver's
    std::string entry;
    for (;;) {
        char byte;
        if (device.read(&byte, 1) == 0)
            break; // end of the device: an unterminated entry is dropped
        if (byte != '\0') {
            entry += byte;
            continue;
        }
        if (entry.empty())
            break;
        std::size_t start = 0;
        while (start < entry.size() && std::isspace(static_cast<unsigned char>(entry[start])))
            ++start;
        entry.erase(0, start);
        const std::size_t equals = entry.find('=');
        if (equals == std::string::npos)
            throw exception_t("Parse error in %s", entry.c_str());
        entries[entry.substr(0, equals)] = entry.substr(equals + 1);
        entry.clear();
    }
}

void env_t::print(std::ostream& out) {
    std::map<std::string, std::string> entries;
    read_all(entries);
    for (const auto& [key, value] : entries)
        out << key << "=" << value << std::endl;
}

bool env_t::exists(const std::string& key) {
    std::string value;
    return impl->get(key, value);
}

void env_t::erase(const std::string& key) {
    std::string value;
    if (impl->get(key, value))
        impl->set(key, "");
}

} // namespace qv::zelk
