// SPDX-License-Identifier: MIT
#undef _FILE_OFFSET_BITS
#undef _TIME_BITS
#include "faults.h"

#include "files.h"

#include <climits>
#include <cstdlib>
#include <cstring>

namespace vboard {

namespace {

uint64_t splitmix64(uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

bool op_matches(const std::string& rule_op, const char* op) {
    if (rule_op == op)
        return true;
    // pread and pwrite are reads and writes at the driver
    return (rule_op == "read" && std::strcmp(op, "pread") == 0) ||
           (rule_op == "write" && std::strcmp(op, "pwrite") == 0);
}

} // namespace

const std::string* fault_rules_t::rule_t::find(const std::string& key) const {
    for (const auto& [k, v] : fields)
        if (k == key)
            return &v;
    return nullptr;
}

std::string fault_rules_t::rule_t::get(const std::string& key) const {
    const std::string* value = find(key);
    return value ? *value : std::string();
}

void fault_rules_t::rule_t::set(const std::string& key, const std::string& value) {
    for (auto& f : fields)
        if (f.first == key) {
            f.second = value;
            return;
        }
    fields.emplace_back(key, value);
}

bool fault_rules_t::rule_t::fires(long long hits) const {
    if (find("nth"))
        return hits == to_number(get("nth"), 0);
    if (find("from"))
        return hits >= to_number(get("from"), LLONG_MAX);
    if (find("prob")) {
        // Whether the k-th call fires depends on the seed and k only.
        double p = std::strtod(get("prob").c_str(), nullptr);
        uint64_t seed = static_cast<uint64_t>(to_number(get("seed"), 0));
        uint64_t x = splitmix64(seed ^ splitmix64(static_cast<uint64_t>(hits)));
        return static_cast<double>(x >> 11) * (1.0 / 9007199254740992.0) < p;
    }
    return true; // every call
}

fault_rules_t::fault_rules_t(const std::string& text) {
    for (const std::string& line : split_lines(text)) {
        rule_t rule;
        size_t pos = 0;
        while (pos < line.size()) {
            while (pos < line.size() && line[pos] == ' ')
                ++pos;
            size_t end = line.find(' ', pos);
            if (end == std::string::npos)
                end = line.size();
            if (end > pos) {
                std::string token = line.substr(pos, end - pos);
                size_t eq = token.find('=');
                if (eq == std::string::npos)
                    rule.fields.emplace_back(token, std::string());
                else
                    rule.fields.emplace_back(token.substr(0, eq), token.substr(eq + 1));
            }
            pos = end;
        }
        if (!rule.fields.empty() && rule.fields[0].first[0] != '#')
            rules_.push_back(std::move(rule));
    }
}

fault_t fault_rules_t::check(const std::string& node, const char* op, uint32_t code) {
    fault_t out;
    for (rule_t& rule : rules_) {
        std::string rule_node = rule.get("node");
        if (rule_node != "*" && rule_node != node)
            continue;
        if (!op_matches(rule.get("op"), op))
            continue;
        if (rule.find("code") && static_cast<uint32_t>(to_number(rule.get("code"), -1)) != code)
            continue;
        long long hits = to_number(rule.get("hits"), 0) + 1;
        rule.set("hits", std::to_string(hits));
        changed_ = true;
        if (out.fired || !rule.fires(hits))
            continue;
        out.fired = true;
        out.id = static_cast<int>(to_number(rule.get("id"), 0));
        out.error = static_cast<int>(to_number(rule.get("errno"), 0));
        out.short_to = to_number(rule.get("short"), -1);
        out.power_cut = rule.find("powercut") != nullptr;
        out.partial = to_number(rule.get("partial"), 0);
    }
    return out;
}

std::string fault_rules_t::text() const {
    std::string text;
    for (const rule_t& rule : rules_) {
        bool first = true;
        for (const auto& [k, v] : rule.fields) {
            if (!first)
                text += ' ';
            first = false;
            text += k;
            if (!v.empty() || k == "node")
                text += "=" + v;
        }
        text += '\n';
    }
    return text;
}

} // namespace vboard
