// Stopping the worker whatever it is doing, and the failure paths that only a
// scripted server can produce.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "recording_view.h"
#include "scan/header_scorer.h"
#include "scan/rule_compiler.h"
#include "scan/rule_loader.h"
#include "scan/scan_worker.h"
#include "store/account_file.h"
#include "store/rule_list_file.h"
#include "tests/support/scripted_server.h"
#include "tests/support/test_fixtures.h"
#include "worker_fixture.h"

namespace {

// Far below the 45 s read time-out and the 5 s wait; a stop that misses the pending
// read or connect takes one of those.
constexpr auto kPromptStop = 1500ms;

using Trace = std::vector<std::string>;

// One account on a scripted mailbox, checked by a worker that reports to a recording
// view. The account's rules, if any, are compiled into `state` before Run().
struct MailboxCheck {
    explicit MailboxCheck(const qvtest::ScriptedServer::Part& part) : server(part) {
        state.AppendAccount(qvtest::MakeAccount("user@127.0.0.1", "secret"));
    }
    void Run() { worker.RunPass(); }

    qvtest::ScriptedServer server;
    AppState state;
    RecordingView view;
    ScanWorker worker{state, view, FastSettings(server.Port())};
};

TEST(ScanWorkerStop, BetweenPassesEndsAtOnce) {
    AppState state;
    RecordingView view;
    ScanWorker worker(state, view);  // the program's 10 s tick
    worker.Start();
    std::this_thread::sleep_for(20ms);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(worker.Stop());
    EXPECT_LT(Since(start), kPromptStop);
    EXPECT_TRUE(worker.Stop()) << "a second stop finds the thread ended";
}

TEST(ScanWorkerStop, EndsAReadPendingOnASilentServer) {
    qvtest::ScriptedServer server(qvtest::ScriptedServer::Silent());
    AppState state;
    state.AppendAccount(qvtest::MakeAccount("user@127.0.0.1", "secret"));
    RecordingView view;
    ScanWorker worker(state, view, FastSettings(server.Port(), 45000));
    worker.Start();
    ASSERT_TRUE(server.WaitAccepted(1, 5s));
    std::this_thread::sleep_for(150ms);  // the greeting read is under way

    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(worker.Stop());
    EXPECT_LT(Since(start), kPromptStop);
    EXPECT_TRUE(server.WaitClosed(1, 2s)) << "the connection is closed, not leaked";
    EXPECT_EQ(view.Trace(), Trace{"started 1"}) << "no login, so no figures and no outcome";
}

// A worker let go at exit may still read the rules and accounts while the process
// ends. The exit handler stands in for it at the latest moment: it was registered
// before the state existed, so it runs after any destructor of the state would have.
// Under ASan a destroyed state fails the child.
TEST(ScanWorkerStopDeathTest, StateOutlivesAWorkerLetGoAtExit) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            std::atexit([] {
                AppState& state = ProcessAppState();
                AccountRecord account{};
                std::vector<std::string> from, subject;
                std::string block = "Subject: lottery\r\n";
                const bool read = state.CopyAccount(0, account) &&
                                  (state.CopyUnwanted(0, from, subject), from.size() == 1) &&
                                  ScoreHeader(*state.CurrentRules(), block).Unwanted();
                std::_Exit(read ? 0 : 1);
            });
            // Held by pointers the process keeps, so nothing here counts as a leak.
            static auto* server = new qvtest::ScriptedServer(qvtest::ScriptedServer::Silent());
            AppState& state = ProcessAppState();
            state.PublishRules(RuleTable::Build({}, {{"Subject:", "lottery", 100}}));
            state.AppendAccount(qvtest::MakeAccount("user@127.0.0.1", "secret"));
            state.RecordUnwanted(0, "From: a@example.org", "Subject: earlier");
            static RecordingView view;
            static auto* worker = new ScanWorker(state, view, FastSettings(server->Port(), 45000));
            worker->Start();
            server->WaitAccepted(1, 5s);
            worker->Stop(0ms);  // let go while the greeting read is under way
            std::exit(2);
        },
        testing::ExitedWithCode(0), "");
}

TEST(ScanWorkerStop, EndsAPendingConnect) {
    qvtest::LoopbackListener listener(0);
    listener.FillQueue();
    AppState state;
    state.AppendAccount(qvtest::MakeAccount("user@127.0.0.1", "secret"));
    RecordingView view;
    ScanWorker worker(state, view, FastSettings(listener.Port(), 45000));
    worker.Start();
    std::this_thread::sleep_for(300ms);  // several ticks: the connect is pending

    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(worker.Stop());
    EXPECT_LT(Since(start), kPromptStop);
    EXPECT_NE(state.accounts[0].lastCheck, 0u) << "the check had begun";
}

