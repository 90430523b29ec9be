#pragma once

#include <optional>
#include <string>

#include "pop3/certificate_info.h"

// Why a connection, a session or a check failed. The convention through the POP3 and
// scan layers: an operation returns its plain result (1/0, true/false), and when that
// says "failed", the object's LastFailure() says why.
enum class FailureKind {
    kNone,
    kHostNotFound,
    kRefused,
    kTimedOut,
    kConnection,     // the network or the peer broke the connection
    kStopped,        // the program is closing
    kCertificate,    // detail: why it is not trusted; the certificate comes along
    kHandshake,      // detail: what went wrong
    kNoStartTls,     // detail: the server's answer
    kLoginRefused,   // detail: the server's text after "-ERR"
    kServer,         // detail: what the server answered or did wrong
    kBadCredential,  // a stored field that cannot be sent
    kTemporary,      // detail: the server's text after "-ERR [SYS/TEMP]"; try again later
    kSignInAgain,    // no usable OAuth2 token: the user must sign in; detail: why
    kNoApop,         // APOP was asked for, but the greeting carries no timestamp
    kInUse,          // "-ERR [IN-USE]": another session holds the mailbox; tried next period
};

struct Failure {
    FailureKind kind = FailureKind::kNone;
    std::string detail;
    std::optional<CertificateInfo> certificate;

    bool failed() const { return kind != FailureKind::kNone; }
};

// The reason in the user's words, for the Inbox and the headless check.
std::string FailureText(const Failure& failure);
