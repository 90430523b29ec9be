#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "scan/rule_table.h"

// Rules added one at a time, in any order of the lists, and the table they make: the
// way tests, fuzz targets and benchmarks write a table. The table is built when asked
// for, again only after a change.
class RuleTableBuilder {
  public:
    void Add(RuleList list, const std::string& headerName, const std::string& contains, int weight,
             bool useJit = true);
    void Clear();
    void SetPath(ScoringPath path);
    void SetPrefilterCompile(PrefilterCompile compile);
    // The next table is built afresh even without a change, as a new process builds it.
    void BuildAfresh() { built_.reset(); }

    // The table of the rules added so far, with the prefilter floor as it is now.
    const RuleTable& Table();
    std::shared_ptr<const RuleTable> Shared();

  private:
    std::vector<ListedRule> rules_;
    RuleTableOptions options_;
    std::shared_ptr<const RuleTable> built_;
    std::size_t builtFloor_ = 0;
};

// Adds a rule after those before it. Always returns 1: a rule that does not compile,
// or one past the end of the table, is dropped when the table is built.
int CompileRule(RuleTableBuilder& rules, RuleList list, const std::string& headerName,
                const std::string& contains, int weight, bool useJit = true);
