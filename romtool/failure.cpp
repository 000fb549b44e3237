// SPDX-License-Identifier: MIT
#include "failure.h"

#include "zelk/zelk_driver.h"

#include <utility>

namespace {

thread_local error_kind_t current_phase = error_kind_t::internal;

std::string without_final_newlines(std::string text) {
    while (!text.empty() && text.back() == '\n')
        text.pop_back();
    return text;
}

} // namespace

const char* error_kind_name(error_kind_t kind) {
    switch (kind) {
    case error_kind_t::usage:
        return "usage";
    case error_kind_t::input:
        return "input";
    case error_kind_t::lock:
        return "lock";
    case error_kind_t::device:
        return "device";
    case error_kind_t::driver:
        return "driver";
    case error_kind_t::verify:
        return "verify";
    case error_kind_t::environment:
        return "environment";
    case error_kind_t::output:
        return "output";
    case error_kind_t::internal:
        break;
    }
    return "internal";
}

command_failure_t::command_failure_t(std::string text, std::optional<error_kind_t> kind,
                                     std::optional<std::uint64_t> offset, printed_t printed)
    : kind(kind), offset(offset), printed(printed) {
    message = std::move(text);
}

command_failure_t::command_failure_t(std::string text, const qv::exception_t& cause) {
    message = std::move(text);
    if (const auto* failure = dynamic_cast<const command_failure_t*>(&cause)) {
        kind = failure->kind;
        error_number = failure->error_number;
    } else if (const auto* e = dynamic_cast<const qv::posix::posix_exception_t*>(&cause)) {
        error_number = e->error_number();
        if (dynamic_cast<const qv::zelk::driver_exception_t*>(&cause))
            kind = error_kind_t::driver;
    }
}

phase_t::phase_t(error_kind_t kind)
    : saved_(current_phase), unwinding_(std::uncaught_exceptions()) {
    current_phase = kind;
}

phase_t::~phase_t() {
    if (std::uncaught_exceptions() == unwinding_)
        current_phase = saved_;
}

error_kind_t phase_t::current() {
    return current_phase;
}

failure_t current_failure(const std::string& prefix) {
    failure_t failure;
    failure.kind = current_phase;
    const auto fatal = [&](const char* what) {
        failure.message = without_final_newlines(what);
        failure.text = prefix + ": " + what + "\n";
    };
    try {
        throw;
    } catch (const command_failure_t& e) {
        failure.kind = e.kind.value_or(current_phase);
        failure.offset = e.offset;
        failure.error_number = e.error_number;
        if (e.printed == command_failure_t::printed_t::as_fatal) {
            fatal(e.what());
        } else {
            failure.text = e.what();
            failure.message = without_final_newlines(e.what());
        }
    } catch (const qv::zelk::driver_exception_t& e) {
        failure.kind = error_kind_t::driver;
        failure.error_number = e.error_number();
        fatal(e.what());
    } catch (const qv::posix::posix_exception_t& e) {
        failure.error_number = e.error_number();
        fatal(e.what());
    } catch (const qv::exception_t& e) {
        fatal(e.what());
    } catch (const std::exception& e) {
        failure.kind = error_kind_t::internal;
        failure.message = std::string("STD: ") + e.what();
        failure.text = prefix + failure.message + "\n";
    } catch (...) {
        failure.kind = error_kind_t::internal;
        failure.message = "UNKNOWN EXCEPTION";
        failure.text = prefix + failure.message + "\n";
    }
    return failure;
}
