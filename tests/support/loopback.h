#pragma once

#include <vector>

namespace qvtest {

// A listening socket on 127.0.0.1, on a port the system chose. Throws
// std::runtime_error when the socket cannot be set up.
class LoopbackListener {
  public:
    explicit LoopbackListener(int backlog = 4);
    ~LoopbackListener();
    LoopbackListener(const LoopbackListener&) = delete;
    LoopbackListener& operator=(const LoopbackListener&) = delete;

    int Port() const { return port_; }
    int Fd() const { return fd_; }
    // Connections that are never accepted fill the queue, so that a further connect
    // stays pending, as one to an unreachable host does.
    LoopbackListener& FillQueue();

  private:
    int fd_ = -1;
    int port_ = 0;
    std::vector<int> fillers_;
};

// A loopback port with nothing listening on it (at the moment of the call).
int ClosedLoopbackPort();

}  // namespace qvtest
