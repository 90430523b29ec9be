// The worker against a real POP3 server: every kind of account in one pass, the
// period rules, rule reloads, and the thread with the pages working alongside.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "app/kept_file.h"
#include "pop3/pop3_session.h"
#include "recording_view.h"
#include "scan/fired_rules.h"
#include "scan/rule_loader.h"
#include "scan/rule_rebuilder.h"
#include "scan/scan_worker.h"
#include "store/account_file.h"
#include "store/rule_list_file.h"
#include "tests/support/dovecot_server.h"
#include "tests/support/latency_relay.h"
#include "tests/support/oauth_server.h"
#include "tests/support/scripted_server.h"
#include "tests/support/test_fixtures.h"
#include "worker_fixture.h"

namespace {

using Lines = std::vector<std::string>;

const std::string kWanted =
    "Received: from a.example by b.example\r\n"
    "From: Boss <boss@corp.example>\r\n"
    "To: alice@example.org\r\n"
    "Subject: Quarterly figures\r\n"
    "\r\n"
    "Numbers attached.\r\n";
const std::string kEncoded =
    "From: =?ISO-8859-1?Q?Gl=FCck?= <win@lottery.example>\r\n"
    "Subject: =?UTF-8?B?WW91IGhhdmUgd29uIQ==?=\r\n"
    "\r\n"
    "Claim now.\r\n";
const std::string kFolded =
    "From: someone@example.net\r\n"
    "Subject: Claim your\r\n"
    "\tLOTTERY prize\r\n"
    "\r\n"
    "Now.\r\n";
const std::string kManyReceived =
    "Received: from a.example\r\n"
    "Received: from mx.spamhost.example\r\n"
    "\tby c.example\r\n"
    "Received: from d.example\r\n"
    "From: x@example.com\r\n"
    "Subject: Meeting\r\n"
    "\r\n"
    "At ten.\r\n";
const std::string kNoFrom = "Subject: lottery results\r\n\r\nSee inside.\r\n";
const std::string kFriendWins =
    "From: boss@corp.example\r\nSubject: office lottery pool\r\n\r\nJoin!\r\n";
const std::string kNoSubject = "From: win@lottery.example\r\n\r\nHi.\r\n";
const std::string kBodyOnly(1023 - 2, 'x');  // with its CRLF, a mailbox of 1023 octets

// Two messages of 1024 octets together.
const Lines kCarolMail = {
    kEncoded, "Subject: pad\r\n\r\n" + std::string(1024 - kEncoded.size() - 18, 'y') + "\r\n"};

const Lines kAliceMail = {kWanted, kEncoded,    kFolded,   kManyReceived,
                          kNoFrom, kFriendWins, kNoSubject};
const Lines kAliceFrom = {
    "From: Gl\xC3\xBC"
    "ck <win@lottery.example>",
    "From: someone@example.net", "From: x@example.com", "(no address)",
    "From: win@lottery.example"};
const Lines kAliceSubject = {"Subject: You have won!", "Subject: Claim your\tLOTTERY prize",
                             "Subject: Meeting", "Subject: lottery results", "(no subject)"};

// One server for the whole suite: starting Dovecot takes a while.
class ScanWorkerDovecot : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        server_ = new qvtest::DovecotServer();
        oauth_ = new qvtest::OAuthServer();
        server_->AddUser("alice", "secret", kAliceMail);
        server_->AddUser("bob", "apop-secret", {kEncoded});
        server_->AddUser("carol", "pw", kCarolMail);
        server_->AddUser("dave", "pw", {});
        server_->AddUser("erin@example.test", "pw", {kBodyOnly + "\r\n"});
        server_->AddUser("127.0.0.1", "pw", {kNoFrom});
        server_->AddUser("frank", "unused", {kEncoded});
        started_ = oauth_->Start();
        if (started_) {
            server_->EnableOAuth(oauth_->IntrospectionUrl());
            started_ = server_->Start();
        }
    }
    static void TearDownTestSuite() {
        delete server_;
        server_ = nullptr;
        delete oauth_;
        oauth_ = nullptr;
    }

    void SetUp() override {
        ASSERT_TRUE(started_) << oauth_->Error() << server_->Error();
        directory_.UseFor(state_);
        for (const char* user :
             {"alice", "bob", "carol", "dave", "erin@example.test", "127.0.0.1"}) {
            before_[user] = server_->MailboxSnapshot(user);
        }
        ASSERT_EQ(LoadAccountFile(state_, prompts_), 1);
    }
    void TearDown() override {
        for (const auto& [user, snapshot] : before_) {
            EXPECT_EQ(server_->MailboxSnapshot(user), snapshot) << user << "'s mailbox changed";
        }
    }

    // The rule pages write their files; the worker reloads them when `modified` is set.
    void WriteRules(const std::vector<RuleEntry>& friends, const std::vector<RuleEntry>& block) {
        ASSERT_TRUE(WriteRuleFile(state_, RuleList::kFriends, friends, prompts_));
        ASSERT_TRUE(WriteRuleFile(state_, RuleList::kBlock, block, prompts_));
        state_.modified = 1;
    }
    void WriteStandardRules() {
        WriteRules({{"From:", R"(boss@corp\.example)", 100}},
                   {{"Subject:", "lottery", 50},
                    {"Received:", R"(spamhost\.example)", 30},
                    {"From:", R"(@lottery\.example)", 40},
                    {"Subject:", "won", 20}});
    }
    // Every account due again, then one pass.
    void CheckAgain(ScanWorker& worker) {
        {
            std::lock_guard lock(state_.mutex);
            for (std::uint32_t i = 0; i < state_.accountCount; ++i) {
                state_.accounts[i].lastCheck = 0;
            }
        }
        worker.RunPass();
    }
    // Dovecot logs each session's TOP commands as it ends ("Logged out top=7/1234, …").
    // Waits until `sessions` of `user`'s sessions have ended and sums their TOPs.
    static int LoggedTops(const std::string& user, int sessions) {
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        do {
            const std::string log = server_->Log();
            int ended = 0;
            int tops = 0;
            std::istringstream lines(log);
            for (std::string line; std::getline(lines, line);) {
                const std::size_t session = line.find("pop3(" + user + ")");
                const std::size_t count = line.find("Logged out top=", session);
                if (session != std::string::npos && count != std::string::npos) {
                    ++ended;
                    tops += std::stoi(line.substr(count + std::strlen("Logged out top=")));
                }
            }
            if (ended >= sessions) {
                return tops;
            }
            std::this_thread::sleep_for(20ms);
        } while (std::chrono::steady_clock::now() < deadline);
        return -1;
    }
    ScanWorker MakeWorker() { return ScanWorker(state_, view_, FastSettings(server_->Port())); }
    Lines UnwantedFrom(std::uint32_t index) const {
        Lines from, subject;
        state_.CopyUnwanted(index, from, subject);
        return from;
    }
    Lines UnwantedSubject(std::uint32_t index) const {
        Lines from, subject;
        state_.CopyUnwanted(index, from, subject);
        return subject;
    }

    // A scanning check: the count, one step per message fetched, the outcome.
    static Lines Scanned(AccountId id, int count) {
        const std::string account = std::to_string(id);
        const std::string total = " " + std::to_string(count);
        Lines trace{"started " + account};
        for (int n = 0; n <= count; ++n) {
            trace.push_back("progress " + account + " " + std::to_string(n) + total);
        }
        trace.push_back("ended " + account + " OK");
        return trace;
    }
    // A check that only counts: the count, then done at once.
    static Lines Counted(AccountId id, int count) {
        const std::string account = std::to_string(id);
        const std::string total = " " + std::to_string(count);
        Lines trace{"started " + account, "progress " + account + " 0" + total};
        if (count > 0) {
            trace.push_back("progress " + account + total + total);
        }
        trace.push_back("ended " + account + " OK");
        return trace;
    }
    std::string SizeOf(AccountId id) const {
        const std::optional<CheckReport> report = view_.Report(id);
        return report ? std::to_string(report->size / 1024) + " KB" : "no report";
    }

    static qvtest::DovecotServer* server_;
    static qvtest::OAuthServer* oauth_;
    static bool started_;
    AppState state_;
    qvtest::TempDirectory directory_;
    qvtest::FakePrompts prompts_{"worker test passphrase"};
    RecordingView view_;
    std::map<std::string, qvtest::DovecotServer::Snapshot> before_;
};

