#include "scan/rule_compiler.h"

#include <climits>
#include <cstdint>
#include <cstring>

#include "app/app_state.h"
#include "app/debug_log.h"

namespace {

constexpr std::size_t kPatternBufferSize = 4096;  // 4095 bytes of pattern at most
constexpr std::string_view kRecipientNames = "(To:|Cc:)";

// Rule texts are C texts: they end at their first NUL byte.
std::string_view TextOf(const std::string& s) {
    return std::string_view(s.c_str());
}

// The character at `index`, or NUL past the end, so short names never read beyond.
char CharAt(std::string_view name, std::size_t index) {
    return index < name.size() ? name[index] : '\0';
}

std::string BuildPattern(std::string_view header, std::string_view contains) {
    std::string pattern;
    pattern.reserve(1 + header.size() + 4 + contains.size());
    pattern.push_back('^');
    pattern.append(header);
    pattern.append("(.*)");
    pattern.append(contains);
    if (pattern.size() > kPatternBufferSize - 1) {
        pattern.resize(kPatternBufferSize - 1);
    }
    return pattern;
}

// The header code from the letters of the name (case-sensitive). A "Recipient" rule
// tests the To and Cc fields, so its pattern is rebuilt on their names.
int DeriveHeaderCode(std::string_view name, std::string_view contains, std::string& pattern) {
    switch (CharAt(name, 0)) {
        case 'A':
            return kHeaderAny;
        case 'C':
            switch (CharAt(name, 1)) {
                case 'c':
                    return kHeaderCc;
                case 'o':
                    return kHeaderContentType;
                default:
                    return kHeaderNone;
            }
        case 'F':
            return kHeaderFrom;
        case 'M':
            return kHeaderMessageId;
        case 'R':
            switch (CharAt(name, 3)) {
                case 'e':
                    return kHeaderReceived;
                case 'i':
                    pattern = BuildPattern(kRecipientNames, contains);
                    return kHeaderRecipient;
                case 'l':
                    return kHeaderReplyTo;
                case 'u':
                    return kHeaderReturnPath;
                default:
                    return kHeaderNone;
            }
        case 'S':
            switch (CharAt(name, 1)) {
                case 'e':
                    return kHeaderSender;
                case 'u':
                    return kHeaderSubject;
                default:
                    return kHeaderNone;
            }
        case 'T':
            return kHeaderTo;
        default:
            return kHeaderNone;
    }
}

// Block weights count against a message. Negating the most negative int has no
// value in range, so it saturates.
int SignedWeight(RuleList list, int weight) {
    if (list == RuleList::kFriends) {
        return weight;
    }
    return weight == INT_MIN ? INT_MAX : -weight;
}

// The pattern a rule compiles to, and its header code.
struct RulePattern {
    std::string text;
    int headerCode;
    std::size_t prefixLength;  // the bytes before the contains text
};

RulePattern MakeRulePattern(const std::string& headerName, const std::string& contains) {
    const std::string_view name = TextOf(headerName);
    const std::string_view text = TextOf(contains);
    RulePattern rule;
    rule.text = BuildPattern(name, text);
    rule.headerCode = DeriveHeaderCode(name, text, rule.text);
    const std::string_view shownName = rule.headerCode == kHeaderRecipient ? kRecipientNames : name;
    rule.prefixLength = BuildPattern(shownName, "").size();
    return rule;
}

// Case and classes (\w, \b, [[:alpha:]]) follow Unicode. The scorer hands these
// patterns only valid UTF-8 (bytes that are not show as U+FFFD), so they need no
// invalid-UTF mode, which the matcher without backtracking refuses. A rule typed in
// another 8-bit charset is not valid UTF-8: it keeps its byte-wise meaning rather
// than being dropped.
constexpr std::uint32_t kUnicodeOptions = PCRE2_CASELESS | PCRE2_UTF | PCRE2_UCP;

bool IsUtfError(int errorCode) {
    return errorCode >= PCRE2_ERROR_UTF8_ERR21 && errorCode <= PCRE2_ERROR_UTF8_ERR1;
}

pcre2_code* CompilePattern(const std::string& pattern, int& errorCode, PCRE2_SIZE& errorOffset,
                           std::uint32_t* options = nullptr) {
    const auto compile = [&](std::uint32_t with) {
        if (options != nullptr) {
            *options = with;
        }
        return pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.c_str()), pattern.size(), with,
                             &errorCode, &errorOffset, nullptr);
    };
    pcre2_code* code = compile(kUnicodeOptions);
    if (code == nullptr && IsUtfError(errorCode)) {
        code = compile(PCRE2_CASELESS);
    }
    return code;
}

}  // namespace

PatternCheck CheckRulePattern(const std::string& headerName, const std::string& contains) {
    const RulePattern rule = MakeRulePattern(headerName, contains);
    int errorCode = 0;
    PCRE2_SIZE errorOffset = 0;
    pcre2_code* code = CompilePattern(rule.text, errorCode, errorOffset);
    if (code != nullptr) {
        pcre2_code_free(code);
        return PatternCheck{true, {}, 0};
    }
    PCRE2_UCHAR buffer[256];
    const int length = pcre2_get_error_message(errorCode, buffer, sizeof buffer);
    std::string message(reinterpret_cast<const char*>(buffer), length > 0 ? length : 0);
    const PCRE2_SIZE offset = errorOffset > rule.prefixLength ? errorOffset - rule.prefixLength : 0;
    return PatternCheck{false, std::move(message), static_cast<int>(offset)};
}

bool CompileRule(RuleList list, const std::string& headerName, const std::string& contains,
                 int weight, bool useJit, CompiledRule& out) {
    out = CompiledRule{};
    const RulePattern rule = MakeRulePattern(headerName, contains);
    int errorCode = 0;
    PCRE2_SIZE errorOffset = 0;
    std::uint32_t options = 0;
    pcre2_code* code = CompilePattern(rule.text, errorCode, errorOffset, &options);
    if (code == nullptr) {
        DebugLog::DroppedRule(rule.text, errorCode, errorOffset);
        return false;
    }
    out.headerCode = rule.headerCode;
    out.options = options;
    out.pattern = code;
    out.source = rule.text;
    // The JIT stands for studying: when it is unavailable the pattern is interpreted.
    out.study = (useJit && pcre2_jit_compile(code, PCRE2_JIT_COMPLETE) == 0) ? 1 : 0;
    out.weight = SignedWeight(list, weight);
    out.list = list;
    out.headerName = std::string(TextOf(headerName));
    out.contains = std::string(TextOf(contains));
    return true;
}
