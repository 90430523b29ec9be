// The session against a real POP3 server: a private Dovecot on loopback.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "pop3/pop3_session.h"
#include "tests/support/dovecot_server.h"
#include "tests/support/oauth_server.h"

namespace {

const std::string kFolded =
    "From: Alice Example <alice@example.org>\r\n"
    "To: bob@example.org,\r\n"
    "\tcarol@example.org\r\n"
    "Subject: a folded\r\n"
    " subject line\r\n";
const std::string kEncoded =
    "From: =?ISO-8859-1?Q?Andr=E9?= <andre@example.org>\r\n"
    "Subject: =?UTF-8?B?w6lsw6h2ZQ==?=\r\n";
const std::string kDotted =
    "From: dots@example.org\r\n"
    ".X-Leading-Dot: odd but legal\r\n"
    "Subject: dots\r\n";

// Enough messages for the pipelined window to be topped up several times.
constexpr int kMany = 300;

std::string ManyHeader(int n) {
    return "Subject: number " + std::to_string(n) + "\r\nX-Pad: " + std::string(n % 97, 'p') +
           "\r\n";
}

std::vector<std::string> Messages() {
    return {kFolded + "\r\nfirst body\r\n", kEncoded + "\r\nsecond body\r\n.\r\n",
            kDotted + "\r\n.hidden line\r\n"};
}

class DovecotSession : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        server_ = std::make_unique<qvtest::DovecotServer>();
        oauth_ = std::make_unique<qvtest::OAuthServer>();
        server_->AddUser("alice", "s3cret", Messages());
        server_->AddUser("name@example.test", "s3cret", Messages());
        server_->AddUser("empty", "nothing", {});
        std::vector<std::string> many;
        for (int n = 1; n <= kMany; ++n) {
            many.push_back(ManyHeader(n) + "\r\nbody " + std::to_string(n) + "\r\n");
        }
        server_->AddUser("many", "pw", many);
        // A missing or broken Dovecot fails every test here; it never skips them.
        started_ = oauth_->Start();
        if (started_) {
            server_->EnableOAuth(oauth_->IntrospectionUrl());
            started_ = server_->Start();
        }
    }
    static void TearDownTestSuite() {
        server_.reset();
        oauth_.reset();
    }

    void SetUp() override {
        ASSERT_TRUE(started_) << oauth_->Error() << server_->Error();
        before_ = server_->MailboxSnapshot("alice");
        ASSERT_EQ(3u, before_.size());
    }
    // No session may change a mailbox: no file gone, renamed (flags) or rewritten.
    void TearDown() override {
        if (started_) {
            EXPECT_EQ(before_, server_->MailboxSnapshot("alice"));
        }
    }

    static std::unique_ptr<qvtest::DovecotServer> server_;
    static std::unique_ptr<qvtest::OAuthServer> oauth_;
    static bool started_;
    qvtest::DovecotServer::Snapshot before_;
};

std::unique_ptr<qvtest::DovecotServer> DovecotSession::server_;
std::unique_ptr<qvtest::OAuthServer> DovecotSession::oauth_;
bool DovecotSession::started_ = false;

void ExpectWholeMailbox(Pop3Session& session) {
    int count = -1;
    int size = -1;
    ASSERT_EQ(1, session.Stat(count, size));
    EXPECT_EQ(3, count);
    int total = 0;
    for (const std::string& m : Messages()) {
        total += static_cast<int>(m.size());
    }
    EXPECT_EQ(total, size);

    // The header lines as sent, a dot-stuffed line left doubled; the empty line
    // that separates header and body leaves its CRLF at the end.
    const std::vector<std::string> headers = {
        kFolded, kEncoded,
        "From: dots@example.org\r\n..X-Leading-Dot: odd but legal\r\nSubject: dots\r\n"};
    for (int n = 1; n <= 3; ++n) {
        int listed = 0;
        EXPECT_EQ(1, session.GetMessageSize(n, listed));
        EXPECT_EQ(static_cast<int>(Messages()[n - 1].size()), listed);
        MessageHeader header;
        ASSERT_EQ(1, session.Top(n, header)) << n;
        ASSERT_TRUE(header.headerText.has_value());
        EXPECT_EQ(headers[n - 1], *header.headerText);
    }
    MessageHeader beyond;
    EXPECT_EQ(0, session.Top(4, beyond));
    EXPECT_FALSE(beyond.headerText.has_value());
}

