#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#ifndef PCRE2_CODE_UNIT_WIDTH
#define PCRE2_CODE_UNIT_WIDTH 8
#endif
#include <pcre2.h>

// The work area of PCRE2 matching for one thread: match data, a match context with
// the limits, and a JIT stack, made once and used for every match call after.
class RuleMatcher {
  public:
    enum class Outcome { kNoMatch, kMatch, kLimit };

    // A pattern that needs more backtracking steps than this on one field is tried
    // again without backtracking (pcre2_dfa_match), under the same limit; only when
    // that cannot run it (back-references and the like) or gives up too is the
    // outcome kLimit. Today's rules need a few thousand.
    static constexpr std::uint32_t kMatchLimit = 1'000'000;

    RuleMatcher();
    ~RuleMatcher();
    RuleMatcher(const RuleMatcher&) = delete;
    RuleMatcher& operator=(const RuleMatcher&) = delete;

    // `text` must be valid UTF-8 for a Unicode pattern (RuleGroups::Match sees to it):
    // it is checked once per field there, not once per rule here.
    Outcome Match(const pcre2_code* pattern, std::string_view text);
    // The backtracking matcher alone (kLimit where it gives up), and the one without
    // backtracking alone (kLimit where it cannot run or gives up), for tests and fuzzing
    // that compare the two.
    Outcome MatchBacktracking(const pcre2_code* pattern, std::string_view text);
    Outcome MatchWithoutBacktracking(const pcre2_code* pattern, std::string_view text);

  private:
    int Run(const pcre2_code* pattern, std::string_view text, std::uint32_t options);
    int RunDfa(const pcre2_code* pattern, std::string_view text);

    pcre2_match_data* data_;
    pcre2_match_context* context_;
    pcre2_jit_stack* stack_;
    std::vector<int> dfaWorkspace_;
};
