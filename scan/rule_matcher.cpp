#include "scan/rule_matcher.h"

namespace {

constexpr std::uint32_t kMatchPairs = 33;  // room for 33 capture pairs; nothing reads them
constexpr PCRE2_SIZE kJitStackStart = 32 * 1024;
constexpr PCRE2_SIZE kJitStackMax = 512 * 1024;
// The interpreter keeps its backtracking frames on the heap; this bounds them (KiB).
constexpr std::uint32_t kHeapLimitKib = 64 * 1024;
// The states the matcher without backtracking may hold at once; a pattern that needs
// more gives up as the backtracking one would.
constexpr std::size_t kDfaWorkspaceInts = 4096;

bool IsLimit(int rc) {
    return rc == PCRE2_ERROR_MATCHLIMIT || rc == PCRE2_ERROR_DEPTHLIMIT ||
           rc == PCRE2_ERROR_HEAPLIMIT;
}

RuleMatcher::Outcome OutcomeOf(int rc) {
    if (rc >= 0) {
        return RuleMatcher::Outcome::kMatch;
    }
    return rc == PCRE2_ERROR_NOMATCH || rc == PCRE2_ERROR_PARTIAL ? RuleMatcher::Outcome::kNoMatch
                                                                  : RuleMatcher::Outcome::kLimit;
}

}  // namespace

RuleMatcher::RuleMatcher()
    : data_(pcre2_match_data_create(kMatchPairs, nullptr)),
      context_(pcre2_match_context_create(nullptr)),
      stack_(pcre2_jit_stack_create(kJitStackStart, kJitStackMax, nullptr)),
      dfaWorkspace_(kDfaWorkspaceInts) {
    if (context_ != nullptr) {
        pcre2_set_match_limit(context_, kMatchLimit);
        pcre2_set_heap_limit(context_, kHeapLimitKib);
        // The default JIT stack (32 KiB) runs out on fields of a few KiB with a
        // repeated alternation; a larger one spares most of them the second run.
        if (stack_ != nullptr) {
            pcre2_jit_stack_assign(context_, nullptr, stack_);
        }
    }
}

RuleMatcher::~RuleMatcher() {
    pcre2_jit_stack_free(stack_);
    pcre2_match_context_free(context_);
    pcre2_match_data_free(data_);
}

// A result of 0 means the pattern matched with more groups than the work area holds,
// which is still a match; any other error but a limit counts as no match. The JIT's
// stack is far smaller than the interpreter's heap: a match that outgrows it is run
// again by the interpreter, so both give the same verdict.
RuleMatcher::Outcome RuleMatcher::MatchBacktracking(const pcre2_code* pattern,
                                                    std::string_view text) {
    if (pattern == nullptr || data_ == nullptr) {
        return Outcome::kNoMatch;
    }
    int rc = Run(pattern, text, PCRE2_NO_UTF_CHECK);
    if (rc == PCRE2_ERROR_JIT_STACKLIMIT) {
        rc = Run(pattern, text, PCRE2_NO_UTF_CHECK | PCRE2_NO_JIT);
    }
    if (rc >= 0) {
        return Outcome::kMatch;
    }
    return IsLimit(rc) ? Outcome::kLimit : Outcome::kNoMatch;
}

// Every error here is kLimit: an item the matcher cannot run (a back-reference), a
// full workspace, a limit. Only a clean answer may stand for the backtracking one.
RuleMatcher::Outcome RuleMatcher::MatchWithoutBacktracking(const pcre2_code* pattern,
                                                           std::string_view text) {
    if (pattern == nullptr || data_ == nullptr) {
        return Outcome::kNoMatch;
    }
    return OutcomeOf(RunDfa(pattern, text));
}

RuleMatcher::Outcome RuleMatcher::Match(const pcre2_code* pattern, std::string_view text) {
    const Outcome first = MatchBacktracking(pattern, text);
    return first == Outcome::kLimit ? MatchWithoutBacktracking(pattern, text) : first;
}

int RuleMatcher::Run(const pcre2_code* pattern, std::string_view text, std::uint32_t options) {
    return pcre2_match(pattern, reinterpret_cast<PCRE2_SPTR>(text.data()), text.size(), 0, options,
                       data_, context_);
}

// Whether a rule matches is all that counts: the shortest match ends the search first.
int RuleMatcher::RunDfa(const pcre2_code* pattern, std::string_view text) {
    return pcre2_dfa_match(pattern, reinterpret_cast<PCRE2_SPTR>(text.data()), text.size(), 0,
                           PCRE2_DFA_SHORTEST | PCRE2_NO_UTF_CHECK, data_, context_,
                           dfaWorkspace_.data(), dfaWorkspace_.size());
}