TEST_F(DovecotSession, UserPassReadsStatListAndEveryHeader) {
    Pop3Session session;
    ASSERT_EQ(1, session.Login("127.0.0.1", "alice", "s3cret", server_->Port()));
    ExpectWholeMailbox(session);
    EXPECT_EQ(1, session.Quit());
    EXPECT_EQ(0, session.Quit());  // no longer connected
}

// A whole e-mail address is a login like any other, also inside the APOP line.
TEST_F(DovecotSession, ApopReadsTheSameMailbox) {
    for (const char* user : {"alice", "name@example.test"}) {
        Pop3Session session;
        session.m_bApop = 1;
        ASSERT_EQ(1, session.Login("127.0.0.1", user, "s3cret", server_->Port()))
            << user << ": " << session.m_strLastResponse;
        EXPECT_EQ(0, session.m_bApop);
        ExpectWholeMailbox(session);
        EXPECT_EQ(1, session.Quit());
    }
}

Failure OAuthLogin(int port, const std::string& user, const std::string& token,
                   std::optional<OAuthMechanism> pinned) {
    Pop3Session session;
    session.SetSignInMethod(SignInMethod::kOAuth2);
    if (pinned) {
        session.PinOAuthMechanism(*pinned);
    }
    EXPECT_EQ(0, session.Login("127.0.0.1", user, token, port));
    return session.LastFailure();
}

// Each mechanism signs in with the user's own token; another user's token is refused
// after the error challenge is answered, and an introspection that is down is the
// server's passing fault, not the token's.
TEST_F(DovecotSession, TokensSignInByEitherMechanismForTheirOwnUserOnly) {
    const std::string token = oauth_->Issue("alice").access;
    const std::string others = oauth_->Issue("empty").access;
    ASSERT_FALSE(token.empty());
    for (const OAuthMechanism mechanism :
         {OAuthMechanism::kXOAuth2, OAuthMechanism::kOAuthBearer}) {
        const std::string name(MechanismName(mechanism));
        Pop3Session session;
        session.SetSignInMethod(SignInMethod::kOAuth2);
        session.PinOAuthMechanism(mechanism);
        ASSERT_EQ(1, session.Login("127.0.0.1", "alice", token, server_->Port()))
            << name << ": " << session.m_strLastResponse;
        EXPECT_EQ(SessionPhase::kTransaction, session.Phase());
        ExpectWholeMailbox(session);
        EXPECT_EQ(1, session.Quit());
        EXPECT_NE(std::string::npos, server_->Log().find("user=<alice>, method=" + name));

        const Failure refused = OAuthLogin(server_->Port(), "alice", others, mechanism);
        EXPECT_EQ(FailureKind::kLoginRefused, refused.kind) << name;
        EXPECT_EQ("[AUTH] Authentication failed.", refused.detail) << name;

        ASSERT_TRUE(oauth_->Control(R"({"introspection_down": true})"));
        const Failure down = OAuthLogin(server_->Port(), "alice", token, mechanism);
        ASSERT_TRUE(oauth_->Control(R"({"introspection_down": false})"));
        EXPECT_EQ(FailureKind::kTemporary, down.kind) << name << ": " << down.detail;
        EXPECT_TRUE(down.detail.starts_with("Temporary authentication failure.")) << down.detail;
    }
    // Unpinned, Dovecot's SASL line lists OAUTHBEARER, which is preferred.
    Pop3Session chosen;
    chosen.SetSignInMethod(SignInMethod::kOAuth2);
    ASSERT_EQ(1, chosen.Login("127.0.0.1", "alice", token, server_->Port()));
    EXPECT_TRUE(chosen.ServerCapabilities().OffersSasl("OAUTHBEARER"));
    EXPECT_TRUE(chosen.ServerCapabilities().uidl);
}

TEST_F(DovecotSession, HostNamesAreLookedUp) {
    Pop3Session session;
    ASSERT_EQ(1, session.Login("localhost", "alice", "s3cret", server_->Port()));
    int count = 0;
    int size = 0;
    EXPECT_EQ(1, session.Stat(count, size));
    EXPECT_EQ(3, count);
}

