#include "scan/deletion_session.h"

#include <unordered_map>

#include "app/debug_log.h"
#include "pop3/pop3_session.h"
#include "scan/quarantine.h"

namespace {

Failure Doubt(std::string detail) {
    return Failure{FailureKind::kServer, std::move(detail), {}};
}

}  // namespace

bool SameHeader(const std::string& bytes, const std::string& headerBlock) {
    // TOP's block is still dot-stuffed and ends before the empty line.
    const std::string header = Pop3Session::UndoDotStuffing(headerBlock);
    if (header.empty() || bytes.compare(0, header.size(), header) != 0) {
        return false;
    }
    return bytes.size() == header.size() || bytes.compare(header.size(), 2, "\r\n") == 0;
}

DeletionSession::DeletionSession(Pop3Session& session, Quarantine& quarantine,
                                 const std::atomic<bool>* stop)
    : session_(session), quarantine_(quarantine), stop_(stop) {}

DeletionReport DeletionSession::Run(const std::vector<UnwantedMessage>& chosen, std::time_t now) {
    DeletionReport report;
    std::vector<Planned> plan;
    if (!Plan(chosen, plan, report)) {
        GiveUp(plan, false);
        return report;
    }
    for (Planned& planned : plan) {
        if (!Copy(planned, now, report.failure)) {
            GiveUp(plan, false);
            return report;
        }
    }
    int marked = 0;
    if (!MarkAll(plan, marked, report.failure)) {
        GiveUp(plan, marked > 0);
        return report;
    }
    if (session_.Quit() != 1) {
        // The marked messages may or may not be gone: the copies stay, and the next
        // check shows what still waits.
        report.failure = session_.LastFailure().failed()
                             ? session_.LastFailure()
                             : Doubt("the server did not confirm the deletion");
        return report;
    }
    for (const Planned& planned : plan) {
        const UnwantedMessage& m = *planned.message;
        report.deleted.push_back(DeletedMessage{m.uidl, m.from, m.subject, m.score, planned.copy});
    }
    return report;
}

bool DeletionSession::Plan(const std::vector<UnwantedMessage>& chosen, std::vector<Planned>& plan,
                           DeletionReport& report) {
    std::vector<std::string> ids;
    if (session_.UniqueIds(ids) != 1) {
        // "-ERR" to UIDL, or a listing that repeats an id: either way no message can be
        // told from another across sessions.
        const FailureKind kind = session_.LastFailure().kind;
        report.failure = kind == FailureKind::kServer || kind == FailureKind::kNone
                             ? Doubt("the server gives no unique ids, so nothing was deleted")
                             : session_.LastFailure();
        return false;
    }
    std::unordered_map<std::string, int> numberOf;
    for (std::size_t n = 0; n < ids.size(); ++n) {
        if (!ids[n].empty()) {
            numberOf.emplace(ids[n], static_cast<int>(n + 1));
        }
    }
    for (const UnwantedMessage& message : chosen) {
        const auto found = message.uidl.empty() ? numberOf.end() : numberOf.find(message.uidl);
        if (found == numberOf.end()) {
            report.gone.push_back(message.uidl);
            continue;
        }
        plan.push_back(Planned{found->second, &message, {}});
    }
    return true;
}

bool DeletionSession::Copy(Planned& planned, std::time_t now, Failure& why) {
    int listed = 0;
    std::string bytes;
    if (Stopping()) {
        why = Failure{FailureKind::kStopped, {}, {}};
        return false;
    }
    if (session_.GetMessageSize(planned.number, listed) != 1 ||
        session_.Retrieve(planned.number, bytes) != 1) {
        why = session_.LastFailure().failed() ? session_.LastFailure()
                                              : Doubt("a message could not be retrieved");
        return false;
    }
    if (bytes.size() != static_cast<std::size_t>(listed)) {
        why = Doubt("a message came with " + std::to_string(bytes.size()) +
                    " bytes, but the server lists " + std::to_string(listed) +
                    "; nothing was deleted");
        return false;
    }
    if (!SameHeader(bytes, planned.message->headerBlock)) {
        why = Doubt("a message no longer matches the header that was scored; nothing was deleted");
        return false;
    }
    std::string reason;
    if (!quarantine_.Keep(bytes, planned.message->uidl, planned.message->score, now, planned.copy,
                          reason)) {
        why = Doubt(reason + "; nothing was deleted");
        return false;
    }
    return true;
}

bool DeletionSession::MarkAll(const std::vector<Planned>& plan, int& marked, Failure& why) {
    for (const Planned& planned : plan) {
        if (Stopping()) {
            why = Failure{FailureKind::kStopped, {}, {}};
            return false;
        }
        if (session_.Delete(planned.number) != 1) {
            why = session_.LastFailure();
            if (why.kind == FailureKind::kServer) {
                why.detail = "the server refused to delete a message (" + why.detail +
                             "); nothing was deleted";
            }
            return false;
        }
        ++marked;
    }
    return true;
}

void DeletionSession::GiveUp(std::vector<Planned>& plan, bool anyMarked) {
    DebugLog::Write("delete", "ending without QUIT: nothing is deleted");
    session_.Abandon();
    if (anyMarked) {
        return;
    }
    for (Planned& planned : plan) {
        if (!planned.copy.empty()) {
            quarantine_.Discard(planned.copy);
            planned.copy.clear();
        }
    }
}
