// SPDX-License-Identifier: MIT
#include "commands.h"
#include "failure.h"
#include "held_signals.h"
#include "removed_on_signal.h"
#include "report.h"

#include "posix/file.h"
#include "progress.h"
#include "zelk/zelk_driver.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <iostream>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// The file a name that does not exist yet stands for: symbolic links followed to the
// dangling one at the end, whose file is then made.
std::string final_target(std::string path) {
    for (int links = 0; links < 40; ++links) {
        struct stat st;
        if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
            return path;
        std::vector<char> target(static_cast<size_t>(st.st_size > 0 ? st.st_size : 255) + 1);
        const ssize_t length = ::readlink(path.c_str(), target.data(), target.size());
        if (length <= 0 || static_cast<size_t>(length) >= target.size())
            return path; // changed under us: let open report what it finds
        const std::string link(target.data(), static_cast<size_t>(length));
        const auto slash = path.rfind('/');
        path =
            link[0] == '/' || slash == std::string::npos ? link : path.substr(0, slash + 1) + link;
    }
    return path; // only if the links changed since stat counted them: this one is replaced
}

std::string real_path(const std::string& path) {
    char* real = ::realpath(path.c_str(), nullptr);
    if (!real)
        return path;
    const std::string out = real;
    std::free(real);
    return out;
}

// Where the dump goes. A regular file (or a new one) is written as a temporary file
// beside it, renamed into place only once the last byte is synced, so a failed dump
// leaves the old file as it was. Standard output and anything else (/dev/null, a FIFO,
// a pipe) is written directly. Nothing is opened before the first write: an empty device
// changes nothing.
class dump_target_t {
public:
    dump_target_t(const std::string& name, bool standard_output)
        : name_(standard_output && name == "-" ? "standard output" : name),
          standard_output_(standard_output) {}
    ~dump_target_t() {
        if (temp_.empty())
            return;
        out_.reset(); // closed before it goes
        ::unlink(temp_.c_str());
    }
    dump_target_t(const dump_target_t&) = delete;
    dump_target_t& operator=(const dump_target_t&) = delete;

    // Writes all of buffer; a short write (file size limit, full disk) is followed by
    // one for the rest, which then fails with the real reason.
    void write(const unsigned char* buffer, size_t count) {
        if (!out_)
            open();
        for (size_t done = 0; done < count;)
            done += static_cast<size_t>(out_->write(buffer + done, count - done));
    }

