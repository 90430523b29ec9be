#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "app/app_state.h"
#include "scan/prefilter.h"
#include "scan/rule_matcher.h"

// The fields that rules score, each with the group of rules that may score it.
enum class FieldKind { kReceived, kFrom, kTo, kCc, kSubject };
constexpr std::size_t kFieldKinds = 5;

// The rule table sorted by the field each rule scores (a Recipient rule belongs to To
// and to Cc), each group with its prefilter. Made from one state of the table and
// never changed after, so threads share it; the table's patterns confirm each match.
class RuleGroups {
  public:
    // What one thread needs to match: made once, used for every field after.
    struct Work {
        RuleMatcher matcher;
        Prefilter::Scratch scratch;
        std::uint64_t fittedTo = 0;  // the serial of the groups the scratch fits
        std::vector<int> candidates;
    };

    RuleGroups(const AppState& state, std::uint64_t version, bool usePrefilter);

    // The groups of the table as it is now, made again when it has changed since.
    static std::shared_ptr<const RuleGroups> Of(const AppState& state);

    // Fits `work` to these groups; once per scoring, cheap when already fitted.
    void Prepare(Work& work) const;
    // Appends to `matched`, in table order, the rules of `kind`'s group that match
    // `text`; rules that gave up on it (the match limit) go to `limited`, and rules
    // already there are not tried: `limited` is the message's, across its fields.
    void Match(FieldKind kind, const AppState& state, std::string_view text, Work& work,
               std::vector<int>& matched, std::vector<int>& limited) const;

    // Figures for the benchmarks: rules the prefilter takes exactly or approximately,
    // rules always tried with PCRE2, and the databases' size.
    struct Figures {
        std::size_t exact = 0, approximate = 0, alwaysTried = 0, databaseBytes = 0;
    };
    Figures figures() const;

  private:
    struct Group {
        std::vector<int> members;      // table order
        std::vector<int> alwaysTried;  // members the prefilter cannot take, table order
        std::unique_ptr<Prefilter> prefilter;
    };

    std::array<Group, kFieldKinds> groups_;
    std::uint64_t version_;
    bool usesPrefilter_;
    std::uint64_t serial_;
};
