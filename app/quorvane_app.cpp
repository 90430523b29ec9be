#include "app/quorvane_app.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <ctime>
#include <iostream>

#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLocalSocket>
#include <QSessionManager>
#include <QStandardPaths>
#include <QTemporaryFile>

#include "app/kept_file.h"
#include "app/main_window.h"
#include "scan/quarantine.h"
#include "scan/rule_loader.h"
#include "store/account_file.h"
#include "store/rule_list_file.h"
#include "ui/message_box.h"
#include "ui/user_options.h"

namespace {
constexpr int kHandOverWaitMs = 2000;
constexpr int kStopSignals[] = {SIGTERM, SIGINT};
// The self-pipe: a signal handler may do almost nothing, but write() is allowed.
int stopPipe[2] = {-1, -1};
struct sigaction previousActions[std::size(kStopSignals)];

extern "C" void NoteStopSignal(int) {
    const int savedErrno = errno;
    const char byte = 's';
    // A full pipe already holds a byte: the event loop will see the stop all the same.
    if (::write(stopPipe[1], &byte, 1) < 0) {
        errno = savedErrno;
    }
    errno = savedErrno;
}

// At a signal or the session's end nobody may be there to answer a message box: a
// failed save is told on the standard error instead.
class UnattendedPrompts : public UserPrompts {
  public:
    bool AskPassphrase(bool, std::string&) override { return false; }
    void ShowNotice(const std::string& text) override { std::cerr << text << std::endl; }
};

const char* const kDataFiles[] = {"email.qvd", "friends.qvd", "block.qvd"};

bool HoldsDataFiles(const QDir& dir) {
    for (const char* name : kDataFiles) {
        if (QFileInfo::exists(dir.filePath(QString::fromLatin1(name)))) {
            return true;
        }
    }
    return false;
}

// Permission bits do not tell (root, access lists, read-only mounts): try it.
bool CanWriteIn(const QString& dir) {
    QTemporaryFile probe(dir + QStringLiteral("/.quorvane-XXXXXX"));
    return probe.open();
}

// The data directory is kept with its separator in 259 bytes; a longer one would be
// cut and point elsewhere.
bool FitsDataDirectory(const QString& dir) {
    return (dir + QLatin1Char('/')).toLocal8Bit().size() < static_cast<qsizetype>(kPathSize);
}
}  // namespace

QuorvaneApp::Options QuorvaneApp::DefaultOptions() {
    Options options;
    options.programPath = QCoreApplication::applicationFilePath();
    options.instanceName = QStringLiteral("quorvane-%1").arg(getuid());
    return options;
}

QuorvaneApp::QuorvaneApp(AppState& state, Options options)
    : state_(state), options_(std::move(options)) {
    server_.setSocketOptions(QLocalServer::UserAccessOption);
    connect(&server_, &QLocalServer::newConnection, this, &QuorvaneApp::OnRunningCopyAsked);
}

QuorvaneApp::~QuorvaneApp() {
    ReleaseStopSignals();
}

void QuorvaneApp::CatchStopSignals() {
    if (stopNotifier_ || ::pipe2(stopPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        return;
    }
    stopNotifier_ = std::make_unique<QSocketNotifier>(stopPipe[0], QSocketNotifier::Read);
    connect(stopNotifier_.get(), &QSocketNotifier::activated, this, &QuorvaneApp::OnStopSignal);
    struct sigaction action {};
    action.sa_handler = NoteStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (std::size_t i = 0; i < std::size(kStopSignals); ++i) {
        sigaction(kStopSignals[i], &action, &previousActions[i]);
    }
}

void QuorvaneApp::ReleaseStopSignals() {
    if (!stopNotifier_) {
        return;
    }
    for (std::size_t i = 0; i < std::size(kStopSignals); ++i) {
        sigaction(kStopSignals[i], &previousActions[i], nullptr);
    }
    stopNotifier_.reset();
    ::close(stopPipe[0]);
    ::close(stopPipe[1]);
    stopPipe[0] = stopPipe[1] = -1;
}

void QuorvaneApp::OnStopSignal() {
    char bytes[16];
    while (::read(stopPipe[0], bytes, sizeof bytes) > 0) {
    }
    EndRun();
}

void QuorvaneApp::EndRun() {
    // Each dialog runs a loop of its own inside the window's: they must end first.
    for (int open = 0; open < 16; ++open) {
        auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        if (dialog == nullptr || dialog == window_) {
            break;
        }
        dialog->reject();
    }
    if (window_) {
        UnattendedPrompts prompts;
        window_->EndRun(prompts);
    }
}

// The session may still be cancelled when it asks for the data: save, and go on.
// When it does end, the application quits, and the run ends as at a signal (here, or
// after the loop in Run when no aboutToQuit comes).
void QuorvaneApp::FollowTheSession() {
    auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance());
    if (app == nullptr) {
        return;
    }
    connect(app, &QGuiApplication::commitDataRequest, this, [this](QSessionManager&) {
        if (window_) {
            UnattendedPrompts prompts;
            static_cast<void>(window_->SaveIfEdited(prompts));
        }
    });
    connect(app, &QCoreApplication::aboutToQuit, this, &QuorvaneApp::EndRun);
}

