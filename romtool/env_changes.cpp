// SPDX-License-Identifier: MIT
#include "env_changes.h"

#include "report.h"

#include "zelk/zelk_env_text.h"

#include <algorithm>
#include <iostream>

namespace {

json::value_t keys_of(const std::vector<std::string>& keys) {
    json::array_t out;
    for (const std::string& key : keys)
        out.push_back(json::bytes_t{key});
    return out;
}

} // namespace

void report_changes(const std::vector<qv::zelk::env_entry_t>& sets, bool cleared) {
    std::vector<std::string> keys;
    for (const qv::zelk::env_entry_t& set : sets)
        keys.push_back(set.key);
    report_t::run().set("set", keys_of(keys));
    report_t::run().set("clear", cleared);
}

void report_dry_run(const qv::zelk::env_plan_t& plan) {
    // A key set to the value it holds: no change to the environment, but a write all the same
    // (after a clear every key is set again, which the clear's line says).
    std::vector<std::string> again, sets;
    for (const qv::zelk::env_entry_t& set : plan.sets) {
        sets.push_back(set.key);
        const auto named = [&](const std::vector<std::string>& keys) {
            return std::find(keys.begin(), keys.end(), set.key) != keys.end();
        };
        if (!plan.clear && !named(plan.added) && !named(plan.changed))
            again.push_back(set.key);
    }
    json::value_t out;
    out.set("clear", plan.clear);
    out.set("added", keys_of(plan.added));
    out.set("changed", keys_of(plan.changed));
    out.set("removed", keys_of(plan.removed));
    out.set("set", keys_of(sets));
    report_t::run().set("dryrun", true);
    report_t::run().set("plan", out);
    if (plan.clear)
        std::cout << "dry run: would clear the store" << std::endl;
    for (const auto& [verb, keys] : {std::pair{"add", &plan.added},
                                     {"change", &plan.changed},
                                     {"remove", &plan.removed},
                                     {"set again", &again}})
        for (const std::string& key : *keys)
            std::cout << "dry run: would " << verb << " " << qv::zelk::env_quoted(key) << std::endl;
    if (!plan.clear && sets.empty() && plan.removed.empty())
        std::cout << "dry run: nothing would change" << std::endl;
}
