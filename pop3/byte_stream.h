#pragma once

#include <atomic>
#include <cstddef>
#include <string>

#include "pop3/failure.h"

// What a POP3 session needs of the connection under it: a TCP socket (SocketStream) in
// the program, an in-memory script (ScriptedStream) where the peer's bytes are known in
// advance. Results follow the platform's style: 1/0 for yes/no questions, -1 for
// errors; after a failure LastFailure() says why.
class ByteStream {
  public:
    ByteStream() = default;
    virtual ~ByteStream() = default;
    ByteStream(const ByteStream&) = delete;
    ByteStream& operator=(const ByteStream&) = delete;

    [[nodiscard]] virtual int Create() = 0;
    // `timeoutMs` < 0 waits as long as the system does; `stop`, when given, ends the
    // wait early as a failure.
    [[nodiscard]] virtual int Connect(const char* host, int port, int timeoutMs,
                                      const std::atomic<bool>* stop) = 0;
    // Bounds of the waits in Send, Receive and StartTls: `silenceMs` without progress
    // (< 0: none), and `*stop` becoming true.
    virtual void SetWaitLimits(int silenceMs, const std::atomic<bool>* stop) = 0;
    // The handshake and the certificate's check; any failure leaves the stream unusable.
    [[nodiscard]] virtual int StartTls(const std::string& host,
                                       const std::string& trustedFingerprint) = 0;
    virtual bool Secure() const = 0;
    // The whole buffer, or a failure.
    [[nodiscard]] virtual int Send(const char* buffer, std::size_t count) = 0;
    // Bytes received; 0 when the peer closed, -1 on failure.
    [[nodiscard]] virtual long Receive(char* buffer, std::size_t capacity) = 0;
    [[nodiscard]] virtual int PollReadable(int& readable) = 0;  // never waits
    virtual int WaitReadable(int& readable, int waitMs) = 0;    // waits at most waitMs
    virtual int CheckPeer() = 0;                                // 0 while connected, else -1
    virtual int Close() = 0;
    virtual int LastError() const = 0;
    virtual const Failure& LastFailure() const = 0;
};
