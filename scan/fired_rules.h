#pragma once

#include <vector>

#include "app/app_state.h"
#include "scan/check_report.h"

// The rules behind the indices ScoreHeader reports, as the user wrote them, in the
// same order. Only meaningful against the rule table the indices came from.
std::vector<FiredRule> FiredRulesOf(const AppState& state, const std::vector<int>& indices);
