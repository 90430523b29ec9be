#include <QFile>
#include <QLineEdit>
#include <QStandardPaths>
#include <QTableWidget>
#include <QUuid>
#include <QtTest>
#include <csignal>

#include "app/main_window.h"
#include "app/quorvane_app.h"
#include "gui_test_support.h"
#include "store/account_file.h"
#include "ui/page_inbox.h"
#include "ui/passphrase_dialog.h"

namespace {
const QString kIncorrect = QStringLiteral("The passphrase is incorrect.");

QuorvaneApp::Options OptionsFor(const QTemporaryDir& dir) {
    QuorvaneApp::Options options;
    options.programPath = QDir(dir.path()).filePath("quorvane");
    options.instanceName = "quorvane-test-" + QUuid::createUuid().toString(QUuid::Id128);
    return options;
}

// Types `passphrase` (twice in confirmation mode) and presses OK; records the mode.
std::function<void(PassphraseDialog*)> Type(const QString& passphrase, bool* confirmMode) {
    return [passphrase, confirmMode](PassphraseDialog* dialog) {
        *confirmMode = dialog->confirmMode();
        dialog->findChild<QLineEdit*>("passphraseEdit")->setText(passphrase);
        dialog->findChild<QLineEdit*>("confirmEdit")->setText(passphrase);
        dialog->accept();
    };
}

// Writes an account file of three accounts under `passphrase`.
void WriteThreeAccounts(const QTemporaryDir& dir, const std::string& passphrase) {
    AppState state;
    guitest::UseDirectory(state, dir);
    guitest::SetPassphrase(state, passphrase);
    state.AppendAccount(qvtest::MakeAccount("me@127.0.0.1", "a", {.description = "Home"}));
    state.AppendAccount(qvtest::MakeAccount("me@127.0.0.2", "b", {.description = "Work"}));
    state.AppendAccount(qvtest::MakeAccount("me@127.0.0.3", "c", {.description = "Old"}));
    qvtest::FakePrompts prompts{"passphrase"};
    QVERIFY(SaveAccountFile(state, prompts));
}

QStringList InboxRows(MainWindow* window) {
    QStringList rows;
    QTableWidget* list = window->inboxPage()->list();
    for (int row = 0; row < list->rowCount(); ++row) {
        rows << list->item(row, 0)->text();
    }
    return rows;
}
}  // namespace

