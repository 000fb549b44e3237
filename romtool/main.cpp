// SPDX-License-Identifier: MIT
// romtool: one command per run, chosen by option from the command table; every failure a
// command lets out ends the run with one fatal-error message on standard output and status 1.
#include "command_table.h"
#include "device_lock.h"
#include "failure.h"
#include "standard_streams.h"
#include "usage.h"

#include "util/args.h"

#include <cstdio>
#include <iostream>
#include <string>

namespace {

const command_row_t* winning_command(args_t& args) {
    for (const command_row_t& row : command_rows())
        if (args.find(row.option) || (row.alias && args.find(row.alias)))
            return &row;
    return nullptr;
}

// Everything made here, the command's handles among them, is destroyed before main
// writes a fatal error, so the device is closed by the time the operator reads it.
// output_is_data: standard output carries the command's data, so messages go elsewhere.
int run(int argc, char** argv, bool& output_is_data) {
    args_t args(argc, argv);
    // Before anything else: asking for help never touches a device.
    if (args.find("-h") || args.find("--help")) {
        help();
        return 0;
    }
    // Never a value and never the end of a list, wherever they stand.
    std::vector<std::string> flags;
    for (const modifier_row_t& row : modifier_rows())
        flags.push_back(row.option);
    args.set_modifiers(flags, {device_option});

    invocation_t invocation;
    std::string dev = "env0";
    if (args.find(device_option) && !args.get(dev))
        return usage();
    invocation.device = ZELK_FLASH_NODE_PREFIX + dev;
    for (const modifier_row_t& row : modifier_rows())
        if (args.find(row.option))
            invocation.modifiers.add(row.modifier);
    invocation.store = invocation.has(modifier_t::nvram) ? ZELK_ENV_NVRAM : ZELK_ENV_FLASH;

    const command_row_t* row = winning_command(args);
    if (!row)
        return usage();
    // Declared before the command: released only once its handles are closed.
    device_lock_t lock;
    const std::unique_ptr<command_t> command = row->make(args, invocation);
    if (!command)
        return usage();
    // A modifier that does not apply would be ignored without a word (-e -nvram would
    // erase the flash store): refused before anything is read or opened.
    for (const modifier_row_t& modifier : modifier_rows())
        if (invocation.has(modifier.modifier) && !row->modifiers.has(modifier.modifier))
            throw command_failure_t(std::string(modifier.option) + " does not apply to " +
                                    row->option);
    output_is_data = command->output_is_data();

    command->prepare();
    const std::string node = row->node == node_t::device          ? invocation.device
                             : invocation.store == ZELK_ENV_NVRAM ? ZELK_NVRAM_NODE
                                                                  : ZELK_FLASH_ENV_NODE;
    lock.take(node, row->lock,
              invocation.has(modifier_t::nowait) ? lock_wait_t::fail_at_once : lock_wait_t::wait);
    command->run();
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    // A closed standard descriptor would be the next one opened: a device node, which a
    // line of output would then be written into.
    if (!open_standard_streams())
        return 1;
    int status = 0;
    bool failed = false;
    bool output_is_data = false;
    const std::string message = fatal_message_of("\nromtool fatal error ", failed,
                                                 [&] { status = run(argc, argv, output_is_data); });
    if (failed) {
        if (!message.empty())
            (output_is_data ? std::cerr : std::cout) << message << std::endl;
        status = 1;
    }
    // Output that never arrived fails the run, or `ip=$(romtool -get serverip)` could not
    // tell it got nothing. The stream and printf share stdout's buffer: one check covers both.
    std::cout.flush();
    if (std::fflush(stdout) != 0 || std::ferror(stdout) || !std::cout) {
        std::fputs("romtool: write error on standard output\n", stderr);
        return 1;
    }
    return status;
}
