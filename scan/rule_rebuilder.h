#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <thread>

class AppState;

// Builds the rule table again after a rule edit on a thread of its own, so that no
// check waits for the compile: the table in force serves until the new one is
// published. Requests that come while a rebuild runs make one more rebuild between
// them, never one each. The thread starts with the first request; Request() and Stop()
// belong to the owner's thread.
//
// The thread works on a block it shares with this object, so a thread let go by Stop()
// never touches freed memory. What the rebuild touches must outlive the thread: the
// program passes ProcessAppState(), which is never destroyed.
class RuleRebuilder {
  public:
    static constexpr std::chrono::milliseconds kStopWait{5000};

    // Rebuilds with ReloadRulesIfModified(state): a check that took the edit first
    // leaves nothing to build.
    explicit RuleRebuilder(AppState& state);
    // Runs `rebuild` for each rebuild; tests hold and count them.
    explicit RuleRebuilder(std::function<void()> rebuild);
    ~RuleRebuilder();  // Stop(kStopWait) when still running
    RuleRebuilder(const RuleRebuilder&) = delete;
    RuleRebuilder& operator=(const RuleRebuilder&) = delete;

    // Asks for a rebuild and returns at once. Ignored once Stop() has been entered.
    void Request();
    // No rebuild begins once this is entered; one under way cannot be cut short, so it
    // is waited for at most `wait`. True when the thread has ended; otherwise it is let
    // go and ends on its own as soon as that rebuild has published its table.
    bool Stop(std::chrono::milliseconds wait = kStopWait);

  private:
    struct Shared;
    std::shared_ptr<Shared> shared_;
    std::thread thread_;
    bool started_ = false;
};
