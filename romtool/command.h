// SPDX-License-Identifier: MIT
// A command as main runs it: made from the command line, prepared (every input it reads,
// an image or a text, read whole and checked while nothing of the board is opened or
// locked), then run under the lock of the node it works on. Reading first means that a
// pipe whose writer waits for this run's lock, or an input that fails, never holds a
// device or costs it anything.
#pragma once

#include "progress.h"

#include "zelk/zelk_ioctl.h"

#include <functional>
#include <memory>
#include <string>

// The modifiers: options that change how a command works, each applying to some commands.
enum class modifier_t : unsigned {
    erase = 1u << 0,
    ifchanged = 1u << 1,
    verify = 1u << 2,
    progress = 1u << 3,
    nowait = 1u << 4,
    nvram = 1u << 5,
    json = 1u << 6,
    dryrun = 1u << 7,
};

class modifier_set_t {
public:
    constexpr modifier_set_t() = default;
    constexpr modifier_set_t(std::initializer_list<modifier_t> list) {
        for (const modifier_t m : list)
            bits_ |= static_cast<unsigned>(m);
    }
    constexpr bool has(modifier_t m) const { return (bits_ & static_cast<unsigned>(m)) != 0; }
    void add(modifier_t m) { bits_ |= static_cast<unsigned>(m); }

private:
    unsigned bits_ = 0;
};

// What every command is made with.
struct invocation_t {
    std::string device;       // the node of "-dev": "/dev/zelk/flash_" + its word
    modifier_set_t modifiers; // those on the command line
    zelk_env_store store;     // "-nvram": the NVRAM, else the environment flash

    bool has(modifier_t m) const { return modifiers.has(m); }
    progress_shown_t progress() const {
        return has(modifier_t::progress) ? progress_shown_t::yes : progress_shown_t::no;
    }
};

class command_t {
public:
    virtual ~command_t() = default;
    // Reads and checks the command's inputs; nothing of the board is touched yet.
    virtual void prepare() {}
    // Works on the node, under its lock.
    virtual void run() = 0;
    // Standard output carries the command's data ("-dump -"): messages go to standard error.
    virtual bool output_is_data() const { return false; }
};

// A command made of two steps, the first of which may be empty.
class steps_command_t final : public command_t {
public:
    steps_command_t(std::function<void()> prepare, std::function<void()> run)
        : prepare_(std::move(prepare)), run_(std::move(run)) {}
    void prepare() override {
        if (prepare_)
            prepare_();
    }
    void run() override { run_(); }

private:
    std::function<void()> prepare_;
    std::function<void()> run_;
};

inline std::unique_ptr<command_t> command_of(std::function<void()> run,
                                             std::function<void()> prepare = nullptr) {
    return std::make_unique<steps_command_t>(std::move(prepare), std::move(run));
}
