// Deleting from a real mailbox: what leaves the server, what the quarantine holds, and
// every way a session ends without deleting anything.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <thread>

#include "pop3/pop3_session.h"
#include "pop3/scripted_stream.h"
#include "recording_view.h"
#include "scan/deletion_session.h"
#include "scan/quarantine.h"
#include "scan/scan_worker.h"
#include "store/account_file.h"
#include "store/account_record.h"
#include "store/rule_list_file.h"
#include "tests/support/dovecot_server.h"
#include "tests/support/loopback.h"
#include "tests/support/scripted_server.h"
#include "tests/support/test_fixtures.h"
#include "worker_fixture.h"

namespace {

constexpr std::time_t kNow = 1'700'000'000;

std::string Mail(int n) {
    return "From: sender" + std::to_string(n) + "@spam.example\r\nSubject: offer " +
           std::to_string(n) + "\r\n.X-Dotted: header\r\n\r\nbody " + std::to_string(n) +
           "\r\n.hidden line\r\n..two dots\r\n";
}

std::multiset<std::string> Contents(const qvtest::DovecotServer::Snapshot& snapshot) {
    std::multiset<std::string> contents;
    for (const auto& [path, bytes] : snapshot) {
        contents.insert(bytes);
    }
    return contents;
}

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Forwards one connection to `target` and hangs up both ends when the client sends
// QUIT, which never reaches the server.
class QuitCutter {
  public:
    explicit QuitCutter(int target) : target_(target) {
        thread_ = std::thread([this] { Relay(); });
    }
    ~QuitCutter() { thread_.join(); }
    int Port() const { return listener_.Port(); }

  private:
    void Relay() {
        const int client = ::accept(listener_.Fd(), nullptr, nullptr);
        const int server = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(target_));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (client < 0 ||
            ::connect(server, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            return;
        }
        pollfd fds[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
        char buffer[65536];
        while (::poll(fds, 2, 10000) > 0) {
            const bool fromClient = (fds[0].revents & (POLLIN | POLLHUP)) != 0;
            const int from = fromClient ? client : server;
            const ssize_t got = ::recv(from, buffer, sizeof buffer, 0);
            if (got <= 0 || (fromClient && std::string(buffer, got).find("QUIT") == 0)) {
                break;
            }
            (void)::send(fromClient ? server : client, buffer, static_cast<std::size_t>(got),
                         MSG_NOSIGNAL);
        }
        ::close(client);
        ::close(server);
    }

    qvtest::LoopbackListener listener_;
    int target_;
    std::thread thread_;
};

class DeletionDovecot : public ::testing::Test {
  protected:
    void SetUp() override {
        std::vector<std::string> mails;
        for (int n = 1; n <= 5; ++n) {
            mails.push_back(Mail(n));
        }
        server_.AddUser("alice", "pw", mails);
        ASSERT_TRUE(server_.Start()) << server_.Error();
    }

    void LogIn(Pop3Session& session, int port = 0) {
        session.m_nTimeout = 3000;
        ASSERT_EQ(1, session.Login("127.0.0.1", "alice", "pw", port ? port : server_.Port()));
    }

    // The messages at `numbers` as a check would list them unwanted.
    std::vector<UnwantedMessage> Judged(const std::vector<int>& numbers) {
        Pop3Session session;
        LogIn(session);
        std::vector<std::string> ids;
        EXPECT_EQ(1, session.UniqueIds(ids));
        std::vector<UnwantedMessage> chosen;
        EXPECT_EQ(1, session.TopEach(numbers, [&](int number, MessageHeader& header) {
            UnwantedMessage message;
            message.number = number;
            message.uidl = ids[number - 1];
            message.score = -50 - number;
            message.headerBlock = *header.headerText;
            chosen.push_back(message);
            return true;
        }));
        return chosen;
    }

    DeletionReport Delete(const std::vector<UnwantedMessage>& chosen, int port = 0) {
        Pop3Session session;
        LogIn(session, port);
        Quarantine quarantine(dir_.Path(), "alice@127.0.0.1");
        return DeletionSession(session, quarantine).Run(chosen, kNow);
    }

    std::vector<QuarantinedMessage> Kept() const {
        return Quarantine(dir_.Path(), "alice@127.0.0.1").List();
    }

