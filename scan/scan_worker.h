#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "app/app_state.h"
#include "app/auto_reset_event.h"
#include "scan/access_token_source.h"
#include "scan/deletion_session.h"
#include "scan/scan_view.h"

// Timing and port of the worker. The program uses the defaults; tests shorten them.
struct ScanWorkerSettings {
    std::chrono::milliseconds tick{10000};
    int readTimeoutMs = 45000;
    int port = 0;  // 0: each account's own port; tests point every account elsewhere
    // Run on the worker's thread after each pass that was not stopped: what is saved
    // there is read while no rule reload can run.
    std::function<void()> afterPass;
    // False: accounts with automatic deletion on keep every message (--no-delete).
    bool deleteAutomatically = true;
    // How many accounts are checked at once (1 to 8); SetParallelChecks changes it.
    int parallelChecks = 4;
};

// The background thread that polls every due account, tells the view how each check
// goes and records the unwanted messages of accounts that scan. Up to
// `parallelChecks` accounts are checked at once, never two on the same mailbox.
//
// The thread works on a state block it shares with this object, so a thread that
// outlives a Stop() never touches freed memory. `AppState` must outlive the thread:
// the program passes ProcessAppState(), which is never destroyed.
class ScanWorker {
  public:
    ScanWorker(AppState& state, ScanView& view, ScanWorkerSettings settings = {});
    ~ScanWorker();  // Stop(5000 ms) when still running
    ScanWorker(const ScanWorker&) = delete;
    ScanWorker& operator=(const ScanWorker&) = delete;

    void Start();
    // Where accounts that sign in with OAuth2 get their tokens; without one their
    // checks fail with "sign in again". May be set while the thread runs: the next
    // check uses it.
    void SetAccessTokens(std::shared_ptr<AccessTokenSource> tokens);
    // Signals stop, ends any pending POP3 connect or read, waits at most `wait` for
    // idle and then for the thread. Returns true when the thread has ended; otherwise
    // the thread is detached and ends on its own without touching this object's view.
    // No view call begins once Stop() has been entered; a call already under way must
    // be able to return while the caller of Stop() waits, or the thread is detached
    // with that call still pending (it then touches neither the view nor `AppState`
    // after the call returns).
    bool Stop(std::chrono::milliseconds wait = std::chrono::milliseconds(5000));

    // One pass over the accounts, on the calling thread (the thread runs these).
    void RunPass();
    // Wakes the thread for a pass at once that checks every account, due or not.
    void CheckNow();
    // From the next pass on, at most `count` checks at once (kept within 1 to 8).
    void SetParallelChecks(int count);
    // Asks the thread to delete `messages`, unwanted messages of account `id` as a
    // check listed them. It runs between checks, as a session of its own (see
    // scan/deletion_session.h); the view hears how it ended, and the deleted messages
    // leave the account's unwanted list.
    void Delete(AccountId id, std::vector<UnwantedMessage> messages);
    // Runs the deletions asked for so far, on the calling thread (the thread runs this
    // before every pass). Returns the reports, for tests and the headless check.
    std::vector<DeletionReport> RunDeletions();

    AutoResetEvent& stopEvent();
    AutoResetEvent& idleEvent();

  private:
    struct Shared;
    std::shared_ptr<Shared> shared_;
    std::thread thread_;
};
