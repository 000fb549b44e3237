// The board's flash driver as the tool sees it: request codes, records, the device
// handle driver_t, and the turning of driver error codes (errno above 127) into
// driver_exception_t with the driver's own text.
#pragma once

#include "posix/exception.h"
#include "posix/file.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace qv::zelk {

// Linux PowerPC encoding: direction (bits 31-29), record size (28-16), type (15-8),
// number (7-0). Passed to the driver as they stand.
constexpr unsigned int FLASH_IOC_INFO = 0x4040C000u;      // read, device_info_t
constexpr unsigned int FLASH_IOC_ERASE = 0x2000C001u;     // none, argument 0
constexpr unsigned int ZELK_IOC_ERROR_TEXT = 0xC0CCD00Au; // read/write, error_text_t

// Integers in native order (big-endian on the board).
struct device_info_t {
    int32_t manufacturer_id;
    int32_t device_id;
    int32_t size_kbits;
    char part_name[52]; // NUL-terminated within the field, if the driver behaves
};
static_assert(sizeof(device_info_t) == 64);
static_assert(offsetof(device_info_t, manufacturer_id) == 0);
static_assert(offsetof(device_info_t, device_id) == 4);
static_assert(offsetof(device_info_t, size_kbits) == 8);
static_assert(offsetof(device_info_t, part_name) == 12);

struct error_text_t {
    int32_t code;   // filled by the tool
    char text[200]; // in: a text of the tool's; out: the driver's text for code
};
static_assert(sizeof(error_text_t) == 204);
static_assert(offsetof(error_text_t, code) == 0);
static_assert(offsetof(error_text_t, text) == 4);

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
