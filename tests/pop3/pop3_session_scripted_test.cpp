// The session against a scripted loopback peer, for what a real server does not do:
// silence, odd or broken replies, a peer that goes away.
#include <poll.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include <openssl/evp.h>

#include <algorithm>
#include <vector>

#include "app/debug_log.h"
#include "pop3/pop3_session.h"
#include "tests/support/loopback.h"
#include "tests/support/scripted_server.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kShortTimeout = 300;

long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Greeting, capabilities without PIPELINING, USER and PASS accepted.
qvtest::ScriptedServer& LoggedIn(qvtest::ScriptedServer& server) {
    return server.Send("+OK ready\r\n")
        .AnswerCapa()
        .ReadLine()
        .Send("+OK\r\n")
        .ReadLine()
        .Send("+OK\r\n");
}

int LoginTo(Pop3Session& session, qvtest::ScriptedServer& server, int timeout = kShortTimeout) {
    server.Start();
    session.m_nTimeout = timeout;
    return session.Login("127.0.0.1", "user", "pw", server.Port());
}

// STAT, where the test needs neither the count nor the size.
int StatOnly(Pop3Session& session) {
    int count = 0;
    int size = 0;
    return session.Stat(count, size);
}

TEST(ScriptedSession, SendsExactlyTheDialoguesLines) {
    qvtest::ScriptedServer server;
    LoggedIn(server)
        .ReadLine()
        .Send("+OK 2 320\r\n")
        .ReadLine()
        .Send("+OK 2 messages\r\n1 120\r\n2 200\r\n.\r\n")
        .ReadLine()
        .Send("+OK\r\nSubject: two\r\n\r\n.\r\n");
    Pop3Session session;
    ASSERT_EQ(1, LoginTo(session, server));
    int count = 0;
    int size = 0;
    ASSERT_EQ(1, session.Stat(count, size));
    EXPECT_EQ(2, count);
    EXPECT_EQ(320, size);
    MessageHeader header;
    ASSERT_EQ(1, session.Top(2, header));
    EXPECT_EQ("Subject: two\r\n", header.headerText.value_or("(none)"));
    EXPECT_EQ(1, session.Quit());
    server.Finish();
    EXPECT_EQ("CAPA\r\nUSER user\r\nPASS pw\r\nSTAT\r\nLIST\r\nTOP 2 0\r\nQUIT\r\n",
              server.Received());
}

TEST(ScriptedSession, SilenceEndsEachReadAfterTheLimit) {
    qvtest::ScriptedServer server;  // never greets
    Pop3Session session;
    const auto start = Clock::now();
    EXPECT_EQ(0, LoginTo(session, server));
    EXPECT_GE(MsSince(start), kShortTimeout);
    EXPECT_LT(MsSince(start), 3000);
    server.Finish();
    EXPECT_EQ("QUIT\r\n", server.Received());
}

TEST(ScriptedSession, EveryByteRestartsTheSilenceLimit) {
    qvtest::ScriptedServer server;
    server.Send("+OK");
    for (int i = 0; i < 3; ++i) {
        server.Pause(kShortTimeout * 2 / 3).Send(".");
    }
    server.Send("\r\n").AnswerCapa().ReadLine().Send("+OK\r\n").ReadLine().Send("+OK\r\n");
    Pop3Session session;
    EXPECT_EQ(1, LoginTo(session, server));
}

TEST(ScriptedSession, AReplyDribbledByteByByteEndsAtItsOverallBound) {
    // Each byte comes well within the silence limit; four limits is all a short reply gets.
    qvtest::ScriptedServer server;
    server.Send("+OK");
    for (int i = 0; i < 25; ++i) {
        server.Pause(100).Send("x");
    }
    Pop3Session session;
    const auto start = Clock::now();
    EXPECT_EQ(0, LoginTo(session, server));
    EXPECT_GE(MsSince(start), 4 * kShortTimeout);
    EXPECT_LT(MsSince(start), 2300);
}

