// SPDX-License-Identifier: MIT
// The one skeleton of every call on a node: take the board (lock, settings,
// fault rules), count the call against the rules, serve it, and either log its
// line or, when a rule cut the power, end the process.
#pragma once

#include "faults.h"
#include "node.h"
#include "session.h"

#include <cstdint>
#include <string>
#include <utility>

namespace vboard {

class call_t {
public:
    // `op` and `args` as logged; `code` the request code of an ioctl, else 0.
    call_t(const node_ref_t& ref, const char* op, std::string args, uint32_t code)
        : ref(ref), op(op), args(std::move(args)), session(ref.board),
          fault(session.check(ref.node, op, code)) {}
    call_t(const call_t&) = delete;
    call_t& operator=(const call_t&) = delete;

    // The answer to a call refused before the driver looks at it: the board's
    // error, or the errno of the rule that fired (a power cut wins over it). 0: go on.
    long refusal() const {
        if (session.error())
            return -session.error();
        if (fault.fired && fault.error && !fault.power_cut)
            return -fault.error;
        return 0;
    }

    // A call that changes nothing never starts when the power goes at it.
    void cut_power_at_start() {
        if (fault.power_cut)
            cut_power();
    }
    // Logs the power cut's line now, with the arguments known so far.
    void log_power_cut() {
        if (!cut_logged_)
            session.log(ref, op, args, -1, 0, fault);
        cut_logged_ = true;
    }
    [[noreturn]] void cut_power() {
        log_power_cut();
        power_cut();
    }

    // The call's end: a power cut still due (the request was refused before it
    // changed anything) takes the process; otherwise the line is logged.
    long long finish(long long result) {
        if (fault.power_cut)
            cut_power();
        session.log(ref, op, args, result < 0 ? -1 : result, static_cast<int>(-result), fault);
        return result;
    }

    const node_ref_t& ref;
    const char* const op;
    std::string args;
    session_t session;
    const fault_t fault;

private:
    bool cut_logged_ = false;
};

// Runs `request(call)` (a result, or minus an error number) as one call.
template <typename Request>
long long serve(const node_ref_t& ref, const char* op, std::string args, uint32_t code,
                Request request) {
    call_t call(ref, op, std::move(args), code);
    return call.finish(request(call));
}

} // namespace vboard
