// The session against a real POP3 server: a private Dovecot on loopback.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "pop3/pop3_session.h"
#include "tests/support/dovecot_server.h"

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

std::vector<std::string> Messages() {
    return {kFolded + "\r\nfirst body\r\n", kEncoded + "\r\nsecond body\r\n.\r\n",
            kDotted + "\r\n.hidden line\r\n"};
}

class DovecotSession : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        server_ = std::make_unique<qvtest::DovecotServer>();
        server_->AddUser("alice", "s3cret", Messages());
        server_->AddUser("empty", "nothing", {});
        // A missing or broken Dovecot fails every test here; it never skips them.
        started_ = server_->Start();
    }
    static void TearDownTestSuite() { server_.reset(); }

    void SetUp() override {
        ASSERT_TRUE(started_) << server_->Error();
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
    static bool started_;
    qvtest::DovecotServer::Snapshot before_;
};

std::unique_ptr<qvtest::DovecotServer> DovecotSession::server_;
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

TEST_F(DovecotSession, ApopReadsTheSameMailbox) {
    Pop3Session session;
    session.m_bApop = 1;
    ASSERT_EQ(1, session.Login("127.0.0.1", "alice", "s3cret", server_->Port()))
        << session.m_strLastResponse;
    EXPECT_EQ(0, session.m_bApop);
    ExpectWholeMailbox(session);
    EXPECT_EQ(1, session.Quit());
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

}  // namespace
