// The rebuilder's thread on its own, with rebuilds the test holds and counts.
#include <gtest/gtest.h>

#include <condition_variable>
#include <memory>
#include <mutex>

#include "scan/rule_rebuilder.h"
#include "worker_fixture.h"

namespace {

// Rebuilds that wait while the gate is shut. Shared with the rebuilds, so it outlives
// a thread let go.
struct Gate {
    std::mutex mutex;
    std::condition_variable changed;
    bool open = true;
    int began = 0;
    int ended = 0;

    void Rebuild() {
        std::unique_lock lock(mutex);
        ++began;
        changed.notify_all();
        changed.wait(lock, [this] { return open; });
        ++ended;
        changed.notify_all();
    }
    void Set(bool isOpen) {
        std::lock_guard lock(mutex);
        open = isOpen;
        changed.notify_all();
    }
    bool WaitCounts(int wantBegan, int wantEnded) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, 10s,
                                [&] { return began == wantBegan && ended == wantEnded; });
    }
};

// Requests during a rebuild make one more, however many came. A rebuild that does not
// end is let go within the stop's wait, and ends later without the rebuilder.
TEST(RuleRebuilder, CoalescesRequestsAndLetsGoOfAStuckRebuild) {
    auto gate = std::make_shared<Gate>();
    {
        RuleRebuilder rebuilder([gate] { gate->Rebuild(); });
        gate->Set(false);
        rebuilder.Request();
        ASSERT_TRUE(gate->WaitCounts(1, 0));
        for (int i = 0; i < 5; ++i) {
            rebuilder.Request();
        }
        gate->Set(true);
        ASSERT_TRUE(gate->WaitCounts(2, 2));

        gate->Set(false);
        rebuilder.Request();
        ASSERT_TRUE(gate->WaitCounts(3, 2)) << "one more rebuild for the five requests";
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(rebuilder.Stop(50ms));
        EXPECT_LT(Since(start), 1000ms);
        rebuilder.Request();  // ignored once stopping
    }
    gate->Set(true);
    EXPECT_TRUE(gate->WaitCounts(3, 3));
}

}  // namespace
