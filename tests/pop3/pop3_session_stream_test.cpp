// The session against an in-memory script of replies: what a real server does not say
// (odd, refused, hostile or oversized replies), played without a socket or a thread.
// What depends on time or on a real connection (silence, a peer that closes or stops
// reading, the handshake) is in the loopback tests beside this file.
#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <algorithm>
#include <string>
#include <vector>

#include "app/debug_log.h"
#include "pop3/pop3_session.h"
#include "pop3/scripted_stream.h"

namespace {

constexpr int kShortTimeout = 300;
const std::string kCapabilities = "+OK\r\nTOP\r\nUIDL\r\n.\r\n";

// Greeting, capabilities without PIPELINING, USER and PASS accepted.
ScriptedStream& LoggedIn(ScriptedStream& stream) {
    return stream.Say("+OK ready\r\n")
        .AwaitCommand()
        .Say(kCapabilities)
        .AwaitCommand()
        .Say("+OK\r\n")
        .AwaitCommand()
        .Say("+OK\r\n");
}

int LoginTo(Pop3Session& session) {
    session.m_nTimeout = kShortTimeout;
    return session.Login("127.0.0.1", "user", "pw", 110);
}

// STAT, where the test needs neither the count nor the size.
int StatOnly(Pop3Session& session) {
    int count = 0;
    int size = 0;
    return session.Stat(count, size);
}

// What the session relies on: pieces released by whole command lines, however many one
// send holds; each Say a receive of its own; a wait that only a command could end fails
// at once; after the script the peer has hung up; one connection, and no TLS.
TEST(ScriptedStream, ReleasesPiecesByCommandLinesAndEndsAsAServerWould) {
    ScriptedStream stream;
    stream.Say("+OK hi\r\n").Say("").AwaitCommand().AwaitCommand().Say("two").Say("three");
    char buffer[64] = {};
    int readable = -1;
    EXPECT_EQ(0, stream.Send("x", 1));
    ASSERT_EQ(1, stream.Create());
    ASSERT_EQ(1, stream.Connect("pop.example.test", 995, 100, nullptr));
    EXPECT_EQ(8, stream.Receive(buffer, sizeof buffer));
    ASSERT_EQ(1, stream.PollReadable(readable));
    EXPECT_EQ(0, readable);
    ASSERT_EQ(1, stream.Send("ONE\r\nTW", 7));
    ASSERT_EQ(1, stream.PollReadable(readable));
    EXPECT_EQ(0, readable) << "a line is not sent until its end is";
    ASSERT_EQ(1, stream.WaitReadable(readable, 50));
    EXPECT_EQ(0, stream.PollReadable(readable));
    EXPECT_EQ(FailureKind::kTimedOut, stream.LastFailure().kind);
    ASSERT_EQ(1, stream.Send("O\r\n", 3));
    EXPECT_EQ(2, stream.Receive(buffer, 2));
    EXPECT_EQ(1, stream.Receive(buffer, sizeof buffer));
    EXPECT_EQ(5, stream.Receive(buffer, sizeof buffer));
    ASSERT_EQ(1, stream.WaitReadable(readable, 50));
    EXPECT_EQ(1, readable);
    EXPECT_EQ(0, stream.Receive(buffer, sizeof buffer));
    EXPECT_EQ("the server closed the connection", stream.LastFailure().detail);
    EXPECT_EQ(0, stream.CheckPeer());
    EXPECT_EQ((std::vector<std::string>{"ONE", "TWO"}), stream.Commands());
    EXPECT_EQ(0, stream.StartTls("pop.example.test", ""));
    EXPECT_EQ(FailureKind::kHandshake, stream.LastFailure().kind);
    EXPECT_FALSE(stream.Secure());
    EXPECT_EQ(-1, stream.CheckPeer());
    EXPECT_EQ(0, stream.Close());
    EXPECT_EQ(-1, stream.Close());
    ASSERT_EQ(1, stream.Create());
    EXPECT_EQ(0, stream.Connect("pop.example.test", 995, 100, nullptr));
    EXPECT_EQ(FailureKind::kRefused, stream.LastFailure().kind);
    EXPECT_EQ(1, stream.Connects());
}

TEST(StreamSession, SendsExactlyTheDialoguesLines) {
    ScriptedStream stream;
    LoggedIn(stream)
        .AwaitCommand()
        .Say("+OK 2 320\r\n")
        .AwaitCommand()
        .Say("+OK 2 messages\r\n1 120\r\n2 200\r\n.\r\n")
        .AwaitCommand()
        .Say("+OK\r\nSubject: two\r\n\r\n.\r\n")
        .AwaitCommand()
        .Say("+OK bye\r\n");
    Pop3Session session(stream);
    ASSERT_EQ(1, LoginTo(session));
    int count = 0;
    int size = 0;
    ASSERT_EQ(1, session.Stat(count, size));
    EXPECT_EQ(2, count);
    EXPECT_EQ(320, size);
    MessageHeader header;
    ASSERT_EQ(1, session.Top(2, header));
    EXPECT_EQ("Subject: two\r\n", header.headerText.value_or("(none)"));
    EXPECT_EQ(1, session.Quit());
    EXPECT_EQ("CAPA\r\nUSER user\r\nPASS pw\r\nSTAT\r\nLIST\r\nTOP 2 0\r\nQUIT\r\n", stream.Sent());
}

// A refusal is known by its status line alone; "-ERR" inside a header is only text.
TEST(StreamSession, MinusErrStatusFailsAtOnceAndMinusErrInAHeaderIsText) {
    ScriptedStream stream;
    LoggedIn(stream)
        .AwaitCommand()
        .Say("+OK 2 200\r\n")
        .AwaitCommand()
        .Say("+OK\r\n1 100\r\n2 100\r\n.\r\n")
        .AwaitCommand()
        .Say("-ERR no such message\r\n")  // no multi-line terminator will follow
        .AwaitCommand()
        .Say("+OK\r\nSubject: -ERR in a subject\r\n\r\n.\r\n");
    Pop3Session session(stream);
    ASSERT_EQ(1, LoginTo(session));
    ASSERT_EQ(1, StatOnly(session));
    MessageHeader header;
    EXPECT_EQ(0, session.Top(1, header));
    EXPECT_EQ("-ERR no such message\r\n", session.m_strLastResponse);
    EXPECT_EQ(FailureKind::kServer, session.LastFailure().kind);
    ASSERT_EQ(1, session.Top(2, header));
    EXPECT_EQ("Subject: -ERR in a subject\r\n", header.headerText.value_or("(none)"));
}

TEST(StreamSession, MinusErrArrivingLaterIsPartOfTheText) {
    ScriptedStream stream;
    LoggedIn(stream)
        .AwaitCommand()
        .Say("+OK 1 200\r\n")
        .AwaitCommand()
        .Say("+OK\r\n1 100\r\n.\r\n")
        .AwaitCommand()
        .Say("+OK\r\nSubject: a\r\n")
        .Say("X-Note: -ERR later\r\n\r\n.\r\n");
    Pop3Session session(stream);
    ASSERT_EQ(1, LoginTo(session));
    ASSERT_EQ(1, StatOnly(session));
    MessageHeader header;
    ASSERT_EQ(1, session.Top(1, header));
    EXPECT_EQ("Subject: a\r\nX-Note: -ERR later\r\n", *header.headerText);
}

TEST(StreamSession, LowerCaseStatusIsPositiveExceptForStat) {
    ScriptedStream stream;
    stream.Say("+ok hi\r\n").AwaitCommand().Say(kCapabilities);
    stream.AwaitCommand().Say("+ok\r\n").AwaitCommand().Say("+Ok\r\n");
    stream.AwaitCommand().Say("+ok 1 2\r\n");
    Pop3Session session(stream);
    ASSERT_EQ(1, LoginTo(session));
    int count = 0;
    int size = 0;
    EXPECT_EQ(0, session.Stat(count, size));
}

TEST(StreamSession, StatRepliesAreReadLikeAtoi) {
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
        ScriptedStream stream;
        LoggedIn(stream).AwaitCommand().Say(c.reply);
        Pop3Session session(stream);
        ASSERT_EQ(1, LoginTo(session));
        int count = -1;
        int size = -1;
        EXPECT_EQ(c.result, session.Stat(count, size)) << c.reply;
        EXPECT_EQ(c.count, count) << c.reply;
        EXPECT_EQ(c.size, size) << c.reply;
    }
}

