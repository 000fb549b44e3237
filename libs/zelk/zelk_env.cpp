// SPDX-License-Identifier: MIT
#include "zelk/zelk_env.h"

#include "posix/exception.h"
#include "zelk/zelk_driver.h"

#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace qv::zelk {

namespace {

void fill_field(char (&field)[ENV_FIELD_SIZE], const std::string& text) {
    std::memcpy(field, text.data(), text.size()); // checked: at most the field
}

} // namespace

class env_impl_t {
public:
    explicit env_impl_t(zelk_env_store store) : store(store) {}

    unsigned int code(zelk_env_op op) const { return env_request_code(store, op); }

    bool get(const std::string& key, std::string& value) {
        env_t::check("get", key, nullptr);
        env_request_t record = {};
        fill_field(record.key, key);
        if (device.ioctl(code(ZELK_ENV_GET), &record) == 0)
            return false;
        value.assign(record.value, strnlen(record.value, sizeof record.value));
        return true;
    }

    void set(const std::string& key, const std::string& value) {
        env_t::check("set", key, &value);
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

env_t::env_t(int store, env_access_t access) {
    if (store != 0 && store != 1)
        throw exception_t("env_t -- no environment store %d", store);
    impl = std::make_unique<env_impl_t>(store == 0 ? ZELK_ENV_FLASH : ZELK_ENV_NVRAM);
    impl->device.open(store == 0 ? ZELK_FLASH_ENV_NODE : ZELK_NVRAM_NODE,
                      access == env_access_t::read_only ? O_RDONLY : O_RDWR | O_SYNC);
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

void env_t::check(const char* caller, const std::string& key, const std::string* value) {
    // A get of any key is harmless: only a key cut short would read another one.
    std::string problem;
    if (value)
        problem = env_entry_problem(key, *value);
    else if (key.size() > ENV_FIELD_SIZE)
        problem = env_entry_problem(key, "");
    if (!problem.empty())
        throw exception_t("env_t::%s() -- %s", caller, problem.c_str());
}

env_image_t env_t::read_image() {
    driver_t& device = impl->device;
    device.seek(0, SEEK_SET);
    std::string bytes;
    char piece[4096];
    for (;;) {
        const ssize_t got = device.read(piece, sizeof piece);
        if (got == 0)
            break;
        bytes.append(piece, static_cast<std::size_t>(got));
    }
    return env_image_of(bytes);
}

void env_t::apply(const env_plan_t& plan, load_progress_t* progress) {
    load_progress_t unused;
    load_progress_t& done = progress ? *progress : unused;
    done.checked = true;
    if (plan.clear) {
        impl->device.ioctl(impl->code(ZELK_ENV_CLEAR));
        done.cleared = true;
    }
    for (const env_entry_t& entry : plan.sets) {
        impl->send_set(entry.key, entry.value);
        ++done.stored;
    }
}

void env_t::read_entries(const std::function<void(const std::string& entry)>& each) {
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
        each(entry);
        entry.clear();
    }
}

void env_t::read_all(std::map<std::string, std::string>& entries) {
    entries.clear();
    read_entries([&](const std::string& stored) {
        env_entry_t entry = env_entry_of(stored);
        entries[entry.key] = std::move(entry.value);
    });
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
