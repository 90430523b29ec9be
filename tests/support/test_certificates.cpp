#include "tests/support/test_certificates.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <memory>

namespace qvtest {
namespace {

using Key = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using Cert = std::unique_ptr<X509, decltype(&X509_free)>;

Key NewKey() {
    return Key(EVP_EC_gen("P-256"), &EVP_PKEY_free);
}

bool WritePem(const std::string& path, X509* cert, EVP_PKEY* key) {
    FILE* file = std::fopen(path.c_str(), "w");
    if (file == nullptr) {
        return false;
    }
    const bool ok = cert != nullptr ? PEM_write_X509(file, cert) == 1
                                    : PEM_write_PrivateKey(file, key, nullptr, nullptr, 0, nullptr,
                                                           nullptr) == 1;
    return std::fclose(file) == 0 && ok;
}

Cert ReadCert(const std::string& path) {
    FILE* file = std::fopen(path.c_str(), "r");
    Cert cert(file != nullptr ? PEM_read_X509(file, nullptr, nullptr, nullptr) : nullptr,
              &X509_free);
    if (file != nullptr) {
        std::fclose(file);
    }
    return cert;
}

Key ReadKey(const std::string& path) {
    FILE* file = std::fopen(path.c_str(), "r");
    Key key(file != nullptr ? PEM_read_PrivateKey(file, nullptr, nullptr, nullptr) : nullptr,
            &EVP_PKEY_free);
    if (file != nullptr) {
        std::fclose(file);
    }
    return key;
}

bool AddExtension(X509* cert, X509* issuer, int nid, const std::string& value) {
    X509V3_CTX context;
    X509V3_set_ctx(&context, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str());
    const bool ok = extension != nullptr && X509_add_ext(cert, extension, -1) == 1;
    X509_EXTENSION_free(extension);
    return ok;
}

// A certificate for `key` named `commonName`, issued by `issuer` (or by
// itself when `issuer` is null); the caller signs it.
Cert Build(EVP_PKEY* key, const std::string& commonName, X509* issuer, int fromDays, int untilDays,
           long serial) {
    Cert cert(X509_new(), &X509_free);
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), 86400L * fromDays);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 86400L * untilDays);
    X509_set_pubkey(cert.get(), key);
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("Quorvane tests"), -1, -1, 0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1,
                               0);
    X509_set_issuer_name(cert.get(), issuer != nullptr ? X509_get_subject_name(issuer) : name);
    return cert;
}

}  // namespace

TestCertificates::TestCertificates(std::string directory) : directory_(std::move(directory)) {
    MakeCa("ca");
    MakeCa("other-ca");
}

std::string TestCertificates::CertFile(const std::string& name) const {
    return directory_ + "/" + name + ".pem";
}

std::string TestCertificates::KeyFile(const std::string& name) const {
    return directory_ + "/" + name + "-key.pem";
}

bool TestCertificates::MakeCa(const std::string& name) {
    Key key = NewKey();
    Cert cert = Build(key.get(), "Quorvane test " + name, nullptr, -1, 365, 1);
    return AddExtension(cert.get(), cert.get(), NID_basic_constraints, "critical,CA:TRUE") &&
           AddExtension(cert.get(), cert.get(), NID_key_usage, "critical,keyCertSign,cRLSign") &&
           AddExtension(cert.get(), cert.get(), NID_subject_key_identifier, "hash") &&
           X509_sign(cert.get(), key.get(), EVP_sha256()) > 0 &&
           WritePem(CertFile(name), cert.get(), nullptr) &&
           WritePem(KeyFile(name), nullptr, key.get());
}

bool TestCertificates::Make(const std::string& name, const std::string& altNames, Issuer issuer,
                            int fromDays, int untilDays) {
    static long serial = 100;
    Key key = NewKey();
    const std::string caName = issuer == Issuer::kOtherCa ? "other-ca" : "ca";
    Cert ca = ReadCert(CertFile(caName));
    Key caKey = ReadKey(KeyFile(caName));
    const bool self = issuer == Issuer::kSelf;
    if (!self && (!ca || !caKey)) {
        return false;
    }
    Cert cert = Build(key.get(), name, self ? nullptr : ca.get(), fromDays, untilDays, ++serial);
    X509* signer = self ? cert.get() : ca.get();
    return (altNames.empty() || AddExtension(cert.get(), signer, NID_subject_alt_name, altNames)) &&
           AddExtension(cert.get(), signer, NID_ext_key_usage, "serverAuth") &&
           X509_sign(cert.get(), self ? key.get() : caKey.get(), EVP_sha256()) > 0 &&
           WritePem(CertFile(name), cert.get(), nullptr) &&
           WritePem(KeyFile(name), nullptr, key.get());
}

std::string TestCertificates::Fingerprint(const std::string& name) const {
    Cert cert = ReadCert(CertFile(name));
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!cert || X509_digest(cert.get(), EVP_sha256(), digest, &length) != 1) {
        return {};
    }
    std::string text;
    char hex[3];
    for (unsigned int i = 0; i < length; ++i) {
        std::snprintf(hex, sizeof hex, "%02X", digest[i]);
        text += hex;
    }
    return text;
}

}  // namespace qvtest
