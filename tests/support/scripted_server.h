#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/loopback.h"

namespace qvtest {

// A loopback POP3 peer for the server behaviour a real server does not show (silence,
// odd replies, a closed peer). It works in one of two ways.
//
// A script of steps, played on one connection:
//
//   qvtest::ScriptedServer server;
//   server.Send("+OK hi\r\n").ReadLine().Send("+OK\r\n").Pause(300).Send("x");
//   server.Start();
//   ... connect to 127.0.0.1:server.Port() ...
//   server.Finish();                // waits for the script to end
//   server.Received();              // every byte the client sent
//
// After the last step the peer keeps reading until the client closes, answering a
// "QUIT" line with "+OK\r\n" (unless CloseAfterScript() was chosen). Every wait is
// bounded (5 s per read, 10 s after the script), so a broken test cannot hang.
//
// A part, played on every connection until the server is destroyed:
//
//   qvtest::ScriptedServer server(qvtest::ScriptedServer::Mailbox({"Subject: hi\r\n"}));
//
// Silent accepts and never says a word. Mailbox accepts any credentials and serves the
// given header blocks (CAPA, STAT, LIST, UIDL, TOP n 0, QUIT); `failStat` answers STAT
// with -ERR, TOP of the numbers in `failTop` is refused, `statCount` (when not
// negative) is the count STAT claims, `failList` answers LIST with -ERR and `failUidl`
// UIDL. CAPA lists TOP and UIDL, and PIPELINING when `pipelining` is set; `refuseCapa`
// answers -ERR. When `topsAnswered` is not negative, the TOP commands after that many go
// unanswered: the peer hangs up when `hangUpThen` is set, else it keeps reading in
// silence. `strayAfterFirstTop` follows the first TOP's reply, as if it were part of it.
class ScriptedServer {
  public:
    struct Part {
        bool silent = false;
        std::vector<std::string> headers;
        bool failStat = false;
        std::vector<int> failTop;
        long long statCount = -1;
        bool failList = false;
        bool failUidl = false;
        bool repeatIds = false;  // UIDL gives every message the same id
        bool pipelining = false;
        bool refuseCapa = false;
        int topsAnswered = -1;
        bool hangUpThen = false;
        std::string strayAfterFirstTop;
    };
    static Part Silent();
    static Part Mailbox(std::vector<std::string> headers);

    ScriptedServer();
    explicit ScriptedServer(Part part);  // starts serving at once
    ~ScriptedServer();                   // Finish()
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    ScriptedServer& Send(const std::string& bytes);
    ScriptedServer& Pause(int ms);
    ScriptedServer& ReadLine();  // waits for one line from the client
    // Reads the CAPA line and lists what Mailbox lists.
    ScriptedServer& AnswerCapa(bool pipelining = false);
    ScriptedServer& CloseAfterScript();  // close as soon as the script has run

    void Start();  // begins accepting in a thread of its own
    int Port() const { return listener_.Port(); }
    void Finish();
    // Every byte the client sent, and the same split into lines without their ends.
    std::string Received();
    std::vector<std::string> Commands();
    // Mailbox: the commands that were already followed by more bytes from the client
    // when their reply was about to go out, i.e. sent ahead of it.
    int EarlyCommands();
    // True once `count` connections have been accepted, or closed.
    bool WaitAccepted(int count, std::chrono::milliseconds timeout);
    bool WaitClosed(int count, std::chrono::milliseconds timeout);

  private:
    struct Step {
        enum Kind { kSend, kPause, kReadLine } kind;
        std::string bytes;
        int ms = 0;
    };
    void RunScript();
    // 1: a whole line is in pendingLine_; 0: none came within `waitMs`; -1: the peer closed.
    int ReadOneLine(int fd, int waitMs);
    void Drain(int fd);
    void Serve();
    void Converse(int client);
    std::string Answer(const std::string& command, int tops, bool& hangUp) const;
    void Count(int& counter);

    LoopbackListener listener_;
    std::vector<Step> steps_;
    bool closeAfterScript_ = false;
    std::unique_ptr<Part> part_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::string received_;
    std::string pendingLine_;
    int accepted_ = 0;
    int closed_ = 0;
    int early_ = 0;
};

}  // namespace qvtest
