#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/loopback.h"

namespace qvtest {

// A loopback relay in front of a server that holds back every byte the server sends
// for `delay`, as a distant server would: each round trip takes `delay` longer, while
// replies sent back to back still flow back to back. Each connection to Port() gets
// its own connection to the server.
class LatencyRelay {
  public:
    LatencyRelay(int serverPort, std::chrono::milliseconds delay);
    ~LatencyRelay();  // closes every connection and waits for its threads
    LatencyRelay(const LatencyRelay&) = delete;
    LatencyRelay& operator=(const LatencyRelay&) = delete;

    int Port() const { return listener_.Port(); }

  private:
    // The bytes the server sent, each chunk with the time it may go on.
    struct Chunk {
        std::chrono::steady_clock::time_point due;
        std::string bytes;
    };
    struct Link {
        int client = -1;
        int server = -1;
        std::mutex mutex;
        std::condition_variable ready;
        std::deque<Chunk> chunks;
        bool ended = false;
    };
    void Accept();
    void Serve(const std::shared_ptr<Link>& link);
    void Deliver(const std::shared_ptr<Link>& link);

    int serverPort_;
    std::chrono::milliseconds delay_;
    LoopbackListener listener_;
    std::mutex mutex_;
    bool stopping_ = false;
    std::vector<std::shared_ptr<Link>> links_;
    std::vector<std::thread> threads_;
    std::thread acceptor_;
};

}  // namespace qvtest
