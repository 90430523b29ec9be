// The sign-in flows against the test authorization server: the browser flow followed
// as a browser would, the token it stores signing in to Dovecot through the worker's
// token source, rotation, refusals; and `--sign-in` with the device flow. Run with no
// session bus, so tokens go to tokens.qvd.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QUrlQuery>
#include <atomic>
#include <chrono>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

#include "app/headless_check.h"
#include "app/loopback_sign_in.h"
#include "app/oauth_providers.h"
#include "app/oauth_token_source.h"
#include "app/sign_in_command.h"
#include "app/token_store.h"
#include "pop3/pop3_session.h"
#include "pop3/sign_in_method.h"
#include "store/account_file.h"
#include "tests/support/dovecot_server.h"
#include "tests/support/oauth_server.h"
#include "tests/support/test_fixtures.h"

namespace {

constexpr char kPassphrase[] = "sign-in passphrase";

// Follows the authorization address as a browser would: GET it, take the 302, and GET
// the loopback address it names. Asynchronous, since the listener shares this thread.
class Browser {
  public:
    // Lets a test tamper with the redirect before it is followed.
    std::function<QUrl(QUrl)> rewrite = [](QUrl url) { return url; };
    QUrl authorizeAddress;

    bool Open(const QUrl& address) {
        authorizeAddress = address;
        QNetworkRequest request(address);
        request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                             QNetworkRequest::ManualRedirectPolicy);
        QNetworkReply* reply = network_.get(request);
        QObject::connect(reply, &QNetworkReply::finished, [this, reply] {
            const QUrl location = reply->header(QNetworkRequest::LocationHeader).toUrl();
            reply->deleteLater();
            if (location.isValid()) {
                QNetworkReply* landing = network_.get(QNetworkRequest(rewrite(location)));
                QObject::connect(landing, &QNetworkReply::finished, landing, &QObject::deleteLater);
            }
        });
        return true;
    }

  private:
    QNetworkAccessManager network_;
};

class OAuthSignIn : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        oauth_ = std::make_unique<qvtest::OAuthServer>();
        dovecot_ = std::make_unique<qvtest::DovecotServer>();
        dovecot_->AddUser("alice", "s3cret", {"Subject: hi\r\n\r\nhello\r\n"});
        started_ = oauth_->Start();
        if (started_) {
            dovecot_->EnableOAuth(oauth_->IntrospectionUrl());
            started_ = dovecot_->Start();
        }
    }
    static void TearDownTestSuite() {
        dovecot_.reset();
        oauth_.reset();
    }
    void SetUp() override {
        ASSERT_TRUE(started_) << oauth_->Error() << dovecot_->Error();
        ASSERT_TRUE(oauth_->Control(
            R"({"user":"alice","device_slow_down_once":false,"device_approve_after_polls":1,)"
            R"("device_expires_in":600,"device_interval":1,"access_lifetime":3600})"));
        directory_.UseFor(state_);
        SetAccountText(state_.passphrase, kPassphrase);
    }

    static std::size_t TokenLogins() {
        const std::string log = dovecot_->Log();
        const std::string mark = "user=<alice>, method=OAUTHBEARER";
        std::size_t count = 0;
        for (std::size_t at = log.find(mark); at != std::string::npos;
             at = log.find(mark, at + 1)) {
            ++count;
        }
        return count;
    }

    std::string Base() const { return "http://127.0.0.1:" + std::to_string(oauth_->Port()); }

    // A custom provider for the test server; with `device`, its device endpoint too.
    OAuthProvider Provider(bool device = false) const {
        OAuthProviders providers;
        EXPECT_TRUE(providers.Load(OAuthProviders::FilePath(directory_.Path().c_str())));
        const QString base = QString::fromStdString(Base());
        const QString json =
            QStringLiteral(R"({"providers":[{"id":"test","name":"Test","kept":true,)"
                           R"("authorization_endpoint":"%1/authorize","token_endpoint":"%1/token",)"
                           R"("device_authorization_endpoint":"%2","scope":"pop offline",)"
                           R"("client_id":"quorvane-test"}]})")
                .arg(base, device ? base + QStringLiteral("/device") : QString());
        QFile file(OAuthProviders::FilePath(QString::fromStdString(directory_.Path())));
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(json.toUtf8());
        file.close();
        EXPECT_TRUE(providers.Load(file.fileName()));
        return *providers.Find(QStringLiteral("test"));
    }

    AccountRecord Account() const {
        AccountRecord account = qvtest::MakeAccount("alice@127.0.0.1", "", {.authMethod = 2});
        SetAccountText(account.description, "Work");
        SetAccountText(account.providerId, "test");
        account.port = dovecot_->Port();
        return account;
    }

    static std::unique_ptr<qvtest::OAuthServer> oauth_;
    static std::unique_ptr<qvtest::DovecotServer> dovecot_;
    static bool started_;
    qvtest::TempDirectory directory_;
    AppState state_;
};

