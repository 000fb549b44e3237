// SPDX-License-Identifier: MIT
// How a command's failure reaches the operator. A command throws; main (and each stress
// worker) turns what comes out into one message through fatal_message_of().
#pragma once

#include "posix/exception.h"

#include <exception>
#include <sstream>
#include <string>
#include <utility>

// A failure the command words itself ("erase failed: ...", "program failed after ..."):
// printed as it stands, then a newline, instead of as a fatal error. An empty text means
// the failure was printed already; only the exit status is left to show it.
class command_failure_t : public qv::exception_t {
public:
    explicit command_failure_t(std::string text) { message = std::move(text); }
};

// Runs body. A failure it lets out becomes the text to print: a command's own wording as
// it stands; else prefix, then ": " and what() for our exceptions, "STD: " and what() for
// other standard ones, or "UNKNOWN EXCEPTION", then a newline. Empty when body succeeded
// or the failure was printed already; failed tells the two apart.
template <typename Body>
std::string fatal_message_of(const std::string& prefix, bool& failed, Body body) {
    std::ostringstream text;
    failed = true;
    try {
        body();
        failed = false;
        return "";
    } catch (const command_failure_t& e) {
        return e.what();
    } catch (const qv::exception_t& e) {
        text << prefix << ": " << e.what() << '\n';
    } catch (const std::exception& e) {
        text << prefix << "STD: " << e.what() << '\n';
    } catch (...) {
        text << prefix << "UNKNOWN EXCEPTION\n";
    }
    return text.str();
}
