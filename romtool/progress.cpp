// SPDX-License-Identifier: MIT
#include "progress.h"

#include "report.h"

#include "zelk/zelk_driver.h"

#include <cstdio>
#include <iostream>
#include <unistd.h>

namespace {
constexpr std::uint64_t unknown_total_step = 64 << 10;
constexpr std::uint64_t unknown_total_line = 1 << 20;
} // namespace

progress_t::progress_t(progress_shown_t shown, const char* what, std::uint64_t total)
    : shown_(shown == progress_shown_t::yes), json_(report_t::run().json()),
      terminal_(shown_ && !json_ && ::isatty(STDERR_FILENO) == 1), what_(what), total_(total) {
    draw();
}

void progress_t::finish() {
    if (!shown_)
        return;
    shown_ = false;
    if (terminal_ && width_ != 0)
        std::cerr << '\r' + std::string(width_, ' ') + '\r';
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
        const int step = terminal_ ? percent : percent / 10;
        if (step == drawn_step_)
            return;
        drawn_step_ = step;
        std::snprintf(line, sizeof line, "%s %llu/%llu bytes (%d%%)", what_,
                      static_cast<unsigned long long>(done_),
                      static_cast<unsigned long long>(total_), percent);
    } else {
        const std::uint64_t every = terminal_ ? unknown_total_step : unknown_total_line;
        if (drawn_step_ == 0 && done_ - drawn_at_ < every)
            return;
        drawn_step_ = 0;
        drawn_at_ = done_;
        std::snprintf(line, sizeof line, "%s %llu bytes", what_,
                      static_cast<unsigned long long>(done_));
    }
    if (json_) {
        json::value_t state;
        state.set("phase", what_);
        state.set("done", done_);
        state.set("total", total_ != 0 ? json::value_t(total_) : json::value_t());
        report_t::run().json_errors() << state.text() << std::endl;
        return;
    }
    std::string text(line);
    if (!terminal_) {
        std::cerr << text + '\n';
        return;
    }
    // Padded to the longest line so far: a shorter one must not leave a tail behind.
    if (text.size() < width_)
        text.append(width_ - text.size(), ' ');
    else
        width_ = text.size();
    std::cerr << '\r' + text;
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
