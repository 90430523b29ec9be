#include "app/main_window.h"

#include <QCloseEvent>
#include <QHeaderView>
#include <QKeyEvent>
#include <QProgressBar>
#include <QTabWidget>
#include <QTableWidget>
#include <algorithm>
#include <chrono>

#include "app/kept_file.h"
#include "app/oauth_token_source.h"
#include "scan/rule_rebuilder.h"
#include "store/account_file.h"
#include "ui/page_account.h"
#include "ui/page_friend.h"
#include "ui/page_inbox.h"
#include "ui/page_options.h"
#include "ui/posted_view.h"
#include "ui/resources.h"
#include "ui/skin_button.h"
#include "ui/user_options.h"
#include "ui_main_window.h"

namespace {
// The views of workers that had to be let go while a view call was under way: kept
// for as long as the process runs, since such a call may still be using one.
void KeepAbandoned(std::shared_ptr<PostedView> view) {
    static auto* abandoned = new std::vector<std::shared_ptr<PostedView>>;
    abandoned->push_back(std::move(view));
}
}  // namespace

MainWindow::MainWindow(AppState& state, UserPrompts& prompts, ScanWorkerSettings settings,
                       QWidget* parent)
    : QDialog(parent),
      state_(state),
      prompts_(prompts),
      ui_(std::make_unique<Ui::MainWindow>()),
      posted_(std::make_shared<PostedView>(*this, *this)) {
    ui_->setupUi(this);
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    UseProgramLook(this, {ui_->closeButton});
    ui_->progressBar->hide();

    inboxPage_ = new CPageInbox(state_, ui_->sheet);
    blockPage_ = new CPageFriend(state_, RuleList::kBlock, prompts_, ui_->sheet);
    friendsPage_ = new CPageFriend(state_, RuleList::kFriends, prompts_, ui_->sheet);
    accountsPage_ = new CPageAccount(state_, prompts_, ui_->sheet);
    optionsPage_ = new CPageOptions(ui_->sheet);
    optionsPage_->SetDataDirectory(QString::fromLocal8Bit(state_.dataDirectory));
    ui_->sheet->addTab(inboxPage_, QStringLiteral("Inbox"));
    ui_->sheet->addTab(blockPage_, QStringLiteral("Block"));
    ui_->sheet->addTab(friendsPage_, QStringLiteral("Friends"));
    ui_->sheet->addTab(accountsPage_, QStringLiteral("Email Accounts"));
    ui_->sheet->addTab(optionsPage_, QStringLiteral("Options"));
    ui_->sheet->setCurrentIndex(0);
    connect(accountsPage_, &CPageAccount::accountAdded, inboxPage_, &CPageInbox::AddAccountRow);
    // Account edits raise `modified` too: whatever raised it, the table is built aside.
    for (CPageFriend* page : {blockPage_, friendsPage_}) {
        connect(page, &CPageFriend::rulesEdited, this, &MainWindow::RebuildRules);
    }
    connect(accountsPage_, &CPageAccount::accountAdded, this, &MainWindow::RebuildRules);
    connect(accountsPage_, &CPageAccount::accountChanged, this, &MainWindow::RebuildRules);
    connect(accountsPage_, &CPageAccount::accountRemoved, this, &MainWindow::RebuildRules);
    connect(ui_->closeButton, &QPushButton::clicked, this, &MainWindow::accept);

    settings.afterPass = [&s = state_] { static_cast<void>(KeptFile::SaveIfChanged(s)); };
    settings.parallelChecks = UserOptions::ParallelChecks();
    worker_ = std::make_unique<ScanWorker>(state_, *posted_, settings);
    connect(optionsPage_, &CPageOptions::parallelChecksChanged, this, [this](int count) {
        if (worker_) {
            worker_->SetParallelChecks(count);
        }
    });
    rebuilder_ = std::make_unique<RuleRebuilder>(state_);
    tokens_ = std::make_shared<OAuthTokenSource>(state_);
    worker_->SetAccessTokens(tokens_);
    SetUpDesktop();
}

