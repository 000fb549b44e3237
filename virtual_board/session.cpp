// SPDX-License-Identifier: MIT
#undef _FILE_OFFSET_BITS
#undef _TIME_BITS
#include "session.h"

#include "files.h"
#include "real.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace vboard {

namespace {

// Board lock descriptors of calls in flight (descriptor + 1, 0 = free).
// A child of fork closes its copies: a copy shares the parent's open file
// description, and so its lock, which would stay held for as long as the
// child lives, although no thread of the child holds it.
constexpr int max_in_flight = 256;
std::atomic<int> in_flight[max_in_flight];

void track(int fd) {
    for (std::atomic<int>& slot : in_flight) {
        int free = 0;
        if (slot.compare_exchange_strong(free, fd + 1))
            return;
    }
}

void untrack(int fd) {
    for (std::atomic<int>& slot : in_flight) {
        int mine = fd + 1;
        if (slot.compare_exchange_strong(mine, 0))
            return;
    }
}

void sleep_ns(long long ns) {
    timespec t{static_cast<time_t>(ns / 1000000000LL), static_cast<long>(ns % 1000000000LL)};
    while (nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
}

int copy(void* to, const void* from, size_t size) {
    std::memcpy(to, from, size);
    return 0;
}

} // namespace

// The core is C: nothing thrown may leave these.
const zc_ops session_t::ops = {
    [](zc_board* b) { return of(b).lock(); },
    [](zc_board* b) { of(b).unlock(); },
    [](zc_board* b, zc_node* node, int writable) {
        session_t& s = of(b);
        try {
            return s.image_.map(s.ref_, writable != 0, *node) ? 0 : -EIO;
        } catch (...) {
            return -EIO;
        }
    },
    [](zc_board*, int64_t ns) { sleep_ns(ns); },
    [](zc_board* b, const char* line, size_t length) { of(b).append_log(line, length); },
    [](zc_board*, int64_t* pid, int64_t* tid) {
        *pid = getpid();
        *tid = syscall(SYS_gettid);
    },
    [](zc_board* b) -> long {
        // A power cut kills the process before this call ends: the counters are
        // saved now, or the same rule would fire again in every later run.
        of(b).save_rules();
        stop_process();
    },
    [](void* to, const void* from, size_t size) { return copy(to, from, size); },
    [](void* to, const void* from, size_t size) { return copy(to, from, size); },
    [](zc_board* b, size_t size) { return of(b).buffer(size); },
    [](zc_board* b, int32_t code, const char** text, size_t* length) {
        return of(b).error_text(code, text, length);
    },
    [](zc_board* b, int flags) -> long {
        // The node's descriptor is its image file: the kernel then keeps the
        // offset, the status flags and close-on-exec for us, shared by dup and fork.
        session_t& s = of(b);
        const int keep = O_ACCMODE | O_CLOEXEC | O_NONBLOCK | O_APPEND | O_SYNC | O_DSYNC;
        try {
            s.fd = real::open(image_path(s.ref_).c_str(), flags & keep, 0);
        } catch (...) {
            return -ENOMEM;
        }
        return s.fd >= 0 ? s.fd : -errno;
    },
    [](zc_board* b) -> long {
        session_t& s = of(b);
        s.closed = true;
        return real::close(s.fd) != 0 ? -errno : 0;
    },
};

session_t::session_t(const node_ref_t& ref, int fd) : fd(fd), ref_(ref) {
    board.ops = &ops;
    board.shell = this;
    node.name = ref.node.c_str();
}

session_t::~session_t() {
    unlock();
}

zc_file session_t::file(const off64_t* at) const {
    const int mode = access_mode(fd);
    return zc_file{at ? *at : current_offset(fd), mode != O_WRONLY, mode != O_RDONLY};
}

// Takes the board's lock (a descriptor of this call's own, so that threads of one
// process serialise as processes do) and reads the board under it.
int session_t::lock() {
    try {
        lock_fd_ = real::open((ref_.board + "/lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (lock_fd_ < 0) {
            const int error = errno == ENOENT ? ENOENT : EIO;
            diagnose("cannot open the lock of board " + ref_.board + ": " + std::strerror(errno));
            return error;
        }
        track(lock_fd_);
        while (flock(lock_fd_, LOCK_EX) != 0) {
            if (errno != EINTR) {
                diagnose("cannot lock board " + ref_.board + ": " + std::strerror(errno));
                unlock();
                return EIO;
            }
        }
        std::string conf;
        read_cached(ref_.board + "/board.conf", conf);
        board.conf.log_on = config_value(conf, "log") == "on";
        board.conf.program_ns_per_byte = to_number(config_value(conf, "program_ns_per_byte"), 0);
        board.conf.erase_ms = to_number(config_value(conf, "erase_ms"), 0);
        std::string rules;
        if (read_cached(ref_.board + "/faults.txt", rules))
            rules_ = fault_rules_t(rules);
        board.rules = rules_.rules().data();
        board.rule_count = static_cast<unsigned>(rules_.rules().size());
        load_info(ref_, node);
        return 0;
    } catch (...) {
        unlock();
        return ENOMEM;
    }
}

void session_t::unlock() {
    if (board.counted)
        save_rules();
    board.counted = 0;
    image_.unmap();
    if (lock_fd_ >= 0) {
        untrack(lock_fd_);
        real::close(lock_fd_);
        lock_fd_ = -1;
    }
}

void session_t::save_rules() {
    try {
        if (write_file(ref_.board + "/faults.txt", rules_.text()))
            return;
    } catch (...) {
    }
    diagnose("cannot update the fault counters of " + ref_.board);
}

// One line per call, when the log is on; a single write to a descriptor opened for
// appending, so that lines of concurrent writers never mix.
void session_t::append_log(const char* line, size_t length) const {
    try {
        int fd = real::open((ref_.board + "/requests.log").c_str(),
                            O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (fd < 0)
            return;
        if (real::write(fd, line, length) != static_cast<ssize_t>(length))
            diagnose("short write to the request log of " + ref_.board);
        real::close(fd);
    } catch (...) {
    }
}

void* session_t::buffer(size_t size) {
    try {
        buffer_.assign(size, '\0');
        return &buffer_[0];
    } catch (...) {
        return nullptr;
    }
}

// The first line "CODE TEXT" of errors.txt with the code.
int session_t::error_text(int32_t code, const char** text, size_t* length) {
    try {
        std::string content;
        read_cached(ref_.board + "/errors.txt", content);
        for (const std::string& line : split_lines(content)) {
            size_t space = line.find(' ');
            if (line.empty() || line[0] == '#' || space == std::string::npos)
                continue;
            if (to_number(line.substr(0, space), LLONG_MIN) != code)
                continue;
            text_ = line.substr(space + 1);
            *text = text_.data();
            *length = text_.size();
            return 1;
        }
    } catch (...) {
    }
    return 0;
}

void diagnose(const std::string& text) {
    std::string line = "vboard: " + text + "\n";
    int saved = errno;
    ssize_t n = real::write(2, line.data(), line.size());
    (void)n;
    errno = saved;
}

void stop_process() {
    // Nothing after this point reaches the board: the process just stops.
    syscall(SYS_kill, getpid(), SIGKILL);
    for (;;)
        pause();
}

void fork_child() {
    for (std::atomic<int>& slot : in_flight) {
        int fd = slot.exchange(0);
        if (fd > 0)
            real::close(fd - 1);
    }
}

} // namespace vboard
