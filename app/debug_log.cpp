#include "app/debug_log.h"

#include <strings.h>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifndef PCRE2_CODE_UNIT_WIDTH
#define PCRE2_CODE_UNIT_WIDTH 8
#endif
#include <pcre2.h>

namespace {

std::atomic<bool>& Flag() {
    static std::atomic<bool> flag{[] {
        const char* value = std::getenv("QUORVANE_DEBUG");
        return value != nullptr && std::strcmp(value, "1") == 0;
    }()};
    return flag;
}

bool StartsWithWord(std::string_view line, std::string_view word) {
    return line.size() >= word.size() && strncasecmp(line.data(), word.data(), word.size()) == 0 &&
           (line.size() == word.size() || line[word.size()] == ' ');
}

}  // namespace

bool DebugLog::Enabled() {
    return Flag().load(std::memory_order_relaxed);
}

void DebugLog::SetEnabled(bool enabled) {
    Flag().store(enabled, std::memory_order_relaxed);
}

void DebugLog::Write(std::string_view area, std::string_view text) {
    if (!Enabled()) {
        return;
    }
    std::string line = "quorvane: ";
    line.append(area).append(": ").append(text).push_back('\n');
    // One call per line: stdio locks the stream for it.
    std::fputs(line.c_str(), stderr);
}

void DebugLog::Command(std::string_view line) {
    if (!Enabled()) {
        return;
    }
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
        line.remove_suffix(1);
    }
    for (std::string_view secret : {"USER", "PASS", "APOP"}) {
        if (StartsWithWord(line, secret)) {
            line = line.substr(0, secret.size());
        }
    }
    Write("pop3", std::string("> ").append(line));
}

void DebugLog::DroppedRule(std::string_view pattern, int errorCode, std::size_t offset) {
    if (!Enabled()) {
        return;
    }
    PCRE2_UCHAR message[256];
    if (pcre2_get_error_message(errorCode, message, sizeof message) < 0) {
        std::strcpy(reinterpret_cast<char*>(message), "unknown error");
    }
    std::string text = "dropped ";
    text.append(pattern).append(": ").append(reinterpret_cast<const char*>(message));
    text.append(" at offset ").append(std::to_string(offset));
    Write("rules", text);
}
