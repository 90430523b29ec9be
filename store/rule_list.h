#pragma once

#include <string>

// The two rule lists. The value is the kind digit each rule record stores.
enum class RuleList { kFriends = 0, kBlock = 1 };

// Both lists, in the order their rules are compiled.
inline constexpr RuleList kRuleLists[] = {RuleList::kFriends, RuleList::kBlock};

// One rule as the user wrote it and the list files store it.
struct RuleEntry {
    std::string header;    // one of the twelve names of the rule dialog
    std::string contains;  // a regular expression
    int weight = 0;        // as entered: -99 to 100

    bool operator==(const RuleEntry&) const = default;
};