qvtest::DovecotServer* ScanWorkerDovecot::server_ = nullptr;
qvtest::OAuthServer* ScanWorkerDovecot::oauth_ = nullptr;
bool ScanWorkerDovecot::started_ = false;

std::string KBOf(const Lines& messages) {
    std::size_t total = 0;
    for (const std::string& message : messages) {
        total += message.size();
    }
    return std::to_string(total / 1024) + " KB";
}

TEST_F(ScanWorkerDovecot, OnePassOverEveryKindOfAccount) {
    WriteStandardRules();
    state_.AppendAccount(qvtest::MakeAccount("alice@127.0.0.1", "secret"));
    state_.AppendAccount(qvtest::MakeAccount("bob@127.0.0.1", "apop-secret", {.authMethod = 1}));
    state_.AppendAccount(qvtest::MakeAccount("carol@127.0.0.1", "pw", {.scanMessages = 0}));
    state_.AppendAccount(qvtest::MakeAccount("dave@127.0.0.1", "pw"));
    // Two at signs: the login is a whole e-mail address, the host follows the last. A
    // scan flag other than 1 only counts.
    state_.AppendAccount(
        qvtest::MakeAccount("erin@example.test@127.0.0.1", "pw", {.scanMessages = 2}));
    state_.AppendAccount(qvtest::MakeAccount("127.0.0.1", "pw"));  // no at sign: user and host
    state_.AppendAccount(qvtest::MakeAccount("alice@127.0.0.1", "wrong"));
    state_.AppendAccount(qvtest::MakeAccount("bob@127.0.0.1", "wrong", {.authMethod = 1}));
    state_.AppendAccount(qvtest::MakeAccount("alice@127.0.0.2", "secret"));  // nobody listens there
    const auto start = static_cast<std::uint32_t>(std::time(nullptr));

    ScanWorker worker = MakeWorker();
    worker.RunPass();

    EXPECT_EQ(state_.modified, 0) << "the rules were reloaded";
    EXPECT_EQ(state_.CurrentRules()->size(), 5u);
    // Accounts are checked four at once: each account's calls keep their order.
    EXPECT_EQ(view_.Trace(1), Scanned(1, 7));
    EXPECT_EQ(view_.Trace(2), Scanned(2, 1));
    EXPECT_EQ(view_.Trace(3), Counted(3, 2));
    EXPECT_EQ(view_.Trace(4), Scanned(4, 0));
    EXPECT_EQ(view_.Trace(5), Counted(5, 1));
    EXPECT_EQ(view_.Trace(6), Scanned(6, 1));
    const std::string sizes[] = {KBOf(kAliceMail), "0 KB", "1 KB", "0 KB", "0 KB", "0 KB"};
    for (AccountId id = 1; id <= 6; ++id) {
        EXPECT_EQ(SizeOf(id), sizes[id - 1]) << "account " << id;
    }
    // Failed logins only say why.
    const std::string refused = "The server refused the login: [AUTH] Authentication failed.";
    EXPECT_EQ(view_.Trace(7), (Lines{"started 7", "ended 7 " + refused}));
    EXPECT_EQ(view_.Trace(8), (Lines{"started 8", "ended 8 " + refused}));
    EXPECT_EQ(view_.Trace(9), (Lines{"started 9", "ended 9 The connection was refused"}));
    EXPECT_EQ(view_.Size(), 35u) << "nothing else";

    EXPECT_EQ(UnwantedFrom(0), kAliceFrom);
    EXPECT_EQ(UnwantedSubject(0), kAliceSubject);
    EXPECT_EQ(UnwantedSubject(1), Lines{"Subject: You have won!"}) << "APOP";
    EXPECT_TRUE(UnwantedFrom(2).empty()) << "scanning off";
    EXPECT_EQ(UnwantedFrom(5), Lines{"(no address)"}) << "address without an at sign";
    for (std::uint32_t i = 0; i < state_.AccountCount(); ++i) {
        EXPECT_GE(state_.accounts[i].lastCheck, start) << "account " << i;
    }
    for (std::uint32_t i = 6; i < 9; ++i) {
        EXPECT_TRUE(UnwantedFrom(i).empty());
    }
}

