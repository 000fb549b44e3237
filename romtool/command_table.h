// SPDX-License-Identifier: MIT
// The command line as one table: every command with the arguments it takes, the node it
// works on, its lock, the modifiers that apply to it and its help line; every modifier with
// its own. Dispatch, locking, --help and the refusal of a modifier that does not apply all
// read it, so a command is added by adding a row.
#pragma once

#include "command.h"
#include "device_lock.h"

#include <memory>
#include <vector>

class args_t;

// What a command works on, and so what it locks.
enum class node_t {
    device,    // the node of "-dev"
    env_store, // the environment store of "-nvram" (the flash store without it)
    flash_env, // the environment flash store, whatever the line says
    none,      // nothing of the board
};

struct command_row_t {
    const char* option;
    const char* alias;    // another spelling of the option, or nullptr
    const char* synopsis; // the option and its arguments, as --help shows them
    const char* help;
    node_t node;
    lock_mode_t lock;
    modifier_set_t modifiers; // those that apply
    // The command, its arguments read from the cursor behind the option; null when they
    // are missing or unusable (the usage text).
    std::unique_ptr<command_t> (*make)(args_t& args, const invocation_t& run);
    int usage_line; // where the usage text lists it (1 is its first line), 0: not there
};

struct modifier_row_t {
    const char* option;
    modifier_t modifier;
    const char* help;
};

// In order of precedence: of the commands on a command line, the first row present wins.
const std::vector<command_row_t>& command_rows();
const std::vector<modifier_row_t>& modifier_rows();

// "-dev": not a command, worded, listed first by the usage text.
constexpr const char* device_option = "-dev";
constexpr const char* device_synopsis = "-dev [dev=env0]";
constexpr const char* device_help = "device: fpga0/1, bios0/1, booter, env0/1";
