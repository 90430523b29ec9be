#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <future>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "scan/prefilter.h"
#include "scan/rule_matcher.h"
#include "scan/rule_table.h"

// The fields that rules score, each with the group of rules that may score it.
enum class FieldKind { kReceived, kFrom, kTo, kCc, kSubject };
constexpr std::size_t kFieldKinds = 5;

// The rule table sorted by the field each rule scores, each group with its prefilter.
// Recipient rules form a group of their own that To and Cc both consult, so their
// patterns are compiled once. Part of its table, made with it and never changed
// after, so threads share it; the table's patterns confirm each match.
class RuleGroups {
  public:
    // What one thread needs to match: made once, used for every field after.
    struct Work {
        RuleMatcher matcher;
        Prefilter::Scratch scratch;
        std::uint64_t fittedTo = 0;  // the serial of the groups the scratch fits
        std::vector<int> candidates;
        std::string shown;  // a field that is not UTF-8, as the window shows it
    };

    // A group of fewer rules than this is tried with PCRE2 alone: below it a
    // multi-pattern scan saves less than its compile costs (bench_scan's break-even).
    static constexpr std::size_t kPrefilterFloor = 32;

    RuleGroups(const RuleTable& table, bool usePrefilter,
               std::size_t prefilterFloor = PrefilterFloor(),
               PrefilterCompile compile = PrefilterCompile::kBeforeUse);
    // Returns once the prefilter databases are in; a compile held for it runs here.
    void AwaitPrefilters() const;

    // The floor groups are made with from now on; tests and benchmarks lower it to
    // reach the prefilter with few rules.
    static void SetPrefilterFloor(std::size_t floor);
    static std::size_t PrefilterFloor();

    // Fits `work` to these groups once their databases are in; once per scoring, cheap
    // when already fitted. An unfitted work scores with PCRE2 alone, the same verdicts.
    void Prepare(Work& work) const;
    // Appends to `matched`, in table order, the rules of `kind`'s group that match
    // `text` (Unicode rules see bytes that are not UTF-8 as U+FFFD, as shown); rules that gave up
    // on it (the match limit) go to `limited`, and rules already there are not tried: `limited` is
    // the message's, across its fields.
    void Match(FieldKind kind, const RuleTable& table, std::string_view text, Work& work,
               std::vector<int>& matched, std::vector<int>& limited) const;

    // Figures for the benchmarks: rules the prefilter takes exactly or approximately,
    // rules always tried with PCRE2, and the databases' size.
    struct Figures {
        std::size_t exact = 0, approximate = 0, alwaysTried = 0, databaseBytes = 0;
    };
    Figures figures() const;
    std::size_t LargestGroup() const;

  private:
    // The fields' own groups, by FieldKind, then the Recipient rules' shared one.
    static constexpr std::size_t kRecipientGroup = kFieldKinds;
    static constexpr std::size_t kGroupCount = kFieldKinds + 1;

    struct Group {
        std::vector<int> members;      // table order
        std::vector<int> alwaysTried;  // members the prefilter cannot take, table order
        std::vector<int> byteWise;     // members whose patterns are not UTF-8
        std::unique_ptr<Prefilter> prefilter;
    };

    // The rules of `kind`'s groups worth trying on `text`, in table order.
    const std::vector<int>& Tried(FieldKind kind, std::string_view text, Work& work) const;
    // Appends the members of `group` the prefilter cannot rule out for `text`.
    void AppendCandidates(const Group& group, std::string_view text, Work& work) const;
    using GroupPatterns = std::array<std::vector<Prefilter::Pattern>, kGroupCount>;

    // Builds the databases and puts them in force for the works fitted after.
    void PutPrefiltersIn(const GroupPatterns& patterns, std::size_t prefilterFloor,
                         unsigned sparedCpus);
    // Compiles the groups' databases, on as many threads as there are processors but
    // `sparedCpus` (at least one).
    void BuildPrefilters(const GroupPatterns& patterns, std::size_t prefilterFloor,
                         unsigned sparedCpus);

    std::array<Group, kGroupCount> groups_;
    // Every rule of each field's groups in table order: what PCRE2 alone tries.
    std::array<std::vector<int>, kFieldKinds> everyRule_;
    std::uint64_t serial_;
    // Set once the databases and the lists beside them are whole; never cleared.
    std::atomic<bool> prefiltersIn_{false};
    // The compile aside. Declared last: going first, it waits for a compile under way
    // (as a future of std::async does) before anything that compile writes goes, and
    // drops a held one unrun.
    std::future<void> compiled_;
};
