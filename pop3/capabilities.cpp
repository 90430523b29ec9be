#include "pop3/capabilities.h"

#include <strings.h>

#include <algorithm>
#include <cctype>

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::string_view NextWord(std::string_view& line) {
    std::size_t start = 0;
    while (start < line.size() && IsBlank(line[start])) {
        ++start;
    }
    std::size_t end = start;
    while (end < line.size() && !IsBlank(line[end])) {
        ++end;
    }
    const std::string_view word = line.substr(start, end - start);
    line.remove_prefix(end);
    return word;
}

bool Is(std::string_view word, std::string_view name) {
    return word.size() == name.size() && strncasecmp(word.data(), name.data(), name.size()) == 0;
}

std::string UpperCase(std::string_view word) {
    std::string upper(word);
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return upper;
}

}  // namespace

bool Capabilities::OffersSasl(std::string_view mechanism) const {
    return std::any_of(saslMechanisms.begin(), saslMechanisms.end(),
                       [&](const std::string& offered) { return Is(offered, mechanism); });
}

Capabilities Capabilities::Parse(std::string_view reply) {
    Capabilities capabilities;
    // The status line names no capability.
    std::size_t at = reply.find('\n');
    while (at != std::string_view::npos && at + 1 < reply.size()) {
        const std::size_t next = reply.find('\n', at + 1);
        std::string_view line = reply.substr(
            at + 1, next == std::string_view::npos ? std::string_view::npos : next - at - 1);
        at = next;
        const std::string_view name = NextWord(line);
        if (Is(name, "PIPELINING")) {
            capabilities.pipelining = true;
        } else if (Is(name, "STLS")) {
            capabilities.stls = true;
        } else if (Is(name, "UIDL")) {
            capabilities.uidl = true;
        } else if (Is(name, "SASL")) {
            for (std::string_view word = NextWord(line); !word.empty(); word = NextWord(line)) {
                capabilities.saslMechanisms.push_back(UpperCase(word));
            }
        }
    }
    return capabilities;
}
