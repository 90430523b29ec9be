#pragma once

#include <string>

// How an account's connection is protected. The digits are the stored ones.
enum class ConnectionSecurity : int { kNone = 0, kTls = 1, kStartTls = 2 };

constexpr int kPop3Port = 110;
constexpr int kPop3sPort = 995;

// The stored digit as a mode; an unknown digit is the old behaviour, plain POP3.
inline ConnectionSecurity SecurityFromDigit(int digit) {
    return digit == 1   ? ConnectionSecurity::kTls
           : digit == 2 ? ConnectionSecurity::kStartTls
                        : ConnectionSecurity::kNone;
}

inline int DefaultPort(ConnectionSecurity security) {
    return security == ConnectionSecurity::kTls ? kPop3sPort : kPop3Port;
}

// The port to connect to: the stored one, or the mode's default for 0 or out of range.
inline int EffectivePort(ConnectionSecurity security, int port) {
    return port >= 1 && port <= 65535 ? port : DefaultPort(security);
}

// A mode's short name for machine-read output and its label as the user chooses it.
struct SecurityWords {
    const char* name;
    const char* label;
};

inline SecurityWords WordsFor(ConnectionSecurity security) {
    switch (security) {
        case ConnectionSecurity::kTls:
            return {"tls", "SSL/TLS"};
        case ConnectionSecurity::kStartTls:
            return {"starttls", "STARTTLS"};
        case ConnectionSecurity::kNone:
            break;
    }
    return {"none", "None (insecure)"};
}

inline std::string SecurityName(ConnectionSecurity security) {
    return WordsFor(security).name;
}

inline std::string SecurityLabel(ConnectionSecurity security) {
    return WordsFor(security).label;
}
