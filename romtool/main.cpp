// romtool: one command per run, chosen by option; every failure a command lets out
// ends the run with one fatal-error message on standard output and status 1.
#include "commands.h"
#include "failure.h"
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
int run(int argc, char** argv) {
    args_t args(argc, argv);
    std::string path = "/dev/zelk/flash_";
    std::string dev = "env0";

    if (args.find("-dev") && !args.get(dev))
        return usage();
    path += dev;

    // The first option of this list that is present wins, wherever it stands.
    if (args.find("-r")) {
        int count = 64;
        args.get(count); // missing or unreadable: the default stays
        dump_device(path, count);
    } else if (args.find("-dump")) {
        std::string file = "dump.bin";
        args.get(file);
        dump_to_file(path, file);
    } else if (args.find("-rmt")) {
        env_thread_test(args, env_threads_t::readers);
    } else if (args.find("-wmt")) {
        env_thread_test(args, env_threads_t::writers);
    } else if (args.find("-e")) {
        erase_device(path);
    } else if (args.find("-set")) {
        // The value is the whole argument: boot arguments hold blanks.
        std::string key, value;
        if (!args.get(key) || !args.get_text(value))
            return usage();
        set_env_key(key, value);
    } else if (args.find("-get")) {
        std::string key;
        if (!args.get(key))
            return usage();
        get_env_key(key);
    } else if (args.find("-p")) {
        // Without an image nothing was programmed: a failure, so scripts must see 1.
        std::string file;
        if (!args.get(file))
            return usage();
        program_device(path, file);
    } else if (args.find("-pbios")) {
        std::string file;
        if (!args.get(file))
            return usage();
        program_bios(path, file);
    } else if (args.find("-pfpga")) {
        std::list<std::string> files;
        for (std::string file; args.get(file);)
            files.push_back(file);
        if (files.empty())
            return usage();
        program_fpga(path, files);
    } else if (args.find("-i")) {
        device_info(path);
    } else if (args.find("-l")) {
        access_loop(path);
    } else {
        return usage();
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    int status = 0;
    bool failed = false;
    const std::string message =
        fatal_message_of("\nromtool fatal error ", failed, [&] { status = run(argc, argv); });
    if (failed) {
        if (!message.empty())
            std::cout << message << std::endl;
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
