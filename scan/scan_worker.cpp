#include "scan/scan_worker.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <exception>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "app/debug_log.h"
#include "pop3/pop3_session.h"
#include "scan/deletion_session.h"
#include "scan/header_verdict.h"
#include "scan/quarantine.h"
#include "scan/rule_loader.h"
#include "store/account_record.h"

namespace {

constexpr std::int64_t kSecondsPerPeriodUnit = 60;
constexpr std::size_t kShownBlockBudget = std::size_t{16} << 20;
constexpr int kMostParallelChecks = 8;

std::string_view AccountText(const char (&field)[kTextSize]) {
    return std::string_view(field, strnlen(field, kTextSize - 1));
}

// The unsigned difference makes a lastCheck in the future (clock set back) due at once.
bool IsDue(const AccountRecord& account, std::uint32_t now) {
    const std::uint32_t elapsed = now - account.lastCheck;
    return static_cast<std::int64_t>(elapsed) > account.periodMinutes * kSecondsPerPeriodUnit;
}

// Two accounts on one mailbox would lock each other out: they are checked in turn.
std::string MailboxKey(const AccountRecord& account) {
    const AccountLogin login = SplitAddress(AccountText(account.address));
    std::string key = login.user;
    key += '@';
    for (const char c : login.host) {
        key += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    key += ':';
    key += std::to_string(EffectivePort(SecurityFromDigit(account.security), account.port));
    return key;
}

// Signals idle when a pass's checks end, however they end.
class IdleOnExit {
  public:
    explicit IdleOnExit(AutoResetEvent& idle) : idle_(idle) { idle_.Reset(); }
    ~IdleOnExit() { idle_.Set(); }
    IdleOnExit(const IdleOnExit&) = delete;
    IdleOnExit& operator=(const IdleOnExit&) = delete;

  private:
    AutoResetEvent& idle_;
};

// One account's check: what it started with and how far it got. Each check runs on
// one thread and owns its run; checks running at once share nothing else but the
// worker's state.
struct CheckRun {
    AccountId id = kNoAccount;
    // The rule table this check took at its start and scores with to its end, even
    // when a rule edit puts a newer one in force meanwhile.
    std::shared_ptr<const RuleTable> rules;
    int total = 0;                 // the messages STAT counted
    int done = 0;                  // messages judged so far
    std::vector<std::string> ids;  // by message number; empty without unique ids
    // The unwanted messages by number: a map, since a hostile listing may name
    // millions of messages and only the unwanted ones take room.
    std::map<int, UnwantedMessage> unwanted;
    std::size_t shownBlockBytes = 0;  // header blocks held in `unwanted`

    std::string IdOf(int number) const {
        const auto slot = static_cast<std::size_t>(number) - 1;
        return slot < ids.size() ? ids[slot] : std::string();
    }
};

}  // namespace

// Everything the thread touches besides the process-wide AppState. The thread holds
// its own reference, so a detached thread outlives the ScanWorker safely.
struct ScanWorker::Shared {
    Shared(AppState& appState, ScanView& scanView, ScanWorkerSettings workerSettings)
        : state(appState),
          settings(workerSettings),
          parallelChecks(workerSettings.parallelChecks),
          view(&scanView) {}

    AppState& state;
    const ScanWorkerSettings settings;
    std::atomic<int> parallelChecks;
    std::atomic<bool> stop{false};
    AutoResetEvent stopEvent;
    AutoResetEvent idleEvent;
    bool started = false;  // touched by the owner's thread only
    std::atomic<bool> checkAll{false};

    // A deletion asked for and not yet run, with the account's address at the time,
    // so that it never runs against an account whose server changed meanwhile.
    struct PendingDeletion {
        AccountId id = kNoAccount;
        std::string address;
        std::vector<UnwantedMessage> messages;
    };
    std::vector<PendingDeletion> deletions;  // guarded by mutex

    std::mutex mutex;  // guards view, finished, tokens and deletions
    std::condition_variable ended;
    ScanView* view;  // null once Stop() has begun
    bool finished = false;
    std::shared_ptr<AccessTokenSource> tokens;