    qvtest::DovecotServer server_;
    qvtest::TempDirectory dir_;
};

// Numbers shift between the check and the deletion (one message removed before the
// chosen ones, one chosen message removed, one delivered): the ids decide.
TEST_F(DeletionDovecot, DeletesTheChosenByIdAndKeepsExactCopies) {
    const std::vector<UnwantedMessage> chosen = Judged({2, 4, 5});
    {
        Pop3Session other;
        LogIn(other);
        int size = 0;
        ASSERT_EQ(1, other.GetMessageSize(1, size));
        ASSERT_EQ(1, other.Delete(1));
        ASSERT_EQ(1, other.Delete(5));
        ASSERT_EQ(1, other.Quit());
    }
    server_.AddUser("alice", "pw", {Mail(6)});

    const DeletionReport report = Delete(chosen);

    EXPECT_FALSE(report.failure.failed()) << FailureText(report.failure);
    EXPECT_EQ(std::vector<std::string>{chosen[2].uidl}, report.gone);
    ASSERT_EQ(2u, report.deleted.size());
    EXPECT_EQ(chosen[0].uidl, report.deleted[0].uidl);
    EXPECT_EQ((std::multiset<std::string>{Mail(3), Mail(6)}),
              Contents(server_.MailboxSnapshot("alice")));
    const std::vector<QuarantinedMessage> kept = Kept();
    ASSERT_EQ(2u, kept.size());
    std::multiset<std::string> copies;
    for (const QuarantinedMessage& copy : kept) {
        copies.insert(ReadAll(copy.path));
        EXPECT_EQ(kNow, copy.deletedAt);
        EXPECT_TRUE(copy.from.starts_with("sender")) << copy.from;
    }
    EXPECT_EQ((std::multiset<std::string>{Mail(2), Mail(4)}), copies);
    EXPECT_EQ(chosen[0].uidl, kept[0].uidl == chosen[0].uidl ? chosen[0].uidl : kept[1].uidl);
    EXPECT_EQ(-52, kept[0].uidl == chosen[0].uidl ? kept[0].score : kept[1].score);

    // The quarantine outlives its days only: a test clock moves past them.
    EXPECT_EQ(0, Quarantine::Expire(dir_.Path(), kNow + 30 * 86400, 30));
    EXPECT_EQ(2, Quarantine::Expire(dir_.Path(), kNow + 30 * 86400 + 1, 30));
    EXPECT_TRUE(Kept().empty());
}

// A connection cut after the DELE commands and before QUIT, or a quarantine that
// cannot be written: the mailbox stays as it was.
TEST_F(DeletionDovecot, NothingLeavesTheServerWithoutQuitOrCopy) {
    const auto before = server_.MailboxSnapshot("alice");
    const std::vector<UnwantedMessage> chosen = Judged({1, 3});
    {
        QuitCutter cutter(server_.Port());
        const DeletionReport report = Delete(chosen, cutter.Port());
        EXPECT_TRUE(report.failure.failed());
        EXPECT_TRUE(report.deleted.empty());
    }
    EXPECT_EQ(2u, Kept().size());  // the copies stay: the server's state was in doubt
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(Contents(before), Contents(server_.MailboxSnapshot("alice")));

    qvtest::TempDirectory blocked;
    std::ofstream(blocked.Path() + "quarantine") << "a file where the folder goes";
    Pop3Session session;
    LogIn(session);
    Quarantine quarantine(blocked.Path(), "alice@127.0.0.1");
    const DeletionReport report = DeletionSession(session, quarantine).Run(chosen, kNow);
    EXPECT_NE(std::string::npos, FailureText(report.failure).find("nothing was deleted"));
    EXPECT_EQ(Contents(before), Contents(server_.MailboxSnapshot("alice")));
}

// The stored switch and threshold decide: -50 deletes at -50 and below and keeps -49;
// a record in the layout before the switch never deletes, and a damaged switch is off.
TEST_F(DeletionDovecot, AutomaticDeletionKeepsToTheStoredThreshold) {
    AppState state;
    qvtest::FakePrompts prompts("passphrase");
    dir_.UseFor(state);
    ASSERT_EQ(1, LoadAccountFile(state, prompts));
    ASSERT_TRUE(WriteRuleFile(
        state, RuleList::kBlock,
        {{"Subject:", "offer 1", 50}, {"Subject:", "offer 2", 49}, {"Subject:", "offer 3", 60}},
        prompts));
    state.modified = 1;
    const auto before = server_.MailboxSnapshot("alice");

    AccountRecord account = qvtest::MakeAccount("alice@127.0.0.1", "pw");
    const std::string oldLayout = BuildAccountRecord(account);
    EXPECT_EQ(std::string::npos, oldLayout.find('\x08'));
    AccountRecord parsed{};
    ASSERT_TRUE(ParseAccountRecord(oldLayout, parsed));
    ASSERT_TRUE(ParseAccountRecord(oldLayout + "\x08"
                                               "1x0050",
                                   parsed));
    EXPECT_EQ(0, parsed.autoDelete);
    ASSERT_TRUE(state.AppendAccount(parsed));
    RecordingView view;
    ScanWorker worker(state, view, FastSettings(server_.Port()));
    worker.RunPass();
    EXPECT_EQ(3u, state.CopyUnwantedMessages(0).size());
    EXPECT_EQ(Contents(before), Contents(server_.MailboxSnapshot("alice")));

    account.autoDelete = 1;
    account.deleteThreshold = 50;
    const std::string stored = BuildAccountRecord(account);
    EXPECT_EQ(oldLayout +
                  "\x08"
                  "100050",
              stored);
    ASSERT_TRUE(ParseAccountRecord(stored, parsed));
    ASSERT_TRUE(state.ReplaceAccount(0, parsed));
    {
        std::lock_guard lock(state.mutex);
        state.accounts[0].lastCheck = 0;
    }
    worker.RunPass();
    EXPECT_EQ((std::multiset<std::string>{Mail(2), Mail(4), Mail(5)}),
              Contents(server_.MailboxSnapshot("alice")));
    std::multiset<std::string> copies;
    for (const QuarantinedMessage& copy : Kept()) {
        copies.insert(ReadAll(copy.path));
    }
    EXPECT_EQ((std::multiset<std::string>{Mail(1), Mail(3)}), copies);
    const std::vector<UnwantedMessage> left = state.CopyUnwantedMessages(0);
    ASSERT_EQ(1u, left.size());
    EXPECT_EQ(-49, left[0].score);
    EXPECT_EQ("OK", view.Status(1));
}

UnwantedMessage Scripted() {
    UnwantedMessage message;
    message.uidl = "abc";
    message.score = -60;
    message.headerBlock = "Subject: x\r\n";
    return message;
}

// Replies a real server never gives: no unique ids, a copy shorter than the listed
// size, a refused DELE. None ends with QUIT, and no copy is left behind.
TEST(DeletionScripted, ServerDoubtsEndWithoutQuit) {
    qvtest::TempDirectory dir;
    const auto run = [&](ScriptedStream& stream) {
        DeletionReport report;
        {
            Pop3Session session(stream);
            session.m_nTimeout = 2000;
            EXPECT_EQ(1, session.Login("127.0.0.1", "u", "p", 110));
            Quarantine quarantine(dir.Path(), "u@127.0.0.1");
            report = DeletionSession(session, quarantine).Run({Scripted()}, kNow);
            EXPECT_TRUE(quarantine.List().empty());
        }
        const std::vector<std::string> commands = stream.Commands();
        EXPECT_EQ(commands.end(), std::find(commands.begin(), commands.end(), "QUIT"));
        return report;
    };
    qvtest::ScriptedServer::Part noIds = qvtest::ScriptedServer::Mailbox({"Subject: x\r\n"});
    noIds.failUidl = true;
    {
        qvtest::ScriptedServer server(noIds);
        Pop3Session session;
        session.m_nTimeout = 2000;
        ASSERT_EQ(1, session.Login("127.0.0.1", "u", "p", server.Port()));
        Quarantine quarantine(dir.Path(), "u@127.0.0.1");
        const DeletionReport report = DeletionSession(session, quarantine).Run({Scripted()}, kNow);
        EXPECT_EQ("Server error: the server gives no unique ids, so nothing was deleted",
                  FailureText(report.failure));
    }
    const std::string message = "Subject: x\r\n\r\nbody\r\n";  // 20 bytes
    const auto script = [&](ScriptedStream& stream, const std::string& retr) {
        stream.Say("+OK hi\r\n").AwaitCommand().Say("+OK\r\nTOP\r\nUIDL\r\n.\r\n");
        stream.AwaitCommand().Say("+OK\r\n").AwaitCommand().Say("+OK\r\n");
        stream.AwaitCommand().Say("+OK 1 20\r\n").AwaitCommand().Say("+OK\r\n1 20\r\n.\r\n");
        stream.AwaitCommand().Say("+OK\r\n1 abc\r\n.\r\n").AwaitCommand().Say(retr);
    };
    {
        ScriptedStream stream;
        script(stream, "+OK\r\nSubject: x\r\n\r\nbod\r\n.\r\n");
        const DeletionReport report = run(stream);
        EXPECT_NE(std::string::npos, FailureText(report.failure).find("19 bytes"));
        const std::vector<std::string> commands = stream.Commands();
        EXPECT_EQ(commands.end(), std::find(commands.begin(), commands.end(), "DELE 1"));
    }
    {
        ScriptedStream stream;
        script(stream, "+OK\r\n" + message + ".\r\n");
        stream.AwaitCommand().Say("-ERR no\r\n");
        const DeletionReport report = run(stream);
        EXPECT_NE(std::string::npos, FailureText(report.failure).find("refused to delete"));
    }
}

}  // namespace
