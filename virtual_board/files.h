// SPDX-License-Identifier: MIT
// The board's own file work, always through the real C library: whole files,
// the small text files read at every operation, and their "key=value" lines.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace vboard {

// False when the file cannot be opened or read.
bool read_file(const std::string& path, std::string& out);
// As read_file, but a thread keeps what it read while stat shows the same file.
bool read_cached(const std::string& path, std::string& out);
// pwrite until all is written; false on a failure or a write of nothing.
bool write_all(int fd, const char* data, size_t size, off64_t offset);
// Replaces the file's content.
bool write_file(const std::string& path, const std::string& data);

std::vector<std::string> split_lines(const std::string& text);
// The value of `key` in "key=value" lines, a later line overriding an earlier one;
// '#' starts a comment line. Empty when the key is not there.
std::string config_value(const std::string& text, const std::string& key);
// A number in C notation; `fallback` for an empty or malformed text.
long long to_number(const std::string& text, long long fallback);

} // namespace vboard