std::unique_ptr<qvtest::OAuthServer> OAuthSignIn::oauth_;
std::unique_ptr<qvtest::DovecotServer> OAuthSignIn::dovecot_;
bool OAuthSignIn::started_ = false;

TEST_F(OAuthSignIn, BrowserSignInStoresATokenThatSignsInToDovecotAndRotates) {
    Browser browser;
    LoopbackSignIn signIn(
        Provider(), [&browser](const QUrl& url) { return browser.Open(url); },
        std::chrono::seconds(20));
    const SignInResult result = signIn.Run();
    ASSERT_TRUE(result.ok) << result.error.toStdString();
    const QUrlQuery asked(browser.authorizeAddress);
    EXPECT_EQ(asked.queryItemValue("code_challenge_method"), "S256");
    EXPECT_EQ(asked.queryItemValue("state").size(), 43);
    EXPECT_TRUE(asked.queryItemValue("redirect_uri").startsWith("http://127.0.0.1:"));

    const AccountRecord account = Account();
    TokenStore store(state_);
    const std::string first = result.refreshToken.toStdString();
    ASSERT_TRUE(store.Write(TokenStore::Key(account), first));

    OAuthTokenSource source(state_);
    Failure why;
    const std::optional<std::string> access = source.AccessToken(account, false, why);
    ASSERT_TRUE(access) << why.detail;
    // The server rotates: the old refresh token is dead, the new one stored at once.
    const std::optional<std::string> second = store.Read(TokenStore::Key(account));
    ASSERT_TRUE(second);
    EXPECT_NE(*second, first);
    EXPECT_TRUE(oauth_->Refresh(first).access.empty());
    // Kept in memory: no refresh until it is due or refused.
    EXPECT_EQ(source.AccessToken(account, false, why).value_or(""), *access);
    EXPECT_EQ(store.Read(TokenStore::Key(account)).value_or(""), *second);

    Pop3Session session;
    session.SetSignInMethod(SignInMethod::kOAuth2);
    ASSERT_EQ(1, session.Login("127.0.0.1", "alice", *access, dovecot_->Port()))
        << session.m_strLastResponse;

    // The worker asks on its own thread, one Qt did not start.
    // Keyring calls run on the application's thread, so that keeps serving events.
    std::optional<std::string> renewed;
    std::atomic<bool> done{false};
    std::thread worker([&] {
        renewed = source.AccessToken(account, true, why);
        done = true;
    });
    while (!done) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    worker.join();
    ASSERT_TRUE(renewed) << why.detail;
    EXPECT_NE(*renewed, *access);
    EXPECT_NE(store.Read(TokenStore::Key(account)).value_or(*second), *second);

    // A token the server no longer knows, or none at all: the user must sign in; an
    // unreachable server is a network failure that keeps the stored token.
    ASSERT_TRUE(store.Write(TokenStore::Key(account), "withdrawn"));
    EXPECT_FALSE(source.AccessToken(account, true, why));
    EXPECT_EQ(why.kind, FailureKind::kSignInAgain) << why.detail;
    ASSERT_TRUE(store.Remove(TokenStore::Key(account)));
    EXPECT_FALSE(source.AccessToken(account, true, why));
    EXPECT_EQ(why.kind, FailureKind::kSignInAgain);
    EXPECT_EQ(why.detail, "not signed in");
}

