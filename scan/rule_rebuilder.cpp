#include "scan/rule_rebuilder.h"

#include <condition_variable>
#include <exception>
#include <mutex>
#include <string>
#include <system_error>
#include <utility>

#include "app/debug_log.h"
#include "scan/rule_loader.h"

// Everything the thread touches: it holds its own reference, so a thread let go
// outlives the RuleRebuilder safely.
struct RuleRebuilder::Shared {
    explicit Shared(std::function<void()> work) : rebuild(std::move(work)) {}

    const std::function<void()> rebuild;
    std::mutex mutex;  // guards the flags below
    std::condition_variable changed;
    bool requested = false;  // a request came since the last rebuild began
    bool stopping = false;
    bool finished = false;

    void Run();
    void RebuildOnce() const;
};

void RuleRebuilder::Shared::Run() {
    std::unique_lock lock(mutex);
    for (;;) {
        changed.wait(lock, [this] { return requested || stopping; });
        if (stopping) {
            break;
        }
        // Taken before the rebuild reads the files: a request that comes while it
        // runs may have rewritten them after the read, and must build once more.
        requested = false;
        lock.unlock();
        RebuildOnce();
        lock.lock();
    }
    finished = true;
    changed.notify_all();
}

void RuleRebuilder::Shared::RebuildOnce() const {
    try {
        rebuild();
    } catch (const std::exception& error) {
        // Out of memory, most likely: the old table stays in force, and the reload
        // left `modified` raised for the next check to try again.
        std::string text = "the rule table was not rebuilt: ";
        text.append(error.what());
        DebugLog::Write("rules", text);
    }
}

RuleRebuilder::RuleRebuilder(AppState& state)
    // The old table serves until the new one's prefilter is compiled: checks under way
    // keep their pace.
    : RuleRebuilder([&state] { ReloadRulesIfModified(state, PrefilterCompile::kBeforeUse); }) {}

RuleRebuilder::RuleRebuilder(std::function<void()> rebuild)
    : shared_(std::make_shared<Shared>(std::move(rebuild))) {}

RuleRebuilder::~RuleRebuilder() {
    if (thread_.joinable()) {
        Stop();
    }
}

void RuleRebuilder::Request() {
    {
        std::lock_guard lock(shared_->mutex);
        if (shared_->stopping) {
            return;
        }
        shared_->requested = true;
    }
    shared_->changed.notify_all();
    if (thread_.joinable()) {
        return;
    }
    try {
        thread_ = std::thread([shared = shared_] { shared->Run(); });
        started_ = true;
    } catch (const std::system_error&) {
        // No thread to be had: `modified` stays raised, and the next check rebuilds
        // the table itself, as it did before there was a rebuilder.
        DebugLog::Write("rules", "no thread for the rule rebuild; the next check builds");
    }
}

bool RuleRebuilder::Stop(std::chrono::milliseconds wait) {
    std::unique_lock lock(shared_->mutex);
    shared_->stopping = true;
    shared_->changed.notify_all();
    if (!thread_.joinable()) {
        return !started_ || shared_->finished;
    }
    const bool ended = shared_->changed.wait_for(lock, wait, [this] { return shared_->finished; });
    lock.unlock();
    if (ended) {
        thread_.join();
    } else {
        thread_.detach();
    }
    return ended;
}
