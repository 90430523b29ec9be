#include "scan/rule_table_builder.h"

#include "scan/rule_groups.h"

void RuleTableBuilder::Add(RuleList list, const std::string& headerName,
                           const std::string& contains, int weight, bool useJit) {
    rules_.push_back({list, RuleEntry{headerName, contains, weight}, useJit});
    built_.reset();
}

void RuleTableBuilder::Clear() {
    rules_.clear();
    built_.reset();
}

void RuleTableBuilder::SetPath(ScoringPath path) {
    if (options_.path != path) {
        options_.path = path;
        built_.reset();
    }
}

void RuleTableBuilder::SetPrefilterCompile(PrefilterCompile compile) {
    if (options_.compile != compile) {
        options_.compile = compile;
        built_.reset();
    }
}

const RuleTable& RuleTableBuilder::Table() {
    return *Shared();
}

std::shared_ptr<const RuleTable> RuleTableBuilder::Shared() {
    const std::size_t floor = RuleGroups::PrefilterFloor();
    if (!built_ || builtFloor_ != floor) {
        built_ = RuleTable::Build(rules_, options_);
        builtFloor_ = floor;
    }
    return built_;
}

int CompileRule(RuleTableBuilder& rules, RuleList list, const std::string& headerName,
                const std::string& contains, int weight, bool useJit) {
    rules.Add(list, headerName, contains, weight, useJit);
    return 1;
}
