#pragma once

#include <QDialog>
#include <QString>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "app/app_state.h"
#include "scan/scan_view.h"
#include "scan/scan_worker.h"
#include "store/user_prompts.h"
#include "ui/desktop_tray.h"

namespace Ui {
class MainWindow;
}
class CPageAccount;
class CPageFriend;
class CPageInbox;
class CPageOptions;
class OAuthTokenSource;
class PostedView;
class QProgressBar;
class QTabWidget;
class QTableWidget;
class RuleRebuilder;
class SkinButton;

// The program's window: the tabbed pages, a progress bar over the checks under way
// and the Close button. It starts the worker when it opens and stops it when it closes.
// The accounts page writes every edit at once; Close, Escape and the close box save
// again whatever a failed write left unsaved (a failed save keeps the window open
// only on Close). Where the desktop has a tray, the close box only hides the
// window (unless the user turned that off) and the worker goes on checking; the
// tray's Quit ends the program as Close does.
//
// A rule or account edit has the rule table rebuilt on a thread of its own, so that
// the next check finds it built.
//
// The window's ScanView calls draw at once and belong to the user-interface thread.
// The worker reaches them from its own thread through a PostedView, which never makes
// it wait; nothing it noted is drawn after Close.
class MainWindow : public QDialog, public ScanView {
    Q_OBJECT
  public:
    static constexpr std::chrono::milliseconds kStopWait{5000};

    MainWindow(AppState& state, UserPrompts& prompts, ScanWorkerSettings settings = {},
               QWidget* parent = nullptr);
    ~MainWindow() override;

    void CheckStarted(AccountId id) override;
    void CheckProgress(AccountId id, int done, int total) override;
    void CheckEnded(AccountId id, const CheckReport& report) override;
    void DeletionEnded(AccountId id, const DeletionReport& report) override;

    // Ends the run without asking anything: saves unsaved account edits (a failure
    // goes to `prompts`), stops the worker and finishes the window. For a signal or
    // the end of the desktop session, when no one may be there to answer a dialog.
    void EndRun(UserPrompts& prompts);
    // Writes unsaved account edits; false (the user told through `prompts`) on failure.
    [[nodiscard]] bool SaveIfEdited(UserPrompts& prompts);
    // Brings the window to the front, restored if minimised.
    void BringUp();
    // Every account is checked at once, whatever its period.
    void CheckNow();
    // Replaces the desktop's tray and notices (tests fake them).
    void UseDesktop(DesktopHooks hooks);
    DesktopTray* tray() const { return tray_.get(); }
    CPageAccount* accountsPage() const { return accountsPage_; }
    CPageOptions* optionsPage() const { return optionsPage_; }

    QTabWidget* sheet() const;
    CPageInbox* inboxPage() const { return inboxPage_; }
    QProgressBar* progressBar() const;
    SkinButton* closeButton() const;
    bool workerRunning() const { return workerRunning_; }

  public slots:
    void accept() override;
    void done(int result) override;

  protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

  private:
    // Stops the worker and the rule rebuilds, together within kStopWait.
    void StopWorker();
    void RebuildRules();
    void SetUpDesktop();
    // The lists whose column widths are kept, by the names they are kept under.
    std::vector<std::pair<QString, QTableWidget*>> KeptLists() const;
    void RestoreLayout();
    void SaveLayout();
    void OnAccountRemoved(int index);
    void OnAccountChanged(int index, bool serverChanged);
    // After each account check: notices for new unwanted messages, the tray's count.
    void OnCheckEnded();
    std::vector<std::set<std::string>> UnwantedKeys() const;
    // The bar shows the checks under way together; hidden when none is.
    void ShowRunningChecks();

    AppState& state_;
    UserPrompts& prompts_;
    std::unique_ptr<Ui::MainWindow> ui_;
    std::shared_ptr<PostedView> posted_;
    CPageInbox* inboxPage_ = nullptr;
    CPageFriend* blockPage_ = nullptr;
    CPageFriend* friendsPage_ = nullptr;
    CPageAccount* accountsPage_ = nullptr;
    CPageOptions* optionsPage_ = nullptr;
    std::unique_ptr<ScanWorker> worker_;
    std::unique_ptr<RuleRebuilder> rebuilder_;
    // Shared with the worker's thread, which may outlive this window when let go.
    std::shared_ptr<OAuthTokenSource> tokens_;
    bool workerRunning_ = false;
    bool endingRun_ = false;
    std::unique_ptr<DesktopTray> tray_;
    // Unwanted messages per account when last looked at, to tell the new ones.
    std::vector<std::set<std::string>> unwantedSeen_;
    QByteArray hiddenGeometry_;  // where the window was when it went to the tray
    std::map<AccountId, std::pair<int, int>> running_;  // done and total of each check
};
