// SPDX-License-Identifier: MIT
#include "device_io.h"

#include "progress.h"
#include "zelk/zelk_driver.h"

#include <algorithm>
#include <cstdint>

namespace {
constexpr std::size_t read_piece = 4096;
}

std::vector<unsigned char> read_device(qv::zelk::driver_t& device, std::size_t length,
                                       progress_t& progress) {
    std::vector<unsigned char> bytes(length);
    std::size_t done = 0;
    while (done < length) {
        const ssize_t got = device.read(bytes.data() + done, std::min(read_piece, length - done));
        if (got == 0)
            break;
        done += static_cast<std::size_t>(got);
        progress.advance(static_cast<std::uint64_t>(got));
    }
    bytes.resize(done);
    return bytes;
}

void read_to_end(qv::zelk::driver_t& device, progress_t& progress,
                 const std::function<bool(std::size_t, const unsigned char*, std::size_t)>& piece) {
    unsigned char buffer[read_piece];
    for (std::size_t done = 0;;) {
        const ssize_t got = device.read(buffer, sizeof buffer);
        if (got == 0)
            return;
        progress.advance(static_cast<std::uint64_t>(got));
        if (!piece(done, buffer, static_cast<std::size_t>(got)))
            return;
        done += static_cast<std::size_t>(got);
    }
}

void write_pieces(qv::zelk::driver_t& device, const unsigned char* data, std::size_t length,
                  progress_t& progress,
                  const std::function<void(std::size_t, std::size_t)>& written) {
    for (std::size_t done = 0; done < length;) {
        const std::size_t piece = std::min<std::size_t>(ZELK_WRITE_MAX, length - done);
        device.write(data + done, piece);
        written(done, piece);
        done += piece;
        progress.advance(piece);
    }
}
