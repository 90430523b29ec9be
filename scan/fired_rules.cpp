#include "scan/fired_rules.h"

std::vector<FiredRule> FiredRulesOf(const AppState& state, const std::vector<int>& indices) {
    std::vector<FiredRule> rules;
    rules.reserve(indices.size());
    for (const int index : indices) {
        const CompiledRule& rule = state.rules[static_cast<std::size_t>(index)];
        FiredRule& fired = rules.emplace_back();
        fired.list = rule.list;
        fired.header = rule.headerName;
        fired.contains = rule.contains;
        // The table holds Block weights negated; the user typed them positive.
        fired.weight = rule.list == RuleList::kBlock ? -rule.weight : rule.weight;
    }
    return rules;
}
