// SPDX-License-Identifier: MIT
#include "usage.h"

#include "command_table.h"
#include "failure.h"

#include <algorithm>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

// The synopsis left-aligned in a field of 27 characters.
void print_line(const char* synopsis, const char* help, std::ostream& out = std::cout) {
    std::string line = synopsis;
    line.resize(std::max<std::size_t>(line.size(), 27), ' ');
    out << line << ": " << help << '\n';
}

// The usage text as operators' scripts know it: "-dev" first, then the commands it lists,
// in its own order ("-dump" is not among them, and "-r" says 16 where it reads 64).
void print_usage_lines(std::ostream& out = std::cout) {
    out << "Usage: romtool\n";
    print_line(device_synopsis, device_help, out);
    std::vector<const command_row_t*> listed;
    for (const command_row_t& row : command_rows())
        if (row.usage_line != 0)
            listed.push_back(&row);
    // Stable: rows that share a line keep the table's order.
    const auto by_line = [](const command_row_t* a, const command_row_t* b) {
        return a->usage_line < b->usage_line;
    };
    std::stable_sort(listed.begin(), listed.end(), by_line);
    for (const command_row_t* row : listed)
        print_line(row->synopsis, row->help, out);
}

} // namespace

void usage_failure() {
    // Printed by main with the line end that makes the text's final empty line.
    std::ostringstream text;
    print_usage_lines(text);
    throw command_failure_t(text.str(), error_kind_t::usage);
}

void help() {
    print_usage_lines();
    for (const command_row_t& row : command_rows())
        if (row.usage_line == 0)
            print_line(row.alias ? (std::string(row.synopsis) + ", " + row.alias).c_str()
                                 : row.synopsis,
                       row.help);
    // In brackets: a modifier goes with a command, which it changes.
    for (const modifier_row_t& row : modifier_rows())
        print_line(("[" + std::string(row.option) + "]").c_str(), row.help);
    print_line("-h, --help", "print this help");
    std::cout << std::endl;
}
