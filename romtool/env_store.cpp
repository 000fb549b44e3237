// SPDX-License-Identifier: MIT
// "-list": the environment as "key=value" lines that "-load" takes back to the same store.
#include "commands.h"
#include "failure.h"
#include "report.h"

#include "zelk/zelk_env.h"

#include <iostream>
#include <map>
#include <utility>
#include <vector>

const char* env_store_node(zelk_env_store store) {
    return store == ZELK_ENV_NVRAM ? ZELK_NVRAM_NODE : ZELK_FLASH_ENV_NODE;
}

std::unique_ptr<command_t> list_command(const invocation_t& run) {
    return command_of([store = run.store] {
        qv::zelk::env_t env(store);
        // Of a key stored twice the later entry counts, as for every reader of the store:
        // it alone is listed, or left out and named when its line would not load back
        // (written by something else than romtool).
        struct stored_t {
            std::string key; // as stored, before a reader drops its leading white space
            std::string value;
        };
        std::map<std::string, stored_t> last;
        env.read_entries([&](const std::string& stored) {
            const phase_t parsing(error_kind_t::environment);
            qv::zelk::env_entry_t entry = qv::zelk::env_entry_of(stored);
            last[entry.key] = {stored.substr(0, stored.find('=')), std::move(entry.value)};
        });
        std::map<std::string, std::string> listing;
        std::vector<std::pair<std::string, std::string>> left_out;
        for (auto& [key, entry] : last) {
            const std::string problem = qv::zelk::env_entry_problem(entry.key, entry.value);
            if (problem.empty())
                listing[key] = std::move(entry.value);
            else
                left_out.emplace_back(entry.key, problem);
        }
        json::array_t entries, unloadable;
        for (const auto& [key, value] : listing) {
            json::value_t entry;
            entry.set("key", json::bytes_t{key});
            entry.set("value", json::bytes_t{value});
            entries.push_back(entry);
            std::cout << key << "=" << value << std::endl;
        }
        report_t& report = report_t::run();
        report.set("entries", entries);
        if (left_out.empty())
            return;
        for (const auto& [key, problem] : left_out) {
            json::value_t entry;
            entry.set("key", json::bytes_t{key});
            entry.set("reason", problem);
            unloadable.push_back(entry);
            std::cerr << "romtool: key " << qv::zelk::env_quoted(key)
                      << " will not load back: " << problem << std::endl;
        }
        report.set("left_out", unloadable);
        // Each was named on standard error; the object says how many.
        throw command_failure_t(
            report.json() ? std::to_string(left_out.size()) + " entries will not load back" : "",
            error_kind_t::environment);
    });
}
