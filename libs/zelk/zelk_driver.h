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
// operation that fails with a posix_exception_t goes through translate_error().
class driver_t : public posix::file_t {
public:
    driver_t();
    driver_t(const std::string& path, int flags);

    ssize_t read(void* buffer, size_t count);
    ssize_t write(const void* buffer, size_t count);
    off_t seek(off_t offset, int whence);
    off_t tell();
    void* mmap(off_t offset, size_t length);
    int ioctl(unsigned int request) { return ioctl(request, 0); }
    // A request with a record: open if needed, ioctl with the path in front of a
    // failure, and driver codes translated.
    template <typename T> int ioctl(unsigned int request, T argument) {
        try {
            return file_t::ioctl(request, argument);
        } catch (const posix::posix_exception_t& e) {
            translate_error(e);
        }
    }

    // Never returns. Error numbers up to 127: rethrows the exception being handled
    // unchanged (a copy of caught when called outside a handler). Above 127: asks the
    // driver for its text with ZELK_IOC_ERROR_TEXT and throws
    // driver_exception_t(code, "<path>: <text>"), or driver_exception_t(code) with an
    // empty message when that request fails.
    [[noreturn]] void translate_error(const posix::posix_exception_t& caught);

    // The driver's text for code: true and text set, or false and text untouched when
    // anything fails on the way.
    bool error_text(int code, std::string& text);
};

} // namespace qv::zelk
