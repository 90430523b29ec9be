#pragma once

#include <string>

#include "app/app_state.h"
#include "store/rule_list.h"

// Compiles one rule into the next free slot of the rule table (caseless, anchored on
// the header name). Always returns 1: a rule that does not compile, or one past the
// end of the table, is dropped silently. `useJit` is off only for benchmarks.
int CompileRule(AppState& state, RuleList list, const std::string& headerName,
                const std::string& contains, int weight, bool useJit = true);

// What PCRE2 says of a rule's pattern: `message` and `offset` are PCRE2's error text
// and where in `contains` it stopped (0 when the fault lies in the header name);
// both are empty and 0 when the pattern compiles.
struct PatternCheck {
    bool ok;
    std::string message;
    int offset;
};

// Compiles the rule exactly as CompileRule would, without storing it.
PatternCheck CheckRulePattern(const std::string& headerName, const std::string& contains);
