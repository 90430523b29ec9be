#pragma once

#include <string>
#include <vector>

#include "scan/header_scorer.h"
#include "scan/rule_table.h"

// The scorer as it was before rules were grouped: every rule tried in table order on
// the fields its header code shows it, with PCRE2's default limits. Kept as the
// yardstick the grouped scorer is tested and measured against; same contract as
// ScoreHeader.
ScoreResult ScoreHeaderReference(const RuleTable& table, std::string& block,
                                 std::vector<int>* firedRules = nullptr);
