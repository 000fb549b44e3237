// SPDX-License-Identifier: MIT
#include "device_io.h"

#include "image.h"
#include "progress.h"
#include "zelk/zelk_driver.h"

#include <algorithm>
#include <fcntl.h>

namespace {
constexpr size_t read_piece = 4096;
}

std::vector<unsigned char> read_device(const std::string& path, size_t length, bool progress,
                                       const char* what) {
    qv::zelk::driver_t device(path, O_RDONLY);
    progress_t shown(progress, what, length);
    std::vector<unsigned char> bytes(length);
    size_t done = 0;
    while (done < length) {
        const ssize_t got = device.read(bytes.data() + done, std::min(read_piece, length - done));
        if (got == 0)
            break;
        done += static_cast<size_t>(got);
        shown.advance(static_cast<std::uint64_t>(got));
    }
    bytes.resize(done);
    return bytes;
}

void write_pieces(qv::zelk::driver_t& device, const unsigned char* data, size_t length,
                  progress_t& progress, std::uint64_t& written) {
    for (size_t done = 0; done < length;) {
        const size_t piece = std::min(image::chunk_size, length - done);
        device.write(data + done, piece);
        done += piece;
        written += piece;
        progress.advance(piece);
    }
}