TEST(StreamSession, ApopDigestsTimestampAndPassword) {
    ScriptedStream stream;
    stream.Say("+OK POP3 server ready <1896.697170952@dbc.mtview.ca.us>\r\n")
        .AwaitCommand()
        .Say(kCapabilities)
        .AwaitCommand()
        .Say("+OK maildrop has 1 message\r\n");
    Pop3Session session(stream);
    session.m_bApop = 1;
    session.m_nTimeout = kShortTimeout;
    ASSERT_EQ(1, session.Login("127.0.0.1", "mrose", "tanstaaf", 110));
    session.Quit();
    EXPECT_EQ("CAPA\r\nAPOP mrose c4c9334bac560ecc979e58001b3e22fb\r\nQUIT\r\n", stream.Sent());
}

// Without the greeting's stamp APOP would digest the password alone, a hash that
// anyone listening could replay: the login fails before a byte goes out.
TEST(StreamSession, ApopWithoutTimestampSendsNothing) {
    for (const char* greeting : {"+OK no stamp here\r\n", "+OK ready <unclosed\r\n"}) {
        ScriptedStream stream;
        stream.Say(greeting);
        Pop3Session session(stream);
        session.SetSignInMethod(SignInMethod::kApop);
        session.m_nTimeout = kShortTimeout;
        EXPECT_EQ(0, session.Login("127.0.0.1", "u", "secret", 110));
        EXPECT_EQ("The server offers no APOP", FailureText(session.LastFailure()));
        EXPECT_EQ("", stream.Sent()) << greeting;
    }
    EXPECT_EQ("5ebe2294ecd0e0f08eab7690d2a6ee69", Pop3Session::Md5Hex("secret", 6));
}

