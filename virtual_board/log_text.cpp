// SPDX-License-Identifier: MIT
#undef _FILE_OFFSET_BITS
#undef _TIME_BITS
#include "log_text.h"

#include <cstdio>
#include <fcntl.h>
#include <utility>

namespace vboard {

std::string escape(const char* data, size_t size) {
    std::string out = "\"";
    for (size_t i = 0; i < size; ++i) {
        unsigned char c = static_cast<unsigned char>(data[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    out += '"';
    return out;
}

std::string flags_text(int flags) {
    std::string out;
    switch (flags & O_ACCMODE) {
    case O_RDONLY:
        out = "O_RDONLY";
        break;
    case O_WRONLY:
        out = "O_WRONLY";
        break;
    case O_RDWR:
        out = "O_RDWR";
        break;
    default:
        out = "O_ACCMODE";
        break;
    }
    int rest = flags & ~O_ACCMODE & ~O_LARGEFILE;
    static const std::pair<int, const char*> names[] = {
        {O_SYNC, "O_SYNC"},           {O_DSYNC, "O_DSYNC"},       {O_CLOEXEC, "O_CLOEXEC"},
        {O_CREAT, "O_CREAT"},         {O_EXCL, "O_EXCL"},         {O_TRUNC, "O_TRUNC"},
        {O_APPEND, "O_APPEND"},       {O_NONBLOCK, "O_NONBLOCK"}, {O_NOCTTY, "O_NOCTTY"},
        {O_DIRECTORY, "O_DIRECTORY"}, {O_NOFOLLOW, "O_NOFOLLOW"},
    };
    for (const auto& [bit, name] : names) {
        if ((rest & bit) == bit) {
            out += '|';
            out += name;
            rest &= ~bit;
        }
    }
    if (rest != 0) {
        char hex[16];
        std::snprintf(hex, sizeof hex, "|0x%x", static_cast<unsigned>(rest));
        out += hex;
    }
    return out;
}

std::string code_text(uint32_t code) {
    char text[16];
    std::snprintf(text, sizeof text, "code=0x%08x", code);
    return text;
}

std::string seek_text(off64_t offset, int whence) {
    static const char* const names[] = {"SET", "CUR", "END"};
    return "off=" + std::to_string(offset) +
           " whence=" + (whence >= 0 && whence <= 2 ? names[whence] : std::to_string(whence));
}

std::string transfer_text(off64_t offset, size_t count) {
    return "off=" + std::to_string(offset) + " len=" + std::to_string(count);
}

} // namespace vboard