MainWindow::~MainWindow() {
    StopWorker();
}

QTabWidget* MainWindow::sheet() const {
    return ui_->sheet;
}

QProgressBar* MainWindow::progressBar() const {
    return ui_->progressBar;
}

SkinButton* MainWindow::closeButton() const {
    return ui_->closeButton;
}

void MainWindow::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (!workerRunning_ && worker_) {
        workerRunning_ = true;
        worker_->Start();
    }
}

void MainWindow::accept() {
    // A failed save has told the user; Close keeps the window open so the edits are
    // not lost, and the user can free the disk and press Close again.
    if (!SaveIfEdited(prompts_)) {
        return;
    }
    QDialog::accept();
}

void MainWindow::done(int result) {
    // Escape and the close box save too: the pages write every edit as it is made, so
    // this only catches one whose write failed, and leaving must not drop it.
    if (!endingRun_) {
        static_cast<void>(SaveIfEdited(prompts_));
    }
    StopWorker();
    SaveLayout();
    QDialog::done(result);
}

void MainWindow::EndRun(UserPrompts& prompts) {
    endingRun_ = true;
    static_cast<void>(SaveIfEdited(prompts));
    done(QDialog::Rejected);
}

bool MainWindow::SaveIfEdited(UserPrompts& prompts) {
    return state_.accountsDirty.load() == 0 || SaveAccountFile(state_, prompts);
}

void MainWindow::StopWorker() {
    const auto deadline = std::chrono::steady_clock::now() + kStopWait;
    // Nothing drawn after Close, not even what the worker noted just before.
    posted_->Detach();
    if (tokens_) {
        tokens_->Stop();  // a token request under way ends now, not at its time limit
    }
    if (worker_) {
        if (!worker_->Stop(kStopWait)) {
            KeepAbandoned(posted_);
        } else {
            // Only once the worker has ended: it may be reloading the rules the save
            // reads. A worker let go has saved after its last full pass.
            static_cast<void>(KeptFile::SaveIfChanged(state_));
        }
        worker_.reset();
    }
    workerRunning_ = false;
    if (rebuilder_) {
        // A check waits for a rebuild under way, so the worker's wait has mostly
        // covered this one too. What is left of the time is spent on it; a rebuild
        // still running then is let go: the rule files are written already, the
        // table is only derived from them, and the next start builds it again.
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        rebuilder_->Stop(std::max(left, std::chrono::milliseconds(0)));
        rebuilder_.reset();
    }
}

void MainWindow::RebuildRules() {
    if (rebuilder_) {
        rebuilder_->Request();
    }
}

void MainWindow::BringUp() {
    if (isHidden() && !hiddenGeometry_.isEmpty()) {
        restoreGeometry(hiddenGeometry_);
    }
    if (isMinimized()) {
        showNormal();
    }
    show();
    raise();
    activateWindow();
}

void MainWindow::CheckStarted(AccountId id) {
    const int row = state_.IndexOf(id);
    if (row >= 0) {
        inboxPage_->ShowCheckStarted(row);
    }
}

void MainWindow::CheckProgress(AccountId id, int done, int total) {
    const int row = state_.IndexOf(id);
    if (row < 0) {
        return;
    }
    inboxPage_->ShowCheckProgress(row, done, total);
    running_[id] = {done, total};
    ShowRunningChecks();
}

void MainWindow::ShowRunningChecks() {
    long long done = 0;
    long long total = 0;
    for (const auto& [id, figures] : running_) {
        done += figures.first;
        total += std::max(1, figures.second);
    }
    // The bar's range is an int: large mailboxes are shown in proportion.
    constexpr long long kSteps = 10000;
    ui_->progressBar->setRange(0, static_cast<int>(kSteps));
    ui_->progressBar->setValue(total > 0 ? static_cast<int>(done * kSteps / total) : 0);
    ui_->progressBar->setVisible(!running_.empty());
}

// ---- The desktop: tray, notices, check now, removal, window layout ----

