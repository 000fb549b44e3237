// SPDX-License-Identifier: MIT
#include "progress.h"

#include "zelk/zelk_driver.h"

#include <cstdio>
#include <iostream>

namespace {
constexpr std::uint64_t unknown_total_step = 64 << 10;
}

progress_t::progress_t(bool shown, const char* what, std::uint64_t total)
    : shown_(shown), what_(what), total_(total) {
    draw();
}

void progress_t::finish() {
    if (!shown_ || width_ == 0)
        return;
    std::cout << '\r' << std::string(width_, ' ') << '\r' << std::flush;
    shown_ = false;
}

progress_t::~progress_t() {
    try {
        finish();
    } catch (...) {
    }
}

void progress_t::advance(std::uint64_t bytes) {
    done_ += bytes;
    draw();
}

void progress_t::draw() {
    if (!shown_)
        return;
    char line[96];
    if (total_ != 0) {
        const int percent = static_cast<int>((done_ >= total_ ? total_ : done_) * 100 / total_);
        if (percent == drawn_percent_)
            return;
        drawn_percent_ = percent;
        std::snprintf(line, sizeof line, "%s %llu/%llu bytes (%d%%)", what_,
                      static_cast<unsigned long long>(done_),
                      static_cast<unsigned long long>(total_), percent);
    } else {
        if (drawn_percent_ == 0 && done_ - drawn_at_ < unknown_total_step)
            return;
        drawn_percent_ = 0;
        drawn_at_ = done_;
        std::snprintf(line, sizeof line, "%s %llu bytes", what_,
                      static_cast<unsigned long long>(done_));
    }
    const std::string text(line);
    // Padded to the longest line so far: a shorter one must not leave a tail behind.
    std::cout << '\r' << text;
    if (text.size() < width_)
        std::cout << std::string(width_ - text.size(), ' ');
    else
        width_ = text.size();
    std::cout << std::flush;
}

std::uint64_t device_size(qv::zelk::driver_t& device) {
    qv::zelk::device_info_t info = {};
    try {
        device.ioctl(FLASH_IOC_INFO, &info);
    } catch (const qv::exception_t&) {
        return 0;
    }
    return info.size_kbits > 0 ? static_cast<std::uint64_t>(info.size_kbits) * 128 : 0;
}