// Sockets need no start-up here; what can fail is making one at all (no IPv4 stack,
// or the process out of descriptors), which leaves the worker nothing to do.
bool QuorvaneApp::NetworkingReady() {
    const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
    if (probe < 0) {
        return false;
    }
    ::close(probe);
    return true;
}

bool QuorvaneApp::HandOverToRunningCopy() {
    QLocalSocket socket;
    socket.connectToServer(options_.instanceName);
    if (socket.waitForConnected(kHandOverWaitMs)) {
        socket.write("show\n");
        socket.waitForBytesWritten(kHandOverWaitMs);
        socket.disconnectFromServer();
        return true;
    }
    // Nobody answers: a name still there was left by a copy that did not end cleanly.
    // (Listening replaces the name, so the running copy must be asked first.)
    QLocalServer::removeServer(options_.instanceName);
    server_.listen(options_.instanceName);
    return false;
}

void QuorvaneApp::OnRunningCopyAsked() {
    while (QLocalSocket* socket = server_.nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        socket->disconnectFromServer();
    }
    if (window_) {
        window_->BringUp();
        return;
    }
    // Still asking for the passphrase: that dialog is the window to show.
    if (QWidget* modal = QApplication::activeModalWidget()) {
        modal->show();
        modal->raise();
        modal->activateWindow();
    }
}

QString QuorvaneApp::ChooseDataDirectory(const QString& programPath) {
    const QString programDir = QFileInfo(programPath).absolutePath();
    if (FitsDataDirectory(programDir) &&
        (HoldsDataFiles(QDir(programDir)) || CanWriteIn(programDir))) {
        return programDir;
    }
    const QString userDir = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    QDir().mkpath(userDir);
    return userDir;
}

int QuorvaneApp::Run() {
    if (!NetworkingReady()) {
        ShowMessage(nullptr, QStringLiteral("Windows sockets initialization failed."), false);
        return 1;
    }
    if (HandOverToRunningCopy()) {
        return 0;
    }
    CatchStopSignals();
    const QString dataDir = ChooseDataDirectory(options_.programPath);
    const QString programName = QFileInfo(options_.programPath).fileName();
    SetDataDirectory(state_, QDir(dataDir).filePath(programName).toLocal8Bit().toStdString());
    if (LoadAccountFile(state_, prompts_) == 0) {
        return 0;  // the passphrase dialog was cancelled
    }
    LoadRuleLists(state_);
    static_cast<void>(KeptFile::Load(state_));
    // Copies of deleted messages are kept for the days the user chose, counted from
    // each start rather than by a timer: a copy is never needed by the minute.
    Quarantine::Expire(state_.dataDirectory, std::time(nullptr), UserOptions::QuarantineDays());
    TellUnreadRules();
    MainWindow window(state_, prompts_, options_.worker);
    FollowTheSession();
    window_ = &window;
    prompts_.SetParent(&window);
    // Not exec(): hiding the window to the tray would end it. The run ends when the
    // window finishes (Close, Escape, Quit, or the close box without a tray).
    QApplication::setQuitOnLastWindowClosed(false);
    QEventLoop loop;
    bool finished = false;
    connect(&window, &QDialog::finished, &loop, [&] {
        finished = true;
        loop.quit();
    });
    window.show();
    loop.exec();
    // QCoreApplication::quit (the session's end) ends every loop, the window's own
    // ending included: the save and the ordered stop still happen here.
    if (!finished) {
        EndRun();
    }
    prompts_.SetParent(nullptr);
    window_ = nullptr;
    ReleaseStopSignals();
    return 0;
}

// One notice per rule file with lines that hold no rule; the files keep them.
void QuorvaneApp::TellUnreadRules() {
    for (const RuleList list : {RuleList::kFriends, RuleList::kBlock}) {
        std::size_t unread = 0;
        ReadRuleFile(state_, list, &unread);
        if (unread > 0) {
            const std::string path = RuleFilePath(state_, list);
            prompts_.ShowNotice(
                UnreadRecordsNotice(path.substr(path.find_last_of('/') + 1), unread));
        }
    }
}

MainWindow* QuorvaneApp::mainWindow() const {
    return window_;
}
