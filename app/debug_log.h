#pragma once

#include <string>
#include <string_view>

// An opt-in trace on standard error for finding out what a check did. Off unless the
// environment says QUORVANE_DEBUG=1; nothing the user sees depends on it. Lines are
// written whole, so the worker's and the window's lines never interleave mid-line.
class DebugLog {
  public:
    static bool Enabled();
    // Tests turn the log on and off without touching the environment.
    static void SetEnabled(bool enabled);

    // "quorvane: <area>: <text>"
    static void Write(std::string_view area, std::string_view text);
    // A POP3 command as sent. USER, PASS and APOP lose their arguments: the log must
    // never hold a password, and login names stay private too.
    static void Command(std::string_view line);
    // A rule that did not compile, with PCRE2's message and the offset in the pattern.
    static void DroppedRule(std::string_view pattern, int errorCode, std::size_t offset);
};
