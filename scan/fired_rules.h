#pragma once

#include <vector>

#include "scan/check_report.h"
#include "scan/rule_table.h"

// The rules behind the indices ScoreHeader reports, as the user wrote them, in the
// same order. Only meaningful against the rule table the indices came from.
std::vector<FiredRule> FiredRulesOf(const RuleTable& table, const std::vector<int>& indices);