TEST(StreamSession, GreetingThatBeginsWithABracketGivesNoTimestamp) {
    ScriptedStream stream;
    stream.Say("<1.2@host> +OK\r\n");
    Pop3Session session(stream);
    session.m_bApop = 1;
    session.m_nTimeout = kShortTimeout;
    EXPECT_EQ(0, session.Login("127.0.0.1", "u", "pw", 110));
    EXPECT_EQ("", session.m_strTimestamp);
    EXPECT_EQ("QUIT\r\n", stream.Sent());
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
TEST(StreamSession, OAuthSignInAnswersEachMechanismsChallenges) {
    struct Case {
        std::string capa;
        std::string login;
        std::string mechanism;
        std::string decoded;
        std::string acknowledgement;
    };
    const std::vector<Case> cases = {
        {kCapabilities, "me@example.test", "XOAUTH2",
         "user=me@example.test\x01"
         "auth=Bearer tok3n\x01\x01",
         ""},
        {"+OK\r\nSASL PLAIN XOAUTH2\r\n.\r\n", "me@example.test", "XOAUTH2",
         "user=me@example.test\x01"
         "auth=Bearer tok3n\x01\x01",
         ""},
        {"+OK\r\nSASL PLAIN xoauth2 oauthbearer\r\n.\r\n", "m=e,@example.test", "OAUTHBEARER",
         "n,a=m=3De=2C@example.test,\x01host=127.0.0.1\x01port=110\x01"
         "auth=Bearer tok3n\x01\x01",
         "AQ=="},
    };
    for (const Case& c : cases) {
        ScriptedStream stream;
        stream.Say("+OK ready\r\n")
            .AwaitCommand()
            .Say(c.capa)
            .AwaitCommand()
            .Say("+ \r\n")
            .AwaitCommand()
            .Say("+ eyJzdGF0dXMiOiI0MDEifQ==\r\n")
            .AwaitCommand()
            .Say("-ERR [AUTH] Authentication failed.\r\n");
        Pop3Session session(stream);
        session.SetSignInMethod(SignInMethod::kOAuth2);
        DebugLog::SetEnabled(true);
        testing::internal::CaptureStderr();
        session.m_nTimeout = kShortTimeout;
        EXPECT_EQ(0, session.Login("127.0.0.1", c.login, "tok3n", 110));
        const std::string log = testing::internal::GetCapturedStderr();
        DebugLog::SetEnabled(false);
        EXPECT_EQ(FailureKind::kLoginRefused, session.LastFailure().kind);
        EXPECT_EQ("[AUTH] Authentication failed.", session.LastFailure().detail);
        const std::vector<std::string> lines = stream.Commands();
        ASSERT_EQ(5u, lines.size()) << stream.Sent();
        EXPECT_EQ("AUTH " + c.mechanism, lines[1]);
        EXPECT_EQ(c.decoded, Base64Decoded(lines[2]));
        EXPECT_EQ(c.acknowledgement, lines[3]);
        EXPECT_EQ("QUIT", lines[4]);
        EXPECT_EQ(std::string::npos, log.find("tok3n")) << log;
        EXPECT_EQ(std::string::npos, log.find(lines[2])) << log;
    }
}

TEST(StreamSession, ALineBreakInACredentialIsNeverSent) {
    // Nothing may even connect. In a token, 0x01 would end the SASL field and add
    // fields of its own.
    ScriptedStream stream;
    for (const SignInMethod method :
         {SignInMethod::kPassword, SignInMethod::kApop, SignInMethod::kOAuth2}) {
        Pop3Session session(stream);
        session.SetSignInMethod(method);
        EXPECT_EQ(0, session.Login("127.0.0.1", "u\r\nDELE 1", "pw", 110));
        EXPECT_EQ(0, session.Login("127.0.0.1", "u", "pw\nDELE 1", 110));
        EXPECT_EQ(FailureKind::kBadCredential, session.LastFailure().kind);
    }
    Pop3Session session(stream);
    session.SetSignInMethod(SignInMethod::kOAuth2);
    EXPECT_EQ(0, session.Login("127.0.0.1", "u",
                               "tok\x01"
                               "auth=x",
                               110));
    EXPECT_EQ(FailureKind::kBadCredential, session.LastFailure().kind);
    EXPECT_EQ(0, stream.Connects());
    EXPECT_EQ("", stream.Sent());
}

TEST(StreamSession, AListingLongerThanItsEstimateGrowsItsBuffer) {
    // STAT announces one message; the listing holds 60 of many digits each.
    std::string listing = "+OK\r\n";
    for (int n = 1; n <= 60; ++n) {
        listing += std::to_string(1000000000 + n) + " " + std::to_string(n) + "\r\n";
    }
    listing += ".\r\n";
    ScriptedStream stream;
    LoggedIn(stream)
        .AwaitCommand()
        .Say("+OK 1 100\r\n")
        .AwaitCommand()
        .Say(listing)
        .AwaitCommand()
        .Say("+OK\r\nSubject: sixty\r\n\r\n.\r\n");
    Pop3Session session(stream);
    ASSERT_EQ(1, LoginTo(session));
    ASSERT_EQ(1, StatOnly(session));
    int listed = 0;
    ASSERT_EQ(1, session.GetMessageSize(60, listed));
    EXPECT_EQ(60, listed);
    MessageHeader header;
    ASSERT_EQ(1, session.Top(60, header));
    EXPECT_EQ(0, session.Top(61, header));  // beyond the listing: nothing is sent
    session.Quit();
    EXPECT_EQ("CAPA\r\nUSER user\r\nPASS pw\r\nSTAT\r\nLIST\r\nTOP 60 0\r\nQUIT\r\n",
              stream.Sent());
}

// Hostile listings: a line of a million blanks, one of half a million "1 " pairs, and
// a line whose size follows two blanks. Each line gives one size, the first figure
// after the number; the timing of the full-sized cases is in bench/hostile.
TEST(StreamSession, EachListingLineGivesOneSizeWhateverItHolds) {
    std::string pairs;
    for (int i = 0; i < (1 << 19); ++i) {
        pairs += "1 ";
    }
    ScriptedStream stream;
    LoggedIn(stream)
        .AwaitCommand()
        .Say("+OK 3 300\r\n")
        .AwaitCommand()
        .Say("+OK\r\n1" + std::string(std::size_t{1} << 20, ' ') + "\r\n2 " + pairs +
             "\r\n3  77\r\n.\r\n");
    Pop3Session session(stream);
    ASSERT_EQ(1, LoginTo(session));
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

TEST(StreamSession, HugeAnnouncedFiguresAllocateLittle) {
    ScriptedStream stream;
    LoggedIn(stream)
        .AwaitCommand()
        .Say("+OK 2147483647 4294967295\r\n")
        .AwaitCommand()
        .Say("+OK\r\n1 4294967295\r\n.\r\n")
        .AwaitCommand()
        .Say("+OK\r\nSubject: big\r\n\r\n.\r\n");
    Pop3Session session(stream);
    ASSERT_EQ(1, LoginTo(session));
    int count = 0;
    int size = 0;
    ASSERT_EQ(1, session.Stat(count, size));
    EXPECT_EQ(2147483647, count);
    MessageHeader header;
    ASSERT_EQ(1, session.Top(1, header));
    EXPECT_EQ("Subject: big\r\n", *header.headerText);
}

TEST(StreamSession, AFailedListIsNeverSentAgain) {
    ScriptedStream stream;
    LoggedIn(stream).AwaitCommand().Say("+OK 2 200\r\n").AwaitCommand().Say("-ERR no listing\r\n");
    Pop3Session session(stream);
    ASSERT_EQ(1, LoginTo(session));
    int count = 0;
    int size = 0;
    ASSERT_EQ(1, session.Stat(count, size));
    MessageHeader header;
    EXPECT_EQ(0, session.Top(1, header));
    EXPECT_EQ(0, session.Top(2, header));
    EXPECT_EQ(0, session.GetMessageSize(1, size));
    session.Quit();
    EXPECT_EQ("CAPA\r\nUSER user\r\nPASS pw\r\nSTAT\r\nLIST\r\nQUIT\r\n", stream.Sent());
}

// A reply not read to its end leaves its rest in the stream; read as the next reply, it
// would pass one message's header off as another's. No data command follows it.
TEST(StreamSession, AReplyNotReadWholeEndsTheConversation) {
    const std::string statReply = "+OK 2 200\r\n";
    const std::string listing = "+OK\r\n1 100\r\n2 100\r\n.\r\n";
    // Silent past the limit: message 1's header comes only after a further command.
    ScriptedStream late;
    LoggedIn(late)
        .AwaitCommand()
        .Say(statReply)
        .AwaitCommand()
        .Say(listing)
        .AwaitCommand()
        .AwaitCommand()
        .Say("+OK\r\nSubject: one\r\n\r\n.\r\n");
    // Past the size cap: 65 MB of header lines that never end.
    std::string huge = "+OK\r\n";
    while (huge.size() < (std::size_t{65} << 20)) {
        huge += "X-Filler: " + std::string(1000, 'f') + "\r\n";
    }
    ScriptedStream capped;
    LoggedIn(capped).AwaitCommand().Say(statReply).AwaitCommand().Say(listing).AwaitCommand().Say(
        huge);
    for (ScriptedStream* stream : {&late, &capped}) {
        Pop3Session session(*stream);
        ASSERT_EQ(1, LoginTo(session));
        MessageHeader header;
        EXPECT_EQ(0, session.Top(1, header));
        EXPECT_EQ(stream == &late ? FailureKind::kTimedOut : FailureKind::kServer,
                  session.LastFailure().kind);
        EXPECT_EQ(stream == &late ? "" : "+OK\r\n", session.m_strLastResponse);
        EXPECT_EQ(0, session.Top(2, header));
        int count = 0;
        int size = 0;
        EXPECT_EQ(0, session.Stat(count, size));
        EXPECT_FALSE(header.headerText.has_value());
        session.Quit();
        EXPECT_EQ("CAPA\r\nUSER user\r\nPASS pw\r\nSTAT\r\nLIST\r\nTOP 1 0\r\nQUIT\r\n",
                  stream->Sent());
    }
}

TEST(StreamSession, AReplyPastItsLimitFailsAtOnce) {
    ScriptedStream stream;
    stream
        .Say("+OK " + std::string(9000, 'x'))  // a status line without end
        .Say("\r\n");
    Pop3Session session(stream);
    EXPECT_EQ(0, LoginTo(session));
    EXPECT_EQ("a reply was too long", session.LastFailure().detail);
}

TEST(StlsStream, NoStartTlsMeansNothingMoreIsSent) {
    for (const char* answer : {"-ERR TLS not available\r\n", "-ERR unknown command\r\n"}) {
        for (const int apop : {0, 1}) {
            ScriptedStream stream;
            stream.Say("+OK <1.2@host> ready\r\n").AwaitCommand().Say(answer);
            Pop3Session session(stream);
            session.m_bApop = apop;
            session.SetSecurity(ConnectionSecurity::kStartTls);
            EXPECT_EQ(0, LoginTo(session));
            EXPECT_EQ(FailureKind::kNoStartTls, session.LastFailure().kind);
            EXPECT_EQ(std::string(answer, std::string(answer).size() - 2),
                      session.LastFailure().detail);
            EXPECT_EQ("STLS\r\n", stream.Sent()) << "not even QUIT after a refused STLS";
        }
    }
}

TEST(StlsStream, BytesInClearAroundStlsAreNeverReadAsReplies) {
    // After "+OK" to STLS, and after the greeting: both must come through TLS or not at all.
    ScriptedStream afterOk;
    afterOk.Say("+OK ready\r\n").AwaitCommand().Say("+OK begin\r\n+OK\r\n+OK\r\n");
    ScriptedStream afterGreeting;
    afterGreeting.Say("+OK ready\r\n+OK early\r\n");
    for (ScriptedStream* stream : {&afterOk, &afterGreeting}) {
        Pop3Session session(*stream);
        session.SetSecurity(ConnectionSecurity::kStartTls);
        EXPECT_EQ(0, LoginTo(session));
        EXPECT_EQ(FailureKind::kHandshake, session.LastFailure().kind);
        EXPECT_EQ(stream == &afterOk ? "STLS\r\n" : "", stream->Sent());
    }
}

}  // namespace
