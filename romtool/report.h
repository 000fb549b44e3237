// SPDX-License-Identifier: MIT
// The run's report for "-json": the facts each command learns, gathered into one object
// that main prints when the run ends, on one line. Without "-json" the facts are kept and
// never shown, and every output is what it always was.
#pragma once

#include "failure.h"
#include "json.h"

#include <chrono>
#include <optional>
#include <ostream>
#include <streambuf>
#include <string>

class report_t {
public:
    static report_t& run(); // the run's one report

    // From now on the human text on standard output and error goes nowhere: standard
    // output carries the object alone (standard error, when output_is_data).
    void use_json();
    bool json() const { return out_ != nullptr; }

    // A fact of the command: a member of the object, after the common ones.
    void set(const std::string& name, json::value_t value);
    // The common members "command" and "device" (the node used, null: none).
    void command(const char* option, const char* node);

    // Standard error as it really is, for the JSON lines of "-progress" and the usage text
    // that a usage error's object comes with.
    std::ostream& json_errors();

    // A command whose normal end is a signal ("-l"): main ends the run by it once the
    // object is out.
    void end_by_signal(int number) { signal_ = number; }
    int ended_by_signal() const { return signal_; }

    // The object with "ok" and "seconds", and "error" for a failure. False when it could
    // not be written whole.
    bool print(const std::optional<failure_t>& failure, bool output_is_data);

private:
    report_t();
    ~report_t(); // gives the standard streams their buffers back: they outlive this

    class null_buffer_t : public std::streambuf {
    protected:
        int overflow(int c) override { return traits_type::not_eof(c); }
        std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
    };

    const std::chrono::steady_clock::time_point started_;
    json::value_t head_;  // "romtool", "command", "device"
    json::value_t facts_; // the command's own members, in the order learnt
    null_buffer_t null_;
    std::streambuf* out_ = nullptr; // the real buffers while "-json" holds them
    std::streambuf* err_ = nullptr;
    int signal_ = 0;
};
