// SPDX-License-Identifier: MIT
// A node of a board: its identity (<node>.info) and its contents (<node>.img).
#pragma once

#include <cstddef>
#include <string>
#include <sys/types.h>

namespace vboard {

// Which node of which board an emulated descriptor stands for.
struct node_ref_t {
    std::string board;
    std::string node; // "flash_bios0", "nvram0"
};

struct node_info_t {
    bool flash = true; // type=flash or type=nvram
    std::string env;   // "", "flash" or "nvram": the environment store it serves
    long long manufacturer_id = 0;
    long long device_id = 0;
    long long size_kbits = 0;
    std::string part_name;
};

// False when the node has no .info file.
bool load_info(const node_ref_t& ref, node_info_t& info);
std::string image_path(const node_ref_t& ref);

// The access mode (O_RDONLY, O_WRONLY, O_RDWR) of a node's descriptor, -1 when unknown.
int access_mode(int fd);
// The node's offset, kept by the kernel on its descriptor.
off64_t current_offset(int fd);

// The image file of a node, opened for the length of one operation.
class image_t {
public:
    image_t(const node_ref_t& ref, bool writable);
    ~image_t();
    image_t(const image_t&) = delete;
    image_t& operator=(const image_t&) = delete;

    bool ok() const { return fd_ >= 0; }
    off64_t size() const { return size_; }
    // All `count` bytes or false.
    bool read(void* buffer, size_t count, off64_t at) const;
    bool write(const void* buffer, size_t count, off64_t at) const;
    bool read_all(std::string& out) const;

private:
    int fd_ = -1;
    off64_t size_ = 0;
};

} // namespace vboard