TEST(ScriptedSession, RepliesAreReadAsSoonAsTheyArrive) {
    // Thirty round trips with a short server delay: a reader that slept 100 ms whenever
    // nothing was there yet would need three seconds at least.
    qvtest::ScriptedServer server;
    LoggedIn(server);
    for (int i = 0; i < 30; ++i) {
        server.ReadLine().Pause(2).Send("+OK 1 10\r\n");
    }
    Pop3Session session;
    ASSERT_EQ(1, LoginTo(session, server, 5000));
    const auto start = Clock::now();
    for (int i = 0; i < 30; ++i) {
        int count = 0;
        int size = 0;
        ASSERT_EQ(1, session.Stat(count, size));
    }
    EXPECT_LT(MsSince(start), 2000);
}

// A refusal is known by its status line alone; "-ERR" inside a header is only text.
TEST(ScriptedSession, MinusErrStatusFailsAtOnceAndMinusErrInAHeaderIsText) {
    qvtest::ScriptedServer server;
    LoggedIn(server)
        .ReadLine()
        .Send("+OK 2 200\r\n")
        .ReadLine()
        .Send("+OK\r\n1 100\r\n2 100\r\n.\r\n")
        .ReadLine()
        .Send("-ERR no such message\r\n")  // no multi-line terminator will follow
        .ReadLine()
        .Send("+OK\r\nSubject: -ERR in a subject\r\n\r\n.\r\n");
    Pop3Session session;
    ASSERT_EQ(1, LoginTo(session, server, 5000));
    ASSERT_EQ(1, StatOnly(session));
    const auto start = Clock::now();
    MessageHeader header;
    EXPECT_EQ(0, session.Top(1, header));
    EXPECT_EQ("-ERR no such message\r\n", session.m_strLastResponse);
    EXPECT_LT(MsSince(start), 2000);
    ASSERT_EQ(1, session.Top(2, header));
    EXPECT_EQ("Subject: -ERR in a subject\r\n", header.headerText.value_or("(none)"));
}

TEST(ScriptedSession, MinusErrArrivingLaterIsPartOfTheText) {
    qvtest::ScriptedServer server;
    LoggedIn(server)
        .ReadLine()
        .Send("+OK 1 200\r\n")
        .ReadLine()
        .Send("+OK\r\n1 100\r\n.\r\n")
        .ReadLine()
        .Send("+OK\r\nSubject: a\r\n")
        .Pause(50)
        .Send("X-Note: -ERR later\r\n\r\n.\r\n");
    Pop3Session session;
    ASSERT_EQ(1, LoginTo(session, server));
    ASSERT_EQ(1, StatOnly(session));
    MessageHeader header;
    ASSERT_EQ(1, session.Top(1, header));
    EXPECT_EQ("Subject: a\r\nX-Note: -ERR later\r\n", *header.headerText);
}

TEST(ScriptedSession, LowerCaseStatusIsPositiveExceptForStat) {
    qvtest::ScriptedServer server;
    server.Send("+ok hi\r\n").AnswerCapa().ReadLine().Send("+ok\r\n").ReadLine().Send("+Ok\r\n");
    server.ReadLine().Send("+ok 1 2\r\n");
    Pop3Session session;
    ASSERT_EQ(1, LoginTo(session, server));
    int count = 0;
    int size = 0;
    EXPECT_EQ(0, session.Stat(count, size));
}

