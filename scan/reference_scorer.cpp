#include "scan/reference_scorer.h"

#include <climits>
#include <memory>
#include <vector>

#include "app/app_state.h"
#include "scan/header_fields.h"

namespace {

constexpr std::uint32_t kMatchPairs = 33;  // room for 33 capture pairs; nothing reads them
constexpr PCRE2_SIZE kJitStackStart = 32 * 1024;
constexpr PCRE2_SIZE kJitStackMax = 512 * 1024;

struct MatchDataFree {
    void operator()(pcre2_match_data* p) const { pcre2_match_data_free(p); }
};
struct MatchContextFree {
    void operator()(pcre2_match_context* p) const { pcre2_match_context_free(p); }
};
struct JitStackFree {
    void operator()(pcre2_jit_stack* p) const { pcre2_jit_stack_free(p); }
};

// The work area of one scoring: made once and used for every match call.
class Matcher {
  public:
    Matcher()
        : data_(pcre2_match_data_create(kMatchPairs, nullptr)),
          context_(pcre2_match_context_create(nullptr)),
          stack_(pcre2_jit_stack_create(kJitStackStart, kJitStackMax, nullptr)) {
        // The default JIT stack (32 KiB) runs out on fields of a few KiB with a
        // repeated alternation; a larger one spares most of them the second run.
        if (context_ && stack_) {
            pcre2_jit_stack_assign(context_.get(), nullptr, stack_.get());
        }
    }

    // An error counts as no match. A result of 0 means the pattern matched with more
    // groups than the work area holds, which is still a match. The JIT's stack is far
    // smaller than the interpreter's heap: a match that outgrows it is run again by
    // the interpreter, so both give the same verdict.
    bool Matches(const CompiledRule& rule, const std::string& text) const {
        if (rule.pattern == nullptr) {
            return false;
        }
        // A Unicode rule sees bytes that are not UTF-8 as U+FFFD, as the window shows
        // them; a byte-wise one sees the bytes.
        if ((rule.options & PCRE2_UTF) != 0 && !IsValidUtf8(text)) {
            std::string shown;
            AppendWithReplacement(text, shown);
            return MatchesText(rule, shown);
        }
        return MatchesText(rule, text);
    }

  private:
    bool MatchesText(const CompiledRule& rule, const std::string& text) const {
        int rc = Run(rule.pattern, text, 0);
        if (rc == PCRE2_ERROR_JIT_STACKLIMIT) {
            rc = Run(rule.pattern, text, PCRE2_NO_JIT);
        }
        // A pattern that runs away is settled without backtracking, as the scorer does.
        if (rc == PCRE2_ERROR_MATCHLIMIT || rc == PCRE2_ERROR_DEPTHLIMIT ||
            rc == PCRE2_ERROR_HEAPLIMIT) {
            std::vector<int> workspace(4096);
            rc = pcre2_dfa_match(rule.pattern, reinterpret_cast<PCRE2_SPTR>(text.data()),
                                 text.size(), 0, PCRE2_DFA_SHORTEST, data_.get(), context_.get(),
                                 workspace.data(), workspace.size());
        }
        return rc >= 0;
    }

    int Run(const pcre2_code* code, const std::string& text, std::uint32_t options) const {
        return pcre2_match(code, reinterpret_cast<PCRE2_SPTR>(text.data()), text.size(), 0, options,
                           data_.get(), context_.get());
    }

    std::unique_ptr<pcre2_match_data, MatchDataFree> data_;
    std::unique_ptr<pcre2_match_context, MatchContextFree> context_;
    std::unique_ptr<pcre2_jit_stack, JitStackFree> stack_;
};

// The running score, and the rules that went into it when the caller asks.
struct Tally {
    int score;
    std::vector<int>* fired;

