#pragma once

#include <memory>

#include "app/app_state.h"
#include "scan/rule_table.h"

// Reads both rule files and builds their table, Friends then Block.
[[nodiscard]] std::shared_ptr<const RuleTable> ReadRuleTable(
    const AppState& state, PrefilterCompile compile = PrefilterCompile::kAside);

// Clears `modified`, builds the table from the files and puts it in force, under the
// state's reload lock. By default the table serves at once, on PCRE2 alone until its
// prefilter is compiled aside: a check need not wait for a compile to connect.
void LoadRuleLists(AppState& state, PrefilterCompile compile = PrefilterCompile::kAside);

// As LoadRuleLists, but only when `modified` is still set once the reload lock is
// taken: a caller that waited for another thread's reload finds that table in force and
// builds nothing. True when this call built a table.
bool ReloadRulesIfModified(AppState& state, PrefilterCompile compile = PrefilterCompile::kAside);