TEST(ScriptedSession, StatRepliesAreReadLikeAtoi) {
    struct Case {
        std::string reply;
        int result;
        int count;
        int size;
    };
    const Case cases[] = {
        {"+OK 0 0\r\n", 1, 0, 0},
        {"+OK  3 120\r\n", 1, 3, 120},
        {"+OK\t7\t900 octets\r\n", 1, 7, 900},
        {"+OK 99999999999 12x\r\n", 1, 2147483647, 12},
        // A negative, missing or malformed figure fails: it is no empty mailbox.
        {"+OK 99999999999 -12x\r\n", 0, -1, -1},
        {"+OK -1 0\r\n", 0, -1, -1},
        {"+OK x1 0\r\n", 0, -1, -1},
        {"+OK1 0\r\n", 0, -1, -1},
        {"+OK 3\r\n", 0, -1, -1},
        {"+OK\r\n", 0, -1, -1},
        {"+OK 1 " + std::string(95, '1') + "\r\n", 0, -1, -1},  // 100 bytes: too long
        {"-ERR busy\r\n", 0, -1, -1},
    };
    for (const Case& c : cases) {
        qvtest::ScriptedServer server;
        LoggedIn(server).ReadLine().Send(c.reply);
        Pop3Session session;
        ASSERT_EQ(1, LoginTo(session, server));
        int count = -1;
        int size = -1;
        EXPECT_EQ(c.result, session.Stat(count, size)) << c.reply;
        EXPECT_EQ(c.count, count) << c.reply;
        EXPECT_EQ(c.size, size) << c.reply;
    }
}

TEST(ScriptedSession, APeerClosingMidReplyFailsWithoutWaitingOutTheLimit) {
    qvtest::ScriptedServer server;
    LoggedIn(server)
        .ReadLine()
        .Send("+OK 1 100\r\n")
        .ReadLine()
        .Send("+OK\r\n1 100\r\n.\r\n")
        .ReadLine()
        .Send("+OK\r\nSubject: cut")
        .CloseAfterScript();
    Pop3Session session;
    ASSERT_EQ(1, LoginTo(session, server, 5000));
    ASSERT_EQ(1, StatOnly(session));
    const auto start = Clock::now();
    MessageHeader header;
    EXPECT_EQ(0, session.Top(1, header));
    EXPECT_EQ("+OK\r\n", session.m_strLastResponse);
    EXPECT_EQ(0, session.Quit());
    EXPECT_LT(MsSince(start), 2000);
}

TEST(ScriptedSession, ApopDigestsTimestampAndPassword) {
    qvtest::ScriptedServer server;
    server.Send("+OK POP3 server ready <1896.697170952@dbc.mtview.ca.us>\r\n")
        .AnswerCapa()
        .ReadLine()
        .Send("+OK maildrop has 1 message\r\n");
    Pop3Session session;
    session.m_bApop = 1;
    server.Start();
    session.m_nTimeout = kShortTimeout;
    ASSERT_EQ(1, session.Login("127.0.0.1", "mrose", "tanstaaf", server.Port()));
    session.Quit();
    server.Finish();
    EXPECT_EQ("CAPA\r\nAPOP mrose c4c9334bac560ecc979e58001b3e22fb\r\nQUIT\r\n", server.Received());
}

// Without the greeting's stamp APOP would digest the password alone, a hash that
// anyone listening could replay: the login fails before a byte goes out.
TEST(ScriptedSession, ApopWithoutTimestampSendsNothing) {
    for (const char* greeting : {"+OK no stamp here\r\n", "+OK ready <unclosed\r\n"}) {
        qvtest::ScriptedServer server;
        server.Send(greeting).Pause(200);
        Pop3Session session;
        session.SetSignInMethod(SignInMethod::kApop);
        server.Start();
        session.m_nTimeout = kShortTimeout;
        EXPECT_EQ(0, session.Login("127.0.0.1", "u", "secret", server.Port()));
        EXPECT_EQ("The server offers no APOP", FailureText(session.LastFailure()));
        server.Finish();
        EXPECT_EQ("", server.Received()) << greeting;
    }
    EXPECT_EQ("5ebe2294ecd0e0f08eab7690d2a6ee69", Pop3Session::Md5Hex("secret", 6));
}

TEST(ScriptedSession, GreetingThatBeginsWithABracketGivesNoTimestamp) {
    qvtest::ScriptedServer server;
    server.Send("<1.2@host> +OK\r\n");
    Pop3Session session;
    session.m_bApop = 1;
    server.Start();
    session.m_nTimeout = kShortTimeout;
    EXPECT_EQ(0, session.Login("127.0.0.1", "u", "pw", server.Port()));
    EXPECT_EQ("", session.m_strTimestamp);
    server.Finish();
    EXPECT_EQ("QUIT\r\n", server.Received());
}

