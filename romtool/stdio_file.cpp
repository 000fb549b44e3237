// SPDX-License-Identifier: MIT
#include "stdio_file.h"

#include "verify.h"

stdio_file_t::~stdio_file_t() {
    if (stream_)
        std::fclose(stream_);
}

void stdio_file_t::open(const std::string& path, const char* mode) {
    if (stream_) {
        std::fclose(stream_);
        stream_ = nullptr;
    }
    stream_ = std::fopen(path.c_str(), mode);
    verify(stream_, "error opening file");
}

size_t stdio_file_t::read(void* buffer, size_t count) {
    verify(stream_, "file not open");
    return std::fread(buffer, 1, count, stream_);
}

bool stdio_file_t::eof() const {
    verify(stream_, "file not open");
    return std::feof(stream_) != 0;
}

bool stdio_file_t::error() const {
    verify(stream_, "file not open");
    return std::ferror(stream_) != 0;
}
