// SPDX-License-Identifier: MIT
// Deadline arithmetic of event_t's timed wait, apart from the clock so its carry can be tested.
#pragma once

#include <cstdint>

namespace qv::pproc {

struct deadline_t {
    std::int64_t seconds;
    std::int64_t nanoseconds; // 0 to 999999999
};

// now plus timeout_ms; the part of now below one millisecond is dropped. A negative
// timeout counts as 0: a deadline the timed wait rejects would make the wait loop spin.
constexpr deadline_t deadline_after(std::int64_t now_seconds, std::int64_t now_nanoseconds,
                                    int timeout_ms) {
    const std::int64_t ms = now_nanoseconds / 1000000 + (timeout_ms < 0 ? 0 : timeout_ms);
    return {now_seconds + ms / 1000, ms % 1000 * 1000000};
}

} // namespace qv::pproc
