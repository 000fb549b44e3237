// SPDX-License-Identifier: MIT
// A node of a board: its identity (<node>.info) and its contents (<node>.img).
#pragma once

extern "C" {
#include "board_core.h"
}

#include <string>
#include <sys/types.h>

namespace vboard {

// Which node of which board an emulated descriptor stands for.
struct node_ref_t {
    std::string board;
    std::string node; // "flash_bios0", "nvram0"
};

// The node as the core sees it, from its .info file: `known` false when there is none.
// `node.name` points into `ref`.
void load_info(const node_ref_t& ref, zc_node& node);
std::string image_path(const node_ref_t& ref);

// The access mode (O_RDONLY, O_WRONLY, O_RDWR) of a node's descriptor, -1 when unknown.
int access_mode(int fd);
// The node's offset, kept by the kernel on its descriptor.
off64_t current_offset(int fd);

// A node's image file as the core sees it for the length of one call: what it reads
// and programs, shared with every other process of the board.
class image_map_t {
public:
    image_map_t() = default;
    ~image_map_t() { unmap(); }
    image_map_t(const image_map_t&) = delete;
    image_map_t& operator=(const image_map_t&) = delete;

    // Maps the image (again, when it is wanted writable now); false when it cannot.
    bool map(const node_ref_t& ref, bool writable, zc_node& node);
    void unmap();

private:
    bool mapped_ = false;
    bool writable_ = false;
};

} // namespace vboard
