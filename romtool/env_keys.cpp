// SPDX-License-Identifier: MIT
// "-set" and "-get": one request each on the environment flash; the node is open only
// for the command, whatever device "-dev" names.
#include "commands.h"

#include "zelk/zelk_env.h"

#include <iostream>

namespace {
constexpr int flash_store = 0;
}

void set_env_key(const std::string& key, const std::string& value) {
    qv::zelk::env_t env(flash_store);
    env.set(key, value);
}

void get_env_key(const std::string& key) {
    qv::zelk::env_t env(flash_store);
    const std::string value = env.get(key);
    std::cout << key << " = " << value << std::endl;
}