std::string Base64Decoded(const std::string& text) {
    std::string bytes(text.size(), '\0');
    const int length = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(bytes.data()),
                                       reinterpret_cast<const unsigned char*>(text.data()),
                                       static_cast<int>(text.size()));
    bytes.resize(static_cast<std::size_t>(std::max(0, length)));
    // EVP_DecodeBlock counts the padding as zero bytes.
    bytes.resize(bytes.size() -
                 static_cast<std::size_t>(std::count(text.end() - 2, text.end(), '=')));
    return bytes;
}

// OAUTHBEARER when CAPA's SASL line lists it, else XOAUTH2; AUTH and the response on
// lines of their own; the server's error challenge acknowledged as each mechanism
// wants, after which the server's -ERR is the failure. The token never reaches the log.
TEST(ScriptedSession, OAuthSignInAnswersEachMechanismsChallenges) {
    struct Case {
        std::string capa;
        std::string login;
        std::string mechanism;
        std::string decoded;  // "PORT" stands for the server's port
        std::string acknowledgement;
    };
    const std::vector<Case> cases = {
        {"+OK\r\nTOP\r\nUIDL\r\n.\r\n", "me@example.test", "XOAUTH2",
         "user=me@example.test\x01"
         "auth=Bearer tok3n\x01\x01",
         ""},
        {"+OK\r\nSASL PLAIN XOAUTH2\r\n.\r\n", "me@example.test", "XOAUTH2",
         "user=me@example.test\x01"
         "auth=Bearer tok3n\x01\x01",
         ""},
        {"+OK\r\nSASL PLAIN xoauth2 oauthbearer\r\n.\r\n", "m=e,@example.test", "OAUTHBEARER",
         "n,a=m=3De=2C@example.test,\x01host=127.0.0.1\x01port=PORT\x01"
         "auth=Bearer tok3n\x01\x01",
         "AQ=="},
    };
    for (const Case& c : cases) {
        qvtest::ScriptedServer server;
        server.Send("+OK ready\r\n")
            .ReadLine()
            .Send(c.capa)
            .ReadLine()
            .Send("+ \r\n")
            .ReadLine()
            .Send("+ eyJzdGF0dXMiOiI0MDEifQ==\r\n")
            .ReadLine()
            .Send("-ERR [AUTH] Authentication failed.\r\n");
        Pop3Session session;
        session.SetSignInMethod(SignInMethod::kOAuth2);
        DebugLog::SetEnabled(true);
        testing::internal::CaptureStderr();
        server.Start();
        session.m_nTimeout = kShortTimeout;
        EXPECT_EQ(0, session.Login("127.0.0.1", c.login, "tok3n", server.Port()));
        const std::string log = testing::internal::GetCapturedStderr();
        DebugLog::SetEnabled(false);
        server.Finish();
        EXPECT_EQ(FailureKind::kLoginRefused, session.LastFailure().kind);
        EXPECT_EQ("[AUTH] Authentication failed.", session.LastFailure().detail);
        const std::vector<std::string> lines = server.Commands();
        ASSERT_EQ(5u, lines.size()) << server.Received();
        EXPECT_EQ("AUTH " + c.mechanism, lines[1]);
        std::string decoded = c.decoded;
        if (const std::size_t port = decoded.find("PORT"); port != std::string::npos) {
            decoded.replace(port, 4, std::to_string(server.Port()));
        }
        EXPECT_EQ(decoded, Base64Decoded(lines[2]));
        EXPECT_EQ(c.acknowledgement, lines[3]);
        EXPECT_EQ("QUIT", lines[4]);
        EXPECT_EQ(std::string::npos, log.find("tok3n")) << log;
        EXPECT_EQ(std::string::npos, log.find(lines[2])) << log;
    }
}

