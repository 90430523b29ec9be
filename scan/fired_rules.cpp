#include "scan/fired_rules.h"

std::vector<FiredRule> FiredRulesOf(const RuleTable& table, const std::vector<int>& indices) {
    std::vector<FiredRule> rules;
    rules.reserve(indices.size());
    for (const int index : indices) {
        if (index < 0 || static_cast<std::size_t>(index) >= table.size()) {
            continue;  // indices from another table name nothing here
        }
        const CompiledRule& rule = table[static_cast<std::size_t>(index)];
        FiredRule& fired = rules.emplace_back();
        fired.list = rule.list;
        fired.header = rule.headerName;
        fired.contains = rule.contains;
        // The table holds Block weights negated; the user typed them positive.
        fired.weight = rule.list == RuleList::kBlock ? -rule.weight : rule.weight;
    }
    return rules;
}
