// SPDX-License-Identifier: MIT
// "-set", "-get" and "-unset": one key each, on the store of "-nvram", whatever device "-dev"
// names. The key and value are checked before anything is opened: a refused one never
// waits for a lock or meets a missing node first.
#include "commands.h"

#include "zelk/zelk_env.h"

#include <iostream>

std::unique_ptr<command_t> set_command(const invocation_t& run, const std::string& key,
                                       const std::string& value) {
    return command_of(
        [store = run.store, key, value] {
            qv::zelk::env_t env(store);
            env.set(key, value);
        },
        [key, value] { qv::zelk::env_t::check("set", key, &value); });
}

std::unique_ptr<command_t> get_command(const invocation_t& run, const std::string& key) {
    return command_of(
        [store = run.store, key] {
            qv::zelk::env_t env(store);
            const std::string value = env.get(key);
            std::cout << key << " = " << value << std::endl;
        },
        [key] { qv::zelk::env_t::check("get", key, nullptr); });
}

std::unique_ptr<command_t> unset_command(const invocation_t& run, const std::string& key) {
    return command_of(
        [store = run.store, key] {
            qv::zelk::env_t env(store);
            env.erase(key);
        },
        [key] { qv::zelk::env_t::check("get", key, nullptr); });
}
