#pragma once

#include <string>
#include <vector>

#include "app/app_state.h"
#include "scan/header_scorer.h"

// The scorer as it was before rules were grouped: every rule tried in table order on
// the fields its header code shows it, with PCRE2's default limits. Kept as the
// yardstick the grouped scorer is tested and measured against; same contract as
// ScoreHeader.
ScoreResult ScoreHeaderReference(const AppState& state, std::string& block,
                                 std::vector<int>* firedRules = nullptr);
