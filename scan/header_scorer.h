#pragma once

#include <optional>
#include <string>
#include <vector>

#include "scan/rule_table.h"

struct ScoreResult {
    int score = 0;
    std::optional<std::string> from;     // the whole "From:" field, when present
    std::optional<std::string> subject;  // the whole "Subject:" field, when present
    // Rules that needed too many steps on a field and so count as not matching it or
    // any later field of the message, each once; empty unless a pattern backtracks
    // without end.
    std::vector<int> limitedRules;
    bool Unwanted() const { return score < 0; }
};

// Scores one decoded header block against the rule table: each field against the
// group of rules that score it, the matching rules' weights summed in table order. The
// block loses its Received fields on the way. Threads may score at once with one
// table; each keeps its own work area.
// When `firedRules` is given, it receives the indices (into the rule table) of the
// rules whose weights went into the score, in the order they were added, once per
// matching field: they sum to the score unless it saturated.
ScoreResult ScoreHeader(const RuleTable& table, std::string& block,
                        std::vector<int>* firedRules = nullptr);
