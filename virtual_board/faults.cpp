// SPDX-License-Identifier: MIT
#undef _FILE_OFFSET_BITS
#undef _TIME_BITS
#include "faults.h"

#include "files.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace vboard {

namespace {

const std::string* find(const std::vector<std::pair<std::string, std::string>>& fields,
                        const std::string& key) {
    for (const auto& [k, v] : fields)
        if (k == key)
            return &v;
    return nullptr;
}

template <size_t N> void copy_field(char (&to)[N], const std::string* from) {
    std::memset(to, 0, N);
    if (from)
        std::memcpy(to, from->data(), std::min(from->size(), N - 1));
}

// prob=P as the core compares it: the k-th call fires when its 53-bit draw m is
// below P * 2^53, which for a whole m is below that number rounded up.
uint64_t threshold(const std::string& prob) {
    const double p = std::strtod(prob.c_str(), nullptr);
    if (!(p > 0))
        return 0;
    if (p >= 1)
        return 1ull << 53;
    return static_cast<uint64_t>(std::ceil(std::ldexp(p, 53)));
}

zc_rule rule_of(const std::vector<std::pair<std::string, std::string>>& fields) {
    auto number = [&](const char* key, long long fallback) {
        const std::string* value = find(fields, key);
        return to_number(value ? *value : std::string(), fallback);
    };
    zc_rule rule{};
    copy_field(rule.node, find(fields, "node"));
    copy_field(rule.op, find(fields, "op"));
    rule.has_code = find(fields, "code") != nullptr;
    rule.code = static_cast<uint32_t>(number("code", -1));
    if (find(fields, "nth")) {
        rule.trigger = ZC_NTH;
        rule.n = number("nth", 0);
    } else if (find(fields, "from")) {
        rule.trigger = ZC_FROM;
        rule.n = number("from", LLONG_MAX);
    } else if (const std::string* prob = find(fields, "prob")) {
        rule.trigger = ZC_PROB;
        rule.seed = static_cast<uint64_t>(number("seed", 0));
        rule.threshold = threshold(*prob);
    } else {
        rule.trigger = ZC_EVERY;
    }
    rule.id = static_cast<int>(number("id", 0));
    rule.error = static_cast<int>(number("errno", 0));
    rule.power_cut = find(fields, "powercut") != nullptr;
    rule.silent = find(fields, "silent") != nullptr;
    rule.short_to = number("short", -1);
    rule.partial = number("partial", 0);
    rule.hits = number("hits", 0);
    return rule;
}

} // namespace

fault_rules_t::fault_rules_t(const std::string& text) {
    for (const std::string& line : split_lines(text)) {
        fields_t fields;
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
                    fields.emplace_back(token, std::string());
                else
                    fields.emplace_back(token.substr(0, eq), token.substr(eq + 1));
            }
            pos = end;
        }
        if (fields.empty() || fields[0].first[0] == '#')
            continue;
        rules_.push_back(rule_of(fields));
        loaded_hits_.push_back(rules_.back().hits);
        fields_.push_back(std::move(fields));
    }
}

std::string fault_rules_t::text() const {
    std::string text;
    for (size_t i = 0; i < fields_.size(); ++i) {
        fields_t fields = fields_[i];
        if (rules_[i].hits != loaded_hits_[i]) {
            size_t at = 0;
            while (at < fields.size() && fields[at].first != "hits")
                ++at;
            if (at == fields.size())
                fields.emplace_back("hits", std::string());
            fields[at].second = std::to_string(rules_[i].hits);
        }
        bool first = true;
        for (const auto& [k, v] : fields) {
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
