// SPDX-License-Identifier: MIT
// The per-device lock: an flock on a file under /run/lock named after the device's
// identity, so that every path to one device meets the same lock and two devices never
// share one. Writers hold it exclusively, readers shared; the driver requests of one
// run then never interleave with those of a writer in another.
#pragma once

#include <string>

enum class lock_mode_t { none, shared, exclusive };
// "-nowait": whether a lock another run holds is waited for.
enum class lock_wait_t { wait, fail_at_once };

class device_lock_t {
public:
    device_lock_t() = default;
    ~device_lock_t(); // releases the lock
    device_lock_t(const device_lock_t&) = delete;
    device_lock_t& operator=(const device_lock_t&) = delete;

    // Waits for the lock of the device at node (mode none: takes nothing). With
    // fail_at_once, a request that would wait fails worded "device busy: <node>"
    // (command_failure_t) instead. Works on without a
    // lock when the node cannot be looked up (the command then fails as it always did),
    // when no lock file exists and none can be made (no /run/lock), or when flock is not
    // supported there. Anything else at the lock file's name (a FIFO, a link, a folder, a
    // file this user may not open) fails worded "lock file <file>: <reason>"
    // (command_failure_t): never waited on, never followed, never run unlocked.
    void take(const std::string& node, lock_mode_t mode, lock_wait_t wait);

    // The lock file of the device at node, or "" when the node cannot be looked up.
    static std::string file_for(const std::string& node);

private:
    [[noreturn]] static void refuse(const std::string& file, const char* reason);

    int fd_ = -1;
};
