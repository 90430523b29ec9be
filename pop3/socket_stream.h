#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>

struct sockaddr_in;

// A blocking TCP client socket: the one place that knows the platform's socket calls.
// Results follow the platform's style: 1/0 for yes/no questions, -1 for errors.
class SocketStream {
  public:
    SocketStream() = default;
    ~SocketStream();
    SocketStream(const SocketStream&) = delete;
    SocketStream& operator=(const SocketStream&) = delete;

    int Create();
    // Connects by dotted IPv4 address or by host name (getaddrinfo). A failed lookup
    // leaves its error in LastError(). `timeoutMs` < 0 waits as long as the system does;
    // `stop`, when given, ends the wait early as a failure.
    int Connect(const char* host, int port, int timeoutMs = -1,
                const std::atomic<bool>* stop = nullptr);
    int Send(const char* buffer, std::size_t count);  // whole buffer or failure
    long Receive(char* buffer, std::size_t capacity);
    int PollReadable(int& readable);              // never waits
    int WaitReadable(int& readable, int waitMs);  // waits at most waitMs
    int CheckPeer();
    int Close();
    int LastError() const { return lastError_; }

  private:
    // One connect of the handle to `addr`, given up at `deadline` or on `*stop`.
    int ConnectAddress(const sockaddr_in& addr, std::chrono::steady_clock::time_point deadline,
                       const std::atomic<bool>* stop);

    int handle_ = -1;
    int lastError_ = 0;
};
