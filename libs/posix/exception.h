// SPDX-License-Identifier: MIT
// The one way this system reports a failure: an object of the qv::exception_t tree,
// carrying a ready-made message (at most 510 characters).
#pragma once

#include <cstdarg>
#include <exception>
#include <string>

namespace qv {

class exception_t : public std::exception {
public:
    exception_t() = default;
    // printf-style; the expansion is cut to 510 characters.
    explicit exception_t(const char* format, ...) __attribute__((format(printf, 2, 3)));
    const char* what() const noexcept override; // never null

protected:
    void set_message(const char* format, va_list args) __attribute__((format(printf, 2, 0)));
    std::string message;
};

namespace posix {

class posix_exception_t : public exception_t {
public:
    explicit posix_exception_t(int error_number);
    posix_exception_t(int error_number, const char* format, ...)
        __attribute__((format(printf, 3, 4)));
    int error_number() const noexcept { return error_number_; }

private:
    int error_number_;
};

// One class per failed system call: message "<op> -- " plus the fixed text for the errno,
// or the C library's text when the table has no row for it.
#define QV_FILE_EXCEPTION(op)                                                                      \
    class file_##op##_exception_t : public posix_exception_t {                                     \
    public:                                                                                        \
        explicit file_##op##_exception_t(int e);                                                   \
    };
QV_FILE_EXCEPTION(open)
QV_FILE_EXCEPTION(close)
QV_FILE_EXCEPTION(mmap)
QV_FILE_EXCEPTION(sync)
QV_FILE_EXCEPTION(ioctl)
QV_FILE_EXCEPTION(read)
QV_FILE_EXCEPTION(write)
QV_FILE_EXCEPTION(seek)
QV_FILE_EXCEPTION(fcntl)
#undef QV_FILE_EXCEPTION

// Throws file_ioctl_exception_t from the calling thread's errno.
[[noreturn]] void throw_ioctl_exception();

} // namespace posix

namespace pproc {

// Ends a stopped worker's body. The private base keeps handlers for qv::exception_t
// and std::exception from swallowing it; only its own handler or a catch-all sees it.
class thread_stop_exception_t : private exception_t {
public:
    thread_stop_exception_t() = default;
    using exception_t::what; // always ""
};

} // namespace pproc
} // namespace qv
