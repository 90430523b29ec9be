#include "scan/header_verdict.h"

#include <string>
#include <string_view>

#include "scan/fired_rules.h"
#include "scan/header_fields.h"
#include "scan/header_scorer.h"

namespace {

constexpr char kMissingFrom[] = "(no address)";
constexpr char kMissingSubject[] = "(no subject)";
constexpr std::string_view kDate = "Date:";

std::string Decoded(const std::string& raw) {
    std::string block = raw;
    DecodeEncodedWords(block);
    return block;
}

}  // namespace

void JudgeKept(const AppState& state, KeptMessage& message) {
    std::string block = Decoded(message.headerBlock);
    message.rulesVersion = state.rulesVersion.load();
    message.score = ScoreHeader(state, block, &message.firedRules).score;
}

UnwantedMessage DescribeUnwanted(const AppState& state, int number, const KeptMessage& message) {
    const std::string block = Decoded(message.headerBlock);
    UnwantedMessage unwanted;
    unwanted.number = number;
    unwanted.uidl = message.uidl;
    unwanted.from = FindHeaderField(block, "From:").value_or(kMissingFrom);
    unwanted.subject = FindHeaderField(block, "Subject:").value_or(kMissingSubject);
    unwanted.date = HeaderFieldValue(block, kDate);
    unwanted.score = message.score;
    unwanted.rules = FiredRulesOf(state, message.firedRules);
    unwanted.headerBlock = message.headerBlock;
    return unwanted;
}
