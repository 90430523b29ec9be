#include "scan/rule_preview.h"

#include <memory>

#include "scan/header_fields.h"
#include "scan/header_scorer.h"

namespace {

std::shared_ptr<const RuleTable> CompileRules(const RuleSet& rules) {
    return RuleTable::Build(rules.friends, rules.block);
}

RuleSet WithCandidate(RuleSet rules, const CandidateRule& candidate) {
    std::vector<RuleEntry>& list = candidate.list == RuleList::kBlock ? rules.block : rules.friends;
    if (candidate.replaces && *candidate.replaces < list.size()) {
        list[*candidate.replaces] = candidate.rule;
    } else {
        list.push_back(candidate.rule);
    }
    return rules;
}

// The scorer cuts the Received fields from the block it is given, so each run gets
// its own copy of the decoded block.
ScoreResult Score(const RuleTable& table, const std::string& decoded,
                  std::vector<int>* fired = nullptr) {
    std::string block = decoded;
    return ScoreHeader(table, block, fired);
}

std::string Plural(std::size_t count, const char* what) {
    return std::to_string(count) + " " + what + (count == 1 ? "" : "s");
}

}  // namespace

RulePreview PreviewRule(const RuleSet& rules, const CandidateRule& candidate,
                        const std::vector<KeptMessage>& kept, std::size_t shown,
                        const std::atomic<bool>* stop) {
    RulePreview preview;
    preview.pattern = CheckRulePattern(candidate.rule.header, candidate.rule.contains);
    if (!preview.pattern.ok) {
        return preview;
    }
    const std::shared_ptr<const RuleTable> before = CompileRules(rules);
    const std::shared_ptr<const RuleTable> after = CompileRules(WithCandidate(rules, candidate));
    const std::shared_ptr<const RuleTable> alone =
        CompileRules(WithCandidate(RuleSet{}, CandidateRule{candidate.list, candidate.rule, {}}));
    std::vector<int> fired;
    for (const KeptMessage& message : kept) {
        if (stop != nullptr && stop->load(std::memory_order_relaxed)) {
            preview.stopped = true;
            return preview;
        }
        ++preview.kept;
        std::string decoded = message.headerBlock;
        DecodeEncodedWords(decoded);
        const ScoreResult aloneResult = Score(*alone, decoded, &fired);
        preview.limited += aloneResult.limitedRules.empty() ? 0 : 1;
        if (!fired.empty()) {
            ++preview.matches;
            if (preview.firstMatches.size() < shown) {
                preview.firstMatches.push_back({HeaderFieldValue(message.headerBlock, "From:"),
                                                HeaderFieldValue(message.headerBlock, "Subject:"),
                                                message.account});
            }
        }
        const bool wasUnwanted = Score(*before, decoded).Unwanted();
        const bool isUnwanted = Score(*after, decoded).Unwanted();
        preview.newlyUnwanted += !wasUnwanted && isUnwanted ? 1 : 0;
        preview.noLongerUnwanted += wasUnwanted && !isUnwanted ? 1 : 0;
    }
    return preview;
}

std::string LimitedText(const RulePreview& preview) {
    if (preview.limited == 0) {
        return {};
    }
    return "This rule needs too many steps on " + std::to_string(preview.limited) +
           " of the messages; it counts as not matching there.";
}

std::string VerdictChangeText(const RulePreview& preview) {
    std::string text;
    if (preview.newlyUnwanted > 0) {
        text = Plural(preview.newlyUnwanted, "more message") + " would be unwanted.";
    }
    if (preview.noLongerUnwanted > 0) {
        text += text.empty() ? "" : " ";
        text += Plural(preview.noLongerUnwanted, "message") + " would no longer be unwanted.";
    }
    return text.empty() ? "No verdict would change." : text;
}
