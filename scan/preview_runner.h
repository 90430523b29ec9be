#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "scan/rule_preview.h"

// Runs rule previews one at a time on a thread of its own. A preview asked for while
// another runs stops the older one at its next message and takes its place; one still
// waiting is simply replaced. Typing fast therefore costs one preview, not one per
// pause, and the destructor waits for at most one message's scoring.
class PreviewRunner {
  public:
    // Called on the runner's thread with a preview that ran to its end.
    using Done = std::function<void(const RulePreview&)>;

    PreviewRunner();
    ~PreviewRunner();
    PreviewRunner(const PreviewRunner&) = delete;
    PreviewRunner& operator=(const PreviewRunner&) = delete;

    void Run(RuleSet rules, CandidateRule candidate,
             std::shared_ptr<const std::vector<KeptMessage>> kept, std::size_t shown, Done done);

  private:
    struct Job {
        RuleSet rules;
        CandidateRule candidate;
        std::shared_ptr<const std::vector<KeptMessage>> kept;
        std::size_t shown = 0;
        Done done;
    };

    void Loop(std::stop_token stop);

    std::mutex mutex_;
    std::condition_variable_any wake_;
    std::optional<Job> waiting_;
    std::atomic<bool> stopRunning_{false};
    std::jthread thread_;  // last: started when the rest is ready, joined first
};
