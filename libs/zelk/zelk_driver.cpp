// SPDX-License-Identifier: MIT
#include "zelk/zelk_driver.h"

#include <cstring>
#include <exception>

namespace qv::zelk {

driver_exception_t::driver_exception_t(int code) : posix_exception_t(code) {}

driver_exception_t::driver_exception_t(int code, const char* format, ...)
    : posix_exception_t(code) {
    va_list args;
    va_start(args, format);
    set_message(format, args);
    va_end(args);
}

driver_t::driver_t() : file_t(posix::sync_on_close::no) {}

driver_t::driver_t(const std::string& path, int flags)
    : file_t(path, flags, posix::sync_on_close::no) {}

void driver_t::on_failure(const posix::posix_exception_t& e) {
    translate_error(e);
}

void driver_t::request_error_text(error_text_t& record) {
    open_if_closed();
    posix::ioctl(fd(), ZELK_IOC_ERROR_TEXT, &record);
}

void driver_t::translate_error(const posix::posix_exception_t& caught) {
    const int code = caught.error_number();
    if (code <= ZELK_ERRNO_MAX_SYSTEM) {
        // Ordinary errno: leave it as file_t made it. Outside a handler a bare throw
        // would terminate the process, so throw a copy instead.
        if (std::current_exception())
            throw;
        throw caught;
    }
    error_text_t record = {};
    record.code = code;
    // As strncpy would: at most the field, no terminator when the text fills it (the
    // record is zeroed, so a shorter text is NUL-padded).
    const char* what = caught.what();
    std::memcpy(record.text, what, strnlen(what, sizeof record.text));
    try {
        request_error_text(record);
    } catch (const posix::posix_exception_t&) {
        throw driver_exception_t(code);
    }
    // The driver may fill the whole field without a terminator.
    const int length = static_cast<int>(strnlen(record.text, sizeof record.text));
    throw driver_exception_t(code, "%s: %.*s", name().c_str(), length, record.text);
}

bool driver_t::error_text(int code, std::string& text) {
    error_text_t record = {};
    record.code = code;
    try {
        request_error_text(record);
    } catch (const std::exception&) {
        return false;
    }
    text.assign(record.text, strnlen(record.text, sizeof record.text));
    return true;
}

} // namespace qv::zelk
