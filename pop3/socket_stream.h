#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

#include "pop3/byte_stream.h"
#include "pop3/failure.h"

struct sockaddr_in;

// A TCP client socket, plain or protected by TLS: the one place that knows the
// platform's socket calls and OpenSSL. Results follow the platform's style: 1/0 for
// yes/no questions, -1 for errors; after a failure LastFailure() says why.
//
// The socket never blocks: every wait is cut into slices so that the stop flag is seen
// in time, and a wait without progress ends after the silence limit.
class SocketStream : public ByteStream {
  public:
    SocketStream();
    ~SocketStream() override;

    [[nodiscard]] int Create() override;
    // Connects by dotted IPv4 address or by host name (getaddrinfo). A failed lookup
    // leaves its error in LastError(). `timeoutMs` < 0 waits as long as the system does;
    // `stop`, when given, ends the wait early as a failure.
    [[nodiscard]] int Connect(const char* host, int port, int timeoutMs = -1,
                              const std::atomic<bool>* stop = nullptr) override;
    // Bounds of the waits in Send, Receive and StartTls: `silenceMs` without progress
    // (< 0: none), and `*stop` becoming true.
    void SetWaitLimits(int silenceMs, const std::atomic<bool>* stop) override;
    // Runs the TLS handshake over the connected socket (TLS 1.2 or later, SNI for host
    // names) and checks the certificate: it must match `trustedFingerprint` when that
    // is given, else pass the system's trust store and name `host`. Any failure leaves
    // the stream unusable; the certificate, when one came, is in LastFailure().
    [[nodiscard]] int StartTls(const std::string& host,
                               const std::string& trustedFingerprint) override;
    bool Secure() const override;
    [[nodiscard]] int Send(const char* buffer, std::size_t count) override;
    [[nodiscard]] long Receive(char* buffer, std::size_t capacity) override;
    [[nodiscard]] int PollReadable(int& readable) override;
    int WaitReadable(int& readable, int waitMs) override;
    int CheckPeer() override;
    int Close() override;
    int LastError() const override { return lastError_; }
    const Failure& LastFailure() const override { return failure_; }

  private:
    using Clock = std::chrono::steady_clock;
    struct Tls;

    // One connect of the handle to `addr`, given up at `deadline` or on `*stop`.
    int ConnectAddress(const sockaddr_in& addr, Clock::time_point deadline,
                       const std::atomic<bool>* stop);
    // Waits until the socket is ready for `events`; false on the deadline or stop.
    bool WaitFor(short events, Clock::time_point deadline);
    Clock::time_point SilenceDeadline() const;
    int Fail(FailureKind kind, std::string detail = {});
    int FailWithErrno(int error);
    int CheckCertificate(const std::string& host, const std::string& trustedFingerprint);
    void AcknowledgeAtOnce() const;
    long ReceiveTls(char* buffer, std::size_t capacity);
    bool PeekTls();

    int handle_ = -1;
    int lastError_ = 0;
    int silenceMs_ = -1;
    const std::atomic<bool>* stop_ = nullptr;
    Failure failure_;
    std::unique_ptr<Tls> tls_;
};
