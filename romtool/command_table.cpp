// SPDX-License-Identifier: MIT
#include "command_table.h"

#include "commands.h"

#include "util/args.h"

#include <list>
#include <string>

namespace {

// The modifiers each kind of command takes.
using m = modifier_t;
constexpr modifier_set_t only_json{m::json};
constexpr modifier_set_t threads{m::json}; // -rmt, -wmt, -l: ended by ctrl-c, unlocked
constexpr modifier_set_t reading{m::nowait, m::json};
constexpr modifier_set_t reading_long{m::progress, m::nowait, m::json};
constexpr modifier_set_t erasing{m::verify, m::progress, m::nowait, m::json, m::dryrun};
constexpr modifier_set_t programming{m::erase,  m::ifchanged, m::verify, m::progress,
                                     m::nowait, m::json,      m::dryrun};
constexpr modifier_set_t env_reading{m::nvram, m::nowait, m::json};
constexpr modifier_set_t env_changing{m::nvram, m::nowait, m::json, m::dryrun};

// How each command reads its arguments. A value never begins with "-" (args_t), so a
// missing one is never another option.

std::unique_ptr<command_t> make_dump(args_t& args, const invocation_t& run) {
    int count = 64;  // the usage text says 16: kept as scripts know it
    args.get(count); // missing or unreadable: the default stays
    return command_of([path = run.device, count] { dump_device(path, count); });
}

std::unique_ptr<command_t> make_dump_to_file(args_t& args, const invocation_t& run) {
    std::string file = "dump.bin";
    if (!args.get(file) && args.take_dash())
        file = "-"; // standard output
    return dump_command(run, file);
}

template <env_threads_t kind>
std::unique_ptr<command_t> make_threads(args_t& args, const invocation_t&) {
    unsigned int count = 2;
    args.get(count); // missing or unreadable: the default stays
    check_thread_count(count);
    return command_of([count] { env_thread_test(count, kind); });
}

std::unique_ptr<command_t> make_erase(args_t&, const invocation_t& run) {
    return command_of([run] { erase_device(run); });
}

std::unique_ptr<command_t> make_set(args_t& args, const invocation_t& run) {
    // The value is the whole argument: boot arguments hold blanks.
    std::string key, value;
    if (!args.get(key) || !args.get_text(value))
        return nullptr;
    return set_command(run, key, value);
}

std::unique_ptr<command_t> make_get(args_t& args, const invocation_t& run) {
    std::string key;
    if (!args.get(key))
        return nullptr;
    return get_command(run, key);
}

template <image_layout_t layout>
std::unique_ptr<command_t> make_program(args_t& args, const invocation_t& run) {
    // Without an image nothing was programmed: a failure, so scripts must see 1.
    std::list<std::string> files;
    for (std::string file; args.get(file);) {
        files.push_back(file);
        if (layout != image_layout_t::fpga)
            break;
    }
    if (files.empty())
        return nullptr;
    return program_command(run, layout, files);
}

std::unique_ptr<command_t> make_info(args_t&, const invocation_t& run) {
    return command_of([path = run.device] { device_info(path); });
}

std::unique_ptr<command_t> make_loop(args_t&, const invocation_t& run) {
    return command_of([path = run.device] { access_loop(path); });
}

std::unique_ptr<command_t> make_crc(args_t& args, const invocation_t& run) {
    std::string layout;
    if (!args.get(layout) || (layout != "bios" && layout != "fpga"))
        return nullptr;
    return command_of([run, layout] {
        crc_command(run, layout == "bios" ? crc_layout_t::bios : crc_layout_t::fpga);
    });
}

std::unique_ptr<command_t> make_list(args_t&, const invocation_t& run) {
    return list_command(run);
}

std::unique_ptr<command_t> make_unset(args_t& args, const invocation_t& run) {
    std::string key;
    if (!args.get(key))
        return nullptr;
    return unset_command(run, key);
}

std::unique_ptr<command_t> make_load(args_t& args, const invocation_t& run) {
    // A file name is taken whole, as the value of -set is.
    std::string file;
    if (!args.get_text(file)) {
        if (!args.take_dash())
            return nullptr;
        file = "-"; // standard input
    }
    return load_command(run, file);
}

std::unique_ptr<command_t> make_version(args_t&, const invocation_t&) {
    return command_of(print_version);
}

} // namespace

