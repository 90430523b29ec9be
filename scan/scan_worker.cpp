#include "scan/scan_worker.h"

#include <algorithm>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <exception>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
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
constexpr int kSizeColumn = 2;
constexpr int kCountColumn = 1;
constexpr int kTimeColumn = 3;
constexpr int kStatusColumn = 4;
constexpr std::size_t kShownBlockBudget = std::size_t{16} << 20;

std::string_view AccountText(const char (&field)[kTextSize]) {
    return std::string_view(field, strnlen(field, kTextSize - 1));
}

// The unsigned difference makes a lastCheck in the future (clock set back) due at once.
bool IsDue(const AccountRecord& account, std::uint32_t now) {
    const std::uint32_t elapsed = now - account.lastCheck;
    return static_cast<std::int64_t>(elapsed) > account.periodMinutes * kSecondsPerPeriodUnit;
}

// STAT sizes come through a signed int; reading it back as unsigned keeps mailboxes of
// 2 to 4 GB right.
std::string SizeText(int size) {
    char text[32];
    std::snprintf(text, sizeof text, "%u KB", static_cast<unsigned>(size) / 1024u);
    return text;
}

std::string LocalTimeText() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[128];
    const std::size_t length = std::strftime(text, sizeof text, "%X", &local);
    return std::string(text, length);
}

// Signals idle when a check ends, however it ends.
class IdleOnExit {
  public:
    explicit IdleOnExit(AutoResetEvent& idle) : idle_(idle) { idle_.Reset(); }
    ~IdleOnExit() { idle_.Set(); }
    IdleOnExit(const IdleOnExit&) = delete;
    IdleOnExit& operator=(const IdleOnExit&) = delete;

  private:
    AutoResetEvent& idle_;
};

// One account's messages on their way through a scanning check. Message numbers
// start at 1 and are listed without gaps.
struct ScanPass {
    std::uint32_t index = 0;
    std::vector<std::string> ids;  // by message number; empty without unique ids
    // The unwanted messages by number: a map, since a hostile listing may name
    // millions of messages and only the unwanted ones take room.
    std::map<int, UnwantedMessage> unwanted;
    std::size_t shownBlockBytes = 0;  // header blocks held in `unwanted`
    int done = 0;                     // messages judged so far

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
        : state(appState), settings(workerSettings), view(&scanView) {}

    AppState& state;
    const ScanWorkerSettings settings;
    std::atomic<bool> stop{false};
    AutoResetEvent stopEvent;
    AutoResetEvent idleEvent;
    bool started = false;  // touched by the owner's thread only
    std::atomic<bool> checkAll{false};
    std::uint32_t removalsSeen = 0;  // AppState::removals when this check began
    // The rule table this check took at its start and scores with to its end, even
    // when a rule edit puts a newer one in force meanwhile.
    std::shared_ptr<const RuleTable> rules;

