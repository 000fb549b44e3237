// SPDX-License-Identifier: MIT
// stdio_file_t: the one owner of a C standard I/O stream, for reading an image through
// the library's buffer instead of one system call per piece.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

class stdio_file_t {
public:
    stdio_file_t() = default;
    ~stdio_file_t(); // closes the stream if one is held
    stdio_file_t(const stdio_file_t&) = delete;
    stdio_file_t& operator=(const stdio_file_t&) = delete;

    // Closes a stream already held, then fopen(path, mode). Throws qv::exception_t
    // "error opening file" when fopen fails.
    void open(const std::string& path, const char* mode);

    // These throw qv::exception_t "file not open" without a stream.
    size_t read(void* buffer, size_t count); // fread of count items of 1 byte
    bool eof() const;
    bool error() const;

private:
    std::FILE* stream_ = nullptr;
};