    // Thousands of Received fields could otherwise overflow the score.
    void Add(std::uint32_t rule, int weight) {
        int sum = 0;
        if (__builtin_add_overflow(score, weight, &sum)) {
            sum = weight > 0 ? INT_MAX : INT_MIN;
        }
        score = sum;
        if (fired != nullptr) {
            fired->push_back(static_cast<int>(rule));
        }
    }
};

// The bit tests of a header code present a rule to more fields than its own (a
// Subject rule to From and to every Received field), trusting the anchored header
// name never to match there. A top-level alternation in the contains text ("a|b")
// lifts that anchor, so each test also requires the rule's own kind; for every other
// pattern this changes nothing. Kinds outside these never add to a score.
bool ShowToReceived(int code) {
    return (code & 8) == 8 && code == kHeaderReceived;
}
bool ShowToFrom(int code) {
    return (code & 1) == 1 && code == kHeaderFrom;
}
bool ShowToTo(int code) {
    return ((code & 2) == 2 || (code & 5) == 5) && (code == kHeaderTo || code == kHeaderRecipient);
}
bool ShowToCc(int code) {
    return ((code & 3) == 3 || (code & 5) == 5) && (code == kHeaderCc || code == kHeaderRecipient);
}
bool ShowToSubject(int code) {
    return (code & 9) == 9 && code == kHeaderSubject;
}

// Every Received field is tested, first to last, and cut from the block after use.
void ScoreReceived(const RuleTable& table, const Matcher& matcher, std::string& block,
                   Tally& tally) {
    static constexpr std::string_view kReceived = "Received:";
    for (std::optional<std::string> field = FindHeaderField(block, kReceived); field;
         field = FindHeaderField(block, kReceived)) {
        for (std::uint32_t j = 0; j < table.size(); ++j) {
            const CompiledRule& rule = table[static_cast<std::size_t>(j)];
            if (ShowToReceived(rule.headerCode) && matcher.Matches(rule, *field)) {
                tally.Add(j, rule.weight);
            }
        }
        CutHeaderField(block, kReceived);
    }
}

struct Fields {
    std::optional<std::string> subject;
    std::optional<std::string> from;
    std::optional<std::string> to;
    std::optional<std::string> cc;
};

void TestField(const Matcher& matcher, std::uint32_t index, const CompiledRule& rule, bool shown,
               const std::optional<std::string>& field, Tally& tally) {
    if (shown && field && matcher.Matches(rule, *field)) {
        tally.Add(index, rule.weight);
    }
}

// A score of exactly 100 ends the pass between a rule's Cc and Subject tests.
void ScoreRules(const RuleTable& table, const Matcher& matcher, const Fields& fields,
                Tally& tally) {
    for (std::uint32_t j = 0; j < table.size(); ++j) {
        const CompiledRule& rule = table[static_cast<std::size_t>(j)];
        const int code = rule.headerCode;
        TestField(matcher, j, rule, ShowToFrom(code), fields.from, tally);
        TestField(matcher, j, rule, ShowToTo(code), fields.to, tally);
        TestField(matcher, j, rule, ShowToCc(code), fields.cc, tally);
        if (tally.score == 100) {
            return;
        }
        TestField(matcher, j, rule, ShowToSubject(code), fields.subject, tally);
    }
}

}  // namespace

ScoreResult ScoreHeaderReference(const RuleTable& table, std::string& block,
                                 std::vector<int>* firedRules) {
    Fields fields;
    fields.subject = FindHeaderField(block, "Subject:");
    fields.from = FindHeaderField(block, "From:");
    fields.to = FindHeaderField(block, "To:");
    fields.cc = FindHeaderField(block, "Cc:");

    const Matcher matcher;
    ScoreResult result;
    if (firedRules != nullptr) {
        firedRules->clear();
    }
    Tally tally{0, firedRules};
    ScoreReceived(table, matcher, block, tally);
    ScoreRules(table, matcher, fields, tally);
    result.score = tally.score;
    result.from = std::move(fields.from);
    result.subject = std::move(fields.subject);
    return result;
}
