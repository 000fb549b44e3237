// SPDX-License-Identifier: MIT
// Fault rules (faults.txt) as the board core counts them, and the file's text with
// the counts they reach.
#pragma once

extern "C" {
#include "board_core.h"
}

#include <string>
#include <utility>
#include <vector>

namespace vboard {

class fault_rules_t {
public:
    // One rule a line, blank-separated "key=value" fields; '#' lines are comments.
    explicit fault_rules_t(const std::string& text);

    std::vector<zc_rule>& rules() { return rules_; }
    // The rules' text, each rule's hits= as counted.
    std::string text() const;

private:
    using fields_t = std::vector<std::pair<std::string, std::string>>; // in file order
    std::vector<fields_t> fields_;
    std::vector<long long> loaded_hits_;
    std::vector<zc_rule> rules_;
};

} // namespace vboard