const std::vector<command_row_t>& command_rows() {
    using n = node_t;
    using l = lock_mode_t;
    // One row per command, its fields in the order of command_row_t.
    // clang-format off
    static const std::vector<command_row_t> rows = {
        {"-r", nullptr, "-r [count=16]", "dump memory",
         n::device, l::shared, reading, make_dump, 4},
        {"-dump", nullptr, "-dump [file]", "copy device into file (dump.bin; -: stdout)",
         n::device, l::shared, reading_long, make_dump_to_file, 0},
        {"-rmt", nullptr, "-rmt <no_threads [=2]>", "environment read multithread test",
         n::flash_env, l::none, threads, make_threads<env_threads_t::readers>, 5},
        {"-wmt", nullptr, "-wmt <no_threads [=2]>", "environment write multithread test",
         n::flash_env, l::none, threads, make_threads<env_threads_t::writers>, 6},
        {"-e", nullptr, "-e", "erase device",
         n::device, l::exclusive, erasing, make_erase, 7},
        {"-set", nullptr, "-set <key> <value>", "set environment key/value",
         n::env_store, l::exclusive, env_changing, make_set, 12},
        {"-get", nullptr, "-get <key>", "get environment key",
         n::env_store, l::shared, env_reading, make_get, 11},
        {"-p", nullptr, "-p filename", "program device with file",
         n::device, l::exclusive, programming, make_program<image_layout_t::plain>, 8},
        {"-pbios", nullptr, "-pbios filename", "program device with bios (adds checksum)",
         n::device, l::exclusive, programming, make_program<image_layout_t::bios>, 9},
        {"-pfpga", nullptr, "-pfpga filename(s)", "program device with fpga (adds checksum)",
         n::device, l::exclusive, programming, make_program<image_layout_t::fpga>, 10},
        {"-i", nullptr, "-i", "get device information",
         n::device, l::shared, reading, make_info, 3},
        // The handle is made and never used: nothing is opened, so nothing is locked.
        {"-l", nullptr, "-l", "access in loop",
         n::device, l::none, threads, make_loop, 2},
        {"-crc", nullptr, "-crc bios|fpga", "check the CRC of the image on the device",
         n::device, l::shared, reading_long, make_crc, 0},
        {"-list", nullptr, "-list", "list the environment",
         n::env_store, l::shared, env_reading, make_list, 0},
        {"-unset", nullptr, "-unset <key>", "unset environment key (its value becomes empty)",
         n::env_store, l::exclusive, env_changing, make_unset, 0},
        {"-load", nullptr, "-load <file|->", "replace the environment from a file or stdin",
         n::env_store, l::exclusive, env_changing, make_load, 0},
        {"-version", "--version", "-version", "print the version",
         n::none, l::none, only_json, make_version, 0},
    };
    // clang-format on
    return rows;
}

const std::vector<modifier_row_t>& modifier_rows() {
    static const std::vector<modifier_row_t> rows = {
        {"-erase", m::erase, "erase before programming unless erased"},
        {"-ifchanged", m::ifchanged, "program only when the device differs"},
        {"-verify", m::verify, "read back and compare after programming or erasing"},
        {"-progress", m::progress, "show progress on standard error"},
        {"-nowait", m::nowait, "fail at once when the device is locked"},
        {"-nvram", m::nvram, "-get/-set/-list/-unset/-load work on the NVRAM"},
        {"-json", m::json, "the result as one JSON object on standard output"},
        {"-dryrun", m::dryrun, "say what would change and change nothing"},
    };
    return rows;
}