TEST(ScriptedSession, LongCommandLinesGoOutWhole) {
    const std::string user(300, 'u');
    const std::string password(100000, 'p');
    qvtest::ScriptedServer server;
    LoggedIn(server);
    Pop3Session session;
    ASSERT_EQ(1, LoginTo(session, server, 5000));
    session.Quit();
    server.Finish();
    EXPECT_EQ("CAPA\r\nUSER user\r\nPASS pw\r\nQUIT\r\n", server.Received());

    qvtest::ScriptedServer longServer;
    LoggedIn(longServer);
    longServer.Start();
    Pop3Session longSession;
    longSession.m_nTimeout = 5000;
    ASSERT_EQ(1, longSession.Login("127.0.0.1", user, password, longServer.Port()));
    longSession.Quit();
    longServer.Finish();
    EXPECT_EQ("CAPA\r\nUSER " + user + "\r\nPASS " + password + "\r\nQUIT\r\n",
              longServer.Received());
}

TEST(ScriptedSession, ALineBreakInACredentialIsNeverSent) {
    // Nothing may even connect: a listener that is never accepted from stays empty. In
    // a token, 0x01 would end the SASL field and add fields of its own.
    qvtest::LoopbackListener listener;
    for (const SignInMethod method :
         {SignInMethod::kPassword, SignInMethod::kApop, SignInMethod::kOAuth2}) {
        Pop3Session session;
        session.SetSignInMethod(method);
        EXPECT_EQ(0, session.Login("127.0.0.1", "u\r\nDELE 1", "pw", listener.Port()));
        EXPECT_EQ(0, session.Login("127.0.0.1", "u", "pw\nDELE 1", listener.Port()));
        EXPECT_EQ(FailureKind::kBadCredential, session.LastFailure().kind);
    }
    Pop3Session session;
    session.SetSignInMethod(SignInMethod::kOAuth2);
    EXPECT_EQ(0, session.Login("127.0.0.1", "u",
                               "tok\x01"
                               "auth=x",
                               listener.Port()));
    EXPECT_EQ(FailureKind::kBadCredential, session.LastFailure().kind);
    pollfd pending{listener.Fd(), POLLIN, 0};
    EXPECT_EQ(0, poll(&pending, 1, 0));
}

TEST(ScriptedSession, AListingLongerThanItsEstimateGrowsItsBuffer) {
    // STAT announces one message; the listing holds 60 of many digits each.
    std::string listing = "+OK\r\n";
    for (int n = 1; n <= 60; ++n) {
        listing += std::to_string(1000000000 + n) + " " + std::to_string(n) + "\r\n";
    }
    listing += ".\r\n";
    qvtest::ScriptedServer server;
    LoggedIn(server)
        .ReadLine()
        .Send("+OK 1 100\r\n")
        .ReadLine()
        .Send(listing)
        .ReadLine()
        .Send("+OK\r\nSubject: sixty\r\n\r\n.\r\n");
    Pop3Session session;
    ASSERT_EQ(1, LoginTo(session, server));
    ASSERT_EQ(1, StatOnly(session));
    int listed = 0;
    ASSERT_EQ(1, session.GetMessageSize(60, listed));
    EXPECT_EQ(60, listed);
    MessageHeader header;
    ASSERT_EQ(1, session.Top(60, header));
    EXPECT_EQ(0, session.Top(61, header));  // beyond the listing: nothing is sent
    session.Quit();
    server.Finish();
    EXPECT_EQ("CAPA\r\nUSER user\r\nPASS pw\r\nSTAT\r\nLIST\r\nTOP 60 0\r\nQUIT\r\n",
              server.Received());
}

