#pragma once

#include <span>
#include <string>
#include <string_view>

#include "pop3/connection_security.h"
#include "pop3/sign_in_method.h"

// Where an address's POP3 server is and how to sign in to it, as the built-in table or
// a provider's published configuration tells it.
struct MailSettings {
    std::string server;  // empty: the provider offers no POP3
    int port = kPop3sPort;
    ConnectionSecurity security = ConnectionSecurity::kTls;
    // The login, with %EMAILADDRESS%, %EMAILLOCALPART% and %EMAILDOMAIN% standing for
    // the parts of the address.
    std::string userName = "%EMAILADDRESS%";
    SignInMethod signIn = SignInMethod::kPassword;
    std::string providerId;  // the OAuth2 provider's id, or empty
    std::string hint;        // one sentence for the user, or empty
};

// One well-known provider. Kept as plain data so that a new provider is one more line.
struct MailProvider {
    std::string_view domains;  // lower case, separated by single spaces
    std::string_view server;   // empty: the provider offers no POP3
    int port;
    ConnectionSecurity security;
    bool loginIsAddress;  // false: the login is the part before the at sign
    SignInMethod signIn;  // what a new account starts with
    std::string_view providerId;
    std::string_view hint;
};

std::span<const MailProvider> MailProviders();

// The provider of `domain` (compared without regard to case), or null.
const MailProvider* ProviderForDomain(std::string_view domain);
// The first provider whose POP3 server is `server`, or null: an address at a company's
// own domain may still sign in at a known provider's server.
const MailProvider* ProviderForServer(std::string_view server);

MailSettings SettingsOf(const MailProvider& provider);

// The part of `address` after its last at sign, in lower case; empty without one.
std::string DomainOf(std::string_view address);
// True for "local@domain" with both parts present.
bool IsMailAddress(std::string_view address);
// True for a DNS name of letters, digits and hyphens in dot-separated labels.
bool IsHostName(std::string_view name);
// `pattern` with the placeholders replaced by the parts of `address`.
std::string ExpandUserName(std::string_view pattern, std::string_view address);