// The window cannot serve the worker's call while it waits in Stop(): the wait is
// bounded, the thread is let go, and it never reaches the window again.
TEST(ScanWorkerStop, ViewCallPendingAtStopDetachesAndIsTheLastCall) {
    qvtest::ScriptedServer server(
        qvtest::ScriptedServer::Mailbox({"Subject: one\r\n", "Subject: two\r\n"}));
    AppState state;
    state.AppendAccount(qvtest::MakeAccount("user@127.0.0.1", "secret"));
    RecordingView view;
    view.Hold("progress");  // the window is busy when the figures arrive
    auto worker = std::make_unique<ScanWorker>(state, view, FastSettings(server.Port()));
    worker->Start();
    ASSERT_TRUE(view.WaitHeld(5s));

    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(worker->Stop(200ms)) << "the thread is still inside the view";
    EXPECT_LT(Since(start), kPromptStop);
    AutoResetEvent& idle = worker->idleEvent();
    const Trace atStop = view.Trace();
    EXPECT_EQ(atStop, (Trace{"started 1", "progress 1 0 2"}));

    view.Release();
    ASSERT_TRUE(view.WaitLeft(2s));
    ASSERT_TRUE(idle.Wait(5s)) << "the check ends once the call returns";
    worker.reset();  // the detached thread keeps its own state alive
    EXPECT_TRUE(server.WaitClosed(1, 2s));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(view.Trace(), atStop) << "no call after Stop()";
    EXPECT_EQ(server.Commands(), (Trace{"CAPA", "USER user", "PASS secret", "STAT", "QUIT"}));
}

TEST(ScanWorkerScripted, StatFailureQuitsAndReportsOnlyTheFailure) {
    auto script = qvtest::ScriptedServer::Mailbox({"Subject: x\r\n"});
    script.failStat = true;
    MailboxCheck check(script);
    check.Run();
    EXPECT_EQ(check.view.Trace(), (Trace{"started 1", "ended 1 Server error: -ERR no STAT today"}));
    EXPECT_EQ(check.view.Report(1)->messages, -1) << "no count was read";
    EXPECT_EQ(check.server.Commands(), (Trace{"CAPA", "USER user", "PASS secret", "STAT", "QUIT"}));
}

TEST(ScanWorkerScripted, RefusedTopIsSkippedAndTheBarStillAdvances) {
    auto script = qvtest::ScriptedServer::Mailbox(
        {"Subject: one\r\n", "Subject: two\r\n", "From: c@example.org\r\nSubject: three\r\n"});
    script.failTop = {2};
    MailboxCheck check(script);
    // Every subject is unwanted.
    check.state.PublishRules(RuleTable::Build({}, {{"Subject:", ".", 10}}));
    check.Run();

    EXPECT_EQ(check.view.Trace(), (Trace{"started 1", "progress 1 0 3", "progress 1 1 3",
                                         "progress 1 2 3", "progress 1 3 3", "ended 1 OK"}));
    std::vector<std::string> from, subject;
    check.state.CopyUnwanted(0, from, subject);
    EXPECT_EQ(from, (Trace{"(no address)", "From: c@example.org"}));
    EXPECT_EQ(subject, (Trace{"Subject: one", "Subject: three"}));
    EXPECT_EQ(check.server.Commands().back(), "QUIT");
}

// A server without unique ids gets every header fetched at every check, and the list
// is the last check's result, not the two appended.
TEST(ScanWorkerScripted, WithoutUniqueIdsEveryCheckFetchesEveryHeader) {
    auto script = qvtest::ScriptedServer::Mailbox({"Subject: one\r\n", "Subject: two\r\n"});
    script.failUidl = true;
    MailboxCheck check(script);
    AppState& state = check.state;
    state.PublishRules(RuleTable::Build({}, {{"Subject:", ".", 10}}));
    const Trace once{"CAPA", "USER user", "PASS secret", "STAT", "LIST",
                     "UIDL", "TOP 1 0",   "TOP 2 0",     "QUIT"};
    Trace commands;
    for (int pass = 0; pass < 2; ++pass) {
        state.accounts[0].lastCheck = 0;
        check.Run();
        EXPECT_TRUE(check.server.WaitClosed(pass + 1, 2s));
        commands.insert(commands.end(), once.begin(), once.end());
        EXPECT_EQ(check.server.Commands(), commands);
        const std::vector<UnwantedMessage> unwanted = state.CopyUnwantedMessages(0);
        ASSERT_EQ(unwanted.size(), 2u);
        EXPECT_EQ(unwanted[1].subject, "Subject: two");
        EXPECT_EQ(unwanted[1].uidl, "");
    }
    EXPECT_EQ(state.kept.Bytes(), 0u);
}

