// SPDX-License-Identifier: MIT
#undef _FILE_OFFSET_BITS
#undef _TIME_BITS
#include "session.h"

#include "files.h"
#include "real.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace vboard {

namespace {

// Board lock descriptors of operations in flight (descriptor + 1, 0 = free).
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

void pause_ns(long long ns) {
    timespec t{static_cast<time_t>(ns / 1000000000LL), static_cast<long>(ns % 1000000000LL)};
    while (nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
}

} // namespace

session_t::session_t(const std::string& board) : board_(board) {
    lock_fd_ = real::open((board + "/lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (lock_fd_ >= 0)
        track(lock_fd_);
    if (lock_fd_ < 0) {
        error_ = errno == ENOENT ? ENOENT : EIO;
        diagnose("cannot open the lock of board " + board + ": " + std::strerror(errno));
        return;
    }
    while (flock(lock_fd_, LOCK_EX) != 0) {
        if (errno != EINTR) {
            error_ = EIO;
            diagnose("cannot lock board " + board + ": " + std::strerror(errno));
            return;
        }
    }
    std::string conf;
    read_cached(board + "/board.conf", conf);
    log_on_ = config_value(conf, "log") == "on";
    program_ns_per_byte_ = to_number(config_value(conf, "program_ns_per_byte"), 0);
    erase_ms_ = to_number(config_value(conf, "erase_ms"), 0);
    std::string rules;
    if (read_cached(board + "/faults.txt", rules))
        rules_ = fault_rules_t(rules);
}

session_t::~session_t() {
    if (rules_.changed())
        save_rules();
    if (lock_fd_ >= 0) {
        untrack(lock_fd_);
        real::close(lock_fd_);
    }
}

fault_t session_t::check(const std::string& node, const char* op, uint32_t code) {
    fault_t fault = rules_.check(node, op, code);
    // A power cut kills the process before this session ends: the counters are
    // saved now, or the same rule would fire again in every later run.
    if (fault.power_cut)
        save_rules();
    return fault;
}

void session_t::save_rules() {
    if (!write_file(board_ + "/faults.txt", rules_.text()))
        diagnose("cannot update the fault counters of " + board_);
}

void session_t::log(const node_ref_t& ref, const char* op, const std::string& args,
                    long long result, int error, const fault_t& fault) const {
    if (!log_on_)
        return;
    char head[96];
    std::snprintf(head, sizeof head, "pid=%d tid=%ld node=", static_cast<int>(getpid()),
                  static_cast<long>(syscall(SYS_gettid)));
    std::string line = head;
    line += ref.node;
    line += " op=";
    line += op;
    if (!args.empty()) {
        line += ' ';
        line += args;
    }
    line += " result=" + std::to_string(result);
    if (result < 0)
        line += " errno=" + std::to_string(error);
    if (fault.fired)
        line += " fault=" + std::to_string(fault.id);
    if (fault.power_cut)
        line += " powercut";
    line += '\n';
    int fd = real::open((board_ + "/requests.log").c_str(),
                        O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    if (real::write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
        diagnose("short write to the request log of " + board_);
    real::close(fd);
}

void session_t::program_delay(size_t bytes) const {
    if (program_ns_per_byte_ > 0)
        pause_ns(program_ns_per_byte_ * static_cast<long long>(bytes));
}

void session_t::erase_delay() const {
    if (erase_ms_ > 0)
        pause_ns(erase_ms_ * 1000000LL);
}

void diagnose(const std::string& text) {
    std::string line = "vboard: " + text + "\n";
    int saved = errno;
    ssize_t n = real::write(2, line.data(), line.size());
    (void)n;
    errno = saved;
}

void power_cut() {
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