class StartupTest : public QObject {
    Q_OBJECT
  private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }
    void init() { log_.texts.clear(); }

    void firstStartAsksForANewPassphrase_data() {
        QTest::addColumn<bool>("emptyFile");
        QTest::newRow("missing file") << false;
        QTest::newRow("empty file") << true;
    }
    void firstStartAsksForANewPassphrase() {
        QFETCH(bool, emptyFile);
        QTemporaryDir dir;
        if (emptyFile) {
            QFile file(QDir(dir.path()).filePath("email.qvd"));
            QVERIFY(file.open(QIODevice::WriteOnly));
        }
        AppState state;
        QuorvaneApp app(state, OptionsFor(dir));
        bool confirmMode = false;
        QStringList rows{"not shown"};
        guitest::Script script;
        script.When<PassphraseDialog>(Type("new passphrase", &confirmMode))
            .When<MainWindow>([&](MainWindow* window) {
                rows = InboxRows(window);
                QVERIFY(window->workerRunning());
                window->reject();
            });
        QCOMPARE(app.Run(), 0);
        QVERIFY(script.Finished());
        QVERIFY(confirmMode);
        QCOMPARE(rows, QStringList());
        QCOMPARE(QByteArray(state.passphrase), QByteArray("new passphrase"));
        QCOMPARE(QByteArray(state.dataDirectory), (dir.path() + "/").toLocal8Bit());
        QCOMPARE(log_.texts, QStringList());
    }

    // SIGTERM (a logout, `kill`) ends the run as Close does: the accounts in the file,
    // the worker stopped, no dialog left waiting.
    void stopSignalSavesAndEnds() {
        QTemporaryDir dir;
        AppState state;
        QuorvaneApp app(state, OptionsFor(dir));
        bool confirmMode = false;
        guitest::Script script;
        script.When<PassphraseDialog>(Type("new passphrase", &confirmMode))
            .When<MainWindow>([&](MainWindow* window) {
                QVERIFY(window->workerRunning());
                for (const char* name : {"One", "Two"}) {
                    state.AppendAccount(
                        qvtest::MakeAccount("me@127.0.0.1", "pw", {.description = name}));
                }
                state.accountsDirty = 1;  // as after a write that failed
                ::raise(SIGTERM);
            });
        QCOMPARE(app.Run(), 0);
        QVERIFY(script.Finished());
        QCOMPARE(state.accountsDirty.load(), 0);
        AppState loaded;
        guitest::UseDirectory(loaded, dir);
        guitest::SetPassphrase(loaded, "new passphrase");
        qvtest::FakePrompts prompts;
        QCOMPARE(LoadAccountFile(loaded, prompts), 1);
        QCOMPARE(loaded.accountCount, 2u);
        QCOMPARE(QByteArray(loaded.accounts[1].description), QByteArray("Two"));
        QCOMPARE(log_.texts, QStringList());
    }

    void filledFileLoadsUnderThePassphrase() {
        QTemporaryDir dir;
        WriteThreeAccounts(dir, "right passphrase");
        AppState state;
        QuorvaneApp app(state, OptionsFor(dir));
        bool confirmMode = true;
        QStringList rows;
        guitest::Script script;
        script.When<PassphraseDialog>(Type("right passphrase", &confirmMode))
            .When<MainWindow>([&](MainWindow* window) {
                rows = InboxRows(window);
                window->reject();
            });
        QCOMPARE(app.Run(), 0);
        QVERIFY(!confirmMode);
        QCOMPARE(rows, (QStringList{"Home", "Work", "Old"}));
        QCOMPARE(log_.texts, QStringList());
    }

    // Three wrong tries, an account added and Close: the next start with the right
    // passphrase shows every account of the file and says nothing.
    void wrongPassphraseAsksThriceThenLosesNothing() {
        QTemporaryDir dir;
        WriteThreeAccounts(dir, "right passphrase");
        {
            AppState state;
            QuorvaneApp app(state, OptionsFor(dir));
            bool confirmMode = true;
            QStringList rows{"not shown"};
            guitest::Script script;
            script.When<PassphraseDialog>(Type("wrong passphrase", &confirmMode))
                .When<PassphraseDialog>(Type("wrong passphrase", &confirmMode))
                .When<PassphraseDialog>(Type("wrong passphrase", &confirmMode))
                .When<MainWindow>([&](MainWindow* window) {
                    rows = InboxRows(window);
                    state.AppendAccount(qvtest::MakeAccount(
                        "me@127.0.0.9", "d", {.description = "Added", .periodMinutes = 1}));
                    state.accountsDirty = 1;
                    window->accept();
                });
            QCOMPARE(app.Run(), 0);
            QVERIFY(script.Finished());
            QCOMPARE(rows, QStringList());
            QCOMPARE(log_.texts.size(), 3);
            QCOMPARE(log_.texts.mid(0, 2), (QStringList{kIncorrect, kIncorrect}));
            QVERIFY2(log_.texts[2].startsWith("3 records of email.qvd could not be read"),
                     qPrintable(log_.texts[2]));
        }
        log_.texts.clear();
        AppState state;
        QuorvaneApp app(state, OptionsFor(dir));
        bool confirmMode = true;
        QStringList rows;
        guitest::Script script;
        script.When<PassphraseDialog>(Type("right passphrase", &confirmMode))
            .When<MainWindow>([&](MainWindow* window) {
                rows = InboxRows(window);
                window->reject();
            });
        QCOMPARE(app.Run(), 0);
        QCOMPARE(rows, (QStringList{"Home", "Work", "Old"}));
        QCOMPARE(log_.texts, QStringList());
    }

    void cancelEndsWithoutAWindow() {
        QTemporaryDir dir;
        AppState state;
        QuorvaneApp app(state, OptionsFor(dir));
        bool windowShown = false;
        guitest::Script script;
        script.When<PassphraseDialog>([](PassphraseDialog* dialog) { dialog->reject(); });
        QTimer watch;
        connect(&watch, &QTimer::timeout,
                [&] { windowShown = windowShown || guitest::Shown<MainWindow>() != nullptr; });
        watch.start(5);
        QCOMPARE(app.Run(), 0);
        QVERIFY(!windowShown);
        QCOMPARE(log_.texts, QStringList());
        QVERIFY(!QFile::exists(QDir(dir.path()).filePath("email.qvd")));
    }

    void secondCopyBringsTheFirstUpWithoutAsking() {
        QTemporaryDir dir;
        const QuorvaneApp::Options options = OptionsFor(dir);
        AppState first;
        QuorvaneApp app(first, options);
        bool confirmMode = false;
        int secondResult = -1;
        bool secondAsked = false;
        bool broughtUp = false;
        guitest::Script script;
        script.When<PassphraseDialog>(Type("first copy", &confirmMode))
            .When<MainWindow>([&](MainWindow* window) {
                window->showMinimized();
                auto second = std::make_unique<AppState>();
                QuorvaneApp copy(*second, options);
                guitest::Script watch;
                watch.When<PassphraseDialog>([&](PassphraseDialog* dialog) {
                    secondAsked = true;
                    dialog->reject();
                });
                secondResult = copy.Run();
            })
            .Then([&] {
                MainWindow* window = guitest::Shown<MainWindow>();
                if (window == nullptr || window->isMinimized()) {
                    return false;
                }
                broughtUp = true;
                window->reject();
                return true;
            });
        QCOMPARE(app.Run(), 0);
        QCOMPARE(secondResult, 0);
        QVERIFY(!secondAsked);
        QVERIFY(broughtUp);
    }

    void nameLeftByACrashedCopyIsTakenOver() {
        QTemporaryDir dir;
        const QuorvaneApp::Options options = OptionsFor(dir);
        {
            // A listening socket file nobody serves any more.
            QLocalServer stale;
            QVERIFY(stale.listen(options.instanceName));
            const QString path = stale.fullServerName();
            stale.close();
            QFile marker(path);
            QVERIFY(!marker.exists() || marker.remove());
            QVERIFY(QFile(path).open(QIODevice::WriteOnly));
        }
        AppState state;
        QuorvaneApp app(state, options);
        QVERIFY(!app.HandOverToRunningCopy());
        AppState other;
        QuorvaneApp second(other, options);
        QVERIFY(second.HandOverToRunningCopy());
    }

    void dataDirectoryChoice() {
        QTemporaryDir dir;
        const QString program = QDir(dir.path()).filePath("quorvane");
        QCOMPARE(QuorvaneApp::ChooseDataDirectory(program), dir.path());
        // A program directory that cannot hold the files gives way to the user's.
        const QString userDir = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
        QCOMPARE(QuorvaneApp::ChooseDataDirectory("/nonexistent/place/quorvane"), userDir);
        QVERIFY(QDir(userDir).exists());
        const QString deep = dir.path() + "/" + QString(250, u'd');
        QVERIFY(QDir().mkpath(deep));
        QCOMPARE(QuorvaneApp::ChooseDataDirectory(deep + "/quorvane"), userDir);
        QVERIFY(QuorvaneApp::NetworkingReady());
    }

  private:
    guitest::MessageLog log_;
};

QTEST_MAIN(StartupTest)
#include "startup_test.moc"