    // A deletion asked for and not yet run, with the account's address at the time,
    // so that it never runs against an account that took the index meanwhile.
    struct PendingDeletion {
        std::uint32_t index = 0;
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
    std::vector<DeletionReport> RunDeletions();
    DeletionReport RunDeletion(const PendingDeletion& pending);
    DeletionReport Delete(const PendingDeletion& pending, const AccountRecord& account);
    // After a check, for an account that deletes on its own: its unwanted messages at
    // or below its threshold.
    void DeleteAutomatically(std::uint32_t index, const AccountRecord& account,
                             CheckReport& report);
    // The deleted messages, and those no longer on the server, leave the unwanted list.
    bool DropFromList(std::uint32_t index, const DeletionReport& report);
    void CheckIfDue(std::uint32_t index, bool all);
    // False once an account was removed during this check: its index may name another.
    bool Current() const { return state.Removals() == removalsSeen; }
    void CheckAccount(std::uint32_t index, const AccountRecord& account, CheckReport& report);
    // Logs in as the account says; false, with the reason in `report`, when it failed.
    bool SignIn(Pop3Session& session, const AccountRecord& account, const AccountLogin& login,
                int port, CheckReport& report);
    bool SignInWithToken(Pop3Session& session, const AccountRecord& account,
                         const AccountLogin& login, int port, CheckReport& report);
    void ScanMessages(std::uint32_t index, Pop3Session& session, int count, CheckReport& report);
    // The numbers of the listed messages, at most `count`: from the unique ids when the
    // server gave them, else from LIST. False when the check must end.
    bool ListedNumbers(Pop3Session& session, int count, const std::vector<std::string>* ids,
                       std::vector<int>& numbers, CheckReport& report);
    // Judges the listed messages whose headers are kept (again, when the rules changed
    // since) and returns the numbers of the others, to be fetched.
    std::vector<int> JudgeKnown(ScanPass& pass, const std::vector<int>& numbers);
    // Judges and keeps one fetched header. False when the check must end.
    bool JudgeFetched(ScanPass& pass, int number, MessageHeader& header);
    // Notes the message in the pass when it is unwanted.
    void Verdict(ScanPass& pass, int number, const KeptMessage& message) const;
    // Runs a change of the kept headers unless an account was removed since this check
    // began.
    template <class Change>
    void KeepIfCurrent(Change&& change);
    // The bar's position: the messages done so far. False when the check must end.
    bool ShowPosition(int position);
    int barEnd = 1;    // the bar's range ends here, whatever the count
    int barShown = 0;  // the last position shown in this check
    void ShowOutcome(std::uint32_t index, const CheckReport& report);
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
    // The count is read again before every account, so accounts added meanwhile join.
    for (std::uint32_t index = 0; !stop && index < state.AccountCount(); ++index) {
        CheckIfDue(index, all);
    }
    if (!stop && settings.afterPass) {
        settings.afterPass();
    }
}

void ScanWorker::Shared::CheckIfDue(std::uint32_t index, bool all) {
    const auto now = static_cast<std::uint32_t>(std::time(nullptr));
    AccountRecord account{};
    removalsSeen = state.Removals();
    if (!state.CopyAccount(index, account) || !(all || IsDue(account, now))) {
        return;
    }
    IdleOnExit idle(idleEvent);
    // The window rebuilds the table after an edit; a flag still raised means no one
    // has yet, and the check would otherwise score with rules the user changed.
    ReloadRulesIfModified(state);
    rules = state.CurrentRules();
    {
        std::lock_guard lock(state.mutex);
        if (state.removals == removalsSeen) {
            state.accounts[index].lastCheck = now;
        }
    }
    DebugLog::Write("check", "account " + std::to_string(index) + " is due");
    CheckReport report;
    try {
        CheckAccount(index, account, report);
    } catch (const std::exception&) {
        // Out of memory on a hostile reply: this check ends, the next one comes a
        // period later like after any other failure.
        report.failure = Failure{FailureKind::kServer, "a reply did not fit in memory", {}};
    }
    if (account.autoDelete == 1 && settings.deleteAutomatically && !report.failure.failed() &&
        !stop) {
        DeleteAutomatically(index, account, report);
    }
    ShowOutcome(index, report);
    rules.reset();  // an older table is freed once nothing scores with it
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
        reports.push_back(RunDeletion(deletion));
    }
    return reports;
}

