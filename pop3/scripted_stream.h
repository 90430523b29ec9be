#pragma once

#include <atomic>
#include <cstddef>
#include <deque>
#include <string>
#include <vector>

#include "pop3/byte_stream.h"
#include "pop3/failure.h"

// A peer that lives in memory: it says what its script gives, in pieces, each released
// once the client has sent a given number of command lines, and keeps every byte the
// client sent. It plays one connection on the caller's thread, so a conversation costs
// no socket, no thread and no wall-clock wait.
//
//   ScriptedStream stream;
//   stream.Say("+OK ready\r\n").AwaitCommand().Say("+OK\r\n");
//   Pop3Session session(stream);
//   ...
//   stream.Sent();  // every byte the session sent
//
// Each Say arrives as a receive of its own, so a reply split over two Says reaches the
// session in two parts. When the session waits for bytes that only a further command
// would release, no byte can ever come: the stream fails the wait as the silence limit
// would (kTimedOut; kStopped when the stop flag is set). After the last piece is read,
// the peer has closed its sending side, as a server does that hangs up; what the
// session sends then is still kept.
//
// The stream offers no TLS: StartTls fails as a handshake the peer could not complete,
// so nothing here ever passes for a checked certificate.
class ScriptedStream : public ByteStream {
  public:
    ScriptedStream() = default;

    // Bytes the peer sends once every command line awaited before them has come.
    ScriptedStream& Say(std::string bytes);
    // The following Say waits for one more command line from the client.
    ScriptedStream& AwaitCommand();

    // Every byte the client sent, and the same split into lines without their ends.
    const std::string& Sent() const { return sent_; }
    std::vector<std::string> Commands() const;
    const std::string& Host() const { return host_; }
    int Port() const { return port_; }
    int Connects() const { return connects_; }

    [[nodiscard]] int Create() override;
    [[nodiscard]] int Connect(const char* host, int port, int timeoutMs,
                              const std::atomic<bool>* stop) override;
    void SetWaitLimits(int silenceMs, const std::atomic<bool>* stop) override;
    [[nodiscard]] int StartTls(const std::string& host,
                               const std::string& trustedFingerprint) override;
    bool Secure() const override { return false; }
    [[nodiscard]] int Send(const char* buffer, std::size_t count) override;
    [[nodiscard]] long Receive(char* buffer, std::size_t capacity) override;
    [[nodiscard]] int PollReadable(int& readable) override;
    int WaitReadable(int& readable, int waitMs) override;
    int CheckPeer() override;
    int Close() override;
    int LastError() const override { return lastError_; }
    const Failure& LastFailure() const override { return failure_; }

  private:
    struct Piece {
        std::string bytes;
        std::size_t linesBefore;  // command lines the client must have sent first
    };

    void Release();
    bool Starved() const;
    bool Ended() const;
    int Fail(FailureKind kind, std::string detail = {});

    std::vector<Piece> script_;
    std::size_t awaited_ = 0;   // command lines the script has awaited so far
    std::size_t released_ = 0;  // pieces of the script handed to `arrived_`
    std::deque<std::string> arrived_;
    std::size_t readFromFront_ = 0;
    std::size_t linesSent_ = 0;
    std::string sent_;
    std::string host_;
    int port_ = 0;
    int connects_ = 0;
    bool connected_ = false;
    bool created_ = false;
    // A wait found that nothing can come: the next poll reports the silence.
    bool silent_ = false;
    int lastError_ = 0;
    const std::atomic<bool>* stop_ = nullptr;
    Failure failure_;
};
