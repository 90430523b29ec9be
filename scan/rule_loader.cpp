#include "scan/rule_loader.h"

#include "store/rule_list_file.h"

std::shared_ptr<const RuleTable> ReadRuleTable(const AppState& state) {
    return RuleTable::Build(ReadRuleFile(state, RuleList::kFriends),
                            ReadRuleFile(state, RuleList::kBlock));
}

void LoadRuleLists(AppState& state) {
    // Cleared before the files are read: a page that rewrites its file and raises the
    // flag while this reload runs gets another reload, never a lost edit.
    state.modified = 0;
    state.PublishRules(ReadRuleTable(state));
}
