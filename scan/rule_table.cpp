#include "scan/rule_table.h"

#include <atomic>

#include "app/app_state.h"
#include "scan/rule_compiler.h"
#include "scan/rule_groups.h"

namespace {

std::atomic<std::uint64_t> nextVersion{1};

}  // namespace

RuleTable::RuleTable(ScoringPath path) : version_(nextVersion++), path_(path) {}

RuleTable::~RuleTable() {
    // The groups name the patterns: they go first.
    groups_.reset();
    for (CompiledRule& rule : rules_) {
        pcre2_code_free(rule.pattern);
    }
}

std::shared_ptr<const RuleTable> RuleTable::Build(const std::vector<RuleEntry>& friends,
                                                  const std::vector<RuleEntry>& block,
                                                  const RuleTableOptions& options) {
    std::vector<ListedRule> rules;
    rules.reserve(friends.size() + block.size());
    for (const RuleEntry& rule : friends) {
        rules.push_back({RuleList::kFriends, rule, true});
    }
    for (const RuleEntry& rule : block) {
        rules.push_back({RuleList::kBlock, rule, true});
    }
    return Build(rules, options);
}

std::shared_ptr<const RuleTable> RuleTable::Build(const std::vector<ListedRule>& rules,
                                                  const RuleTableOptions& options) {
    std::shared_ptr<RuleTable> table(new RuleTable(options.path));
    for (const ListedRule& rule : rules) {
        if (table->rules_.size() >= kMaxRules) {
            break;
        }
        CompiledRule compiled;
        if (CompileRule(rule.list, rule.entry.header, rule.entry.contains, rule.entry.weight,
                        options.useJit && rule.useJit, compiled)) {
            table->rules_.push_back(std::move(compiled));
        }
    }
    const std::size_t floor =
        options.prefilterFloor != 0 ? options.prefilterFloor : RuleGroups::PrefilterFloor();
    table->groups_ = std::make_unique<const RuleGroups>(
        *table, options.path == ScoringPath::kPrefilter, floor, options.compile);
    return table;
}

void RuleTable::AwaitPrefilters() const {
    groups_->AwaitPrefilters();
}
