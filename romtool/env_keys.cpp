// SPDX-License-Identifier: MIT
// "-set" and "-get": one request each on an environment store; the node is open only
// for the command, whatever device "-dev" names.
#include "commands.h"

#include "zelk/zelk_env.h"

#include <iostream>

void set_env_key(const std::string& key, const std::string& value, env_store_t store) {
    qv::zelk::env_t env(static_cast<int>(store));
    env.set(key, value);
}

void get_env_key(const std::string& key, env_store_t store) {
    qv::zelk::env_t env(static_cast<int>(store));
    const std::string value = env.get(key);
    std::cout << key << " = " << value << std::endl;
}
