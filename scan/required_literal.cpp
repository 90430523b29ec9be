#include "scan/required_literal.h"

#include <algorithm>
#include <cctype>
#include <vector>

namespace {

// Escapes that stand for a class of characters or an assertion, one letter each:
// they end a run of literal characters and are otherwise left alone. Any other
// escape by a letter or digit (back-references, code points, properties, \Q) is not
// read: the pattern is then compiled whole.
bool IsSimpleEscape(char c) {
    static constexpr std::string_view kSimple = "dDwWsShHvVbBAzZGKRX";
    return kSimple.find(c) != std::string_view::npos;
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// Where the class opening at `open` ends (just past its ']'), reading its escapes;
// a ']' first is a member. None for an escape by a letter that is no simple class,
// for a '[' inside (a POSIX name such as "[:alpha:]", or what only looks like one)
// and for a class without an end: those are not read.
std::optional<std::size_t> ClassEnd(std::string_view text, std::size_t open) {
    std::size_t i = open + 1;
    if (i < text.size() && text[i] == '^') {
        ++i;
    }
    if (i < text.size() && text[i] == ']') {
        ++i;
    }
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (c == ']') {
            return i + 1;
        }
        if (c == '[') {
            return std::nullopt;
        }
        if (c == '\\') {
            if (i + 1 >= text.size() ||
                (std::isalnum(static_cast<unsigned char>(text[i + 1])) != 0 &&
                 !IsSimpleEscape(text[i + 1]))) {
                return std::nullopt;
            }
            ++i;
        }
    }
    return std::nullopt;
}

// After "(?" at `i`: a group that only groups or looks around. Option settings,
// which may turn on extended syntax, and the rest are not read.
bool KnownGroupStart(std::string_view text, std::size_t i) {
    if (i >= text.size()) {
        return false;
    }
    const std::string_view rest = text.substr(i);
    for (const std::string_view start : {":", "=", "!", "<=", "<!", ">", "|"}) {
        if (rest.substr(0, start.size()) == start) {
            return true;
        }
    }
    return false;
}

// Reads one alternative at top level and keeps its runs of literal characters of at
// least `shortest` bytes, in order. Each position is one of: a literal character
// (with its UTF-8 continuation bytes), an escaped punctuation character, or something
// that ends the run (a class, a group, an escape class, an anchor, '.').
class BranchReader {
  public:
    BranchReader(std::string_view text, std::size_t shortest) : text_(text), shortest_(shortest) {}

    // False when the branch holds something this reading is not sure of.
    bool Read() {
        while (at_ < text_.size()) {
            if (!Step()) {
                return false;
            }
        }
        EndRun();
        return true;
    }

  private:
    bool Step() {
        const char c = text_[at_];
        switch (c) {
            case '\\':
                return Escape();
            case '[':
                EndRun();
                return SkipClass() && SkipQuantifier();
            case '(':
                EndRun();
                return SkipGroup() && SkipQuantifier();
            case '.':
            case '^':
            case '$':
                EndRun();
                ++at_;
                return SkipQuantifier();
            case '*':
            case '+':
            case '?':
            case '{':
            case ')':
            case '|':
                return false;  // a quantifier with nothing before it, or unbalanced
            default:
                return Literal();
        }
    }

    bool Literal() {
        std::size_t end = at_ + 1;
        if (static_cast<unsigned char>(text_[at_]) >= 0x80) {
            while (end < text_.size() && (static_cast<unsigned char>(text_[end]) & 0xC0) == 0x80) {
                ++end;
            }
        }
        const std::string_view bytes = text_.substr(at_, end - at_);
        const bool escaped = bytes.size() == 1 &&
                             !std::isalnum(static_cast<unsigned char>(bytes[0])) &&
                             static_cast<unsigned char>(bytes[0]) < 0x80;
        std::string unit(escaped ? 1 : 0, '\\');
        unit.append(bytes);
        at_ = end;
        return Append(unit, bytes.size());
    }

