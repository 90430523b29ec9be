#pragma once

#include <string>

// What the user needs to decide whether to trust a server's certificate.
struct CertificateInfo {
    std::string subject;
    std::string issuer;
    std::string notBefore;
    std::string notAfter;
    std::string fingerprint;  // SHA-256 of the DER bytes, 64 upper-case hex digits
};