void MainWindow::SetUpDesktop() {
    // The window grows with its content and keeps what the user made of it.
    layout()->setSizeConstraint(QLayout::SetDefaultConstraint);
    setWindowFlag(Qt::WindowMaximizeButtonHint, true);
    setSizeGripEnabled(true);
    connect(inboxPage_, &CPageInbox::checkNowClicked, this, &MainWindow::CheckNow);
    inboxPage_->SetDeleteAction([this](int row, std::vector<UnwantedMessage> messages) {
        if (worker_ && row >= 0) {
            worker_->Delete(state_.IdOf(static_cast<std::uint32_t>(row)), std::move(messages));
        }
    });
    inboxPage_->SetRuleAction([this](RuleList list, const RuleEntry& rule, QWidget* over) {
        (list == RuleList::kBlock ? blockPage_ : friendsPage_)->AddFromMessage(rule, over);
    });
    connect(accountsPage_, &CPageAccount::accountRemoved, this, &MainWindow::OnAccountRemoved);
    connect(accountsPage_, &CPageAccount::accountChanged, this, &MainWindow::OnAccountChanged);
    // A trusted certificate is an account edit like any other: written at once.
    connect(inboxPage_, &CPageInbox::certificateTrusted, this,
            [this] { static_cast<void>(SaveIfEdited(prompts_)); });
    unwantedSeen_ = UnwantedKeys();
    RestoreLayout();
    UseDesktop({});
}

void MainWindow::UseDesktop(DesktopHooks hooks) {
    tray_ = std::make_unique<DesktopTray>(std::move(hooks));
    connect(tray_.get(), &DesktopTray::openRequested, this, &MainWindow::BringUp);
    connect(tray_.get(), &DesktopTray::checkNowRequested, this, &MainWindow::CheckNow);
    connect(tray_.get(), &DesktopTray::quitRequested, this, [this] {
        BringUp();  // a failed save says so over the window it belongs to
        accept();
    });
    optionsPage_->SetTrayAvailable(tray_->Shown());
    std::size_t waiting = 0;
    for (const std::set<std::string>& keys : unwantedSeen_) {
        waiting += keys.size();
    }
    tray_->SetWaiting(static_cast<int>(waiting));
}

void MainWindow::closeEvent(QCloseEvent* event) {
    if (tray_ && tray_->Shown() && UserOptions::KeepInTray()) {
        event->ignore();
        // Shown again, a dialog would take its own size and place: keep the user's.
        hiddenGeometry_ = saveGeometry();
        hide();
        return;
    }
    QDialog::closeEvent(event);
}

void MainWindow::keyPressEvent(QKeyEvent* event) {
    // A dialog hands Enter to its default button, and Close must not be one: Enter
    // presses the focused button and nothing else.
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        if (auto* button = qobject_cast<QPushButton*>(focusWidget())) {
            button->click();
        }
        return;
    }
    QDialog::keyPressEvent(event);
}

void MainWindow::CheckNow() {
    if (worker_ && workerRunning_) {
        worker_->CheckNow();
    }
}

void MainWindow::OnAccountRemoved(int index) {
    inboxPage_->RemoveAccountRow(index);
    // The removed account's check ends unreported: it no longer counts on the bar.
    std::erase_if(running_, [this](const auto& check) { return state_.IndexOf(check.first) < 0; });
    ShowRunningChecks();
    if (index >= 0 && static_cast<std::size_t>(index) < unwantedSeen_.size()) {
        unwantedSeen_.erase(unwantedSeen_.begin() + index);
    }
    OnCheckEnded();  // the tray's count loses the account's messages
}

void MainWindow::OnAccountChanged(int index, bool serverChanged) {
    if (serverChanged && index >= 0) {
        // What was found on the old mailbox says nothing of the new one: its list, its
        // kept headers and its share of the tray's count go until the next check.
        const AccountId id = state_.IdOf(static_cast<std::uint32_t>(index));
        static_cast<void>(state_.ReplaceUnwanted(id, {}));
        state_.kept.Retain(id, {});
    }
    inboxPage_->AccountChanged(index, serverChanged);
    if (serverChanged) {
        OnCheckEnded();
    }
}

