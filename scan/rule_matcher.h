#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "app/app_state.h"

// The work area of PCRE2 matching for one thread: match data, a match context with
// the limits, and a JIT stack, made once and used for every match call after.
class RuleMatcher {
  public:
    enum class Outcome { kNoMatch, kMatch, kLimit };

    // A pattern that needs more backtracking steps than this on one field is given up:
    // it counts as not matching that field. Today's rules need a few thousand.
    static constexpr std::uint32_t kMatchLimit = 1'000'000;

    RuleMatcher();
    ~RuleMatcher();
    RuleMatcher(const RuleMatcher&) = delete;
    RuleMatcher& operator=(const RuleMatcher&) = delete;

    Outcome Match(const pcre2_code* pattern, std::string_view text);

  private:
    int Run(const pcre2_code* pattern, std::string_view text, std::uint32_t options);

    pcre2_match_data* data_;
    pcre2_match_context* context_;
    pcre2_jit_stack* stack_;
};