    // Synced, closed and, for a regular file, put in place. Nothing to do when nothing
    // was written.
    void finish() {
        if (!out_)
            return;
        if (temp_.empty()) {
            try {
                out_->sync();
            } catch (const qv::posix::posix_exception_t& e) {
                // /dev/null, FIFOs and pipes cannot be synced; nothing is lost there.
                if (!special_ || (e.error_number() != EINVAL && e.error_number() != EROFS))
                    throw;
            }
            out_->close();
            return;
        }
        out_->sync();
        out_->close();
        if (::rename(temp_.c_str(), target_.c_str()) != 0) {
            const int e = errno;
            char text[256];
            throw qv::posix::posix_exception_t(e, "%s: rename -- %s", name_.c_str(),
                                               strerror_r(e, text, sizeof text));
        }
        removed_.disarm();
        temp_.clear();
    }

private:
    void open() {
        if (standard_output_) {
            // A copy of the descriptor: closing it leaves standard output to main.
            special_ = true;
            out_.emplace(::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0), name_);
            return;
        }
        struct stat st;
        const bool exists = ::stat(name_.c_str(), &st) == 0;
        if (!exists && errno == ELOOP) // a loop of links: refused as open refuses it
            throw qv::posix::posix_exception_t(ELOOP, "%s: %s", name_.c_str(),
                                               qv::posix::file_open_exception_t(ELOOP).what());
        if (exists && !S_ISREG(st.st_mode)) {
            special_ = true;
            out_.emplace(name_, O_RDWR | O_CREAT | O_TRUNC, 0600, qv::posix::sync_on_close::no);
            out_->open();
            return;
        }
        if (exists) {
            // Replacing must not get past what writing it would have been refused.
            qv::posix::file_t probe(name_, O_RDWR);
            probe.open();
            probe.close();
        }
        target_ = exists ? real_path(name_) : final_target(name_);
        const auto slash = target_.rfind('/');
        const std::string folder = slash == std::string::npos ? "" : target_.substr(0, slash + 1);
        const std::string base = slash == std::string::npos ? target_ : target_.substr(slash + 1);
        std::string temp = folder + "." + base + ".XXXXXX";
        int fd;
        {
            // No signal between making the file and arming its removal.
            const held_signals_t held;
            fd = ::mkostemp(temp.data(), O_CLOEXEC); // 0600 less the umask, like open
            if (fd != -1)
                removed_.arm(temp);
        }
        if (fd == -1 && errno == EACCES && exists) {
            // A file it may write in a folder it may not: overwritten in place, as it
            // always could be, at the price of the old contents on a failure.
            out_.emplace(name_, O_RDWR | O_TRUNC, 0600, qv::posix::sync_on_close::no);
            out_->open();
            return;
        }
        if (fd != -1)
            temp_ = temp;
        out_.emplace(fd, name_); // fd -1 throws "<name>: open -- <reason>"
        // An existing file keeps its mode, and its owner where that is allowed. A failure
        // leaves the safe 0600.
        if (exists) {
            [[maybe_unused]] const int owned = ::fchown(fd, st.st_uid, st.st_gid);
            [[maybe_unused]] const int moded = ::fchmod(fd, st.st_mode & 07777);
        }
    }

    std::string name_;     // as given ("-": standard output): every message names it
    bool standard_output_; // written through a copy of descriptor 1
    std::string target_;   // the file it stands for
    std::string temp_;     // while it exists
    bool special_ = false; // not a regular file: written directly, never synced
    std::optional<qv::posix::file_t> out_;
    removed_on_signal_t removed_; // the temporary file, while it exists
};

bool names_standard_output(const std::string& file) {
    if (file == "-")
        return true;
    // /dev/stdout, /dev/fd/1, or the very file the shell redirected into.
    struct stat out, named;
    return ::fstat(STDOUT_FILENO, &out) == 0 && ::stat(file.c_str(), &named) == 0 &&
           out.st_dev == named.st_dev && out.st_ino == named.st_ino;
}

} // namespace

void dump_to_file(const std::string& path, const std::string& file, progress_shown_t progress) {
    const bool standard_output = names_standard_output(file);
    // Declared first, closed last: the dump is finished before the node is closed.
    qv::zelk::driver_t device(path, O_RDONLY);
    dump_target_t out(file, standard_output);

    unsigned char buffer[32];
    std::uint64_t total = 0;
    progress_t shown(progress, "dumping",
                     progress == progress_shown_t::yes ? device_size(device) : 0);
    for (;;) {
        const ssize_t got = device.read(buffer, sizeof buffer);
        if (got == 0)
            break;
        {
            const phase_t writing(error_kind_t::output);
            out.write(buffer, static_cast<size_t>(got));
        }
        total += static_cast<std::uint64_t>(got);
        shown.advance(static_cast<std::uint64_t>(got));
    }
    shown.finish();
    {
        const phase_t writing(error_kind_t::output);
        out.finish();
    }
    report_t& report = report_t::run();
    report.set("target", json::bytes_t{file});
    report.set("bytes", total);
    // The stream carries the device's bytes alone.
    (standard_output ? std::cerr : std::cout) << std::dec << total << " bytes written" << std::endl;
}

std::unique_ptr<command_t> dump_command(const invocation_t& run, const std::string& file) {
    class dump_t final : public command_t {
    public:
        dump_t(const invocation_t& run, const std::string& file)
            : path_(run.device), file_(file), standard_output_(names_standard_output(file)),
              progress_(run.progress()) {}
        void run() override { dump_to_file(path_, file_, progress_); }
        bool output_is_data() const override { return standard_output_; }

    private:
        std::string path_, file_;
        bool standard_output_;
        progress_shown_t progress_;
    };
    return std::make_unique<dump_t>(run, file);
}