    bool Escape() {
        if (at_ + 1 >= text_.size()) {
            return false;
        }
        const char c = text_[at_ + 1];
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x80 && !std::isalnum(u)) {
            at_ += 2;
            std::string unit(1, '\\');
            unit += c;  // appended: GCC 12 takes "\\" + c for an overlapping copy
            return Append(unit, 1);
        }
        if (!IsSimpleEscape(c)) {
            return false;
        }
        EndRun();
        at_ += 2;
        return SkipQuantifier();
    }

    // Adds one character to the run, unless a quantifier makes it optional; a
    // repeated one counts once and ends the run.
    bool Append(const std::string& unit, std::size_t bytes) {
        bool optional = false;
        bool repeated = false;
        if (!ReadQuantifier(optional, repeated)) {
            return false;
        }
        if (optional) {
            EndRun();
            return true;
        }
        run_ += unit;
        runBytes_ += bytes;
        if (repeated) {
            EndRun();
        }
        return true;
    }

    // A quantifier after something that already ended the run: only skipped.
    bool SkipQuantifier() {
        bool optional = false;
        bool repeated = false;
        return ReadQuantifier(optional, repeated);
    }

    // Reads a quantifier if one follows: '*', '+', '?', "{n}", "{n,}" or "{n,m}", with
    // a lazy or possessive mark. `optional` when it allows none.
    bool ReadQuantifier(bool& optional, bool& repeated) {
        if (at_ >= text_.size()) {
            return true;
        }
        const char c = text_[at_];
        if (c == '*' || c == '?') {
            optional = true;
            ++at_;
        } else if (c == '+') {
            repeated = true;
            ++at_;
        } else if (c == '{') {
            std::size_t i = at_ + 1;
            std::size_t least = 0;
            std::size_t digits = 0;
            for (; i < text_.size() && IsDigit(text_[i]) && digits < 6; ++i, ++digits) {
                least = least * 10 + static_cast<std::size_t>(text_[i] - '0');
            }
            if (digits == 0 || i >= text_.size()) {
                return false;  // "{" as a literal, or "{,m}": not read
            }
            if (text_[i] == ',') {
                ++i;
                while (i < text_.size() && IsDigit(text_[i])) {
                    ++i;
                }
            }
            if (i >= text_.size() || text_[i] != '}') {
                return false;
            }
            at_ = i + 1;
            optional = least == 0;
            repeated = !optional;
        } else {
            return true;
        }
        if (at_ < text_.size() && (text_[at_] == '?' || text_[at_] == '+')) {
            ++at_;
        }
        return true;
    }

    bool SkipClass() {
        const std::optional<std::size_t> end = ClassEnd(text_, at_);
        if (end) {
            at_ = *end;
        }
        return end.has_value();
    }

    // A group of any kind, whatever it holds; verbs and option settings that could
    // change how the rest reads are not read.
    bool SkipGroup() {
        if (at_ + 1 < text_.size() && text_[at_ + 1] == '*') {
            return false;
        }
        if (at_ + 1 < text_.size() && text_[at_ + 1] == '?' && !KnownGroupStart(text_, at_ + 2)) {
            return false;
        }
        int depth = 0;
        while (at_ < text_.size()) {
            const char c = text_[at_];
            if (c == '\\') {
                at_ += 2;
                continue;
            }
            if (c == '[') {
                if (!SkipClass()) {
                    return false;
                }
                continue;
            }
            if (c == '(') {
                if (at_ + 1 < text_.size() && text_[at_ + 1] == '*') {
                    return false;
                }
                if (at_ + 1 < text_.size() && text_[at_ + 1] == '?' &&
                    !KnownGroupStart(text_, at_ + 2)) {
                    return false;
                }
                ++depth;
            } else if (c == ')') {
                if (--depth == 0) {
                    ++at_;
                    return true;
                }
            }
            ++at_;
        }
        return false;
    }

