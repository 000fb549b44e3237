// SPDX-License-Identifier: MIT
// Fault rules (faults.txt): which calls on which nodes fail, read short or cut
// the power, and how many calls each rule has counted so far.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace vboard {

// What the rule that fired does to a call; `fired` false: nothing.
struct fault_t {
    bool fired = false;
    int id = 0;
    int error = 0;           // fail with this error number
    long long short_to = -1; // a read returns at most this many bytes
    bool power_cut = false;
    long long partial = 0; // bytes programmed before the power goes
};

class fault_rules_t {
public:
    // One rule a line, blank-separated "key=value" fields; '#' lines are comments.
    explicit fault_rules_t(const std::string& text);

    // Counts the call against every rule it matches; the first rule whose
    // trigger fires decides what happens to it. `op` as logged ("pread" is a read).
    fault_t check(const std::string& node, const char* op, uint32_t code);
    // True once a call was counted: the rules' text has changed.
    bool changed() const { return changed_; }
    std::string text() const;

private:
    struct rule_t {
        std::vector<std::pair<std::string, std::string>> fields; // in file order
        const std::string* find(const std::string& key) const;
        std::string get(const std::string& key) const;
        void set(const std::string& key, const std::string& value);
        bool fires(long long hits) const;
    };

    std::vector<rule_t> rules_;
    bool changed_ = false;
};

} // namespace vboard
