// SPDX-License-Identifier: MIT
#include "env_changes.h"

#include "report.h"

#include "zelk/zelk_env_text.h"

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
    json::value_t out;
    out.set("clear", plan.clear);
    out.set("added", keys_of(plan.added));
    out.set("changed", keys_of(plan.changed));
    out.set("removed", keys_of(plan.removed));
    report_t::run().set("dryrun", true);
    report_t::run().set("plan", out);
    if (plan.clear)
        std::cout << "dry run: would clear the store" << std::endl;
    for (const auto& [verb, keys] :
         {std::pair{"add", &plan.added}, {"change", &plan.changed}, {"remove", &plan.removed}})
        for (const std::string& key : *keys)
            std::cout << "dry run: would " << verb << " " << qv::zelk::env_quoted(key) << std::endl;
    if (!plan.clear && plan.added.empty() && plan.changed.empty() && plan.removed.empty())
        std::cout << "dry run: nothing would change" << std::endl;
}
