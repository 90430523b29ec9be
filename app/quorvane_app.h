#pragma once

#include <QLocalServer>
#include <QObject>
#include <QPointer>
#include <QSocketNotifier>
#include <QString>
#include <memory>

#include "app/app_state.h"
#include "scan/scan_worker.h"
#include "ui/qt_user_prompts.h"

class MainWindow;

// Start-up: networking, one running copy per user, the data directory, the accounts
// (through the passphrase dialog), the rule lists, then the main window until it
// closes.
class QuorvaneApp : public QObject {
    Q_OBJECT
  public:
    struct Options {
        QString programPath;   // the running program file
        QString instanceName;  // the local socket a running copy listens on
        ScanWorkerSettings worker;
    };
    // The running program's options: its own path and the user's instance name.
    static Options DefaultOptions();

    QuorvaneApp(AppState& state, Options options);
    ~QuorvaneApp() override;

    // The whole start-up and run; returns the process's exit code.
    int Run();

    // True when the platform's networking can be used.
    static bool NetworkingReady();
    // Takes the instance name, unless another copy holds it: that copy is asked to
    // bring its window up and the result is true.
    bool HandOverToRunningCopy();
    // Where the data files live: the program's directory when it can hold them (it is
    // writable, or already holds them), else the user's data directory.
    static QString ChooseDataDirectory(const QString& programPath);

    MainWindow* mainWindow() const;

    // SIGTERM and SIGINT end the run as Close does, without a dialog: the handler only
    // writes a byte to a pipe, and the event loop does the rest. Installed by Run;
    // tests install them themselves.
    void CatchStopSignals();
    void ReleaseStopSignals();

  private:
    void OnRunningCopyAsked();
    void OnStopSignal();
    // Closes the open dialogs, saves and finishes the window; with no window yet (the
    // passphrase dialog), the dialog's Cancel ends the run.
    void EndRun();
    void FollowTheSession();
    void TellUnreadRules();

    AppState& state_;
    Options options_;
    QtUserPrompts prompts_;
    QLocalServer server_;
    QPointer<MainWindow> window_;
    std::unique_ptr<QSocketNotifier> stopNotifier_;
};