// Hostile listings: a line of a million blanks, one of half a million "1 " pairs, and
// a line whose size follows two blanks. Each line gives one size, the first figure
// after the number; the timing of the full-sized cases is in bench/hostile.
TEST(ScriptedSession, EachListingLineGivesOneSizeWhateverItHolds) {
    std::string pairs;
    for (int i = 0; i < (1 << 19); ++i) {
        pairs += "1 ";
    }
    qvtest::ScriptedServer server;
    LoggedIn(server)
        .ReadLine()
        .Send("+OK 3 300\r\n")
        .ReadLine()
        .Send("+OK\r\n1" + std::string(std::size_t{1} << 20, ' ') + "\r\n2 " + pairs +
              "\r\n3  77\r\n.\r\n");
    Pop3Session session;
    ASSERT_EQ(1, LoginTo(session, server, 5000));
    ASSERT_EQ(1, StatOnly(session));
    int listed = -1;
    ASSERT_EQ(1, session.GetMessageSize(1, listed));
    EXPECT_EQ(0, listed);
    ASSERT_EQ(1, session.GetMessageSize(2, listed));
    EXPECT_EQ(1, listed);
    ASSERT_EQ(1, session.GetMessageSize(3, listed));
    EXPECT_EQ(77, listed);
    EXPECT_EQ(0, session.GetMessageSize(4, listed));
    EXPECT_FALSE(session.LastFailure().failed());
}

TEST(ScriptedSession, HugeAnnouncedFiguresAllocateLittle) {
    qvtest::ScriptedServer server;
    LoggedIn(server)
        .ReadLine()
        .Send("+OK 2147483647 4294967295\r\n")
        .ReadLine()
        .Send("+OK\r\n1 4294967295\r\n.\r\n")
        .ReadLine()
        .Send("+OK\r\nSubject: big\r\n\r\n.\r\n");
    Pop3Session session;
    ASSERT_EQ(1, LoginTo(session, server));
    int count = 0;
    int size = 0;
    ASSERT_EQ(1, session.Stat(count, size));
    EXPECT_EQ(2147483647, count);
    MessageHeader header;
    ASSERT_EQ(1, session.Top(1, header));
    EXPECT_EQ("Subject: big\r\n", *header.headerText);
}

TEST(ScriptedSession, AFailedListIsNeverSentAgain) {
    qvtest::ScriptedServer server;
    LoggedIn(server).ReadLine().Send("+OK 2 200\r\n").ReadLine().Send("-ERR no listing\r\n");
    Pop3Session session;
    ASSERT_EQ(1, LoginTo(session, server));
    int count = 0;
    int size = 0;
    ASSERT_EQ(1, session.Stat(count, size));
    MessageHeader header;
    EXPECT_EQ(0, session.Top(1, header));
    EXPECT_EQ(0, session.Top(2, header));
    EXPECT_EQ(0, session.GetMessageSize(1, size));
    session.Quit();
    server.Finish();
    EXPECT_EQ("CAPA\r\nUSER user\r\nPASS pw\r\nSTAT\r\nLIST\r\nQUIT\r\n", server.Received());
}

// A reply not read to its end leaves its rest in the stream; read as the next reply, it
// would pass one message's header off as another's. No data command follows it.
TEST(ScriptedSession, AReplyNotReadWholeEndsTheConversation) {
    const std::string statReply = "+OK 2 200\r\n";
    const std::string listing = "+OK\r\n1 100\r\n2 100\r\n.\r\n";
    // Past the silence limit: message 1's header arrives while TOP 2 would be waiting.
    qvtest::ScriptedServer late;
    LoggedIn(late)
        .ReadLine()
        .Send(statReply)
        .ReadLine()
        .Send(listing)
        .ReadLine()
        .Pause(kShortTimeout * 2)
        .Send("+OK\r\nSubject: one\r\n\r\n.\r\n");
    // Past the size cap: 65 MB of header lines that never end.
    std::string huge = "+OK\r\n";
    while (huge.size() < (std::size_t{65} << 20)) {
        huge += "X-Filler: " + std::string(1000, 'f') + "\r\n";
    }
    qvtest::ScriptedServer capped;
    LoggedIn(capped).ReadLine().Send(statReply).ReadLine().Send(listing).ReadLine().Send(huge);
    for (qvtest::ScriptedServer* server : {&late, &capped}) {
        Pop3Session session;
        ASSERT_EQ(1, LoginTo(session, *server, server == &late ? kShortTimeout : 5000));
        MessageHeader header;
        EXPECT_EQ(0, session.Top(1, header));
        EXPECT_EQ(server == &late ? "" : "+OK\r\n", session.m_strLastResponse);
        EXPECT_EQ(0, session.Top(2, header));
        int count = 0;
        int size = 0;
        EXPECT_EQ(0, session.Stat(count, size));
        EXPECT_FALSE(header.headerText.has_value());
        session.Quit();
        server->Finish();
        // The capped peer may lose the QUIT it never read when the client resets.
        const std::string sent = "CAPA\r\nUSER user\r\nPASS pw\r\nSTAT\r\nLIST\r\nTOP 1 0\r\n";
        const std::string received = server->Received();
        EXPECT_TRUE(received == sent + "QUIT\r\n" || received == sent) << received;
    }
}

