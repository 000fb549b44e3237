// SPDX-License-Identifier: MIT
// The per-device lock: an flock on a file under /run/lock named after the device's
// identity, so that every path to one device meets the same lock and two devices never
// share one. Writers hold it exclusively, readers shared; the driver requests of one
// run then never interleave with those of a writer in another.
#pragma once

#include <string>

enum class lock_mode_t { shared, exclusive };

class device_lock_t {
public:
    device_lock_t() = default;
    ~device_lock_t(); // releases the lock
    device_lock_t(const device_lock_t&) = delete;
    device_lock_t& operator=(const device_lock_t&) = delete;

    // Waits for the lock of the device at node. With nowait, an exclusive request that
    // would wait fails worded "device busy: <node>" (command_failure_t) instead; a shared
    // one always waits. Works on without a lock when the node cannot be looked up (the
    // command then fails as it always did) or the lock file cannot be opened (no
    // /run/lock).
    void take(const std::string& node, lock_mode_t mode, bool nowait);

    // The lock file of the device at node, or "" when the node cannot be looked up.
    static std::string file_for(const std::string& node);

private:
    int fd_ = -1;
};
