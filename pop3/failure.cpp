#include "pop3/failure.h"

namespace {

std::string WithDetail(const std::string& text, const std::string& detail) {
    return detail.empty() ? text : text + ": " + detail;
}

}  // namespace

std::string FailureText(const Failure& failure) {
    switch (failure.kind) {
        case FailureKind::kNone:
            return "OK";
        case FailureKind::kHostNotFound:
            return "The host could not be found";
        case FailureKind::kRefused:
            return "The connection was refused";
        case FailureKind::kTimedOut:
            return "No answer in time";
        case FailureKind::kConnection:
            return WithDetail("The connection broke", failure.detail);
        case FailureKind::kStopped:
            return "Stopped";
        case FailureKind::kCertificate:
            return WithDetail("The certificate is not trusted", failure.detail);
        case FailureKind::kHandshake:
            return WithDetail("The TLS handshake failed", failure.detail);
        case FailureKind::kNoStartTls:
            return WithDetail("The server offers no STARTTLS", failure.detail);
        case FailureKind::kLoginRefused:
            return WithDetail("The server refused the login", failure.detail);
        case FailureKind::kServer:
            return WithDetail("Server error", failure.detail);
        case FailureKind::kBadCredential:
            return "The user name or password holds a line break";
        case FailureKind::kTemporary:
            return WithDetail("The server had a temporary failure", failure.detail);
        case FailureKind::kSignInAgain:
            return WithDetail("Sign in again", failure.detail);
        case FailureKind::kNoApop:
            return "The server offers no APOP";
        case FailureKind::kInUse:
            return WithDetail("The mailbox is in use; tried again at the next check",
                              failure.detail);
    }
    return "Failed";
}
