// SPDX-License-Identifier: MIT
// How a command's failure reaches the operator. A command throws; main (and each stress
// worker) turns what comes out into one failure_t through failure_of(): the text to print,
// and for "-json" its kind, message, error number and place on the device.
#pragma once

#include "posix/exception.h"

#include <cstdint>
#include <exception>
#include <optional>
#include <string>

// What failed, in the closed set "-json" reports (romtool(1) describes each).
enum class error_kind_t {
    usage,
    input,
    lock,
    device,
    driver,
    verify,
    environment,
    output,
    internal
};
const char* error_kind_name(error_kind_t kind);

// A failure whose kind or wording the command knows. Worded (the default), it is printed
// as it stands, then a newline, instead of as a fatal error ("erase failed: ..."); an empty
// text means it was printed already and only the exit status is left to show it.
class command_failure_t : public qv::exception_t {
public:
    enum class printed_t { as_worded, as_fatal };

    explicit command_failure_t(std::string text, std::optional<error_kind_t> kind = {},
                               std::optional<std::uint64_t> offset = {},
                               printed_t printed = printed_t::as_worded);
    // Worded by the command for cause: its error number (errno, or the driver's code)
    // and kind carry over.
    command_failure_t(std::string text, const qv::exception_t& cause);

    std::optional<error_kind_t> kind;
    std::optional<std::uint64_t> offset;
    int error_number = 0; // 0: no system call or driver request failed
    printed_t printed = printed_t::as_worded;
};

// A fatal error of a kind the phase would not tell: printed as every fatal error is.
inline command_failure_t fatal_failure(error_kind_t kind, const qv::exception_t& e,
                                       std::optional<std::uint64_t> offset = {}) {
    return command_failure_t(e.what(), kind, offset, command_failure_t::printed_t::as_fatal);
}

struct failure_t {
    std::string text;    // printed as it stands; empty when it was printed already
    std::string message; // the text without the fatal-error prefix and final newlines
    error_kind_t kind = error_kind_t::internal;
    int error_number = 0;
    std::optional<std::uint64_t> offset;
};

// The kind of a failure that carries none, from where the run was when it happened
// (set by main for each step of a command, and by a command around a step of its own).
// On the way out of a failing step it stays, so that the failure is classed by it.
class phase_t {
public:
    explicit phase_t(error_kind_t kind);
    ~phase_t();
    phase_t(const phase_t&) = delete;
    phase_t& operator=(const phase_t&) = delete;

    static error_kind_t current();

private:
    error_kind_t saved_;
    int unwinding_;
};

// What the exception being handled comes to: a command's own wording as it stands; for our
// other exceptions prefix, ": " and what(), for other standard ones prefix, "STD: " and
// what(), else prefix and "UNKNOWN EXCEPTION", each then a newline.
failure_t current_failure(const std::string& prefix);

// Runs body; the failure it lets out, if any.
template <typename Body> std::optional<failure_t> failure_of(const std::string& prefix, Body body) {
    try {
        body();
        return std::nullopt;
    } catch (...) {
        return current_failure(prefix);
    }
}
