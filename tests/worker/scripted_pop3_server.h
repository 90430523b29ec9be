#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// A POP3 server on loopback that plays a fixed part, one connection at a time.
// Silent: accepts and never says a word. Mailbox: accepts any credentials and serves
// the given header blocks (STAT, LIST, TOP n 0, QUIT); `failStat` answers STAT with
// -ERR, and TOP of the message numbers in `failTop` is refused. `statCount`, when not
// negative, is the count STAT claims; `failList` answers LIST with -ERR.
class ScriptedPop3Server {
  public:
    struct Script {
        bool silent = false;
        std::vector<std::string> headers;
        bool failStat = false;
        std::vector<int> failTop;
        long long statCount = -1;
        bool failList = false;
    };
    static Script Silent() {
        Script script;
        script.silent = true;
        return script;
    }
    static Script Mailbox(std::vector<std::string> headers) {
        Script script;
        script.headers = std::move(headers);
        return script;
    }

    explicit ScriptedPop3Server(Script script);
    ~ScriptedPop3Server();
    ScriptedPop3Server(const ScriptedPop3Server&) = delete;
    ScriptedPop3Server& operator=(const ScriptedPop3Server&) = delete;

    int port() const { return port_; }
    // Commands received so far, without their line ends.
    std::vector<std::string> Commands() const;
    // True once `count` connections have been accepted (or closed by the client).
    bool WaitAccepted(int count, std::chrono::milliseconds timeout);
    bool WaitClosed(int count, std::chrono::milliseconds timeout);

  private:
    void Serve();
    void Converse(int client);
    std::string Answer(const std::string& command, bool& hangUp) const;

    Script script_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> commands_;
    int accepted_ = 0;
    int closed_ = 0;
    std::thread thread_;
};

// A loopback port whose listener takes no more connections: one connection fills its
// queue, so the next connect stays pending until the caller gives up.
class StalledListener {
  public:
    StalledListener();
    ~StalledListener();
    StalledListener(const StalledListener&) = delete;
    StalledListener& operator=(const StalledListener&) = delete;
    int port() const { return port_; }

  private:
    int listener_ = -1;
    int filler_ = -1;
    int port_ = 0;
};

// A loopback port with nothing listening on it.
int ClosedLoopbackPort();
