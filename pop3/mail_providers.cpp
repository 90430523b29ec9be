#include "pop3/mail_providers.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <utility>

namespace {

using enum ConnectionSecurity;
using enum SignInMethod;

// From the providers' published settings. Gmail and Yahoo start with the password
// method: OAuth2 needs a registered client, an app password works for everyone.
constexpr std::array kProviders = {
    MailProvider{"gmail.com googlemail.com", "pop.gmail.com", 995, kTls, true, kPassword, "google",
                 "Turn on POP in Gmail's settings first. Sign in with an app password, or "
                 "choose OAuth2."},
    MailProvider{"outlook.com hotmail.com hotmail.co.uk hotmail.de hotmail.fr hotmail.it "
                 "hotmail.es live.com live.co.uk live.de live.fr msn.com",
                 "outlook.office365.com", 995, kTls, true, kOAuth2, "microsoft",
                 "Outlook.com allows POP3 only with OAuth2."},
    MailProvider{"onmicrosoft.com", "outlook.office365.com", 995, kTls, true, kOAuth2, "microsoft",
                 "Microsoft 365 allows POP3 only with OAuth2."},
    MailProvider{"yahoo.com yahoo.co.uk yahoo.de yahoo.fr ymail.com rocketmail.com",
                 "pop.mail.yahoo.com", 995, kTls, true, kPassword, "yahoo",
                 "Yahoo needs an app password, or choose OAuth2."},
    MailProvider{"aol.com", "pop.aol.com", 995, kTls, true, kPassword, "",
                 "AOL needs an app password."},
    // GMX also offers STARTTLS on 110; TLS from the first byte leaves less to go wrong.
    MailProvider{"gmx.net gmx.de gmx.at gmx.ch", "pop.gmx.net", 995, kTls, true, kPassword, "", ""},
    MailProvider{"gmx.com", "pop.gmx.com", 995, kTls, true, kPassword, "", ""},
    MailProvider{"web.de", "pop3.web.de", 995, kTls, true, kPassword, "", ""},
    MailProvider{"mail.com email.com usa.com post.com", "pop.mail.com", 995, kTls, true, kPassword,
                 "", ""},
    MailProvider{"fastmail.com fastmail.fm", "pop.fastmail.com", 995, kTls, true, kPassword, "",
                 "Fastmail needs an app password."},
    MailProvider{"zoho.com zohomail.com", "pop.zoho.com", 995, kTls, true, kPassword, "",
                 "Turn on POP access in Zoho Mail's settings first. Organisations use "
                 "poppro.zoho.com."},
    MailProvider{"yandex.com ya.ru", "pop.yandex.com", 995, kTls, true, kPassword, "",
                 "Yandex needs an app password."},
    MailProvider{"yandex.ru", "pop.yandex.ru", 995, kTls, true, kPassword, "",
                 "Yandex needs an app password."},
    MailProvider{"icloud.com me.com mac.com", "", 995, kTls, true, kPassword, "",
                 "iCloud offers no POP3."},
};

std::string Lower(std::string_view text) {
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower;
}

bool ListsDomain(std::string_view domains, std::string_view domain) {
    while (!domains.empty()) {
        const std::size_t space = domains.find(' ');
        if (domains.substr(0, space) == domain) {
            return true;
        }
        domains = space == std::string_view::npos ? std::string_view() : domains.substr(space + 1);
    }
    return false;
}

bool IsLabel(std::string_view label) {
    if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-') {
        return false;
    }
    return std::all_of(label.begin(), label.end(),
                       [](unsigned char c) { return std::isalnum(c) != 0 || c == '-'; });
}

}  // namespace

std::span<const MailProvider> MailProviders() {
    return kProviders;
}

const MailProvider* ProviderForDomain(std::string_view domain) {
    const std::string lower = Lower(domain);
    if (lower.empty()) {
        return nullptr;
    }
    for (const MailProvider& provider : kProviders) {
        if (ListsDomain(provider.domains, lower)) {
            return &provider;
        }
    }
    return nullptr;
}

const MailProvider* ProviderForServer(std::string_view server) {
    const std::string lower = Lower(server);
    for (const MailProvider& provider : kProviders) {
        if (!lower.empty() && provider.server == lower) {
            return &provider;
        }
    }
    return nullptr;
}

MailSettings SettingsOf(const MailProvider& provider) {
    MailSettings settings;
    settings.server = provider.server;
    settings.port = provider.port;
    settings.security = provider.security;
    settings.userName = provider.loginIsAddress ? "%EMAILADDRESS%" : "%EMAILLOCALPART%";
    settings.signIn = provider.signIn;
    settings.providerId = provider.providerId;
    settings.hint = provider.hint;
    return settings;
}

std::string DomainOf(std::string_view address) {
    const std::size_t at = address.rfind('@');
    return at == std::string_view::npos ? std::string() : Lower(address.substr(at + 1));
}

bool IsMailAddress(std::string_view address) {
    const std::size_t at = address.rfind('@');
    return at != std::string_view::npos && at > 0 && at + 1 < address.size();
}

bool IsHostName(std::string_view name) {
    if (name.empty() || name.size() > 253) {
        return false;
    }
    while (true) {
        const std::size_t dot = name.find('.');
        if (!IsLabel(name.substr(0, dot))) {
            return false;
        }
        if (dot == std::string_view::npos) {
            return true;
        }
        name.remove_prefix(dot + 1);
    }
}

std::string ExpandUserName(std::string_view pattern, std::string_view address) {
    const std::size_t at = address.rfind('@');
    const std::string_view local = address.substr(0, at);
    const std::string_view domain =
        at == std::string_view::npos ? std::string_view() : address.substr(at + 1);
    const std::pair<std::string_view, std::string_view> parts[] = {
        {"%EMAILADDRESS%", address}, {"%EMAILLOCALPART%", local}, {"%EMAILDOMAIN%", domain}};
    // One pass over the pattern: an address that itself holds "%EMAILDOMAIN%" stays text.
    std::string user;
    while (!pattern.empty()) {
        const auto part = std::find_if(std::begin(parts), std::end(parts),
                                       [&](const auto& p) { return pattern.starts_with(p.first); });
        if (part != std::end(parts)) {
            user += part->second;
            pattern.remove_prefix(part->first.size());
        } else {
            user += pattern.front();
            pattern.remove_prefix(1);
        }
    }
    return user;
}
