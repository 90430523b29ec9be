#pragma once

#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qvtest {

// A loopback peer that accepts one connection and plays a script, for the server
// behaviour a real POP3 server does not show (silence, odd replies, a closed peer).
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
class ScriptedServer {
  public:
    ScriptedServer();
    ~ScriptedServer();  // Finish()
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    ScriptedServer& Send(const std::string& bytes);
    ScriptedServer& Pause(int ms);
    ScriptedServer& ReadLine();          // waits for one line from the client
    ScriptedServer& CloseAfterScript();  // close as soon as the script has run

    void Start();  // begins accepting in a thread of its own
    int Port() const { return port_; }
    void Finish();
    std::string Received();

  private:
    struct Step {
        enum Kind { kSend, kPause, kReadLine } kind;
        std::string bytes;
        int ms = 0;
    };
    void Run();
    bool ReadOneLine(int fd, int waitMs);
    void Drain(int fd);

    std::vector<Step> steps_;
    bool closeAfterScript_ = false;
    int listenFd_ = -1;
    int port_ = 0;
    std::thread thread_;
    std::mutex mutex_;
    std::string received_;
    std::string pendingLine_;
};

}  // namespace qvtest
