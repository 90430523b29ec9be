#pragma once

#include <string>

#include "scan/rule_table.h"
#include "store/rule_list.h"

// Compiles one rule (caseless, anchored on the header name) into `out`, which then
// owns the pattern. False, with `out` empty, when it does not compile: the table drops
// such a rule silently. `useJit` is off only for benchmarks.
[[nodiscard]] bool CompileRule(RuleList list, const std::string& headerName,
                               const std::string& contains, int weight, bool useJit,
                               CompiledRule& out);

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
