// SPDX-License-Identifier: MIT
// The board's flash driver as the tool sees it: request codes, records, the device
// handle driver_t, and the turning of driver error codes (errno above 127) into
// driver_exception_t with the driver's own text.
#pragma once

#include "posix/exception.h"
#include "posix/file.h"
#include "zelk/zelk_ioctl.h"

#include <string>

namespace qv::zelk {

// The driver contract (request codes FLASH_IOC_INFO, FLASH_IOC_ERASE,
// ZELK_IOC_ERROR_TEXT and the records) is zelk_ioctl.h; these are its records by the
// library's names. Integers in native order (big-endian on the board).
using device_info_t = ::zelk_device_info;
using error_text_t = ::zelk_error_text;

// A driver error code (above 127) and the driver's text; nothing added to its base.
class driver_exception_t : public posix::posix_exception_t {
public:
    explicit driver_exception_t(int code);
    driver_exception_t(int code, const char* format, ...) __attribute__((format(printf, 3, 4)));
};

// A device node handle: a file_t that opens lazily and closes without fsync. Every
// operation that fails with a posix_exception_t goes through translate_error(), also
// when it is made through a file_t& to the handle.
class driver_t : public posix::file_t {
public:
    driver_t();
    driver_t(const std::string& path, int flags);

    // Never returns. Error numbers up to 127: rethrows the exception being handled
    // unchanged (a copy of caught when called outside a handler). Above 127: asks the
    // driver for its text with ZELK_IOC_ERROR_TEXT and throws
    // driver_exception_t(code, "<path>: <text>"), or driver_exception_t(code) with an
    // empty message when that request fails.
    [[noreturn]] void translate_error(const posix::posix_exception_t& caught);

    // The driver's text for code: true and text set, or false and text untouched when
    // anything fails on the way.
    bool error_text(int code, std::string& text);

protected:
    void on_failure(const posix::posix_exception_t& e) override; // translate_error(e)

private:
    // ZELK_IOC_ERROR_TEXT itself, outside on_failure: its own failure is never translated.
    void request_error_text(error_text_t& record);
};

} // namespace qv::zelk