// A message is told from the others by its unique id; without one, by what it shows.
std::vector<std::set<std::string>> MainWindow::UnwantedKeys() const {
    std::vector<std::set<std::string>> keys(state_.AccountCount());
    for (std::size_t i = 0; i < keys.size(); ++i) {
        for (const UnwantedMessage& message :
             state_.CopyUnwantedMessages(static_cast<std::uint32_t>(i))) {
            keys[i].insert(message.uidl.empty()
                               ? message.from + '\n' + message.subject + '\n' + message.date
                               : message.uidl);
        }
    }
    return keys;
}

void MainWindow::OnCheckEnded() {
    std::vector<std::set<std::string>> keys = UnwantedKeys();
    QStringList news;
    std::size_t waiting = 0;
    for (std::size_t i = 0; i < keys.size(); ++i) {
        waiting += keys[i].size();
        // A message that left and another that came keep the count: the ids tell.
        std::size_t added = 0;
        for (const std::string& key : keys[i]) {
            added += i >= unwantedSeen_.size() || unwantedSeen_[i].count(key) == 0 ? 1 : 0;
        }
        if (added == 0) {
            continue;
        }
        AccountRecord account{};
        state_.CopyAccount(static_cast<std::uint32_t>(i), account);
        news << QStringLiteral("%1: %2 new unwanted message%3")
                    .arg(QString::fromLocal8Bit(account.description))
                    .arg(added)
                    .arg(added == 1 ? QString() : QStringLiteral("s"));
    }
    unwantedSeen_ = std::move(keys);
    tray_->SetWaiting(static_cast<int>(waiting));
    if (!news.isEmpty() && UserOptions::Notices()) {
        tray_->Notify(QStringLiteral("Quorvane"), news.join(QLatin1Char('\n')));
    }
}

std::vector<std::pair<QString, QTableWidget*>> MainWindow::KeptLists() const {
    return {{QStringLiteral("inbox"), inboxPage_->list()},
            {QStringLiteral("block"), blockPage_->List()},
            {QStringLiteral("friends"), friendsPage_->List()},
            {QStringLiteral("accounts"), accountsPage_->List()}};
}

void MainWindow::RestoreLayout() {
    restoreGeometry(UserOptions::WindowGeometry());
    for (const auto& [name, list] : KeptLists()) {
        const QList<int> widths = UserOptions::ColumnWidths(name);
        for (int c = 0; c < widths.size() && c < list->columnCount(); ++c) {
            if (widths[c] > 0) {
                list->setColumnWidth(c, widths[c]);
            }
        }
    }
}

void MainWindow::SaveLayout() {
    UserOptions::SetWindowGeometry(saveGeometry());
    for (const auto& [name, list] : KeptLists()) {
        QList<int> widths;
        for (int c = 0; c < list->columnCount(); ++c) {
            widths << list->columnWidth(c);
        }
        UserOptions::SetColumnWidths(name, widths);
    }
}

void MainWindow::CheckEnded(AccountId id, const CheckReport& report) {
    running_.erase(id);
    ShowRunningChecks();
    const int row = state_.IndexOf(id);
    if (row < 0) {
        return;
    }
    inboxPage_->ShowCheckEnded(row, report);
    OnCheckEnded();
    // Automatic deletion changed a mailbox without a question: the user hears of it.
    const std::size_t deleted = report.deleted.size();
    AccountRecord account{};
    if (deleted > 0 && tray_ && UserOptions::Notices() &&
        state_.CopyAccount(static_cast<std::uint32_t>(row), account)) {
        tray_->Notify(QStringLiteral("Quorvane"),
                      QStringLiteral("%1: %2 unwanted message%3 deleted (copies kept)")
                          .arg(QString::fromLocal8Bit(account.description))
                          .arg(deleted)
                          .arg(deleted == 1 ? QString() : QStringLiteral("s")));
    }
}

void MainWindow::DeletionEnded(AccountId id, const DeletionReport& report) {
    const int row = state_.IndexOf(id);
    if (row >= 0) {
        inboxPage_->ShowDeletionEnded(row, report);
    }
}
