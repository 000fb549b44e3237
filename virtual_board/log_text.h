// SPDX-License-Identifier: MIT
// The fields of a request log line, arch-neutral so that the host and the
// PowerPC build write the same log.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>

namespace vboard {

// In double quotes; '"' and '\' escaped by a backslash, bytes outside 0x20-0x7E as \xHH.
std::string escape(const char* data, size_t size);
// "O_RDWR|O_SYNC|O_CLOEXEC": symbolic, O_LARGEFILE left out, unknown bits as |0x...
std::string flags_text(int flags);
// "code=0x%08x"
std::string code_text(uint32_t code);
// "off=<offset> whence=SET|CUR|END" (or the number)
std::string seek_text(off64_t offset, int whence);
// "off=<offset> len=<count>"
std::string transfer_text(off64_t offset, size_t count);

} // namespace vboard
