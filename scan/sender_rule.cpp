#include "scan/sender_rule.h"

#include "app/app_state.h"
#include "scan/header_fields.h"

namespace {

constexpr std::string_view kFromName = "From:";
constexpr std::string_view kBlanks = " \t\r\n";
// Where an address in a From field may start and end: after the field's colon, a
// blank, an angle bracket or a list's comma; before a blank, a bracket, a comma or a
// group's semicolon. Anything else there makes it part of a longer address.
constexpr std::string_view kAddressStart = "(?<=[\\s<:,])";
constexpr std::string_view kAddressEnd = "(?=[\\s>,;]|$)";
constexpr std::string_view kSpecial = "\\^$.|?*+()[]{}";
constexpr int kAllowWeight = 100;

std::string_view Trimmed(std::string_view text) {
    const std::size_t first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

// Text on both sides of the last at sign, and nothing a pattern could
// not carry on one line or that ends an address.
bool IsAddress(std::string_view text) {
    const std::size_t at = text.rfind('@');
    if (at == std::string_view::npos || at == 0 || at + 1 == text.size()) {
        return false;
    }
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte == 0x7f || c == '<' || c == '>' || c == ',' || c == ';') {
            return false;
        }
    }
    return true;
}

// The first word holding an at sign, words parted by blanks, commas and semicolons.
std::string_view FirstBareAddress(std::string_view text) {
    constexpr std::string_view kParts = " \t\r\n,;";
    std::size_t start = text.find_first_not_of(kParts);
    while (start != std::string_view::npos) {
        const std::size_t end = text.find_first_of(kParts, start);
        const std::string_view word = text.substr(start, end - start);
        if (word.find('@') != std::string_view::npos) {
            return word;
        }
        start = end == std::string_view::npos ? end : text.find_first_not_of(kParts, end);
    }
    return {};
}

std::string Lowered(std::string_view text) {
    std::string lowered(text);
    for (char& c : lowered) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return lowered;
}

}  // namespace

std::optional<std::string> SenderAddress(std::string_view fromField) {
    std::string_view text = Trimmed(fromField);
    if (StartsWithCaseless(text, 0, kFromName)) {
        text.remove_prefix(kFromName.size());
    }
    // A display name may quote brackets of its own; the address proper comes last.
    // A field cut short may have lost the closing bracket.
    const std::size_t open = text.rfind('<');
    std::string_view address;
    if (open != std::string_view::npos) {
        const std::size_t close = text.find('>', open);
        address = Trimmed(text.substr(
            open + 1, close == std::string_view::npos ? std::string_view::npos : close - open - 1));
    } else {
        address = FirstBareAddress(text);
    }
    if (!IsAddress(address)) {
        return std::nullopt;
    }
    return std::string(address);
}

std::string EscapePattern(std::string_view text) {
    std::string escaped;
    escaped.reserve(text.size() * 2);
    for (const char c : text) {
        if (kSpecial.find(c) != std::string_view::npos) {
            escaped.push_back('\\');
        }
        escaped.push_back(c);
    }
    return escaped;
}

// Built by appending: GCC 12 at -O3 warns falsely (restrict) on "text" + std::string.
std::string SenderPattern(std::string_view address) {
    std::string pattern(kAddressStart);
    pattern.append(EscapePattern(Lowered(address)));
    pattern.append(kAddressEnd);
    return pattern;
}

std::string DomainPattern(std::string_view address) {
    const std::size_t at = address.rfind('@');
    const std::string_view domain = at == std::string_view::npos ? address : address.substr(at + 1);
    std::string pattern(1, '@');
    pattern.append(EscapePattern(Lowered(domain)));
    pattern.append(kAddressEnd);
    return pattern;
}

RuleList ListOf(SenderRuleKind kind) {
    return kind == SenderRuleKind::kBlockSender || kind == SenderRuleKind::kBlockDomain
               ? RuleList::kBlock
               : RuleList::kFriends;
}

std::optional<RuleEntry> MakeSenderRule(SenderRuleKind kind, std::string_view fromField,
                                        int blockWeight) {
    const std::optional<std::string> address = SenderAddress(fromField);
    if (!address) {
        return std::nullopt;
    }
    const bool wholeAddress =
        kind == SenderRuleKind::kBlockSender || kind == SenderRuleKind::kAllowSender;
    RuleEntry rule;
    rule.header = std::string(kFromName);
    rule.contains = wholeAddress ? SenderPattern(*address) : DomainPattern(*address);
    rule.weight = ListOf(kind) == RuleList::kBlock ? blockWeight : kAllowWeight;
    // The rule files keep 255 bytes of a pattern; a longer one would be cut into
    // another pattern.
    if (rule.contains.size() > kTextSize - 1) {
        return std::nullopt;
    }
    return rule;
}
