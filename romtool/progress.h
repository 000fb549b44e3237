// SPDX-License-Identifier: MIT
// "-progress": the state of a long pass on standard error, so standard output stays what
// scripts parse. On a terminal one line is rewritten with carriage returns and blanked
// when the pass ends, so the next normal line starts on a clean line and the transcript
// is the one of a run without it. Anywhere else (a log, a pipe) a whole line is printed at
// every tenth of the work, so the log stays readable; with "-json" the line is an object.
#pragma once

#include <cstdint>
#include <string>

namespace qv::zelk {
class driver_t;
}

// Whether a long pass shows its progress on standard error ("-progress").
enum class progress_shown_t { no, yes };

class progress_t {
public:
    // Shows "<what> 0/<total> bytes (0%)" at once when shown; total 0: unknown, then
    // only the bytes done are shown. Never throws but std::bad_alloc.
    progress_t(progress_shown_t shown, const char* what, std::uint64_t total);
    // Blanks the terminal's line, once; the caller does so before it prints a line of its
    // own. The destructor does it when the pass ends early.
    void finish();
    ~progress_t();
    progress_t(const progress_t&) = delete;
    progress_t& operator=(const progress_t&) = delete;

    // Redraws when the percentage changed (every 64 KiB when the total is unknown); as
    // lines, when the tenth changed (every MiB), so a pass of any length costs at most
    // about a hundred lines' worth of output on a terminal and eleven lines elsewhere.
    void advance(std::uint64_t bytes);

private:
    void draw();

    bool shown_;
    bool json_;     // "-json": each line a JSON object {"phase", "done", "total"}
    bool terminal_; // standard error is one: the line is rewritten in place
    const char* what_;
    std::uint64_t total_;
    std::uint64_t done_ = 0;
    std::uint64_t drawn_at_ = 0;
    int drawn_step_ = -1; // the percentage, or the tenth for lines, last shown
    std::string::size_type width_ = 0;
};

// The device's size from its identity record, for a total; 0 (unknown) when the request
// fails, which is then left for the pass itself to meet.
std::uint64_t device_size(qv::zelk::driver_t& device);
