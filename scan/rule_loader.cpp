#include "scan/rule_loader.h"

#include <mutex>

#include "store/rule_list_file.h"

namespace {

// The caller holds the reload lock.
void Reload(AppState& state, PrefilterCompile compile) {
    // Cleared before the files are read: a page that rewrites its file and raises the
    // flag while this reload runs gets another reload, never a lost edit.
    state.modified = 0;
    try {
        state.PublishRules(ReadRuleTable(state, compile));
    } catch (...) {
        state.modified = 1;  // the old table still serves; the next reload tries again
        throw;
    }
}

}  // namespace

std::shared_ptr<const RuleTable> ReadRuleTable(const AppState& state, PrefilterCompile compile) {
    RuleFiles files = ReadRuleFiles(state);  // one read of both files, or the cache
    RuleTableOptions options;
    options.compile = compile;
    return RuleTable::Build(std::move(files.rules[static_cast<std::size_t>(RuleList::kFriends)]),
                            std::move(files.rules[static_cast<std::size_t>(RuleList::kBlock)]),
                            options);
}

void LoadRuleLists(AppState& state, PrefilterCompile compile) {
    std::lock_guard lock(state.reloadMutex);
    Reload(state, compile);
}

bool ReloadRulesIfModified(AppState& state, PrefilterCompile compile) {
    std::lock_guard lock(state.reloadMutex);
    if (state.modified.load() == 0) {
        return false;
    }
    Reload(state, compile);
    return true;
}
