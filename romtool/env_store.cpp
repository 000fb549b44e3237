// SPDX-License-Identifier: MIT
// "-list", "-unset" and "-load": the environment as a whole, on either store. A listing
// loads back as it was printed.
#include "commands.h"

#include "failure.h"

#include "posix/exception.h"
#include "zelk/zelk_env.h"

#include <cerrno>
#include <fstream>
#include <iostream>

const char* env_store_node(env_store_t store) {
    return store == env_store_t::flash ? "/dev/zelk/flash_env0" : "/dev/zelk/nvram0";
}

void list_env(env_store_t store) {
    qv::zelk::env_t env(static_cast<int>(store));
    env.print(std::cout);
}

void unset_env_key(const std::string& key, env_store_t store) {
    qv::zelk::env_t env(static_cast<int>(store));
    env.erase(key);
}

void load_env(const std::string& file, env_store_t store) {
    // Opened before the store: a text that cannot be read must not cost the environment.
    std::ifstream opened;
    if (file != "-") {
        opened.open(file);
        if (!opened.is_open()) {
            const int error = errno;
            throw qv::posix::posix_exception_t(error, "%s: %s", file.c_str(),
                                               qv::posix::file_open_exception_t(error).what());
        }
    }
    std::istream& text = file == "-" ? std::cin : opened;
    qv::zelk::env_t env(static_cast<int>(store));
    qv::zelk::env_t::load_progress_t progress;
    try {
        env.set(text, &progress);
    } catch (const qv::exception_t& e) {
        if (!progress.checked)
            throw; // a bad text: nothing was sent
        if (!progress.cleared)
            throw command_failure_t(std::string("load failed when clearing the store: ") +
                                    e.what());
        throw command_failure_t("load failed after " + std::to_string(progress.stored) +
                                (progress.stored == 1 ? " line was" : " lines were") +
                                " stored: " + e.what());
    }
}
