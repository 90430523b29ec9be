#include "app/main_window.h"

#include <QMetaObject>
#include <QProgressBar>
#include <QTabWidget>
#include <QThread>
#include <condition_variable>
#include <mutex>

#include "store/account_file.h"
#include "ui/page_account.h"
#include "ui/page_friend.h"
#include "ui/page_inbox.h"
#include "ui/page_options.h"
#include "ui/resources.h"
#include "ui/skin_button.h"
#include "ui_main_window.h"

namespace {
constexpr int kBlockPage = 1;
constexpr int kFriendsPage = 0;
}  // namespace

// What a worker's view call waits on. It is shared with every call under way, so a
// call can still finish its wait after the window has gone.
struct MainWindow::Bridge {
    std::mutex mutex;
    std::condition_variable served;
    bool closing = false;
};

MainWindow::MainWindow(AppState& state, UserPrompts& prompts, ScanWorkerSettings settings,
                       QWidget* parent)
    : QDialog(parent),
      state_(state),
      prompts_(prompts),
      ui_(std::make_unique<Ui::MainWindow>()),
      bridge_(std::make_shared<Bridge>()) {
    ui_->setupUi(this);
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    setWindowIcon(LoadIconResource(128));
    ui_->closeButton->UseProgramSkin();
    ui_->progressBar->hide();

    inboxPage_ = new CPageInbox(state_, ui_->sheet);
    blockPage_ = new CPageFriend(state_, kBlockPage, prompts_, ui_->sheet);
    friendsPage_ = new CPageFriend(state_, kFriendsPage, prompts_, ui_->sheet);
    accountsPage_ = new CPageAccount(state_, ui_->sheet);
    optionsPage_ = new CPageOptions(ui_->sheet);
    ui_->sheet->addTab(inboxPage_, QStringLiteral("Inbox"));
    ui_->sheet->addTab(blockPage_, QStringLiteral("Block"));
    ui_->sheet->addTab(friendsPage_, QStringLiteral("Friends"));
    ui_->sheet->addTab(accountsPage_, QStringLiteral("Email Accounts"));
    ui_->sheet->addTab(optionsPage_, QStringLiteral("Options"));
    ui_->sheet->setCurrentIndex(0);
    connect(accountsPage_, &CPageAccount::accountAdded, inboxPage_, &CPageInbox::AddAccountRow);
    connect(ui_->closeButton, &QPushButton::clicked, this, &MainWindow::accept);

    worker_ = std::make_unique<ScanWorker>(state_, *this, settings);
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
    if (!workerRunning_ && worker_ && !bridge_->closing) {
        workerRunning_ = true;
        worker_->Start();
    }
}

void MainWindow::accept() {
    // Only Close saves. A failed save has told the user; the window stays open so the
    // edits are not lost (Escape still leaves without saving).
    if (state_.accountsDirty.load() != 0 && !SaveAccountFile(state_, prompts_)) {
        return;
    }
    QDialog::accept();
}

void MainWindow::done(int result) {
    StopWorker();
    QDialog::done(result);
}

void MainWindow::StopWorker() {
    {
        // Releases any view call waiting for this thread, which is about to block.
        std::lock_guard lock(bridge_->mutex);
        bridge_->closing = true;
    }
    bridge_->served.notify_all();
    if (worker_) {
        worker_->Stop(kStopWait);
        worker_.reset();
    }
    workerRunning_ = false;
}

void MainWindow::BringUp() {
    if (isMinimized()) {
        showNormal();
    }
    show();
    raise();
    activateWindow();
}

template <class Call>
void MainWindow::OnGuiThread(Call call) {
    if (QThread::currentThread() == thread()) {
        call();
        return;
    }
    const std::shared_ptr<Bridge> bridge = bridge_;
    const auto served = std::make_shared<bool>(false);
    {
        std::lock_guard lock(bridge->mutex);
        if (bridge->closing) {
            return;
        }
    }
    // Queued to this window: if the window is gone first, the call is dropped.
    QMetaObject::invokeMethod(
        this,
        [bridge, served, call] {
            call();
            {
                std::lock_guard lock(bridge->mutex);
                *served = true;
            }
            bridge->served.notify_all();
        },
        Qt::QueuedConnection);
    std::unique_lock lock(bridge->mutex);
    bridge->served.wait(lock, [&] { return *served || bridge->closing; });
}

void MainWindow::SetProgressRange(int low, int high) {
    OnGuiThread([this, low, high] { ui_->progressBar->setRange(low, high); });
}

void MainWindow::SetProgressPosition(int position) {
    OnGuiThread([this, position] { ui_->progressBar->setValue(position); });
}

void MainWindow::ShowProgress(bool visible) {
    OnGuiThread([this, visible] { ui_->progressBar->setVisible(visible); });
}

void MainWindow::SetInboxCell(int row, int column, const std::string& text) {
    // The text is copied: a call released by closing returns before it is served.
    const QString cell = QString::fromLocal8Bit(text.data(), static_cast<qsizetype>(text.size()));
    OnGuiThread([this, row, column, cell] { inboxPage_->SetCell(row, column, cell); });
}

void MainWindow::ReportCheck(int row, const CheckReport& report) {
    OnGuiThread([this, row, report] { inboxPage_->SetCheckReport(row, report); });
}
