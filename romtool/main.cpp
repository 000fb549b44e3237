// romtool: one command per run, chosen by option; every failure a command lets out
// ends the run with one fatal-error message on standard output and status 1.
#include "commands.h"
#include "device_lock.h"
#include "program_options.h"
#include "usage.h"

#include "posix/exception.h"
#include "util/args.h"

#include <exception>
#include <iostream>
#include <list>
#include <sstream>
#include <string>

namespace {

// Everything made here, the command's handles among them, is destroyed before main
// writes a fatal error, so the device is closed by the time the operator reads it.
int run(int argc, char** argv) {
    args_t args(argc, argv);
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
    const auto locked = [&](const std::string& node, lock_mode_t mode) {
        return lock.take(node, mode, nowait);
    };
    const std::string env_node = "/dev/zelk/flash_env0"; // what -set and -get work on

    // The first option of this list that is present wins, wherever it stands.
    if (args.find("-r")) {
        int count = 64;
        args.get(count); // missing or unreadable: the default stays
        if (!locked(path, lock_mode_t::shared))
            return 1;
        dump_device(path, count);
    } else if (args.find("-dump")) {
        std::string file = "dump.bin";
        args.get(file);
        if (!locked(path, lock_mode_t::shared))
            return 1;
        dump_to_file(path, file, options.progress);
    } else if (args.find("-rmt")) {
        if (!env_thread_test(args, env_threads_t::readers))
            return 1;
    } else if (args.find("-wmt")) {
        if (!env_thread_test(args, env_threads_t::writers))
            return 1;
    } else if (args.find("-e")) {
        if (!locked(path, lock_mode_t::exclusive))
            return 1;
        if (!erase_device(path))
            return 1;
    } else if (args.find("-set")) {
        std::string key, value;
        if (!args.get(key) || !args.get(value))
            return usage();
        if (!locked(env_node, lock_mode_t::exclusive))
            return 1;
        set_env_key(path, key, value);
    } else if (args.find("-get")) {
        std::string key;
        if (!args.get(key))
            return usage();
        if (!locked(env_node, lock_mode_t::shared))
            return 1;
        get_env_key(path, key);
    } else if (args.find("-p")) {
        // Without an image nothing was programmed: a failure, so scripts must see 1.
        std::string file;
        if (!args.get(file))
            return usage();
        if (!locked(path, lock_mode_t::exclusive) || !program_device(path, file, options))
            return 1;
    } else if (args.find("-pbios")) {
        std::string file;
        if (!args.get(file))
            return usage();
        if (!locked(path, lock_mode_t::exclusive) || !program_bios(path, file, options))
            return 1;
    } else if (args.find("-pfpga")) {
        std::list<std::string> files;
        for (std::string file; args.get(file);)
            files.push_back(file);
        if (files.empty())
            return usage();
        if (!locked(path, lock_mode_t::exclusive) || !program_fpga(path, files, options))
            return 1;
    } else if (args.find("-i")) {
        if (!locked(path, lock_mode_t::shared))
            return 1;
        device_info(path);
    } else if (args.find("-l")) {
        access_loop(path);
    } else if (args.find("-crc")) {
        std::string layout;
        if (!args.get(layout) || (layout != "bios" && layout != "fpga"))
            return usage();
        if (!locked(path, lock_mode_t::shared) ||
            !crc_command(path, layout == "bios" ? crc_layout_t::bios : crc_layout_t::fpga))
            return 1;
    } else if (args.find("-version") || args.find("--version")) {
        print_version();
    } else if (args.find("-h") || args.find("--help")) {
        usage();
    } else {
        return usage();
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    std::ostringstream fatal_message;
    fatal_message << "\nromtool fatal error ";
    int failed = 0;
    int status = 0;
    try {
        status = run(argc, argv);
    } catch (const qv::exception_t& e) {
        fatal_message << ": " << e.what() << '\n';
        failed = 1;
    } catch (const std::exception& e) {
        fatal_message << "STD: " << e.what() << '\n';
        failed = 1;
    } catch (...) {
        fatal_message << "UNKNOWN EXCEPTION\n";
        failed = 1;
    }
    if (failed) {
        std::cout << fatal_message.str() << std::endl;
        return failed;
    }
    return status;
}