TEST_F(ScanWorkerDovecot, PeriodRules) {
    // A pass begins within a second of `now`, so the margins here are whole seconds.
    const auto now = static_cast<std::uint32_t>(std::time(nullptr));
    struct Case {
        int periodMinutes;
        std::uint32_t lastCheck;
        bool due;
    };
    const std::vector<Case> cases = {
        {0, now - 2, true},     // a period of 0: every tick, a second after the last
        {0, now + 5, true},     // a check in the future: the clock was set back
        {5, now - 250, false},  // not yet due
        {5, now - 400, true},   // due
        {5, 0, true},           // never checked
        {10000, now - 60, false},
    };
    for (const Case& c : cases) {
        AccountRecord account = qvtest::MakeAccount(
            "carol@127.0.0.1", "pw", {.scanMessages = 0, .periodMinutes = c.periodMinutes});
        account.lastCheck = c.lastCheck;
        state_.AppendAccount(account);
    }
    ScanWorker worker = MakeWorker();
    worker.RunPass();
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const bool checked = view_.Report(static_cast<AccountId>(i + 1)).has_value();
        EXPECT_EQ(checked, cases[i].due) << "case " << i;
        if (!cases[i].due) {
            EXPECT_EQ(state_.accounts[i].lastCheck, cases[i].lastCheck) << "case " << i;
        }
    }
}