    void Run();
    void RunPass();
    // The due accounts not checked yet in this pass, those on one mailbox together.
    std::vector<std::vector<AccountId>> DueMailboxes(bool all, std::set<AccountId>& taken) const;
    // Runs the mailboxes' checks on up to `parallelChecks` threads, this one included.
    void CheckMailboxes(const std::vector<std::vector<AccountId>>& mailboxes);
    void CheckOne(AccountId id);
    std::vector<DeletionReport> RunDeletions();
    void RunDeletion(const PendingDeletion& pending, std::vector<DeletionReport>& reports);
    DeletionReport Delete(const PendingDeletion& pending, const AccountRecord& account);
    // After a check, for an account that deletes on its own: its unwanted messages at
    // or below its threshold.
    void DeleteAutomatically(AccountId id, const AccountRecord& account, CheckReport& report);
    // The deleted messages, and those no longer on the server, leave the unwanted list.
    bool DropFromList(AccountId id, const DeletionReport& report);
    // False once the account was removed during its check.
    bool Current(AccountId id) const { return state.IndexOf(id) >= 0; }
    void CheckAccount(CheckRun& run, const AccountRecord& account, CheckReport& report);
    // Logs in as the account says; false, with the reason in `report`, when it failed.
    bool SignIn(Pop3Session& session, const AccountRecord& account, const AccountLogin& login,
                int port, CheckReport& report);
    bool SignInWithToken(Pop3Session& session, const AccountRecord& account,
                         const AccountLogin& login, int port, CheckReport& report);
    void ScanMessages(CheckRun& run, Pop3Session& session, CheckReport& report);
    // The numbers of the listed messages, at most `count`: from the unique ids when the
    // server gave them, else from LIST. False when the check must end.
    bool ListedNumbers(Pop3Session& session, int count, const std::vector<std::string>* ids,
                       std::vector<int>& numbers, CheckReport& report);
    // Judges the listed messages whose headers are kept (again, when the rules changed
    // since) and returns the numbers of the others, to be fetched.
    std::vector<int> JudgeKnown(CheckRun& run, const std::vector<int>& numbers);
    // Judges and keeps one fetched header. False when the check must end.
    bool JudgeFetched(CheckRun& run, int number, MessageHeader& header);
    // Notes the message in the run when it is unwanted.
    static void Verdict(CheckRun& run, int number, const KeptMessage& message);
    // Runs a change of the kept headers unless the account was removed meanwhile.
    template <class Change>
    void KeepIfCurrent(AccountId id, Change&& change);
    // Tells the view how far the check is. False when the check must end.
    bool ShowProgress(const CheckRun& run);
    // Makes one view call unless stopping. False when the check must end: the window
    // is closing, and nothing of it or of AppState may be touched any more.
    template <class Call>
    bool ToView(Call&& call);
};

template <class Call>
bool ScanWorker::Shared::ToView(Call&& call) {
    ScanView* target = nullptr;
    {
        std::lock_guard lock(mutex);
        target = view;
    }
    // A call counts as under way once its target has been read: Stop() clears the
    // target first, so no call can begin after it, and it waits for this thread
    // before the caller may free the view.
    if (target == nullptr || stop) {
        return false;
    }
    call(*target);
    return !stop;
}

void ScanWorker::Shared::Run() {
    idleEvent.Set();
    // Stop() raises the flag before it signals; a signal without it is CheckNow().
    while (!stop) {
        stopEvent.Wait(settings.tick);
        if (!stop) {
            RunPass();
        }
    }
    {
        std::lock_guard lock(mutex);
        finished = true;
    }
    ended.notify_all();
}

void ScanWorker::Shared::RunPass() {
    RunDeletions();
    const bool all = checkAll.exchange(false);
    // Accounts added while the pass runs join it in a round of their own.
    std::set<AccountId> taken;
    for (auto mailboxes = DueMailboxes(all, taken); !stop && !mailboxes.empty();
         mailboxes = DueMailboxes(all, taken)) {
        IdleOnExit idle(idleEvent);
        // The window rebuilds the table after an edit; a flag still raised means no
        // one has yet, and the checks would otherwise score with rules the user changed.
        ReloadRulesIfModified(state);
        CheckMailboxes(mailboxes);
    }
    if (!stop && settings.afterPass) {
        settings.afterPass();
    }
}

std::vector<std::vector<AccountId>> ScanWorker::Shared::DueMailboxes(
    bool all, std::set<AccountId>& taken) const {
    const auto now = static_cast<std::uint32_t>(std::time(nullptr));
    std::vector<std::vector<AccountId>> mailboxes;
    std::map<std::string, std::size_t> placeOf;
    std::lock_guard lock(state.mutex);
    for (std::uint32_t index = 0; index < state.accountCount; ++index) {
        const AccountRecord& account = state.accounts[index];
        const AccountId id = state.IdOfLocked(index);
        if (!(all || IsDue(account, now)) || !taken.insert(id).second) {
            continue;
        }
        const auto [place, added] = placeOf.try_emplace(MailboxKey(account), mailboxes.size());
        if (added) {
            mailboxes.emplace_back();
        }
        mailboxes[place->second].push_back(id);
    }
    return mailboxes;
}

void ScanWorker::Shared::CheckMailboxes(const std::vector<std::vector<AccountId>>& mailboxes) {
    std::atomic<std::size_t> next{0};
    const auto work = [&] {
        for (std::size_t m = next++; m < mailboxes.size() && !stop; m = next++) {
            for (const AccountId id : mailboxes[m]) {
                if (stop) {
                    break;
                }
                CheckOne(id);
            }
        }
    };
    const std::size_t threads = std::min<std::size_t>(
        static_cast<std::size_t>(std::clamp(parallelChecks.load(), 1, kMostParallelChecks)),
        mailboxes.size());
    std::vector<std::thread> helpers;
    for (std::size_t t = 1; t < threads; ++t) {
        helpers.emplace_back(work);
    }
    work();
    for (std::thread& helper : helpers) {
        helper.join();
    }
}

void ScanWorker::Shared::CheckOne(AccountId id) {
    AccountRecord account{};
    if (!state.CopyAccountById(id, account)) {
        return;  // removed since the pass began
    }
    CheckRun run;
    run.id = id;
    run.rules = state.CurrentRules();
    state.MarkChecked(id, static_cast<std::uint32_t>(std::time(nullptr)));
    DebugLog::Write("check", "account " + std::to_string(id) + " is due");
    if (!ToView([&](ScanView& v) { v.CheckStarted(id); })) {
        return;
    }
    CheckReport report;
    try {
        CheckAccount(run, account, report);
    } catch (const std::exception&) {
        // Out of memory on a hostile reply: this check ends, the next one comes a
        // period later like after any other failure.
        report.failure = Failure{FailureKind::kServer, "a reply did not fit in memory", {}};
    }
    if (stop) {
        return;
    }
    if (account.autoDelete == 1 && settings.deleteAutomatically && !report.failure.failed()) {
        DeleteAutomatically(id, account, report);
    }
    if (Current(id)) {
        ToView([&](ScanView& v) { v.CheckEnded(id, report); });
    }
}

std::vector<DeletionReport> ScanWorker::Shared::RunDeletions() {
    std::vector<PendingDeletion> pending;
    {
        std::lock_guard lock(mutex);
        pending.swap(deletions);
    }
    std::vector<DeletionReport> reports;
    for (const PendingDeletion& deletion : pending) {
        if (stop) {
            break;
        }
        RunDeletion(deletion, reports);
    }
    return reports;
}

void ScanWorker::Shared::RunDeletion(const PendingDeletion& pending,
                                     std::vector<DeletionReport>& reports) {
    AccountRecord account{};
    if (!state.CopyAccountById(pending.id, account) ||
        AccountText(account.address) != pending.address) {
        reports.push_back(
            DeletionReport{Failure{FailureKind::kServer, "the account changed", {}}, {}, {}});
        return;
    }
    IdleOnExit idle(idleEvent);
    const DeletionReport& report = reports.emplace_back(Delete(pending, account));
    if (DropFromList(pending.id, report)) {
        ToView([&](ScanView& v) { v.DeletionEnded(pending.id, report); });
    }
}

DeletionReport ScanWorker::Shared::Delete(const PendingDeletion& pending,
                                          const AccountRecord& account) {
    DeletionReport report;
    const AccountLogin login = SplitAddress(pending.address);
    Pop3Session session;
    session.SetStopFlag(&stop);
    session.SetSignInMethod(SignInFromDigit(account.authMethod));
    session.m_nTimeout = settings.readTimeoutMs;
    const ConnectionSecurity security = SecurityFromDigit(account.security);
    session.SetSecurity(security, account.trustedFingerprint);
    const int port = settings.port != 0 ? settings.port : EffectivePort(security, account.port);
    CheckReport signIn;
    if (!SignIn(session, account, login, port, signIn)) {
        report.failure = signIn.failure;
    } else {
        try {
            Quarantine quarantine(state.dataDirectory, pending.address);
            report = DeletionSession(session, quarantine, &stop)
                         .Run(pending.messages, std::time(nullptr));
        } catch (const std::exception&) {
            session.Abandon();
            report.failure = Failure{FailureKind::kServer, "a message did not fit in memory", {}};
        }
    }
    return report;
}

void ScanWorker::Shared::DeleteAutomatically(AccountId id, const AccountRecord& account,
                                             CheckReport& report) {
    constexpr int kDefaultThreshold = 50;
    const int threshold = account.deleteThreshold >= 1 && account.deleteThreshold <= 10000
                              ? account.deleteThreshold
                              : kDefaultThreshold;
    PendingDeletion pending{id, std::string(AccountText(account.address)), {}};
    for (const UnwantedMessage& message : report.unwanted) {
        if (message.score <= -threshold && !message.uidl.empty()) {
            pending.messages.push_back(message);
        }
    }
    if (pending.messages.empty() || !Current(id)) {
        return;
    }
    const DeletionReport deletion = Delete(pending, account);
    DropFromList(id, deletion);
    report.deleted = deletion.deleted;
    std::erase_if(report.unwanted, [&](const UnwantedMessage& m) {
        return std::any_of(deletion.deleted.begin(), deletion.deleted.end(),
                           [&](const DeletedMessage& d) { return d.uidl == m.uidl; });
    });
    if (deletion.failure.failed()) {
        report.failure = deletion.failure;
        report.failure.detail = "deleting: " + FailureText(deletion.failure);
        report.failure.kind = FailureKind::kServer;
    }
}

bool ScanWorker::Shared::DropFromList(AccountId id, const DeletionReport& report) {
    // Deleted, or no longer on the server: either way no longer waiting there.
    std::vector<std::string> left(report.gone);
    for (const DeletedMessage& deleted : report.deleted) {
        left.push_back(deleted.uidl);
    }
    const int index = state.IndexOf(id);
    if (index < 0) {
        return false;
    }
    std::vector<UnwantedMessage> unwanted =
        state.CopyUnwantedMessages(static_cast<std::uint32_t>(index));
    std::erase_if(unwanted, [&](const UnwantedMessage& m) {
        return !m.uidl.empty() && std::find(left.begin(), left.end(), m.uidl) != left.end();
    });
    // A check running meanwhile cannot touch this list: it is the same mailbox, and
    // deletions run between passes or within that mailbox's own turn.
    return state.ReplaceUnwanted(id, std::move(unwanted));
}

void ScanWorker::Shared::CheckAccount(CheckRun& run, const AccountRecord& account,
                                      CheckReport& report) {
    const AccountLogin login = SplitAddress(AccountText(account.address));
    Pop3Session session;
    session.SetStopFlag(&stop);
    session.SetSignInMethod(SignInFromDigit(account.authMethod));
    session.m_nTimeout = settings.readTimeoutMs;
    const ConnectionSecurity security = SecurityFromDigit(account.security);
    session.SetSecurity(security, account.trustedFingerprint);
    const int port = settings.port != 0 ? settings.port : EffectivePort(security, account.port);
    report.host = login.host;
    report.port = port;
    if (!SignIn(session, account, login, port, report)) {
        return;
    }
    int count = 0;
    int size = 0;
    if (session.Stat(count, size) != 1) {
        report.failure = session.LastFailure();
        session.Quit();
        return;
    }
    report.messages = count;
    report.size = static_cast<std::uint32_t>(size);
    run.total = count;
    if (!ShowProgress(run) || !Current(run.id)) {
        if (!stop) {  // the account was removed meanwhile: end this check orderly
            session.Quit();
        }
        return;
    }
    if (account.scanMessages == 1) {
        ScanMessages(run, session, report);
        if (stop) {
            return;
        }
        if (!Current(run.id)) {  // removed midway: nothing more to show
            session.Quit();
            return;
        }
    }
    // The progress runs to its end over every check, with nothing to fetch too.
    if (!report.failure.failed() && run.done != run.total) {
        run.done = run.total;
        if (!ShowProgress(run)) {
            return;
        }
    }
    session.Quit();
}

bool ScanWorker::Shared::SignIn(Pop3Session& session, const AccountRecord& account,
                                const AccountLogin& login, int port, CheckReport& report) {
    if (SignInFromDigit(account.authMethod) == SignInMethod::kOAuth2) {
        return SignInWithToken(session, account, login, port, report);
    }
    if (session.Login(login.host, login.user, std::string(AccountText(account.password)), port) ==
        1) {
        return true;
    }
    report.failure = session.LastFailure();
    return false;
}

// A refused token is most often one that expired early or was revoked: one renewal and
// one more login on a new connection tell that from a sign-in the user must repeat.
bool ScanWorker::Shared::SignInWithToken(Pop3Session& session, const AccountRecord& account,
                                         const AccountLogin& login, int port, CheckReport& report) {
    std::shared_ptr<AccessTokenSource> source;
    {
        std::lock_guard lock(mutex);
        source = tokens;
    }
    for (const bool renew : {false, true}) {
        Failure why;
        const std::optional<std::string> token =
            source ? source->AccessToken(account, renew, why) : std::nullopt;
        if (!token) {
            report.failure =
                why.failed() ? why : Failure{FailureKind::kSignInAgain, "no sign-in yet", {}};
            return false;
        }
        if (session.Login(login.host, login.user, *token, port) == 1) {
            report.failure = Failure{};
            return true;
        }
        report.failure = session.LastFailure();
        // [SYS/TEMP] is the server's own fault and [IN-USE] another session's: each has
        // a kind of its own, and a new token would fare no better.
        if (report.failure.kind != FailureKind::kLoginRefused || stop) {
            return false;
        }
        DebugLog::Write("check", renew ? "the renewed token was refused too"
                                       : "the token was refused; renewing it");
    }
    report.failure.kind = FailureKind::kSignInAgain;
    return false;
}

bool ScanWorker::Shared::ListedNumbers(Pop3Session& session, int count,
                                       const std::vector<std::string>* ids,
                                       std::vector<int>& numbers, CheckReport& report) {
    numbers.clear();
    if (ids != nullptr) {
        const auto listed = static_cast<std::int64_t>(ids->size());
        for (std::int64_t n = 1; n <= std::min<std::int64_t>(count, listed); ++n) {
            numbers.push_back(static_cast<int>(n));
        }
        return true;
    }
    // Only the messages the listing holds are fetched, whatever STAT claimed. No size
    // means the listing ended, LIST failed or the session is out of step: the last two
    // fail the check. Counted wide: the loop may not wrap at a count of INT_MAX.
    for (std::int64_t n = 1; n <= count && !stop; ++n) {
        int listedSize = 0;
        if (session.GetMessageSize(static_cast<int>(n), listedSize) != 1) {
            if (session.LastFailure().failed()) {
                report.failure = session.LastFailure();
                return false;
            }
            break;
        }
        numbers.push_back(static_cast<int>(n));
    }
    return !stop;
}

void ScanWorker::Shared::ScanMessages(CheckRun& run, Pop3Session& session, CheckReport& report) {
    // Without a unique-id listing nothing can be recognised again: every header is
    // fetched, and nothing is kept.
    const bool haveIds = session.UniqueIds(run.ids) == 1;
    if (!haveIds) {
        run.ids.clear();
    }
    std::vector<int> numbers;
    if (!ListedNumbers(session, run.total, haveIds ? &run.ids : nullptr, numbers, report)) {
        return;
    }
    if (haveIds) {
        KeepIfCurrent(run.id, [&] { state.kept.Retain(run.id, run.ids); });
    }
    const std::vector<int> fetch = JudgeKnown(run, numbers);
    run.done = static_cast<int>(numbers.size() - fetch.size());
    if (run.done > 0 && !ShowProgress(run)) {
        return;
    }
    const auto judgeFetched = [&](int number, MessageHeader& header) {
        return JudgeFetched(run, number, header);
    };
    if (session.TopEach(fetch, judgeFetched) != 1) {
        // A check that ends midway leaves the account's last list as it was: what it
        // did not reach may still be waiting, and a partial list would drop it.
        if (session.LastFailure().failed()) {
            report.failure = session.LastFailure();
        }
        return;
    }
    for (auto& [number, message] : run.unwanted) {
        report.unwanted.push_back(std::move(message));
    }
    // The list becomes what waits on the server now, each message once.
    static_cast<void>(state.ReplaceUnwanted(run.id, report.unwanted));
}

std::vector<int> ScanWorker::Shared::JudgeKnown(CheckRun& run, const std::vector<int>& numbers) {
    std::vector<int> fetch;
    for (const int number : numbers) {
        KeptMessage message;
        const std::string id = run.IdOf(number);
        if (id.empty() || !state.kept.Find(run.id, id, message)) {
            fetch.push_back(number);
            continue;
        }
        const bool rulesChanged = message.rulesVersion != run.rules->version();
        if (rulesChanged) {
            JudgeKept(*run.rules, message);
        }
        Verdict(run, number, message);
        if (rulesChanged) {
            KeepIfCurrent(run.id, [&] { state.kept.Keep(run.id, std::move(message)); });
        }
    }
    return fetch;
}

bool ScanWorker::Shared::JudgeFetched(CheckRun& run, int number, MessageHeader& header) {
    if (stop || !Current(run.id)) {
        return false;
    }
    // A message the server refused to show counts as done, with no verdict.
    if (header.headerText) {
        KeptMessage message;
        message.uidl = run.IdOf(number);
        message.headerBlock = std::move(*header.headerText);
        JudgeKept(*run.rules, message);
        Verdict(run, number, message);
        if (!message.uidl.empty()) {
            KeepIfCurrent(run.id, [&] { state.kept.Keep(run.id, std::move(message)); });
        }
    }
    ++run.done;
    return ShowProgress(run);
}

void ScanWorker::Shared::Verdict(CheckRun& run, int number, const KeptMessage& message) {
    if (message.score >= 0) {
        return;
    }
    UnwantedMessage unwanted = DescribeUnwanted(*run.rules, number, message);
    // The lists hold the blocks of a check's unwanted messages up to a bound of their
    // own; past it a message shows its sender and subject alone.
    run.shownBlockBytes += unwanted.headerBlock.size();
    if (run.shownBlockBytes > kShownBlockBudget) {
        unwanted.headerBlock = std::string();
    }
    run.unwanted.insert_or_assign(number, std::move(unwanted));
}

template <class Change>
void ScanWorker::Shared::KeepIfCurrent(AccountId id, Change&& change) {
    // Under the state's lock a removal cannot come between the look and the change,
    // so no block is kept for an account that is gone.
    std::lock_guard lock(state.mutex);
    if (state.IndexOfLocked(id) >= 0) {
        change();
    }
}

bool ScanWorker::Shared::ShowProgress(const CheckRun& run) {
    return ToView([&run](ScanView& v) { v.CheckProgress(run.id, run.done, run.total); });
}

ScanWorker::ScanWorker(AppState& state, ScanView& view, ScanWorkerSettings settings)
    : shared_(std::make_shared<Shared>(state, view, settings)) {}

ScanWorker::~ScanWorker() {
    if (thread_.joinable()) {
        Stop();
    }
}

void ScanWorker::Start() {
    if (shared_->started) {
        return;
    }
    shared_->started = true;
    thread_ = std::thread([shared = shared_] { shared->Run(); });
}

bool ScanWorker::Stop(std::chrono::milliseconds wait) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    shared_->stop = true;
    {
        std::lock_guard lock(shared_->mutex);
        shared_->view = nullptr;
    }
    shared_->stopEvent.Set();
    if (!thread_.joinable()) {
        std::lock_guard lock(shared_->mutex);
        return !shared_->started || shared_->finished;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    shared_->idleEvent.Wait(std::max(left, std::chrono::milliseconds(0)));
    std::unique_lock lock(shared_->mutex);
    const bool ended =
        shared_->ended.wait_until(lock, deadline, [this] { return shared_->finished; });
    lock.unlock();
    if (ended) {
        thread_.join();
    } else {
        thread_.detach();
    }
    return ended;
}

void ScanWorker::SetAccessTokens(std::shared_ptr<AccessTokenSource> tokens) {
    std::lock_guard lock(shared_->mutex);
    shared_->tokens = std::move(tokens);
}

void ScanWorker::RunPass() {
    shared_->RunPass();
}

void ScanWorker::CheckNow() {
    shared_->checkAll = true;
    shared_->stopEvent.Set();
}

void ScanWorker::SetParallelChecks(int count) {
    shared_->parallelChecks = std::clamp(count, 1, kMostParallelChecks);
}

void ScanWorker::Delete(AccountId id, std::vector<UnwantedMessage> messages) {
    AccountRecord account{};
    if (messages.empty() || !shared_->state.CopyAccountById(id, account)) {
        return;
    }
    {
        std::lock_guard lock(shared_->mutex);
        shared_->deletions.push_back(Shared::PendingDeletion{
            id, std::string(AccountText(account.address)), std::move(messages)});
    }
    // A signal without the stop flag wakes the thread for a pass, which deletes first.
    shared_->stopEvent.Set();
}

std::vector<DeletionReport> ScanWorker::RunDeletions() {
    return shared_->RunDeletions();
}

AutoResetEvent& ScanWorker::stopEvent() {
    return shared_->stopEvent;
}

AutoResetEvent& ScanWorker::idleEvent() {
    return shared_->idleEvent;
}