// A listing that gives two messages one id would hand one the other's kept verdict: it
// counts as no listing, so the spam is flagged at every check and nothing is kept.
TEST(ScanWorkerScripted, RepeatedUniqueIdsCountAsNone) {
    auto script = qvtest::ScriptedServer::Mailbox({"Subject: ham\r\n", "Subject: spam\r\n"});
    script.repeatIds = true;
    MailboxCheck check(script);
    AppState& state = check.state;
    state.PublishRules(RuleTable::Build({}, {{"Subject:", "spam", 10}}));
    for (int pass = 0; pass < 2; ++pass) {
        state.accounts[0].lastCheck = 0;
        check.Run();
        EXPECT_TRUE(check.server.WaitClosed(pass + 1, 2s));
        const std::vector<UnwantedMessage> unwanted = state.CopyUnwantedMessages(0);
        ASSERT_EQ(unwanted.size(), 1u) << "pass " << pass;
        EXPECT_EQ(unwanted[0].number, 2);
        EXPECT_EQ(unwanted[0].uidl, "");
    }
    const Trace commands = check.server.Commands();
    EXPECT_EQ(std::count(commands.begin(), commands.end(), "TOP 1 0"), 2);
    EXPECT_EQ(state.kept.Bytes(), 0u);
}

// A STAT count near INT_MAX neither loops for ever nor wraps the bar's position: the
// messages fetched are the ones listed. A failed LIST ends the check at once.
TEST(ScanWorkerScripted, OnlyListedMessagesAreFetchedAndAFailedListEndsTheCheck) {
    auto script = qvtest::ScriptedServer::Mailbox({"Subject: one\r\n", "Subject: two\r\n"});
    script.statCount = 2147483647;
    for (const bool failList : {false, true}) {
        script.failList = failList;
        MailboxCheck check(script);
        check.Run();

        const std::string all = " 2147483647";
        Trace trace{"started 1", "progress 1 0" + all};
        Trace commands{"CAPA", "USER user", "PASS secret", "STAT", "LIST"};
        if (!failList) {
            trace.insert(trace.end(),
                         {"progress 1 1" + all, "progress 1 2" + all, "progress 1" + all + all});
            commands.insert(commands.end(), {"UIDL", "TOP 1 0", "TOP 2 0"});
        }
        trace.push_back(failList ? "ended 1 Server error: -ERR no listing today" : "ended 1 OK");
        commands.push_back("QUIT");
        EXPECT_EQ(check.view.Trace(), trace);
        EXPECT_TRUE(check.server.WaitClosed(1, 2s));
        EXPECT_EQ(check.server.Commands(), commands);
    }
}

// An account edit sets both flags; the rule reload clears only the reload flag, so
// Close still finds the edit unsaved and writes it.
TEST(ScanWorkerMends, AccountEditBeforeARuleReloadIsStillSaved) {
    AppState state;
    qvtest::TempDirectory directory;
    directory.UseFor(state);
    qvtest::FakePrompts prompts{"worker test passphrase"};
    ASSERT_EQ(LoadAccountFile(state, prompts), 1);
    ASSERT_TRUE(WriteRuleFile(state, RuleList::kBlock, {{"Subject:", "lottery", 50}}, prompts));
    state.AppendAccount(qvtest::MakeAccount("user@127.0.0.1", "secret"));
    state.modified = 1;
    state.accountsDirty = 1;

    RecordingView view;
    ScanWorker worker(state, view, FastSettings(qvtest::ClosedLoopbackPort()));
    worker.RunPass();
    EXPECT_EQ(state.CurrentRules()->size(), 1u) << "the reload ran";
    EXPECT_EQ(state.modified, 0);
    ASSERT_EQ(state.accountsDirty, 1) << "the account edit is still unsaved";

    ASSERT_TRUE(SaveAccountFile(state, prompts));
    AppState reopened;
    std::memcpy(reopened.dataDirectory, state.dataDirectory, kPathSize);
    ASSERT_EQ(LoadAccountFile(reopened, prompts), 1);
    EXPECT_EQ(reopened.AccountCount(), 1u);
    EXPECT_EQ(prompts.notices, std::vector<std::string>{});
}

}  // namespace