// Strictly greater: a period of 5 minutes is due after 301 seconds, not after 300.
TEST_F(ScanWorkerDovecot, PeriodBoundaryIsStrict) {
    for (int attempt = 0; attempt < 5; ++attempt) {
        AppState state;
        RecordingView view;
        const auto now = static_cast<std::uint32_t>(std::time(nullptr));
        for (std::uint32_t elapsed : {300u, 301u}) {
            AccountRecord account =
                qvtest::MakeAccount("carol@127.0.0.1", "pw", {.scanMessages = 0});
            account.lastCheck = now - elapsed;
            state.AppendAccount(account);
        }
        ScanWorker worker(state, view, FastSettings(server_->Port()));
        worker.RunPass();
        if (static_cast<std::uint32_t>(std::time(nullptr)) != now) {
            continue;  // the second turned during the pass: try again
        }
        EXPECT_FALSE(view.Report(1).has_value());
        ASSERT_TRUE(view.Report(2).has_value());
        EXPECT_EQ(view.Report(2)->messages, 2);
        return;
    }
    FAIL() << "no pass fitted within one second";
}

// A rule change waits for the next due account; an account already checked is not
// checked again within its period.
TEST_F(ScanWorkerDovecot, RuleChangeReachesTheNextDueAccount) {
    WriteRules({}, {{"Subject:", "results", 10}});
    state_.AppendAccount(qvtest::MakeAccount("alice@127.0.0.1", "secret"));
    ScanWorker worker = MakeWorker();
    worker.RunPass();
    EXPECT_EQ(UnwantedSubject(0), Lines{"Subject: lottery results"});

    WriteRules({}, {{"Subject:", "Meeting", 10}});
    worker.RunPass();  // nothing due: nothing reloaded, nothing recorded
    EXPECT_EQ(state_.modified, 1);
    EXPECT_EQ(UnwantedSubject(0).size(), 1u);

    state_.AppendAccount(qvtest::MakeAccount("alice@127.0.0.1", "secret"));
    worker.RunPass();
    EXPECT_EQ(state_.modified, 0);
    EXPECT_EQ(UnwantedSubject(1), Lines{"Subject: Meeting"});
    EXPECT_EQ(UnwantedSubject(0).size(), 1u) << "the first account was not due again";
}

// A rule edit while a check runs is built aside: the check keeps the table it took and
// judges the rest of its messages by the old rules, and the next check scores with the
// table built aside, with nothing left to build on its own thread.
TEST_F(ScanWorkerDovecot, RuleEditDuringACheckIsBuiltAside) {
    WriteRules({}, {{"Subject:", "results", 10}});
    LoadRuleLists(state_);
    const std::shared_ptr<const RuleTable> old = state_.CurrentRules();
    state_.AppendAccount(qvtest::MakeAccount("alice@127.0.0.1", "secret"));
    ScanWorker worker = MakeWorker();
    RuleRebuilder rebuilder(state_);
    view_.Hold("progress 1 1 ");  // the first of seven messages judged
    std::thread check([&] { worker.RunPass(); });
    const bool held = view_.WaitHeld(10s);

    WriteRules({}, {{"Subject:", "Meeting", 10}});
    rebuilder.Request();
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (state_.CurrentRules() == old && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(5ms);
    }
    const std::shared_ptr<const RuleTable> built = state_.CurrentRules();
    view_.Release();
    check.join();
    ASSERT_TRUE(held);
    EXPECT_NE(built.get(), old.get()) << "built while the check was held";
    EXPECT_EQ(state_.modified, 0);
    // "Meeting" (message 4) and "lottery results" (message 5) were judged after the edit.
    EXPECT_EQ(UnwantedSubject(0), Lines{"Subject: lottery results"});

    CheckAgain(worker);
    EXPECT_EQ(state_.CurrentRules().get(), built.get()) << "no table built by the check";
    EXPECT_EQ(UnwantedSubject(0), Lines{"Subject: Meeting"});
}

