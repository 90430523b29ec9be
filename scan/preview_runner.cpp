#include "scan/preview_runner.h"

PreviewRunner::PreviewRunner() : thread_([this](std::stop_token stop) { Loop(stop); }) {}

PreviewRunner::~PreviewRunner() {
    // The stop request first: a job taken after it is stopped as it is taken, one
    // taken before is stopped by the flag. The jthread then joins.
    thread_.request_stop();
    std::lock_guard lock(mutex_);
    stopRunning_ = true;
}

void PreviewRunner::Run(RuleSet rules, CandidateRule candidate,
                        std::shared_ptr<const std::vector<KeptMessage>> kept, std::size_t shown,
                        Done done) {
    {
        std::lock_guard lock(mutex_);
        waiting_ =
            Job{std::move(rules), std::move(candidate), std::move(kept), shown, std::move(done)};
        stopRunning_ = true;
    }
    wake_.notify_one();
}

void PreviewRunner::Loop(std::stop_token stop) {
    while (true) {
        Job job;
        {
            std::unique_lock lock(mutex_);
            if (!wake_.wait(lock, stop, [this] { return waiting_.has_value(); })) {
                return;
            }
            job = std::move(*waiting_);
            waiting_.reset();
            // Set under the lock: a newer Run or the destructor sets it after this.
            stopRunning_ = stop.stop_requested();
        }
        const RulePreview preview =
            PreviewRule(job.rules, job.candidate, *job.kept, job.shown, &stopRunning_);
        if (!preview.stopped && !stop.stop_requested()) {
            job.done(preview);
        }
    }
}
