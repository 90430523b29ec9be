#include "scan/header_verdict.h"

#include <string>
#include <string_view>
#include <utility>

#include "scan/fired_rules.h"
#include "scan/header_fields.h"
#include "scan/header_scorer.h"

namespace {

constexpr char kMissingFrom[] = "(no address)";
constexpr char kMissingSubject[] = "(no subject)";
constexpr std::string_view kDate = "Date:";

// What the lists show of one unwanted message is bounded, whatever the server sent:
// a field this long is no real sender or subject, and the rules saw it whole.
constexpr std::size_t kShownFieldBytes = 4096;
constexpr std::size_t kShownBlockBytes = std::size_t{64} << 10;

// The text cut to `limit` bytes, at a line end for a block, and never inside a UTF-8
// sequence.
std::string Bounded(std::string text, std::size_t limit, bool atLineEnd) {
    if (text.size() <= limit) {
        return text;
    }
    std::size_t end = limit;
    if (atLineEnd) {
        const std::size_t crlf = text.rfind("\r\n", limit - 2);
        end = crlf == std::string::npos ? 0 : crlf + 2;
    }
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) {
        --end;
    }
    return text.substr(0, end);  // a copy of its own size: resize would keep the capacity
}

std::string Decoded(const std::string& raw) {
    std::string block = raw;
    DecodeEncodedWords(block);
    return block;
}

}  // namespace

void JudgeKept(const RuleTable& table, KeptMessage& message) {
    std::string block = Decoded(message.headerBlock);
    message.rulesVersion = table.version();
    ScoreResult result = ScoreHeader(table, block, &message.firedRules);
    message.score = result.score;
    message.limitedRules = std::move(result.limitedRules);
}

UnwantedMessage DescribeUnwanted(const RuleTable& table, int number, const KeptMessage& message) {
    const std::string block = Decoded(message.headerBlock);
    UnwantedMessage unwanted;
    unwanted.number = number;
    unwanted.uidl = message.uidl;
    unwanted.from =
        Bounded(FindHeaderField(block, "From:").value_or(kMissingFrom), kShownFieldBytes, false);
    unwanted.subject = Bounded(FindHeaderField(block, "Subject:").value_or(kMissingSubject),
                               kShownFieldBytes, false);
    unwanted.date = Bounded(HeaderFieldValue(block, kDate), kShownFieldBytes, false);
    unwanted.score = message.score;
    unwanted.rules = FiredRulesOf(table, message.firedRules);
    unwanted.limited = FiredRulesOf(table, message.limitedRules);
    unwanted.headerBlock = Bounded(message.headerBlock, kShownBlockBytes, true);
    return unwanted;
}