DeletionReport ScanWorker::Shared::RunDeletion(const PendingDeletion& pending) {
    AccountRecord account{};
    removalsSeen = state.Removals();
    if (!state.CopyAccount(pending.index, account) ||
        AccountText(account.address) != pending.address) {
        return DeletionReport{Failure{FailureKind::kServer, "the account changed", {}}, {}, {}};
    }
    IdleOnExit idle(idleEvent);
    const DeletionReport report = Delete(pending, account);
    if (DropFromList(pending.index, report)) {
        const std::size_t count = report.deleted.size();
        const std::string status = report.failure.failed()
                                       ? "Deletion failed: " + FailureText(report.failure)
                                       : "Deleted " + std::to_string(count) +
                                             (count == 1 ? " message" : " messages") +
                                             " (copies kept)";
        const int row = static_cast<int>(pending.index);
        ToView([&](ScanView& v) { v.SetInboxCell(row, kStatusColumn, status); });
    }
    return report;
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

void ScanWorker::Shared::DeleteAutomatically(std::uint32_t index, const AccountRecord& account,
                                             CheckReport& report) {
    constexpr int kDefaultThreshold = 50;
    const int threshold = account.deleteThreshold >= 1 && account.deleteThreshold <= 10000
                              ? account.deleteThreshold
                              : kDefaultThreshold;
    PendingDeletion pending{index, std::string(AccountText(account.address)), {}};
    for (const UnwantedMessage& message : report.unwanted) {
        if (message.score <= -threshold && !message.uidl.empty()) {
            pending.messages.push_back(message);
        }
    }
    if (pending.messages.empty() || !Current()) {
        return;
    }
    const DeletionReport deletion = Delete(pending, account);
    DropFromList(index, deletion);
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

bool ScanWorker::Shared::DropFromList(std::uint32_t index, const DeletionReport& report) {
    // Deleted, or no longer on the server: either way no longer waiting there.
    std::vector<std::string> left(report.gone);
    for (const DeletedMessage& deleted : report.deleted) {
        left.push_back(deleted.uidl);
    }
    std::vector<UnwantedMessage> unwanted = state.CopyUnwantedMessages(index);
    std::erase_if(unwanted, [&](const UnwantedMessage& m) {
        return !m.uidl.empty() && std::find(left.begin(), left.end(), m.uidl) != left.end();
    });
    return state.ReplaceUnwanted(index, removalsSeen, std::move(unwanted));
}

void ScanWorker::Shared::ShowOutcome(std::uint32_t index, const CheckReport& report) {
    if (!Current()) {
        return;  // the account was removed during its check: its row is another's now
    }
    const int row = static_cast<int>(index);
    const std::string status = FailureText(report.failure);
    if (ToView([&](ScanView& v) { v.SetInboxCell(row, kStatusColumn, status); })) {
        ToView([&](ScanView& v) { v.ReportCheck(row, report); });
    }
}

void ScanWorker::Shared::CheckAccount(std::uint32_t index, const AccountRecord& account,
                                      CheckReport& report) {
    const AccountLogin login = SplitAddress(AccountText(account.address));
    const std::string& host = login.host;
    Pop3Session session;
    session.SetStopFlag(&stop);
    session.SetSignInMethod(SignInFromDigit(account.authMethod));
    session.m_nTimeout = settings.readTimeoutMs;
    const ConnectionSecurity security = SecurityFromDigit(account.security);
    session.SetSecurity(security, account.trustedFingerprint);
    const int port = settings.port != 0 ? settings.port : EffectivePort(security, account.port);
    report.host = host;
    report.port = port;
    if (!SignIn(session, account, login, port, report)) {
        return;
    }
    if (!ToView([](ScanView& v) { v.ShowProgress(true); })) {
        return;
    }
    int count = 0;
    int size = 0;
    if (session.Stat(count, size) != 1) {
        report.failure = session.LastFailure();
        session.Quit();
        ToView([](ScanView& v) { v.ShowProgress(false); });
        return;
    }
    report.messages = count;
    report.size = static_cast<std::uint32_t>(size);
    const int row = static_cast<int>(index);
    // One view call at a time: each may be the one that finds the window closing.
    // The bar runs from empty to full over every check, with nothing to fetch too.
    barEnd = std::max(1, count);
    const bool shown =
        ToView([&](ScanView& v) { v.SetProgressRange(0, barEnd); }) && ShowPosition(0) &&
        Current() &&
        ToView([&](ScanView& v) { v.SetInboxCell(row, kCountColumn, std::to_string(count)); }) &&
        ToView([&](ScanView& v) { v.SetInboxCell(row, kSizeColumn, SizeText(size)); }) &&
        ToView([&](ScanView& v) { v.SetInboxCell(row, kTimeColumn, LocalTimeText()); });
    if (!shown) {
        if (!stop) {  // the account was removed meanwhile: end this check orderly
            session.Quit();
            ToView([](ScanView& v) { v.ShowProgress(false); });
        }
        return;
    }
    if (account.scanMessages == 1) {
        ScanMessages(index, session, count, report);
        if (stop) {
            return;
        }
    }
    if (!report.failure.failed() && barShown != barEnd && !ShowPosition(barEnd)) {
        return;
    }
    session.Quit();
    ToView([](ScanView& v) { v.ShowProgress(false); });
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
        // [SYS/TEMP] is the server's own fault and [IN-USE] another session's: a new
        // token would fare no better.
        const bool tokenRefused = report.failure.kind == FailureKind::kLoginRefused &&
                                  !report.failure.detail.starts_with("[IN-USE]");
        if (!tokenRefused || stop) {
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

void ScanWorker::Shared::ScanMessages(std::uint32_t index, Pop3Session& session, int count,
                                      CheckReport& report) {
    // Without a unique-id listing nothing can be recognised again: every header is
    // fetched, and nothing is kept.
    ScanPass pass;
    pass.index = index;
    const bool haveIds = session.UniqueIds(pass.ids) == 1;
    if (!haveIds) {
        pass.ids.clear();
    }
    std::vector<int> numbers;
    if (!ListedNumbers(session, count, haveIds ? &pass.ids : nullptr, numbers, report)) {
        return;
    }
    if (haveIds) {
        KeepIfCurrent([&] { state.kept.Retain(index, pass.ids); });
    }
    const std::vector<int> fetch = JudgeKnown(pass, numbers);
    pass.done = static_cast<int>(numbers.size() - fetch.size());
    if (pass.done > 0 && !ShowPosition(pass.done)) {
        return;
    }
    const auto judgeFetched = [&](int number, MessageHeader& header) {
        return JudgeFetched(pass, number, header);
    };
    if (session.TopEach(fetch, judgeFetched) != 1) {
        // A check that ends midway leaves the account's last list as it was: what it
        // did not reach may still be waiting, and a partial list would drop it.
        if (session.LastFailure().failed()) {
            report.failure = session.LastFailure();
        }
        return;
    }
    for (auto& [number, message] : pass.unwanted) {
        report.unwanted.push_back(std::move(message));
    }
    // The list becomes what waits on the server now, each message once.
    state.ReplaceUnwanted(index, removalsSeen, report.unwanted);
}

std::vector<int> ScanWorker::Shared::JudgeKnown(ScanPass& pass, const std::vector<int>& numbers) {
    std::vector<int> fetch;
    for (const int number : numbers) {
        KeptMessage message;
        const std::string id = pass.IdOf(number);
        if (id.empty() || !state.kept.Find(pass.index, id, message)) {
            fetch.push_back(number);
            continue;
        }
        const bool rulesChanged = message.rulesVersion != rules->version();
        if (rulesChanged) {
            JudgeKept(*rules, message);
        }
        Verdict(pass, number, message);
        if (rulesChanged) {
            KeepIfCurrent([&] { state.kept.Keep(pass.index, std::move(message)); });
        }
    }
    return fetch;
}

bool ScanWorker::Shared::JudgeFetched(ScanPass& pass, int number, MessageHeader& header) {
    if (stop || !Current()) {
        return false;
    }
    // A message the server refused to show counts as done, with no verdict.
    if (header.headerText) {
        KeptMessage message;
        message.uidl = pass.IdOf(number);
        message.headerBlock = std::move(*header.headerText);
        JudgeKept(*rules, message);
        Verdict(pass, number, message);
        if (!message.uidl.empty()) {
            KeepIfCurrent([&] { state.kept.Keep(pass.index, std::move(message)); });
        }
    }
    return ShowPosition(++pass.done);
}

void ScanWorker::Shared::Verdict(ScanPass& pass, int number, const KeptMessage& message) const {
    if (message.score >= 0) {
        return;
    }
    UnwantedMessage unwanted = DescribeUnwanted(*rules, number, message);
    // The lists hold the blocks of a check's unwanted messages up to a bound of their
    // own; past it a message shows its sender and subject alone.
    pass.shownBlockBytes += unwanted.headerBlock.size();
    if (pass.shownBlockBytes > kShownBlockBudget) {
        unwanted.headerBlock = std::string();
    }
    pass.unwanted.insert_or_assign(number, std::move(unwanted));
}

template <class Change>
void ScanWorker::Shared::KeepIfCurrent(Change&& change) {
    // Under the state's lock a removal cannot come between the look and the change,
    // so blocks are never kept under an index that names another account by now.
    std::lock_guard lock(state.mutex);
    if (state.removals == removalsSeen) {
        change();
    }
}

bool ScanWorker::Shared::ShowPosition(int position) {
    barShown = position;
    return ToView([position](ScanView& v) { v.SetProgressPosition(position); });
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

void ScanWorker::Delete(std::uint32_t index, std::vector<UnwantedMessage> messages) {
    AccountRecord account{};
    if (messages.empty() || !shared_->state.CopyAccount(index, account)) {
        return;
    }
    {
        std::lock_guard lock(shared_->mutex);
        shared_->deletions.push_back(Shared::PendingDeletion{
            index, std::string(AccountText(account.address)), std::move(messages)});
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
