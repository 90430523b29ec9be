#pragma once

#include <memory>

#include "app/app_state.h"
#include "scan/rule_table.h"

// Reads both rule files and builds their table, Friends then Block.
[[nodiscard]] std::shared_ptr<const RuleTable> ReadRuleTable(const AppState& state);

// Clears `modified`, builds the table from the files and puts it in force.
void LoadRuleLists(AppState& state);
