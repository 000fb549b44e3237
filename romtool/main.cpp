// SPDX-License-Identifier: MIT
// romtool: one command per run, chosen by option; every failure a command lets out
// ends the run with one fatal-error message on standard output and status 1.
#include "commands.h"
#include "device_lock.h"
#include "failure.h"
#include "program_options.h"
#include "usage.h"

#include "posix/exception.h"
#include "util/args.h"

#include <cstdio>
#include <iostream>
#include <list>
#include <string>

namespace {

// Everything made here, the command's handles among them, is destroyed before main
// writes a fatal error, so the device is closed by the time the operator reads it.
// data_on_stdout: standard output carries a dump, so messages must go elsewhere.
int run(int argc, char** argv, bool& data_on_stdout) {
    args_t args(argc, argv);
    // Before anything else: asking for help never touches a device.
    if (args.find("-h") || args.find("--help")) {
        help();
        return 0;
    }
    // Never a value and never the end of a list, wherever they stand.
    args.set_modifiers({"-erase", "-ifchanged", "-verify", "-progress", "-nowait", "-nvram"}, {"-dev"});
    std::string path = "/dev/zelk/flash_";
    std::string dev = "env0";

    if (args.find("-dev") && !args.get(dev))
        return usage();
    path += dev;

    // Modifiers: each changes nothing unless present.
    program_options_t options;
    options.erase = args.find("-erase");
    options.ifchanged = args.find("-ifchanged");
    options.verify = args.find("-verify");
    options.progress = args.find("-progress");
    const bool nowait = args.find("-nowait");
    // Held until the command's handles are closed; -rmt, -wmt and -l take none.
    device_lock_t lock;
    const auto lock_device = [&](const std::string& node, lock_mode_t mode) {
        lock.take(node, mode, nowait);
    };
    // What the environment commands work on.
    const env_store_t store = args.find("-nvram") ? env_store_t::nvram : env_store_t::flash;
    const std::string env_node = env_store_node(store);

    // The first option of this list that is present wins, wherever it stands.
    if (args.find("-r")) {
        int count = 64;
        args.get(count); // missing or unreadable: the default stays
        lock_device(path, lock_mode_t::shared);
        dump_device(path, count);
    } else if (args.find("-dump")) {
        std::string file = "dump.bin";
        if (!args.get(file) && args.take_dash())
            file = "-"; // standard output
        data_on_stdout = names_standard_output(file);
        lock_device(path, lock_mode_t::shared);
        dump_to_file(path, file, options.progress);
    } else if (args.find("-rmt")) {
        env_thread_test(args, env_threads_t::readers);
    } else if (args.find("-wmt")) {
        env_thread_test(args, env_threads_t::writers);
    } else if (args.find("-e")) {
        lock_device(path, lock_mode_t::exclusive);
        erase_device(path);
    } else if (args.find("-set")) {
        // The value is the whole argument: boot arguments hold blanks.
        std::string key, value;
        if (!args.get(key) || !args.get_text(value))
            return usage();
        lock_device(env_node, lock_mode_t::exclusive);
        set_env_key(key, value, store);
    } else if (args.find("-get")) {
        std::string key;
        if (!args.get(key))
            return usage();
        lock_device(env_node, lock_mode_t::shared);
        get_env_key(key, store);
    } else if (args.find("-p")) {
        // Without an image nothing was programmed: a failure, so scripts must see 1.
        std::string file;
        if (!args.get(file))
            return usage();
        lock_device(path, lock_mode_t::exclusive);
        program_device(path, file, options);
    } else if (args.find("-pbios")) {
        std::string file;
        if (!args.get(file))
            return usage();
        lock_device(path, lock_mode_t::exclusive);
        program_bios(path, file, options);
    } else if (args.find("-pfpga")) {
        std::list<std::string> files;
        for (std::string file; args.get(file);)
            files.push_back(file);
        if (files.empty())
            return usage();
        lock_device(path, lock_mode_t::exclusive);
        program_fpga(path, files, options);
    } else if (args.find("-i")) {
        lock_device(path, lock_mode_t::shared);
        device_info(path);
    } else if (args.find("-l")) {
        access_loop(path);
    } else if (args.find("-crc")) {
        std::string layout;
        if (!args.get(layout) || (layout != "bios" && layout != "fpga"))
            return usage();
        lock_device(path, lock_mode_t::shared);
        crc_command(path, layout == "bios" ? crc_layout_t::bios : crc_layout_t::fpga);
    } else if (args.find("-list")) {
        lock_device(env_node, lock_mode_t::shared);
        list_env(store);
    } else if (args.find("-unset")) {
        std::string key;
        if (!args.get(key))
            return usage();
        lock_device(env_node, lock_mode_t::exclusive);
        unset_env_key(key, store);
    } else if (args.find("-load")) {
        // A file name is taken whole, as the value of -set is.
        std::string file;
        if (!args.get_text(file)) {
            if (!args.take_dash())
                return usage();
            file = "-"; // standard input
        }
        lock_device(env_node, lock_mode_t::exclusive);
        load_env(file, store);
    } else if (args.find("-version") || args.find("--version")) {
        print_version();
    } else {
        return usage();
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    int status = 0;
    bool failed = false;
    bool data_on_stdout = false;
    const std::string message = fatal_message_of("\nromtool fatal error ", failed,
                                                 [&] { status = run(argc, argv, data_on_stdout); });
    if (failed) {
        if (!message.empty())
            (data_on_stdout ? std::cerr : std::cout) << message << std::endl;
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
