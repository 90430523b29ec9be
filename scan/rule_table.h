#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#ifndef PCRE2_CODE_UNIT_WIDTH
#define PCRE2_CODE_UNIT_WIDTH 8
#endif
#include <pcre2.h>

#include "store/rule_list.h"

class RuleGroups;

struct CompiledRule {
    int headerCode = 0;             // a HeaderCode
    pcre2_code* pattern = nullptr;  // owned by the table
    int study = 0;                  // 1 when the pattern was JIT-compiled
    std::uint32_t options = 0;  // the compile options: caseless, and Unicode where it compiled so
    int weight = 0;             // negated for Block rules
    std::string source;         // the pattern text, for the multi-pattern prefilter
    // The rule as the user wrote it, to say which rules flagged a message.
    RuleList list = RuleList::kFriends;
    std::string headerName;
    std::string contains;
};

// How ScoreHeader works; every path gives the same scores. Tests and benchmarks switch.
enum class ScoringPath : int {
    kPrefilter,  // rules grouped by field, candidates found by one multi-pattern scan
    kGroups,     // rules grouped by field, each tried with PCRE2
    kReference,  // every rule in table order, as the scorer first worked
};

// A rule of either list, for tables whose rules do not come Friends first.
struct ListedRule {
    RuleList list = RuleList::kFriends;
    RuleEntry entry;
    bool useJit = true;  // off only where the interpreter itself is under test
};

// When a table's prefilter databases are compiled, or read from the cache.
enum class PrefilterCompile {
    kBeforeUse,    // before Build returns
    kAside,        // on a thread of their own: until they are in, PCRE2 alone scores
    kWhenAwaited,  // only once AwaitPrefilters is called, so tests can hold the switch
};

struct RuleTableOptions {
    ScoringPath path = ScoringPath::kPrefilter;
    PrefilterCompile compile = PrefilterCompile::kBeforeUse;
    std::size_t prefilterFloor = 0;  // 0: RuleGroups::PrefilterFloor() as it is at the build
    bool useJit = true;              // off only for benchmarks
};

// The compiled rules of both lists with their groups and prefilter databases. Built
// whole and never changed after, so any number of threads score with one table while
// a newer one is built; whoever holds the last pointer to it frees its patterns.
class RuleTable {
  public:
    // Friends, then Block. Rules that do not compile are dropped (and logged), as is
    // every rule past the kMaxRules that compiled.
    [[nodiscard]] static std::shared_ptr<const RuleTable> Build(
        const std::vector<RuleEntry>& friends, const std::vector<RuleEntry>& block,
        const RuleTableOptions& options = {});
    [[nodiscard]] static std::shared_ptr<const RuleTable> Build(
        const std::vector<ListedRule>& rules, const RuleTableOptions& options = {});

    ~RuleTable();
    RuleTable(const RuleTable&) = delete;
    RuleTable& operator=(const RuleTable&) = delete;

    std::uint32_t size() const { return static_cast<std::uint32_t>(rules_.size()); }
    const CompiledRule& operator[](std::size_t index) const { return rules_[index]; }
    // Unique to this table among all built in this run: a verdict noted with it holds
    // only while this table scores.
    std::uint64_t version() const { return version_; }
    ScoringPath path() const { return path_; }
    const RuleGroups& groups() const { return *groups_; }
    // Returns once the prefilter databases are in (at once unless compiled aside).
    void AwaitPrefilters() const;

  private:
    explicit RuleTable(ScoringPath path);

    std::vector<CompiledRule> rules_;
    std::unique_ptr<const RuleGroups> groups_;
    std::uint64_t version_;
    ScoringPath path_;
};
