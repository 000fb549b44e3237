// SPDX-License-Identifier: MIT
// romtool: one command per run, chosen by option from the command table; every failure a
// command lets out ends the run with one message and status 1 (with "-json", one object).
#include "command_table.h"
#include "commands.h"
#include "device_lock.h"
#include "failure.h"
#include "held_signals.h"
#include "report.h"
#include "standard_streams.h"
#include "usage.h"

#include "util/args.h"

#include <csignal>
#include <cstdio>
#include <iostream>
#include <pthread.h>
#include <signal.h>
#include <string>

namespace {

const command_row_t* winning_command(args_t& args) {
    for (const command_row_t& row : command_rows())
        if (args.find(row.option) || (row.alias && args.find(row.alias)))
            return &row;
    return nullptr;
}

const char* node_of(const command_row_t& row, const invocation_t& run) {
    if (row.node == node_t::device)
        return run.device.c_str();
    if (row.node == node_t::env_store)
        return env_store_node(run.store);
    if (row.node == node_t::flash_env)
        return ZELK_FLASH_ENV_NODE;
    return nullptr;
}

// Everything made here, the command's handles among them, is destroyed before main
// writes a fatal error, so the device is closed by the time the operator reads it.
// output_is_data: standard output carries the command's data, so messages go elsewhere.
void run(int argc, char** argv, bool& output_is_data) {
    args_t args(argc, argv);
    // Before anything else: asking for help never touches a device.
    if (args.find("-h") || args.find("--help"))
        return help();
    report_t& report = report_t::run();
    const phase_t reading_the_line(error_kind_t::usage);
    // Never a value and never the end of a list, wherever they stand.
    std::vector<std::string> flags;
    for (const modifier_row_t& row : modifier_rows())
        flags.push_back(row.option);
    args.set_modifiers(flags, {device_option});
    if (args.find("-json"))
        report.use_json(); // before anything is printed, the usage text included

    invocation_t invocation;
    std::string dev = "env0";
    if (args.find(device_option) && !args.get(dev))
        usage_failure();
    invocation.device = ZELK_FLASH_NODE_PREFIX + dev;
    for (const modifier_row_t& row : modifier_rows())
        if (args.find(row.option))
            invocation.modifiers.add(row.modifier);
    invocation.store = invocation.has(modifier_t::nvram) ? ZELK_ENV_NVRAM : ZELK_ENV_FLASH;

    const command_row_t* row = winning_command(args);
    if (!row)
        usage_failure();
    report.command(row->option, node_of(*row, invocation));
    // Declared before the command: released only once its handles are closed.
    device_lock_t lock;
    const std::unique_ptr<command_t> command = row->make(args, invocation);
    if (!command)
        usage_failure();
    // A modifier that does not apply would be ignored without a word (-e -nvram would
    // erase the flash store): refused before anything is read or opened.
    for (const modifier_row_t& modifier : modifier_rows())
        if (invocation.has(modifier.modifier) && !row->modifiers.has(modifier.modifier))
            throw command_failure_t(std::string(modifier.option) + " does not apply to " +
                                    row->option);
    output_is_data = command->output_is_data();

    {
        const phase_t reading_inputs(error_kind_t::input);
        command->prepare();
    }
    {
        const phase_t locking(error_kind_t::lock);
        // A dry run changes nothing: it reads beside other readers.
        const lock_mode_t mode =
            row->lock == lock_mode_t::exclusive && invocation.has(modifier_t::dryrun)
                ? lock_mode_t::shared
                : row->lock;
        const char* node = node_of(*row, invocation);
        lock.take(node ? node : "", mode,
                  invocation.has(modifier_t::nowait) ? lock_wait_t::fail_at_once
                                                     : lock_wait_t::wait);
    }
    const phase_t working(error_kind_t::device);
    command->run();
}

// The message printed for a failure: as the command worded it, or the fatal error.
void print_failure(const failure_t& failure, bool output_is_data) {
    report_t& report = report_t::run();
    if (failure.text.empty())
        return; // printed already
    if (!report.json())
        (output_is_data ? std::cerr : std::cout) << failure.text << std::endl;
    else if (failure.kind == error_kind_t::usage && failure.text.rfind("Usage: ", 0) == 0)
        report.json_errors() << failure.text << std::endl;
}

} // namespace

int main(int argc, char** argv) {
    // A closed standard descriptor would be the next one opened: a device node, which a
    // line of output would then be written into.
    if (!open_standard_streams())
        return 1;
    report_t& report = report_t::run();
    bool output_is_data = false;
    const std::optional<failure_t> failure =
        failure_of("\nromtool fatal error ", [&] { run(argc, argv, output_is_data); });
    if (failure)
        print_failure(*failure, output_is_data);
    const bool printed = !report.json() || report.print(failure, output_is_data);
    // Output that never arrived fails the run, or `ip=$(romtool -get serverip)` could not
    // tell it got nothing.
    std::cout.flush();
    const bool written = printed && std::fflush(stdout) == 0 && !std::ferror(stdout) && std::cout;
    if (!written)
        report.json_errors() << "romtool: write error on standard output" << std::endl;
    // A signal held off while a change was under way, which then failed, ends the run now
    // that its failure is out.
    held_signals_t::release_deferred();
    if (!written)
        return 1;
    // "-l" ends by ctrl-c: with "-json" its object is out, then it ends as without.
    if (const int number = report.ended_by_signal()) {
        std::signal(number, SIG_DFL);
        sigset_t waited;
        sigemptyset(&waited);
        sigaddset(&waited, number);
        pthread_sigmask(SIG_UNBLOCK, &waited, nullptr);
        std::raise(number);
    }
    return failure ? 1 : 0;
}
