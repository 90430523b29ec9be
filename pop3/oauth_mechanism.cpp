#include "pop3/oauth_mechanism.h"

#include <cryptopp/base64.h>
#include <cryptopp/filters.h>

namespace {

std::string Base64(const std::string& bytes) {
    std::string encoded;
    CryptoPP::StringSource source(bytes, true,
                                  new CryptoPP::Base64Encoder(new CryptoPP::StringSink(encoded),
                                                              /*insertLineBreaks=*/false));
    return encoded;
}

// The authorization identity in the GS2 header: "," and "=" would end or garble it.
std::string SaslName(std::string_view login) {
    std::string escaped;
    for (const char c : login) {
        if (c == ',') {
            escaped += "=2C";
        } else if (c == '=') {
            escaped += "=3D";
        } else {
            escaped += c;
        }
    }
    return escaped;
}

}  // namespace

std::string_view MechanismName(OAuthMechanism mechanism) {
    return mechanism == OAuthMechanism::kOAuthBearer ? "OAUTHBEARER" : "XOAUTH2";
}

std::string OAuthResponse(OAuthMechanism mechanism, std::string_view login, std::string_view host,
                          int port, std::string_view token) {
    std::string response;
    if (mechanism == OAuthMechanism::kOAuthBearer) {
        response.append("n,a=").append(SaslName(login)).append(",\x01host=").append(host);
        response.append("\x01port=").append(std::to_string(port));
    } else {
        response.append("user=").append(login);
    }
    response
        .append(
            "\x01"
            "auth=Bearer ")
        .append(token)
        .append("\x01\x01");
    return Base64(response);
}

std::string_view OAuthErrorAcknowledgement(OAuthMechanism mechanism) {
    // OAUTHBEARER wants the single byte 0x01; XOAUTH2 an empty response.
    return mechanism == OAuthMechanism::kOAuthBearer ? "AQ==" : "";
}