// Only headers not seen before are fetched, and after each check the list holds the
// unwanted messages waiting then, each once: through repeated checks, a delivery, a
// removal, a rule edit (judged again from the kept blocks) and a tight memory bound.
TEST_F(ScanWorkerDovecot, ChecksFetchOnlyNewHeadersAndListWhatWaits) {
    server_->AddUser("gina", "pw", kAliceMail);
    WriteStandardRules();
    state_.AppendAccount(qvtest::MakeAccount("gina@127.0.0.1", "pw"));
    ScanWorker worker = MakeWorker();
    int sessions = 0;
    int topsSoFar = 0;
    auto checkTops = [&] {
        CheckAgain(worker);
        const int tops = LoggedTops("gina", ++sessions);
        const int fresh = tops - topsSoFar;
        topsSoFar = tops;
        return fresh;
    };
    for (int check = 0; check < 3; ++check) {
        EXPECT_EQ(checkTops(), check == 0 ? 7 : 0) << "check " << check;
        EXPECT_EQ(UnwantedFrom(0), kAliceFrom) << "check " << check;
    }
    // The rules behind a score add up to it, also where a score of 100 ends the sum.
    bool endedEarly = false;
    for (const KeptMessage& kept : state_.kept.Snapshot()) {
        int sum = 0;
        for (const FiredRule& rule : FiredRulesOf(*state_.CurrentRules(), kept.firedRules)) {
            sum += rule.list == RuleList::kBlock ? -rule.weight : rule.weight;
        }
        EXPECT_EQ(sum, kept.score) << kept.headerBlock;
        endedEarly = endedEarly || (kept.score == 100 && kept.firedRules.size() == 1);
    }
    EXPECT_TRUE(endedEarly) << "the friend's lottery pool stops at 100";

    server_->AddUser("gina", "pw",
                     {"From: prizes@lottery.example\r\nSubject: Second chance\r\n"
                      "Date: Tue, 8 Dec 2026 09:00:00 +0000\r\n\r\nAgain.\r\n"});
    EXPECT_EQ(checkTops(), 1) << "only the delivered message";
    Lines from = kAliceFrom;
    from.push_back("From: prizes@lottery.example");
    EXPECT_EQ(UnwantedFrom(0), from);
    const UnwantedMessage delivered = state_.CopyUnwantedMessages(0).back();
    EXPECT_EQ(delivered.number, 8);
    EXPECT_FALSE(delivered.uidl.empty());
    EXPECT_EQ(delivered.date, "Tue, 8 Dec 2026 09:00:00 +0000");
    EXPECT_EQ(delivered.score, -40);
    ASSERT_EQ(delivered.rules.size(), 1u);
    EXPECT_EQ(delivered.rules[0].list, RuleList::kBlock);
    EXPECT_EQ(delivered.rules[0].header, "From:");
    EXPECT_EQ(delivered.rules[0].contains, R"(@lottery\.example)");
    EXPECT_EQ(delivered.rules[0].weight, 40);
    EXPECT_TRUE(delivered.headerBlock.starts_with("From: prizes@lottery.example\r\n"));

    // The mail program downloads message 3: it leaves the list, the later ones move up.
    const qvtest::DovecotServer::Snapshot files = server_->MailboxSnapshot("gina");
    const auto third = std::next(files.begin(), 2);
    ASSERT_TRUE(
        std::filesystem::remove(server_->Directory() + "/mail/gina/Maildir/" + third->first));
    EXPECT_EQ(checkTops(), 0);
    from.erase(from.begin() + 1);
    EXPECT_EQ(UnwantedFrom(0), from);
    std::vector<int> numbers;
    for (const UnwantedMessage& message : state_.CopyUnwantedMessages(0)) {
        numbers.push_back(message.number);
    }
    EXPECT_EQ(numbers, (std::vector<int>{2, 3, 4, 6, 7}));

    WriteRules({}, {{"Subject:", "Meeting", 10}});
    EXPECT_EQ(checkTops(), 0) << "judged again from the kept headers";
    EXPECT_EQ(UnwantedSubject(0), Lines{"Subject: Meeting"});
    const std::vector<UnwantedMessage> meeting = state_.CopyUnwantedMessages(0);
    ASSERT_EQ(meeting[0].rules.size(), 1u);
    EXPECT_EQ(meeting[0].rules[0].contains, "Meeting");
    EXPECT_EQ(meeting[0].score, -10);

    // Past the bound the least recently used block goes, and is fetched when needed.
    const std::size_t bound = state_.kept.Bytes() - 1;
    state_.kept.SetByteLimit(bound);
    EXPECT_EQ(checkTops(), 1);
    EXPECT_LE(state_.kept.Bytes(), bound);
    EXPECT_EQ(UnwantedSubject(0), Lines{"Subject: Meeting"});

    // Another server may give the same unique ids to other messages: an account moved
    // to another port starts afresh.
    AccountRecord moved = qvtest::MakeAccount("gina@127.0.0.1", "pw");
    moved.port = 1110;
    state_.ReplaceAccount(0, moved);
    EXPECT_EQ(checkTops(), 7);
}