TEST_F(OAuthSignIn, RedirectWithAnotherStateIsRefused) {
    Browser browser;
    browser.rewrite = [](QUrl url) {
        QUrlQuery query(url);
        query.removeAllQueryItems("state");
        query.addQueryItem("state", "forged");
        url.setQuery(query);
        return url;
    };
    LoopbackSignIn signIn(
        Provider(), [&browser](const QUrl& url) { return browser.Open(url); },
        std::chrono::seconds(20));
    const auto started = std::chrono::steady_clock::now();
    const SignInResult result = signIn.Run();
    EXPECT_FALSE(result.ok);
    EXPECT_TRUE(result.accessToken.isEmpty() && result.refreshToken.isEmpty());
    EXPECT_EQ(result.error.toStdString(), "the answer did not belong to this sign-in");
    // Refused on the redirect itself, not by waiting out the limit.
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
}

TEST_F(OAuthSignIn, SignInCommandPollsTheDeviceEndpointSlowsDownAndExpires) {
    Provider(true);
    ASSERT_TRUE(state_.AppendAccount(Account()));
    qvtest::FakePrompts prompts(kPassphrase);
    ASSERT_TRUE(SaveAccountFile(state_, prompts));
    const std::string passphraseFile = directory_.Path() + "passphrase";
    std::ofstream(passphraseFile) << kPassphrase << "\n";
    SignInCommand::Settings settings;
    settings.device.slowDownStep = std::chrono::seconds(1);
    const auto run = [&](const char* description, std::string& out, std::string& err) {
        AppState fresh;
        std::ostringstream o;
        std::ostringstream e;
        const char* argv[] = {"quorvane",
                              "--sign-in",
                              description,
                              "--data-dir",
                              directory_.Path().c_str(),
                              "--passphrase-file",
                              passphraseFile.c_str()};
        const int code = SignInCommand(fresh, o, e, settings).Run(7, argv, "");
        out = o.str();
        err = e.str();
        return code;
    };
    std::string out;
    std::string err;

    ASSERT_TRUE(
        oauth_->Control(R"({"device_slow_down_once":true,"device_approve_after_polls":2})"));
    auto started = std::chrono::steady_clock::now();
    ASSERT_EQ(run("Work", out, err), SignInCommand::kStored) << err;
    // Polls at 1 s (slow_down), then every 1 + 1 s: pending at 3 s, approved at 5 s;
    // without the slower pace it would be done by 3 s.
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(4000))
        << "slow_down was not honoured";
    EXPECT_TRUE(out.starts_with("Open " + Base() + "/device/verify and enter the code ")) << out;
    const std::optional<std::string> stored = TokenStore(state_).Read(TokenStore::Key(Account()));
    ASSERT_TRUE(stored);
    EXPECT_EQ(out.find(*stored), std::string::npos) << "a token was printed";
    {
        // The stored token checks the account, as `quorvane --check` would.
        const std::size_t loginsBefore = TokenLogins();
        AppState checked;
        std::ostringstream o;
        std::ostringstream e;
        HeadlessCheck check(checked, o, e);
        check.SetAccessTokens(std::make_shared<OAuthTokenSource>(checked));
        const char* argv[] = {"quorvane",          "--check",
                              "--data-dir",        directory_.Path().c_str(),
                              "--passphrase-file", passphraseFile.c_str()};
        EXPECT_EQ(check.Run(6, argv, ""), HeadlessCheck::kAllChecked) << o.str() << e.str();
        EXPECT_EQ(TokenLogins(), loginsBefore + 1);
    }
    const std::optional<std::string> rotated = TokenStore(state_).Read(TokenStore::Key(Account()));
    ASSERT_TRUE(rotated);

    ASSERT_TRUE(oauth_->Control(R"({"device_approve_after_polls":100,"device_expires_in":2})"));
    started = std::chrono::steady_clock::now();
    EXPECT_EQ(run("Work", out, err), SignInCommand::kFailed);
    EXPECT_NE(err.find("expired"), std::string::npos) << err;
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(6));
    EXPECT_EQ(TokenStore(state_).Read(TokenStore::Key(Account())), rotated);

    EXPECT_EQ(run("Home", out, err), SignInCommand::kUsageError);
    EXPECT_NE(err.find("no account is called \"Home\""), std::string::npos) << err;
    std::ofstream(passphraseFile) << "wrong\n";
    EXPECT_EQ(run("Work", out, err), SignInCommand::kUsageError);
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
