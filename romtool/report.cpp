// SPDX-License-Identifier: MIT
#include "report.h"

#include "version.h"

#include "zelk/zelk_ioctl.h"

#include <cstring>
#include <iostream>

report_t& report_t::run() {
    static report_t report;
    return report;
}

report_t::report_t() : started_(std::chrono::steady_clock::now()), facts_(json::object_t{}) {
    head_.set("romtool", ROMTOOL_VERSION);
    head_.set("command", json::value_t());
    head_.set("device", json::value_t());
}

report_t::~report_t() {
    if (json()) {
        std::cout.rdbuf(out_);
        std::cerr.rdbuf(err_);
    }
}

void report_t::use_json() {
    if (json())
        return;
    out_ = std::cout.rdbuf(&null_);
    err_ = std::cerr.rdbuf(&null_);
}

void report_t::set(const std::string& name, json::value_t value) {
    facts_.set(name, std::move(value));
}

void report_t::command(const char* option, const char* node) {
    head_.set("command", option);
    head_.set("device", node ? json::value_t(node) : json::value_t());
}

std::ostream& report_t::json_errors() {
    static std::ostream errors(nullptr);
    errors.rdbuf(err_ ? err_ : std::cerr.rdbuf());
    return errors;
}

bool report_t::print(const std::optional<failure_t>& failure, bool output_is_data) {
    json::value_t object = head_;
    object.set("ok", !failure.has_value());
    object.set("seconds",
               std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count());
    if (failure) {
        json::value_t error;
        error.set("kind", error_kind_name(failure->kind));
        error.set("message", failure->message);
        if (failure->error_number > 0 && failure->error_number <= ZELK_ERRNO_MAX_SYSTEM) {
            error.set("errno", failure->error_number);
            const char* name = strerrorname_np(failure->error_number);
            error.set("errno_name", name ? json::value_t(name) : json::value_t());
        } else if (failure->error_number > ZELK_ERRNO_MAX_SYSTEM) {
            error.set("driver_code", failure->error_number);
        }
        if (failure->offset)
            error.set("offset", *failure->offset);
        object.set("error", error);
    }
    // The facts after the common members, whatever their order of learning.
    std::string text = object.text();
    const std::string facts = facts_.text();
    if (facts.size() > 2)
        text.insert(text.size() - 1, "," + facts.substr(1, facts.size() - 2));
    std::ostream out(output_is_data ? err_ : out_);
    out << text << '\n' << std::flush;
    return static_cast<bool>(out);
}