// What was seen survives a restart: an unchanged mailbox sends no TOP, even with the
// account moved down the table. A damaged, truncated or foreign file (a changed
// passphrase) only costs one fetch of everything and is written anew; a file larger
// than the bound loads within it.
TEST_F(ScanWorkerDovecot, WhatWasSeenSurvivesARestart) {
    server_->AddUser("hana", "pw", kAliceMail);
    server_->AddUser("ivy", "pw", {});
    WriteStandardRules();
    int sessions = 0;
    int topsSoFar = 0;
    std::size_t keptBytes = 0;
    // One run of the program: fresh state, the kept file read, one check, exit.
    auto run = [&](const char* passphrase, std::size_t bound = KeptHeaders::kDefaultByteLimit) {
        auto state = std::make_unique<AppState>();
        directory_.UseFor(*state);
        SetAccountText(state->passphrase, passphrase);
        state->AppendAccount(qvtest::MakeAccount("ivy@127.0.0.1", "pw"));
        state->AppendAccount(qvtest::MakeAccount("hana@127.0.0.1", "pw"));
        LoadRuleLists(*state);
        state->kept.SetByteLimit(bound);
        const std::size_t loaded = KeptFile::Load(*state);
        EXPECT_LE(state->kept.Bytes(), bound);
        ScanWorkerSettings settings = FastSettings(server_->Port());
        settings.afterPass = [&s = *state] { EXPECT_TRUE(KeptFile::SaveIfChanged(s)); };
        ScanWorker(*state, view_, settings).RunPass();
        keptBytes = state->kept.Bytes();
        const int tops = LoggedTops("hana", ++sessions);
        const int fresh = tops - topsSoFar;
        topsSoFar = tops;
        Lines from, subject;
        state->CopyUnwanted(1, from, subject);
        if (std::strcmp(passphrase, state_.passphrase) == 0) {  // else no rule opens
            EXPECT_EQ(from, kAliceFrom) << "run " << sessions;
        }
        return std::make_pair(loaded, fresh);
    };
    const char* const passphrase = state_.passphrase;
    EXPECT_EQ(run(passphrase), std::make_pair(std::size_t{0}, 7));
    EXPECT_EQ(run(passphrase), std::make_pair(std::size_t{7}, 0));

    const std::string path = KeptFile::PathIn(state_);
    auto damage = [&](auto change) {
        std::string bytes;
        {
            std::ifstream in(path, std::ios::binary);
            bytes.assign(std::istreambuf_iterator<char>(in), {});
        }
        change(bytes);
        std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
    };
    damage([](std::string& bytes) { bytes[bytes.size() / 2] ^= 0x20; });
    EXPECT_EQ(run(passphrase), std::make_pair(std::size_t{0}, 7)) << "damaged";
    damage([](std::string& bytes) { bytes.resize(bytes.size() - 20); });
    EXPECT_EQ(run(passphrase), std::make_pair(std::size_t{0}, 7)) << "truncated";
    EXPECT_EQ(run("another passphrase"), std::make_pair(std::size_t{0}, 7)) << "foreign";
    EXPECT_EQ(run("another passphrase"), std::make_pair(std::size_t{7}, 0)) << "rebuilt";
    // One byte short of the seven blocks: the one used least recently is fetched again.
    EXPECT_EQ(run("another passphrase", keptBytes - 1), std::make_pair(std::size_t{7}, 1));
}

// The most checks under way at one moment in a trace, and whether two of `same` ever
// ran together.
std::pair<int, bool> MostAtOnce(const Lines& trace, const std::set<std::string>& same) {
    std::set<std::string> running;
    std::size_t most = 0;
    bool together = false;
    for (const std::string& line : trace) {
        const std::size_t space = line.find(' ');
        const std::string id = line.substr(space + 1, line.find(' ', space + 1) - space - 1);
        if (line.starts_with("started ")) {
            running.insert(id);
        } else if (line.starts_with("ended ")) {
            running.erase(id);
        }
        most = std::max(most, running.size());
        together = together || std::count_if(running.begin(), running.end(),
                                             [&](auto& r) { return same.count(r) != 0; }) > 1;
    }
    return {static_cast<int>(most), together};
}

