#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

// An event that stays signalled until one waiter takes the signal.
class AutoResetEvent {
  public:
    void Set();
    void Reset();
    // True when the signal was taken within `timeout`; the event is then reset.
    bool Wait(std::chrono::milliseconds timeout);

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool signalled_ = false;
};