TEST(ScriptedSession, AReplyPastItsLimitFailsAtOnce) {
    qvtest::ScriptedServer server;
    server.Send("+OK " + std::string(9000, 'x'));  // a status line without end
    Pop3Session session;
    const auto start = Clock::now();
    EXPECT_EQ(0, LoginTo(session, server, 5000));
    EXPECT_LT(MsSince(start), 2000);
}

TEST(ScriptedSession, AStopRequestEndsAPendingRead) {
    std::atomic<bool> stop{false};
    qvtest::ScriptedServer server;  // silent
    Pop3Session session;
    session.SetStopFlag(&stop);
    std::thread stopper([&stop] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        stop = true;
    });
    const auto start = Clock::now();
    EXPECT_EQ(0, LoginTo(session, server, 30000));
    stopper.join();
    EXPECT_LT(MsSince(start), 1500);
}

TEST(ScriptedSession, ConnectIsBoundedByTheLimitAndByStop) {
    // Further connects to a full queue hang, as ones to an unreachable host do.
    qvtest::LoopbackListener hanging(0);
    hanging.FillQueue();
    {
        Pop3Session session;
        session.m_nTimeout = kShortTimeout;
        const auto start = Clock::now();
        EXPECT_EQ(0, session.Login("127.0.0.1", "u", "pw", hanging.Port()));
        EXPECT_LT(MsSince(start), 2000);
    }
    {
        std::atomic<bool> stop{true};
        Pop3Session session;
        session.m_nTimeout = 30000;
        session.SetStopFlag(&stop);
        const auto start = Clock::now();
        EXPECT_EQ(0, session.Login("127.0.0.1", "u", "pw", hanging.Port()));
        EXPECT_LT(MsSince(start), 1000);
    }
}

TEST(ScriptedSession, QuitWithoutConnectionOnlyCloses) {
    Pop3Session session;
    EXPECT_EQ(0, session.Quit());
    int size = 0;
    EXPECT_EQ(0, session.GetMessageSize(0, size));
}

struct Fetch {
    int result = -1;
    std::vector<int> numbers;  // as `each` saw them
    std::vector<std::string> headers;
    Failure failure;
    long long ms = 0;
};

Fetch FetchAll(qvtest::ScriptedServer& server, int messages, int timeout = 5000,
               const std::atomic<bool>* stop = nullptr) {
    Pop3Session session;
    session.m_nTimeout = timeout;
    session.SetStopFlag(stop);
    Fetch fetch;
    if (session.Login("127.0.0.1", "user", "pw", server.Port()) != 1) {
        return fetch;
    }
    int count = 0;
    int size = 0;
    std::vector<std::string> ids;
    if (session.Stat(count, size) != 1 || session.UniqueIds(ids) != 1) {
        return fetch;
    }
    std::vector<int> numbers;
    for (int n = 1; n <= messages; ++n) {
        numbers.push_back(n);
    }
    const auto start = Clock::now();
    fetch.result = session.TopEach(numbers, [&](int number, MessageHeader& header) {
        fetch.numbers.push_back(number);
        fetch.headers.push_back(header.headerText.value_or("(none)"));
        return true;
    });
    fetch.ms = MsSince(start);
    fetch.failure = session.LastFailure();
    return fetch;
}