// Accounts are checked at once up to the chosen number, each reporting on its own,
// never two on one mailbox. Every server is behind a relay that adds 50 ms to each
// round trip, so checks overlap wherever they may.
TEST_F(ScanWorkerDovecot, AccountsAreCheckedInParallelNeverTwoOnOneMailbox) {
    WriteStandardRules();
    std::vector<std::unique_ptr<qvtest::LatencyRelay>> relays;
    for (int i = 0; i < 5; ++i) {
        relays.push_back(std::make_unique<qvtest::LatencyRelay>(server_->Port(), 50ms));
    }
    const auto behind = [&](std::size_t relay, const std::string& address, const char* password,
                            int authMethod = 0) {
        AccountRecord account = qvtest::MakeAccount(address, password, {.authMethod = authMethod});
        account.port = relays[relay]->Port();
        return account;
    };
    state_.AppendAccount(behind(0, "alice@127.0.0.1", "secret"));
    state_.AppendAccount(behind(1, "bob@127.0.0.1", "apop-secret", 1));
    state_.AppendAccount(behind(2, "carol@127.0.0.1", "pw"));
    state_.AppendAccount(behind(3, "dave@127.0.0.1", "pw"));
    state_.AppendAccount(behind(4, "127.0.0.1", "pw"));
    state_.AppendAccount(behind(0, "alice@127.0.0.1", "secret"));  // alice's mailbox again
    ScanWorkerSettings settings = FastSettings(0);
    for (const int parallel : {4, 1}) {
        settings.parallelChecks = parallel;
        RecordingView view;
        ScanWorker worker(state_, view, settings);
        CheckAgain(worker);
        const auto [most, together] = MostAtOnce(view.Trace(), {"1", "6"});
        EXPECT_EQ(most, parallel);
        EXPECT_FALSE(together) << "alice's mailbox had two sessions at once";
        // The second time round the headers are known: nothing is fetched.
        const auto trace = parallel == 4 ? Scanned : Counted;
        EXPECT_EQ(view.Trace(1), trace(1, 7));
        EXPECT_EQ(view.Trace(3), trace(3, 2));
        EXPECT_EQ(view.Trace(6), trace(6, 7));
        EXPECT_EQ(UnwantedFrom(0), kAliceFrom);
        EXPECT_EQ(UnwantedFrom(5), kAliceFrom);
        EXPECT_EQ(UnwantedSubject(1), Lines{"Subject: You have won!"});
    }
}

// Removing an account ends its own check only: another account's check under way
// goes on, and its list lands on its row, now one higher.
TEST_F(ScanWorkerDovecot, RemovingAnAccountEndsOnlyItsOwnCheck) {
    server_->AddUser("kim", "pw", kAliceMail);
    WriteStandardRules();
    state_.AppendAccount(qvtest::MakeAccount("alice@127.0.0.1", "secret"));
    state_.AppendAccount(qvtest::MakeAccount("kim@127.0.0.1", "pw"));
    view_.Hold("progress 1 3 ");  // alice's check, midway
    ScanWorker worker = MakeWorker();
    std::thread pass([&] { worker.RunPass(); });
    const bool held = view_.WaitHeld(10s);
    EXPECT_TRUE(held);
    ASSERT_TRUE(state_.RemoveAccount(0));
    view_.Release();
    pass.join();
    ASSERT_TRUE(held);

    const Lines alice = view_.Trace(1);
    EXPECT_EQ(alice.back(), "progress 1 3 7") << "alice's check ended, unreported";
    EXPECT_EQ(view_.Trace(2), Scanned(2, 7)) << "kim's went on";
    EXPECT_EQ(UnwantedFrom(0), kAliceFrom) << "kim's list, on kim's row";
    EXPECT_TRUE(UnwantedFrom(1).empty());
    for (const KeptMessage& kept : state_.kept.Snapshot()) {
        EXPECT_EQ(kept.account, 2u) << "nothing kept for the removed account";
    }
}

// A mailbox another session holds is tried again at the next period, and says so.
// Dovecot waits about ten seconds for the lock before it answers.
TEST(ScanWorkerLockedMailbox, InUseIsTriedAgainAtTheNextPeriod) {
    qvtest::DovecotServer server;
    server.AddUser("lee", "pw", {kWanted});
    server.LockSessions();
    ASSERT_TRUE(server.Start()) << server.Error();
    AppState state;
    state.AppendAccount(qvtest::MakeAccount("lee@127.0.0.1", "pw"));
    RecordingView view;
    ScanWorker worker(state, view, FastSettings(server.Port(), 30000));
    {
        Pop3Session holder;
        holder.m_nTimeout = 5000;
        ASSERT_EQ(holder.Login("127.0.0.1", "lee", "pw", server.Port()), 1);
        int count = 0;
        int size = 0;
        ASSERT_EQ(holder.Stat(count, size), 1);
        worker.RunPass();
        ASSERT_TRUE(view.Report(1).has_value());
        EXPECT_EQ(view.Report(1)->failure.kind, FailureKind::kInUse);
        EXPECT_TRUE(
            view.Status(1).starts_with("The mailbox is in use; tried again at the next "
                                       "check"))
            << view.Status(1);
        worker.RunPass();
        EXPECT_EQ(view.Trace(1).size(), 2u) << "not again before the period";
        holder.Quit();
    }
    state.accounts[0].lastCheck = 0;  // the next period
    worker.RunPass();
    EXPECT_EQ(view.Status(1), "OK");
}

