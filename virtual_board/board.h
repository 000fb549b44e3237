// The board: a directory that holds the state a flash driver would keep in its
// devices, and the driver operations that work on it. Every operation runs under
// the board's lock, so threads and processes see each other's changes whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>

namespace vboard {

// Which node of which board an emulated descriptor stands for.
struct node_ref_t {
    std::string board;
    std::string node; // "flash_bios0", "nvram0"
};

// Every operation returns its result, or minus the error number on failure.
// `fd` is the descriptor reserved for the node: the open image file, whose
// kernel offset and status flags are the node's.
long board_open(const node_ref_t& ref, int flags, int& fd);
long board_read(const node_ref_t& ref, int fd, void* buffer, size_t count, const off64_t* at);
long board_write(const node_ref_t& ref, int fd, const void* buffer, size_t count,
                 const off64_t* at);
off64_t board_lseek(const node_ref_t& ref, int fd, off64_t offset, int whence);
long board_ioctl(const node_ref_t& ref, int fd, uint32_t code, void* argument);
long board_close(const node_ref_t& ref, int fd);

// Writes one line "vboard: " + text to standard error.
void diagnose(const std::string& text);

// Run in the child after fork: drops the board locks that the parent's threads
// held at that moment, which no thread of the child holds.
void fork_child();

} // namespace vboard