    void EndRun() {
        if (runBytes_ >= shortest_) {
            runs_.push_back(run_);
            totalBytes_ += runBytes_;
        }
        run_.clear();
        runBytes_ = 0;
    }

  public:
    std::size_t TotalBytes() const { return totalBytes_; }
    // The runs in their order, each needed in that order: "a.*b".
    std::string Joined() const {
        std::string joined;
        for (const std::string& run : runs_) {
            joined += joined.empty() ? "" : ".*";
            joined += run;
        }
        return joined;
    }

  private:
    std::string_view text_;
    std::size_t at_ = 0;
    std::size_t shortest_;
    std::string run_;
    std::size_t runBytes_ = 0;
    std::vector<std::string> runs_;
    std::size_t totalBytes_ = 0;
};

// Splits at the alternation bars outside groups and classes; nothing when the
// nesting cannot be followed.
std::optional<std::vector<std::string_view>> TopLevelBranches(std::string_view pattern) {
    std::vector<std::string_view> branches;
    int depth = 0;
    std::size_t start = 0;
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        const char c = pattern[i];
        if (c == '\\') {
            ++i;
        } else if (c == '[') {
            const std::optional<std::size_t> end = ClassEnd(pattern, i);
            if (!end) {
                return std::nullopt;
            }
            i = *end - 1;
        } else if (c == '(') {
            ++depth;
        } else if (c == ')') {
            if (--depth < 0) {
                return std::nullopt;
            }
        } else if (c == '|' && depth == 0) {
            branches.push_back(pattern.substr(start, i - start));
            start = i + 1;
        }
    }
    if (depth != 0) {
        return std::nullopt;
    }
    branches.push_back(pattern.substr(start));
    return branches;
}

}  // namespace

std::optional<std::string> RequiredLiteral(std::string_view pattern, std::size_t shortest,
                                           std::size_t enough) {
    // Quoted text may hide bars and parentheses from the reading below.
    if (pattern.find("\\Q") != std::string_view::npos) {
        return std::nullopt;
    }
    const std::optional<std::vector<std::string_view>> branches = TopLevelBranches(pattern);
    if (!branches) {
        return std::nullopt;
    }
    std::string joined;
    for (const std::string_view branch : *branches) {
        BranchReader reader(branch, std::max<std::size_t>(shortest, 1));
        if (!reader.Read() || reader.TotalBytes() < std::max<std::size_t>(enough, 1)) {
            return std::nullopt;
        }
        if (!joined.empty()) {
            joined += '|';
        }
        joined += reader.Joined();
    }
    return joined;
}

bool MeansTheSameByteWise(std::string_view pattern) {
    const auto letterEscape = [](std::string_view text, std::size_t i) {
        return i + 1 >= text.size() || std::isalnum(static_cast<unsigned char>(text[i + 1])) != 0;
    };
    if (std::any_of(pattern.begin(), pattern.end(),
                    [](char c) { return static_cast<unsigned char>(c) >= 0x80; })) {
        return false;
    }
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        const char c = pattern[i];
        if (c == '\\') {
            if (letterEscape(pattern, i)) {
                return false;
            }
            ++i;
        } else if (c == '[') {
            const std::optional<std::size_t> end = ClassEnd(pattern, i);
            if (!end || pattern[i + 1] == '^') {
                return false;
            }
            for (std::size_t k = i + 1; k + 1 < *end; ++k) {
                if (pattern[k] == '\\' && letterEscape(pattern, k++)) {
                    return false;
                }
            }
            i = *end - 1;
        } else if (c == '.') {
            return false;
        } else if (c == '(' && i + 1 < pattern.size() && pattern[i + 1] == '*') {
            return false;  // a verb such as (*UTF) may change the mode
        } else if (c == '(' && i + 1 < pattern.size() && pattern[i + 1] == '?' &&
                   !KnownGroupStart(pattern, i + 2)) {
            return false;  // option settings
        }
    }
    return true;
}