// Tokens from the test authorization server, as the program's source keeps them: the
// same access token until a renewal spends the refresh token for a new pair.
class ServerTokens : public AccessTokenSource {
  public:
    ServerTokens(qvtest::OAuthServer& server, qvtest::OAuthServer::Tokens tokens)
        : server_(server), tokens_(std::move(tokens)) {}
    std::optional<std::string> AccessToken(const AccountRecord&, bool renew,
                                           Failure& why) override {
        renewals.push_back(renew);
        if (renew) {
            tokens_ = server_.Refresh(tokens_.refresh);
        }
        if (tokens_.access.empty()) {
            why = Failure{FailureKind::kSignInAgain, "the refresh token was refused", {}};
            return std::nullopt;
        }
        return tokens_.access;
    }
    std::vector<bool> renewals;  // one entry per call: whether it asked to renew

  private:
    qvtest::OAuthServer& server_;
    qvtest::OAuthServer::Tokens tokens_;
};

// An OAuth2 account asks its source for a token; a refused one is renewed once and
// tried on a new connection, a server fault keeps it, and two refusals, like no
// source at all, ask the user to sign in again.
TEST_F(ScanWorkerDovecot, TokenAccountsRenewARefusedTokenOnce) {
    WriteStandardRules();
    state_.AppendAccount(qvtest::MakeAccount("frank@127.0.0.1", "", {.authMethod = 2}));
    const auto check = [&](const std::shared_ptr<ServerTokens>& tokens) {
        ScanWorker worker = MakeWorker();
        if (tokens) {
            worker.SetAccessTokens(tokens);
        }
        CheckAgain(worker);
        return view_.Status(1);
    };
    EXPECT_EQ(check(nullptr), "Sign in again: no sign-in yet");

    ASSERT_TRUE(oauth_->Control(R"({"introspection_down": true})"));
    auto kept = std::make_shared<ServerTokens>(*oauth_, oauth_->Issue("frank"));
    const std::string fault = check(kept);
    ASSERT_TRUE(oauth_->Control(R"({"introspection_down": false})"));
    EXPECT_TRUE(fault.starts_with("The server had a temporary failure: Temporary")) << fault;
    EXPECT_EQ(kept->renewals, std::vector<bool>{false});

    // The access token expires before the check; the refresh token is still good.
    ASSERT_TRUE(oauth_->Control(R"({"access_lifetime": 1})"));
    auto expired = std::make_shared<ServerTokens>(*oauth_, oauth_->Issue("frank"));
    ASSERT_TRUE(oauth_->Control(R"({"access_lifetime": 3600})"));
    std::this_thread::sleep_for(1200ms);
    EXPECT_EQ(check(expired), "OK");
    EXPECT_EQ(expired->renewals, (std::vector<bool>{false, true}));
    EXPECT_EQ(UnwantedSubject(0), Lines{"Subject: You have won!"});

    auto stranger = std::make_shared<ServerTokens>(*oauth_, oauth_->Issue("bob"));
    EXPECT_EQ(check(stranger), "Sign in again: [AUTH] Authentication failed.");
    EXPECT_EQ(stranger->renewals, (std::vector<bool>{false, true}));
}

// The thread polls on its own while the pages add and edit accounts, rewrite rules
// and read the unwanted lists, as the window's thread does.
TEST_F(ScanWorkerDovecot, ThreadRunsAlongsideThePages) {
    WriteStandardRules();
    state_.AppendAccount(qvtest::MakeAccount("alice@127.0.0.1", "secret", {.periodMinutes = 0}));
    ScanWorker worker = MakeWorker();
    worker.Start();
    Lines from, subject;
    for (int i = 0; i < 20; ++i) {
        state_.AppendAccount(qvtest::MakeAccount("bob@127.0.0.1", "apop-secret",
                                                 {.authMethod = 1, .periodMinutes = 0}));
        state_.ReplaceAccount(
            0, qvtest::MakeAccount("alice@127.0.0.1", "secret", {.periodMinutes = 0}));
        state_.modified = 1;
        state_.accountsDirty = 1;
        state_.CopyUnwanted(0, from, subject);
        std::this_thread::sleep_for(20ms);
    }
    // Period 0: alice is checked at every tick once a second has passed.
    auto aliceChecks = [this] {
        const Lines trace = view_.Trace();
        return std::count(trace.begin(), trace.end(), "ended 1 OK");
    };
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (std::chrono::steady_clock::now() < deadline &&
           (UnwantedFrom(20).empty() || aliceChecks() < 2)) {
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_TRUE(worker.Stop());

    EXPECT_EQ(UnwantedFrom(20), (Lines{"From: Gl\xC3\xBC"
                                       "ck <win@lottery.example>"}))
        << "an account added while the thread runs is checked";
    EXPECT_GE(aliceChecks(), 2);
    EXPECT_EQ(UnwantedFrom(0), kAliceFrom) << "each message once, however many checks";
    EXPECT_EQ(state_.accountsDirty, 1);
}

}  // namespace
