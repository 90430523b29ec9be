#pragma once

#include <atomic>
#include <ctime>
#include <string>
#include <vector>

#include "pop3/failure.h"
#include "scan/check_report.h"

class Pop3Session;
class Quarantine;

// How one deletion session ended. `deleted` is filled only when the server confirmed
// the QUIT that removes the marked messages.
struct DeletionReport {
    Failure failure;
    std::vector<DeletedMessage> deleted;
    std::vector<std::string> gone;  // unique ids the server no longer listed
};

// Deletes chosen unwanted messages from a mailbox without ever losing one. Message
// numbers last one session, so each message is found by its unique id. Every chosen
// message is retrieved, checked against the size the server lists and the header block
// that was scored, and written to the quarantine before any DELE goes out; the server
// removes the marked messages only at QUIT. At the first doubt the connection is
// closed without QUIT, and the server deletes nothing.
class DeletionSession {
  public:
    // `session` is logged in; the deletion ends it either way.
    DeletionSession(Pop3Session& session, Quarantine& quarantine,
                    const std::atomic<bool>* stop = nullptr);

    DeletionReport Run(const std::vector<UnwantedMessage>& chosen, std::time_t now);

  private:
    struct Planned {
        int number = 0;
        const UnwantedMessage* message = nullptr;
        std::string copy;
    };

    bool Plan(const std::vector<UnwantedMessage>& chosen, std::vector<Planned>& plan,
              DeletionReport& report);
    bool Copy(Planned& planned, std::time_t now, Failure& why);
    bool MarkAll(const std::vector<Planned>& plan, int& marked, Failure& why);
    bool Stopping() const { return stop_ != nullptr && stop_->load(); }
    // Ends without QUIT. Before the first DELE the server certainly still holds every
    // message, so the copies are taken back; after it they stay, in case a server
    // deleted without the QUIT after all.
    void GiveUp(std::vector<Planned>& plan, bool anyMarked);

    Pop3Session& session_;
    Quarantine& quarantine_;
    const std::atomic<bool>* stop_;
};

// Whether `bytes`, a retrieved message, begins with the header block TOP gave for it.
bool SameHeader(const std::string& bytes, const std::string& headerBlock);
