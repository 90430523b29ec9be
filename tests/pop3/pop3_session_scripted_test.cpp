// The session against a scripted loopback peer, for what only a real connection shows:
// silence, a reply dribbled or cut off, a peer that goes away or pipelines. Replies
// that need no socket are played in memory (pop3_session_stream_test).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include <vector>

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
