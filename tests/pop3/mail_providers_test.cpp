#include "pop3/mail_providers.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace {

// Every entry must give a usable account, or say plainly why there is none.
TEST(MailProviders, EveryEntryIsUsable) {
    std::set<std::string> domains;
    for (const MailProvider& provider : MailProviders()) {
        const std::string name(provider.domains);
        SCOPED_TRACE(name);
        std::size_t start = 0;
        while (start <= name.size()) {
            const std::size_t end = std::min(name.find(' ', start), name.size());
            const std::string domain = name.substr(start, end - start);
            EXPECT_TRUE(IsHostName(domain) && domain.find('.') != std::string::npos) << domain;
            EXPECT_EQ(domain, DomainOf("x@" + domain)) << "not lower case: " << domain;
            EXPECT_TRUE(domains.insert(domain).second) << "listed twice: " << domain;
            EXPECT_EQ(ProviderForDomain(domain), &provider);
            start = end + 1;
        }
        if (provider.server.empty()) {
            EXPECT_NE(provider.hint.find("no POP3"), std::string_view::npos);
        } else {
            EXPECT_TRUE(IsHostName(provider.server));
        }
        EXPECT_GE(provider.port, 1);
        EXPECT_LE(provider.port, 65535);
        EXPECT_EQ(SecurityFromDigit(static_cast<int>(provider.security)), provider.security);
        if (provider.signIn == SignInMethod::kOAuth2) {
            EXPECT_FALSE(provider.providerId.empty());
        }
        if (!provider.hint.empty()) {
            EXPECT_EQ(provider.hint.back(), '.');
        }
    }
    EXPECT_GE(domains.size(), 40u);
}

TEST(MailProviders, LookupsAndLogins) {
    ASSERT_NE(ProviderForDomain("GMail.Com"), nullptr);
    EXPECT_EQ(ProviderForDomain("GMail.Com")->server, "pop.gmail.com");
    EXPECT_EQ(ProviderForDomain("yandex.ru")->server, "pop.yandex.ru");
    EXPECT_EQ(ProviderForDomain("gmx.com")->server, "pop.gmx.com");
    EXPECT_EQ(ProviderForDomain("mail.gmail.com"), nullptr);
    EXPECT_EQ(ProviderForDomain("com"), nullptr);
    EXPECT_EQ(ProviderForDomain(""), nullptr);
    EXPECT_EQ(ProviderForServer("Outlook.Office365.com")->providerId, "microsoft");
    EXPECT_EQ(ProviderForServer(""), nullptr);

    EXPECT_EQ(DomainOf("a@b@Example.ORG"), "example.org");
    EXPECT_EQ(DomainOf("nobody"), "");
    EXPECT_TRUE(IsMailAddress("a@b"));
    EXPECT_FALSE(IsMailAddress("@b") || IsMailAddress("a@") || IsMailAddress("ab"));
    EXPECT_FALSE(IsHostName("a..b") || IsHostName("-a.b") || IsHostName("a b.c") ||
                 IsHostName("a/b.c") || IsHostName("a@b.c") || IsHostName(""));

    // The placeholders are read from the pattern only, never from the address.
    EXPECT_EQ(ExpandUserName("%EMAILLOCALPART%+pop@%EMAILDOMAIN%", "jo@example.org"),
              "jo+pop@example.org");
    EXPECT_EQ(ExpandUserName("%EMAILADDRESS%", "%EMAILDOMAIN%@x.org"), "%EMAILDOMAIN%@x.org");
    EXPECT_EQ(ExpandUserName("%EMAILLOCALPART%", "%EMAILDOMAIN%@x.org"), "%EMAILDOMAIN%");
    EXPECT_EQ(ExpandUserName("fixed", "jo@example.org"), "fixed");
}

}  // namespace
