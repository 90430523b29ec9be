#include "scan/rule_loader.h"

#include "store/rule_list_file.h"

std::shared_ptr<const RuleTable> ReadRuleTable(const AppState& state) {
    RuleFiles files = ReadRuleFiles(state);  // one read of both files, or the cache
    return RuleTable::Build(std::move(files.rules[static_cast<std::size_t>(RuleList::kFriends)]),
                            std::move(files.rules[static_cast<std::size_t>(RuleList::kBlock)]));
}

void LoadRuleLists(AppState& state) {
    // Cleared before the files are read: a page that rewrites its file and raises the
    // flag while this reload runs gets another reload, never a lost edit.
    state.modified = 0;
    state.PublishRules(ReadRuleTable(state));
}
