#pragma once

// The two rule lists. The value is the kind digit each rule record stores.
enum class RuleList { kFriends = 0, kBlock = 1 };

// Both lists, in the order their rules are compiled.
inline constexpr RuleList kRuleLists[] = {RuleList::kFriends, RuleList::kBlock};