TEST_F(DovecotSession, WrongCredentialsFail) {
    for (int apop = 0; apop <= 1; ++apop) {
        for (const auto& [user, password] : std::vector<std::pair<std::string, std::string>>{
                 {"alice", "wrong"}, {"nobody-here", "s3cret"}, {"alice", ""}}) {
            Pop3Session session;
            session.m_bApop = apop;
            EXPECT_EQ(0, session.Login("127.0.0.1", user, password, server_->Port()))
                << user << "/" << password << " apop " << apop;
            EXPECT_EQ(0u, session.m_strLastResponse.rfind("-ERR", 0));
            int count = 0;
            int size = 0;
            EXPECT_EQ(0, session.Stat(count, size));  // the connection is gone
        }
    }
}

TEST_F(DovecotSession, EmptyMailboxHasNothingToFetch) {
    Pop3Session session;
    ASSERT_EQ(1, session.Login("127.0.0.1", "empty", "nothing", server_->Port()));
    int count = -1;
    int size = -1;
    ASSERT_EQ(1, session.Stat(count, size));
    EXPECT_EQ(0, count);
    EXPECT_EQ(0, size);
    MessageHeader header;
    EXPECT_EQ(0, session.Top(1, header));
}

TEST_F(DovecotSession, InjectedCommandsNeverReachTheServer) {
    // A line break in a stored field would let it append commands such as DELE.
    for (const std::string& user : {std::string("alice\r\nDELE 1"), std::string("alice\nDELE 1"),
                                    std::string("alice\0DELE 1", 12)}) {
        Pop3Session session;
        EXPECT_EQ(0, session.Login("127.0.0.1", user, "s3cret", server_->Port()));
    }
    Pop3Session session;
    EXPECT_EQ(0, session.Login("127.0.0.1", "alice", "s3cret\r\nDELE 2", server_->Port()));
    // No deletion was even attempted, let alone committed.
    EXPECT_EQ(std::string::npos, server_->Log().find("del=1"));
}

TEST_F(DovecotSession, DestructionEndsTheDialogueWithoutChanges) {
    {
        Pop3Session session;
        ASSERT_EQ(1, session.Login("127.0.0.1", "alice", "s3cret", server_->Port()));
        MessageHeader header;
        EXPECT_EQ(1, session.Top(2, header));
    }
    EXPECT_EQ(std::string::npos, server_->Log().find("retr=1"));
}

// Dovecot lists PIPELINING: the listing, the unique ids and the headers go out in
// windows, and every header still reaches `each` with its own number, in order. A number
// the listing leaves out is not asked for but comes in its turn; `each` may end early.
TEST_F(DovecotSession, PipelinedFetchDeliversEveryHeaderWithItsNumberInOrder) {
    Pop3Session session;
    ASSERT_EQ(1, session.Login("127.0.0.1", "many", "pw", server_->Port()));
    EXPECT_TRUE(session.ServerPipelines());
    int count = 0;
    int size = 0;
    ASSERT_EQ(1, session.Stat(count, size));
    ASSERT_EQ(kMany, count);
    std::vector<std::string> ids;
    ASSERT_EQ(1, session.UniqueIds(ids));
    ASSERT_EQ(static_cast<std::size_t>(kMany), ids.size());
    EXPECT_FALSE(ids.front().empty());
    EXPECT_NE(ids.front(), ids.back());

    std::vector<int> numbers;
    for (int n = kMany; n >= 1; n -= 2) {
        numbers.push_back(n);
    }
    numbers.insert(numbers.begin() + 40, kMany + 1);
    std::vector<int> seen;
    ASSERT_EQ(1, session.TopEach(numbers, [&](int number, MessageHeader& header) {
        seen.push_back(number);
        if (number <= kMany) {
            EXPECT_EQ(ManyHeader(number), header.headerText.value_or("(none)"));
        } else {
            EXPECT_FALSE(header.headerText.has_value());
        }
        return true;
    }));
    EXPECT_EQ(numbers, seen);

    // Ending early leaves replies unread: no further data command may be trusted.
    int calls = 0;
    EXPECT_EQ(0, session.TopEach(numbers, [&](int, MessageHeader&) { return ++calls < 5; }));
    EXPECT_EQ(5, calls);
    EXPECT_FALSE(session.LastFailure().failed());
    EXPECT_EQ(0, session.Stat(count, size));
}

}  // namespace
