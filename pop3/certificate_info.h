#pragma once

#include <string>
#include <vector>

// What the user needs to decide whether to trust a server's certificate.
struct CertificateInfo {
    std::string subject;
    std::string issuer;
    std::string notBefore;
    std::string notAfter;
    std::string fingerprint;  // SHA-256 of the DER bytes, 64 upper-case hex digits
    // Every reason it was refused, the failure's own first: the trust store stops at
    // the first it finds, and the user deciding needs them all.
    std::vector<std::string> reasons;
};
