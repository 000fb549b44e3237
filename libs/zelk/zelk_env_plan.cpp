// SPDX-License-Identifier: MIT
#include "zelk/zelk_env_plan.h"

#include <algorithm>
#include <map>
#include <optional>

namespace qv::zelk {

namespace {

constexpr std::size_t header_size = 4;

// The key the driver matches an entry by, when it has one (entries without "=" never match).
std::optional<std::string> driver_key(const std::string& entry) {
    const std::size_t equals = entry.find('=');
    if (equals == std::string::npos)
        return std::nullopt;
    return entry.substr(0, equals);
}

// The text as the store should hold it: each key once, at its first line, with its last value.
struct text_keys_t {
    std::vector<env_entry_t> entries;
    std::vector<std::size_t> first_lines;
    std::map<std::string, std::size_t> index;
};

text_keys_t text_keys(const std::vector<env_text_line_t>& text) {
    text_keys_t keys;
    for (const env_text_line_t& line : text) {
        const auto [at, added] = keys.index.emplace(line.entry.key, keys.entries.size());
        if (added) {
            keys.entries.push_back(line.entry);
            keys.first_lines.push_back(line.line);
        } else {
            keys.entries[at->second].value = line.entry.value;
        }
    }
    return keys;
}

} // namespace

env_image_t env_image_of(const std::string& bytes) {
    env_image_t image;
    image.size = bytes.size();
    for (std::size_t at = header_size; at < bytes.size();) {
        const std::size_t end = bytes.find('\0', at);
        if (end == std::string::npos || end == at)
            break;
        image.entries.push_back(bytes.substr(at, end - at));
        at = end + 1;
    }
    return image;
}

std::size_t env_stored_size(const std::vector<std::string>& entries) {
    std::size_t size = header_size + 1;
    for (const std::string& entry : entries)
        size += entry.size() + 1;
    return size;
}

env_plan_t plan_load(const env_image_t& store, const std::vector<env_text_line_t>& text) {
    const text_keys_t keys = text_keys(text);
    env_plan_t plan;

    // The store's keys as a get sees them (the last entry of a key holds its value), and
    // the bytes each key's entries take: a set leaves one entry of the key.
    std::map<std::string, std::string> held;
    std::map<std::string, std::size_t> held_bytes;
    for (const std::string& entry : store.entries) {
        const auto key = driver_key(entry);
        if (!key || keys.index.count(*key) == 0) {
            plan.removed.push_back(key ? *key : entry);
            plan.clear = true;
        } else {
            held[*key] = entry.substr(key->size() + 1);
            held_bytes[*key] += entry.size() + 1;
        }
    }
    const auto bytes_of = [](const env_entry_t& entry) {
        return entry.key.size() + 1 + entry.value.size() + 1;
    };
    std::vector<env_entry_t> shrinking, growing, added;
    for (const env_entry_t& entry : keys.entries) {
        const auto found = held.find(entry.key);
        if (found == held.end()) {
            plan.added.push_back(entry.key);
            added.push_back(entry);
        } else if (found->second != entry.value) {
            plan.changed.push_back(entry.key);
            (bytes_of(entry) < held_bytes[entry.key] ? shrinking : growing).push_back(entry);
        }
    }

    if (!plan.clear) {
        // Shrinking first: from the size before, the sizes fall, then rise to the size after.
        const auto send = [&] {
            std::size_t size = env_stored_size(store.entries);
            plan.needed = size;
            plan.sets.clear();
            for (const auto* group : {&shrinking, &growing, &added}) {
                for (const env_entry_t& entry : *group) {
                    const auto was = held_bytes.find(entry.key);
                    size = size + bytes_of(entry) - (was == held_bytes.end() ? 0 : was->second);
                    plan.needed = std::max(plan.needed, size);
                    plan.sets.push_back(entry);
                }
            }
            return plan.needed <= store.size;
        };
        if (send())
            return plan;
        // Stale copies of a key left no room: a set of its own value makes the driver drop
        // them, which costs a write but, unlike a clear, never the other keys.
        for (const env_entry_t& entry : keys.entries) {
            const auto was = held.find(entry.key);
            if (was != held.end() && was->second == entry.value &&
                bytes_of(entry) < held_bytes[entry.key])
                shrinking.insert(shrinking.begin(), entry);
        }
        if (send())
            return plan;
        plan.clear = true;
    }

    plan.sets = keys.entries;
    plan.needed = env_stored_size({});
    for (std::size_t i = 0; i < keys.entries.size(); ++i) {
        plan.needed += bytes_of(keys.entries[i]);
        if (plan.overflow_line == 0 && plan.needed > store.size)
            plan.overflow_line = keys.first_lines[i];
    }
    return plan;
}

std::size_t env_size_after_set(const env_image_t& store, const env_entry_t& set) {
    std::size_t size = env_stored_size({}) + set.key.size() + 1 + set.value.size() + 1;
    for (const std::string& entry : store.entries)
        if (driver_key(entry) != set.key)
            size += entry.size() + 1;
    return size;
}

} // namespace qv::zelk
