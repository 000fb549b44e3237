// SPDX-License-Identifier: MIT
// "-load": the store made to hold exactly the lines of a text. The text is read whole and
// checked before the store is locked or opened; the store is read whole before anything is
// sent, so a text that cannot fit is refused with the store as it was. A load that removes
// no key sends only the sets that change something, so a cut leaves each key old or new;
// only one that must remove keys clears the store first (the driver removes no key).
#include "commands.h"
#include "env_changes.h"
#include "failure.h"
#include "held_signals.h"

#include "posix/file.h"
#include "zelk/zelk_env.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#include <vector>

namespace {

std::string read_text(qv::posix::file_t& input, const std::string& name) {
    std::string text;
    char piece[4096];
    while (text.size() <= qv::zelk::env_text_limit) {
        ssize_t got;
        try {
            got = input.read(piece, sizeof piece);
        } catch (const qv::posix::posix_exception_t& e) {
            // Standard input handed over non-blocking: wait for the text as any reader would.
            if (e.error_number() != EAGAIN)
                throw;
            pollfd ready = {input.fd(), POLLIN, 0};
            ::poll(&ready, 1, -1);
            continue;
        }
        if (got == 0)
            return text;
        text.append(piece, static_cast<std::size_t>(got));
    }
    throw qv::exception_t("%s: text longer than %zu bytes, more than a store holds", name.c_str(),
                          qv::zelk::env_text_limit);
}

class load_command_t final : public command_t {
public:
    load_command_t(const invocation_t& run, const std::string& file)
        : store_(run.store), dry_run_(run.has(modifier_t::dryrun)), file_(file),
          name_(file == "-" ? "standard input" : file) {}

    void prepare() override {
        std::string text;
        if (file_ == "-") {
            // A copy: closing it leaves descriptor 0 taken, so no node can become it.
            qv::posix::file_t input(::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 0), name_);
            text = read_text(input, name_);
        } else {
            qv::posix::file_t input(file_, O_RDONLY);
            text = read_text(input, name_);
        }
        lines_ = qv::zelk::parse_env_text(text, name_);
    }

    void run() override {
        qv::zelk::env_t env(store_, dry_run_ ? qv::zelk::env_access_t::read_only
                                             : qv::zelk::env_access_t::read_write);
        const qv::zelk::env_image_t image = env.read_image();
        const qv::zelk::env_plan_t plan = qv::zelk::plan_load(image, lines_);
        if (plan.overflow_line != 0)
            throw fatal_failure(error_kind_t::environment,
                                qv::exception_t("%s: line %zu: the text does not fit in %s: it "
                                                "needs %zu bytes, the store holds %zu",
                                                name_.c_str(), plan.overflow_line,
                                                env_store_node(store_), plan.needed, image.size));
        if (dry_run_)
            return report_dry_run(plan);
        qv::zelk::env_t::load_progress_t done;
        try {
            const held_signals_t held;
            env.apply(plan, &done);
        } catch (const qv::exception_t& e) {
            if (plan.clear && !done.cleared)
                throw command_failure_t(
                    std::string("load failed when clearing the store: ") + e.what(), e);
            if (plan.clear)
                throw command_failure_t("load failed after " + std::to_string(done.stored) +
                                            (done.stored == 1 ? " line was" : " lines were") +
                                            " stored: " + e.what(),
                                        e);
            throw command_failure_t("load failed after " + std::to_string(done.stored) + " of " +
                                        std::to_string(plan.sets.size()) +
                                        " keys were set: " + e.what(),
                                    e);
        }
        report_changes(plan.sets, plan.clear);
    }

private:
    const zelk_env_store store_;
    const bool dry_run_;
    const std::string file_;
    const std::string name_; // in every message about the text
    std::vector<qv::zelk::env_text_line_t> lines_;
};

} // namespace

std::unique_ptr<command_t> load_command(const invocation_t& run, const std::string& file) {
    return std::make_unique<load_command_t>(run, file);
}
