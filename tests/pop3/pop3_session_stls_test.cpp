// Connection security against a scripted loopback peer, for what a real server does not
// do: a peer that speaks only TLS 1.0, a handshake that never ends, a peer that stops
// reading. A refused STLS and bytes in clear around it are played in memory
// (pop3_session_stream_test).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "pop3/pop3_session.h"
#include "pop3/socket_stream.h"
#include "tests/support/scripted_server.h"

namespace {

using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

Failure LoginWith(qvtest::ScriptedServer& server, ConnectionSecurity security, int apop = 0,
                  int timeout = 2000, const std::atomic<bool>* stop = nullptr) {
    server.Start();
    Pop3Session session;
    session.m_nTimeout = timeout;
    session.m_bApop = apop;
    session.SetStopFlag(stop);
    session.SetSecurity(security);
    EXPECT_EQ(0, session.Login("127.0.0.1", "user", "pw", server.Port()));
    return session.LastFailure();
}

// The answer to STLS comes in clear: a stamp in it must not choose what APOP digests.
TEST(StlsScripted, OnlyTheGreetingSetsTheApopTimestamp) {
    qvtest::ScriptedServer server;
    server.Send("+OK <1.2@host> ready\r\n").ReadLine().Send("+OK <9.9@evil> begin\r\n").Pause(300);
    server.Start();
    Pop3Session session;
    session.m_nTimeout = 300;
    session.SetSignInMethod(SignInMethod::kApop);
    session.SetSecurity(ConnectionSecurity::kStartTls);
    EXPECT_EQ(0, session.Login("127.0.0.1", "user", "pw", server.Port()));
    server.Finish();
    EXPECT_EQ("<1.2@host>", session.m_strTimestamp);
    EXPECT_EQ(0u, server.Received().rfind("STLS\r\n\x16", 0)) << "then the handshake";
    EXPECT_EQ(std::string::npos, server.Received().find("APOP"));
}

// A ServerHello that picks TLS 1.0: the answer of a server that knows nothing newer.
std::string Tls10ServerHello() {
    std::string hello("\x16\x03\x01\x00\x2a\x02\x00\x00\x26\x03\x01", 11);
    hello += std::string(32, '\x42');             // server random
    hello += std::string("\x00\x00\x2f\x00", 4);  // no session id, AES128-SHA, no compression
    return hello;
}

TEST(StlsScripted, APeerOfferingOnlyTls10IsRefused) {
    qvtest::ScriptedServer server;
    server.Pause(200).Send(Tls10ServerHello()).Pause(300);
    const Failure failure = LoginWith(server, ConnectionSecurity::kTls);
    server.Finish();
    EXPECT_EQ(FailureKind::kHandshake, failure.kind);
    EXPECT_EQ("the server offers only TLS versions older than 1.2", failure.detail);
    EXPECT_EQ(std::string::npos, server.Received().find("USER"));
}

TEST(StlsScripted, AHandshakeThatNeverEndsIsBoundedByTheLimitAndByStop) {
    {
        qvtest::ScriptedServer silent;
        const auto start = Clock::now();
        EXPECT_EQ(FailureKind::kTimedOut, LoginWith(silent, ConnectionSecurity::kTls, 0, 300).kind);
        EXPECT_GE(MsSince(start), 300);
        EXPECT_LT(MsSince(start), 2500);
    }
    {
        qvtest::ScriptedServer silent;
        std::atomic<bool> stop{false};
        std::thread stopper([&stop] {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            stop = true;
        });
        const auto start = Clock::now();
        EXPECT_EQ(FailureKind::kStopped,
                  LoginWith(silent, ConnectionSecurity::kStartTls, 0, 30000, &stop).kind);
        stopper.join();
        EXPECT_LT(MsSince(start), 2000);
    }
}

// A peer that stops reading fills the socket's buffers; the send then waits in slices
// like a read, up to the silence limit or the stop flag.
TEST(SocketStreamSend, APeerThatStopsReadingBoundsTheSend) {
    const std::string huge(std::size_t{64} << 20, 'x');
    for (const bool byStop : {false, true}) {
        qvtest::ScriptedServer server;
        server.Pause(1500).CloseAfterScript();
        server.Start();
        SocketStream stream;
        ASSERT_EQ(1, stream.Create());
        ASSERT_EQ(1, stream.Connect("127.0.0.1", server.Port(), 2000));
        std::atomic<bool> stop{false};
        stream.SetWaitLimits(byStop ? 30000 : 300, &stop);
        std::thread stopper([&stop, byStop] {
            std::this_thread::sleep_for(std::chrono::milliseconds(byStop ? 300 : 0));
            stop = byStop;
        });
        const auto start = Clock::now();
        EXPECT_EQ(0, stream.Send(huge.data(), huge.size()));
        stopper.join();
        EXPECT_LT(MsSince(start), 2500);
        EXPECT_EQ(byStop ? FailureKind::kStopped : FailureKind::kTimedOut,
                  stream.LastFailure().kind);
        stream.Close();
    }
}

}  // namespace
