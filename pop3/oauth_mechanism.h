#pragma once

#include <string>
#include <string_view>

// The two SASL mechanisms that carry an OAuth2 bearer token: OAUTHBEARER (RFC 7628)
// and the older XOAUTH2 that Gmail and Outlook.com introduced.
enum class OAuthMechanism { kXOAuth2, kOAuthBearer };

std::string_view MechanismName(OAuthMechanism mechanism);

// The client's response, base64 without line breaks.
std::string OAuthResponse(OAuthMechanism mechanism, std::string_view login, std::string_view host,
                          int port, std::string_view token);

// What the client sends after the server's error challenge, so that the server can
// end the exchange with its -ERR.
std::string_view OAuthErrorAcknowledgement(OAuthMechanism mechanism);
