// SPDX-License-Identifier: MIT
// What an environment command changed, or with "-dryrun" would change: the members of the
// "-json" object, and the dry run's lines.
#pragma once

#include "zelk/zelk_env_plan.h"

#include <vector>

// "set": the keys set, in the order sent; "clear": whether the store was cleared first.
void report_changes(const std::vector<qv::zelk::env_entry_t>& sets, bool cleared);
// "dry run: would clear the store", "dry run: would add|change|remove <key>" for each key,
// "dry run: would set again <key>" for a key set to the value it holds, or "dry run:
// nothing would change"; and "dryrun", "plan" in the object.
void report_dry_run(const qv::zelk::env_plan_t& plan);
