// SPDX-License-Identifier: MIT
// "-set", "-get" and "-unset": one key each, on the store of "-nvram", whatever device "-dev"
// names. The key and value are checked before anything is opened: a refused one never
// waits for a lock or meets a missing node first.
#include "commands.h"
#include "env_changes.h"
#include "failure.h"
#include "report.h"

#include "zelk/zelk_env.h"

#include <iostream>

namespace {

// The store opened for what the command does: a dry run only reads.
qv::zelk::env_t open_store(const invocation_t& run) {
    return qv::zelk::env_t(run.store, run.has(modifier_t::dryrun)
                                          ? qv::zelk::env_access_t::read_only
                                          : qv::zelk::env_access_t::read_write);
}

// A set of key to value, or with a dry run what it would change. A key set to the value it
// holds is still sent (one request, as ever): the dry run says so.
void set_key(const invocation_t& run, const std::string& key, const std::string& value) {
    qv::zelk::env_t env = open_store(run);
    if (!run.has(modifier_t::dryrun)) {
        env.set(key, value);
        return report_changes({{key, value}}, false);
    }
    // The driver refuses an entry the store has no room for: so does the dry run.
    const qv::zelk::env_image_t image = env.read_image();
    const std::size_t needed = qv::zelk::env_size_after_set(image, {key, value});
    if (needed > image.size)
        throw fatal_failure(error_kind_t::environment,
                            qv::exception_t("%s: %s does not fit: the store would need %zu "
                                            "bytes, it holds %zu",
                                            env_store_node(run.store),
                                            qv::zelk::env_quoted(key).c_str(), needed, image.size));
    std::string held;
    qv::zelk::env_plan_t plan;
    plan.sets.push_back({key, value});
    if (!env.get(key, held))
        plan.added.push_back(key);
    else if (held != value)
        plan.changed.push_back(key);
    report_dry_run(plan);
}

} // namespace

std::unique_ptr<command_t> set_command(const invocation_t& run, const std::string& key,
                                       const std::string& value) {
    return command_of([run, key, value] { set_key(run, key, value); },
                      [key, value] { qv::zelk::env_t::check("set", key, &value); });
}

std::unique_ptr<command_t> get_command(const invocation_t& run, const std::string& key) {
    return command_of(
        [store = run.store, key] {
            qv::zelk::env_t env(store);
            std::string value;
            if (!env.get(key, value))
                throw command_failure_t("no such key, " + key + "\n", error_kind_t::environment,
                                        std::nullopt, command_failure_t::printed_t::as_fatal);
            report_t::run().set("key", json::bytes_t{key});
            report_t::run().set("value", json::bytes_t{value});
            std::cout << key << " = " << value << std::endl;
        },
        [key] { qv::zelk::env_t::check("get", key, nullptr); });
}

std::unique_ptr<command_t> unset_command(const invocation_t& run, const std::string& key) {
    return command_of(
        [run, key] {
            qv::zelk::env_t env = open_store(run);
            std::string held;
            // A missing key stays missing; an existing one is set empty, even when it is.
            const bool exists = env.get(key, held);
            if (run.has(modifier_t::dryrun)) {
                qv::zelk::env_plan_t plan;
                if (exists)
                    plan.sets.push_back({key, ""});
                if (exists && !held.empty())
                    plan.changed.push_back(key);
                return report_dry_run(plan);
            }
            if (!exists)
                return report_changes({}, false);
            env.set(key, "");
            report_changes({{key, ""}}, false);
        },
        [key] { qv::zelk::env_t::check("get", key, nullptr); });
}