// One command at a time unless the server lists PIPELINING; either way the replies
// reach `each` in order, and a refused TOP skips only its own message.
TEST(ScriptedSession, CommandsWaitForTheirRepliesUnlessTheServerPipelines) {
    const std::vector<std::string> headers = {"Subject: one", "Subject: two", "Subject: three"};
    for (const bool pipelining : {false, true}) {
        auto part = qvtest::ScriptedServer::Mailbox(headers);
        part.pipelining = pipelining;
        part.failTop = {2};
        qvtest::ScriptedServer server(part);
        const Fetch fetch = FetchAll(server, 3);
        EXPECT_EQ(1, fetch.result) << pipelining;
        EXPECT_EQ((std::vector<int>{1, 2, 3}), fetch.numbers);
        EXPECT_EQ((std::vector<std::string>{"Subject: one", "(none)", "Subject: three"}),
                  fetch.headers);
        EXPECT_TRUE(server.WaitClosed(1, std::chrono::seconds(5)));
        EXPECT_EQ((std::vector<std::string>{"CAPA", "USER user", "PASS pw", "STAT", "LIST", "UIDL",
                                            "TOP 1 0", "TOP 2 0", "TOP 3 0", "QUIT"}),
                  server.Commands());
        // Pipelined: LIST ahead of UIDL, and TOP 1 and 2 ahead of the next TOP.
        EXPECT_EQ(pipelining ? 3 : 0, server.EarlyCommands()) << pipelining;
    }
}

// A server that lists PIPELINING and then breaks the window never hangs the check.
TEST(ScriptedSession, AServerBreakingTheWindowEndsTheFetchAsAFailure) {
    struct Case {
        const char* what;
        int topsAnswered;
        bool hangUp;
        std::string stray;
        int timeout;
        bool stop;
        FailureKind kind;
        std::size_t seen;  // replies the server gave
    };
    const Case cases[] = {
        {"a stray line", -1, false, "Subject: stray\r\n", 5000, false, FailureKind::kServer, 1},
        {"closed mid-window", 3, true, "", 5000, false, FailureKind::kConnection, 3},
        {"silent", 2, false, "", kShortTimeout, false, FailureKind::kTimedOut, 2},
        {"stopped", 2, false, "", 30000, true, FailureKind::kStopped, 2},
    };
    std::vector<std::string> headers;
    for (int n = 1; n <= 100; ++n) {
        headers.push_back("Subject: " + std::to_string(n));
    }
    for (const Case& c : cases) {
        auto part = qvtest::ScriptedServer::Mailbox(headers);
        part.pipelining = true;
        part.topsAnswered = c.topsAnswered;
        part.hangUpThen = c.hangUp;
        part.strayAfterFirstTop = c.stray;
        qvtest::ScriptedServer server(part);
        std::atomic<bool> stop{false};
        std::thread stopper([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(c.stop ? 300 : 0));
            stop = c.stop;
        });
        const Fetch fetch = FetchAll(server, 100, c.timeout, &stop);
        stopper.join();
        EXPECT_EQ(0, fetch.result) << c.what;
        EXPECT_EQ(c.kind, fetch.failure.kind) << c.what << ": " << FailureText(fetch.failure);
        // A peer that hangs up on unread commands resets the connection, which may take
        // the last replies with it.
        EXPECT_LE(fetch.numbers.size(), c.seen) << c.what;
        EXPECT_GE(fetch.numbers.size(), c.hangUp ? 0 : c.seen) << c.what;
        EXPECT_LT(fetch.ms, 2500) << c.what;
    }
}

}  // namespace
