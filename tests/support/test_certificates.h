#pragma once

#include <string>

namespace qvtest {

// Certificates for TLS tests, made with OpenSSL at test time into `directory`:
//   ca.pem                   the test CA, to be trusted through SSL_CERT_FILE
//   <name>.pem, <name>-key.pem   one server certificate and its key per Make call
class TestCertificates {
  public:
    enum class Issuer { kTestCa, kOtherCa, kSelf };

    explicit TestCertificates(std::string directory);
    // Makes certificate `name` for the subject alternative names `altNames` (OpenSSL
    // form: "DNS:localhost,IP:127.0.0.1"; none when empty), valid from `fromDays` to `untilDays`
    // days from now. False when OpenSSL failed.
    bool Make(const std::string& name, const std::string& altNames, Issuer issuer,
              int fromDays = -1, int untilDays = 30);

    std::string CaFile() const { return directory_ + "/ca.pem"; }
    std::string CertFile(const std::string& name) const;
    std::string KeyFile(const std::string& name) const;
    // The SHA-256 fingerprint of certificate `name`: 64 upper-case hex digits.
    std::string Fingerprint(const std::string& name) const;

  private:
    bool MakeCa(const std::string& name);

    std::string directory_;
};

}  // namespace qvtest
