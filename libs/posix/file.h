// SPDX-License-Identifier: MIT
// file_t: owner of one descriptor and the path it was opened from. Opens lazily, marks
// every descriptor close-on-exec, records its memory mappings, and puts the path in front
// of every system-call failure ("<path>: <op> -- <text>").
#pragma once

#include "posix/exception.h"
#include "posix/syscalls.h"

#include <cstddef>
#include <map>
#include <string>
#include <sys/types.h>

namespace qv::posix {

// Whether a file_t runs fsync before it closes its descriptor.
enum class sync_on_close { no, yes };

class file_t {
public:
    using mappings_t = std::map<void*, size_t>; // address -> length, ascending by address

    // Closed objects; nothing is opened until an operation needs the descriptor.
    explicit file_t(posix::sync_on_close sync = posix::sync_on_close::no);
    file_t(const std::string& name, int flags,
           posix::sync_on_close sync = posix::sync_on_close::no);
    file_t(const std::string& name, int flags, mode_t mode, posix::sync_on_close sync);
    // Adopts an open descriptor as open(fd) does; on failure the caller still owns fd.
    file_t(int fd, const std::string& name, posix::sync_on_close sync = posix::sync_on_close::no);

    // Optionally syncs, then closes. Never throws: failures here are swallowed, since
    // the destructor may run while another exception is on its way.
    virtual ~file_t();

    file_t(const file_t&) = delete;
    file_t& operator=(const file_t&) = delete;

    // Throws exception_t when already open ("file_t::open() -- %s already open") or
    // without a name ("file_t::open() --- no file name"); a failed open or fcntl as
    // posix_exception_t through rethrow(). A failed fcntl closes the new descriptor.
    void open();
    // Store name, flags and mode (0600 unless given), then open().
    void open(const std::string& name, int flags);
    void open(const std::string& name, int flags, mode_t mode);
    // Adopts fd (check_descriptor, then close-on-exec). On failure fd stays the caller's.
    void open(int fd);

    // Unmaps every recorded mapping, then closes. A closed object is left alone. The
    // object counts as closed even when close() fails: the descriptor is gone on Linux.
    void close();

    // These open lazily, then throw posix_exception_t through rethrow() on failure; a
    // posix_exception_t of theirs or of the lazy open passes through on_failure().
    ssize_t read(void* buffer, size_t count);
    ssize_t write(const void* buffer, size_t count);
    off_t seek(off_t offset, int whence);
    off_t tell();
    off_t size(); // leaves the offset where it was
    void sync();
    int fcntl(int command, long argument);
    void set_close_on_exec(bool on);
    void* mmap(off_t offset, size_t length); // recorded; unmapped by close()
    void munmap(void* address);              // unrecorded addresses are ignored

    int ioctl(unsigned int request) { return ioctl(request, 0); }
    // Argument: any integer or pointer no wider than unsigned long; a wider type is
    // refused with exception_t before anything is opened or called.
    template <typename T> int ioctl(unsigned int request, T argument) {
        const unsigned long value = ioctl_argument(argument);
        return guarded([&] { return ioctl_call(fd_, request, value); });
    }

    // Throws posix_exception_t with e's error number and "<name>: <e.what()>".
    [[noreturn]] void rethrow(const posix_exception_t& e) const;

    // The state. The fields are private; derived classes and owners alike read them
    // through these accessors. Code that issues its own requests does: if (!is_open())
    // open(); qv::posix::ioctl(fd(), ...); pass a posix_exception_t to rethrow().
    const std::string& name() const { return name_; }
    int flags() const { return flags_; }
    mode_t mode() const { return mode_; }
    int fd() const { return fd_; } // meaningful only while is_open()
    bool is_open() const { return is_open_; }
    bool sync_on_close() const { return sync_on_close_; }
    bool unlink_on_close() const { return unlink_on_close_; }
    const mappings_t& mappings() const { return mappings_; }

protected:
    void open_if_closed() {
        if (!is_open_)
            open();
    }

    // Every failed operation's posix_exception_t, already carrying the path, passes
    // through here while it is being handled, whatever the static type of the caller's
    // handle: a derived handle that words failures its own way (a driver's error codes)
    // throws its own exception here. Returning lets e go on unchanged.
    virtual void on_failure(const posix_exception_t& e);

    // Opens if needed and makes call(); a failure goes through rethrow(), then
    // on_failure().
    template <typename Call> auto guarded(Call call) -> decltype(call()) {
        try {
            open_if_closed();
            try {
                return call();
            } catch (const posix_exception_t& e) {
                rethrow(e);
            }
        } catch (const posix_exception_t& e) {
            on_failure(e);
            throw;
        }
    }

private:
    void munmap_all();

    std::string name_;
    int flags_ = 0;
    mode_t mode_ = 0600;
    int fd_ = -1;
    bool is_open_ = false;
    bool sync_on_close_;
    bool unlink_on_close_ = false;
    mappings_t mappings_;
};

} // namespace qv::posix
