#include <QElapsedTimer>
#include <QFile>
#include <QProgressBar>
#include <QTabWidget>
#include <QTableWidget>
#include <QTreeWidget>
#include <QtTest>
#include <atomic>
#include <thread>

#include "app/main_window.h"
#include "gui_test_support.h"
#include "store/account_file.h"
#include "store/rule_list_file.h"
#include "tests/support/dovecot_server.h"
#include "tests/support/scripted_server.h"
#include "ui/deleted_mail_dialog.h"
#include "ui/page_account.h"
#include "ui/page_inbox.h"
#include "ui/skin_button.h"

namespace {
QString AccountFile(const QTemporaryDir& dir) {
    return QDir(dir.path()).filePath("email.qvd");
}

// A window over a scratch directory with one account edited but not saved.
struct EditedState {
    EditedState() {
        guitest::UseDirectory(state, dir);
        guitest::SetPassphrase(state, "secret passphrase");
        state.AppendAccount(qvtest::MakeAccount("me@127.0.0.1", "pw", {.description = "Home"}));
        state.accountsDirty = 1;
        state.modified = 1;
    }
    QTemporaryDir dir;
    AppState state;
    qvtest::FakePrompts prompts{"passphrase"};
};

std::string Message(const std::string& from, const std::string& subject) {
    return "Return-Path: <x@example.com>\r\nFrom: " + from + "\r\nTo: me@example.com\r\n" +
           "Subject: " + subject + "\r\nMessage-ID: <" + subject.substr(0, 3) +
           "@example.com>\r\n\r\nThe body, which is never fetched.\r\n";
}
}  // namespace

class MainWindowTest : public QObject {
    Q_OBJECT
  private slots:
    void layoutAndLook() {
        EditedState s;
        MainWindow window(s.state, s.prompts);
        QCOMPARE(window.windowTitle(), QStringLiteral("Quorvane"));
        QVERIFY(!window.windowIcon().isNull());
        QStringList tabs;
        for (int i = 0; i < window.sheet()->count(); ++i) {
            tabs << window.sheet()->tabText(i);
        }
        QCOMPARE(tabs, (QStringList{"Inbox", "Block", "Friends", "Email Accounts", "Options"}));
        QCOMPARE(window.sheet()->currentWidget(), window.inboxPage());
        QCOMPARE(window.closeButton()->text(), QStringLiteral("&Close"));
        QVERIFY(window.closeButton()->imagesReady());
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QVERIFY(window.workerRunning());
        QVERIFY(!window.progressBar()->isVisible());
        // The Close button sits right-aligned under the sheet.
        const QRect sheet = window.sheet()->geometry();
        const QRect close = window.closeButton()->geometry();
        QVERIFY(close.top() >= sheet.bottom());
        QVERIFY(close.right() <= sheet.right() && close.right() >= sheet.right() - 10);
        window.reject();
        QVERIFY(!window.workerRunning());
    }

    void closeSavesTheAccounts() {
        EditedState s;
        MainWindow window(s.state, s.prompts);
        window.show();
        QTest::mouseClick(window.closeButton(), Qt::LeftButton);
        QVERIFY(!window.isVisible());
        QCOMPARE(window.result(), int(QDialog::Accepted));
        QVERIFY(QFile::exists(AccountFile(s.dir)));
        QCOMPARE(s.state.accountsDirty.load(), 0);
        // What was saved loads back under the passphrase.
        AppState loaded;
        guitest::UseDirectory(loaded, s.dir);
        guitest::SetPassphrase(loaded, "secret passphrase");
        QCOMPARE(LoadAccountFile(loaded, s.prompts), 1);
        QCOMPARE(loaded.accountCount, 1u);
        QCOMPARE(QByteArray(loaded.accounts[0].description), QByteArray("Home"));
    }

    void escapeAndCloseBoxDoNotSave() {
        for (bool escape : {true, false}) {
            EditedState s;
            MainWindow window(s.state, s.prompts);
            window.show();
            QVERIFY(QTest::qWaitForWindowActive(&window));
            if (escape) {
                QTest::keyClick(&window, Qt::Key_Escape);
            } else {
                window.close();
            }
            QVERIFY(!window.isVisible());
            QCOMPARE(window.result(), int(QDialog::Rejected));
            QVERIFY(!QFile::exists(AccountFile(s.dir)));
            QVERIFY(!window.workerRunning());
        }
    }

    void closeWithoutAccountEditsWritesNothing() {
        EditedState s;
        s.state.accountsDirty = 0;  // only a rule was edited
        MainWindow window(s.state, s.prompts);
        window.show();
        QTest::mouseClick(window.closeButton(), Qt::LeftButton);
        QVERIFY(!window.isVisible());
        QVERIFY(!QFile::exists(AccountFile(s.dir)));
    }

    void failedSaveKeepsTheWindowOpen() {
        EditedState s;
        SetDataDirectory(s.state, "/nonexistent/quorvane/dir/quorvane");
        MainWindow window(s.state, s.prompts);
        window.show();
        QTest::mouseClick(window.closeButton(), Qt::LeftButton);
        QCOMPARE(s.prompts.notices.size(), std::size_t(1));
        QVERIFY(window.isVisible());
        QTest::keyClick(&window, Qt::Key_Escape);
        QVERIFY(!window.isVisible());
    }

    void addedAccountGetsAnInboxRow() {
        EditedState s;
        MainWindow window(s.state, s.prompts);
        auto* accounts = qobject_cast<CPageAccount*>(window.sheet()->widget(3));
        QVERIFY(accounts != nullptr);
        s.state.AppendAccount(qvtest::MakeAccount("l@127.0.0.1", "pw", {.description = "Later"}));
        emit accounts->accountAdded(1);
        QCOMPARE(window.inboxPage()->list()->rowCount(), 2);
        QCOMPARE(window.inboxPage()->list()->item(1, 0)->text(), QStringLiteral("Later"));
    }

    void viewCallsFromAnotherThreadRunOnTheWindow() {
        EditedState s;
        MainWindow window(s.state, s.prompts);
        window.show();
        std::atomic<bool> done{false};
        std::thread worker([&] {
            window.ShowProgress(true);
            window.SetProgressRange(0, 7);
            window.SetProgressPosition(3);
            window.SetInboxCell(0, 1, "7");
            window.SetInboxCell(0, 2, "12 KB");
            done = true;
        });
        QTRY_VERIFY_WITH_TIMEOUT(done.load(), 5000);
        worker.join();
        QVERIFY(window.progressBar()->isVisible());
        QCOMPARE(window.progressBar()->maximum(), 7);
        QCOMPARE(window.progressBar()->value(), 3);
        QCOMPARE(window.inboxPage()->list()->item(0, 2)->text(), QStringLiteral("12 KB"));
        window.reject();
    }

    void closingReleasesAWaitingViewCall() {
        // The worker waits on the window while the window stops the worker: closing
        // must not sit out the whole stop bound.
        EditedState s;
        MainWindow window(s.state, s.prompts);
        window.show();
        std::atomic<bool> started{false};
        std::thread worker([&] {
            started = true;
            window.SetInboxCell(0, 1, "1");  // not served: the test thread is busy
        });
        while (!started) {
            std::this_thread::yield();
        }
        QTest::qSleep(50);
        QElapsedTimer timer;
        timer.start();
        window.reject();
        worker.join();
        QVERIFY2(timer.elapsed() < 2000, "closing waited for the pending call");
    }

    void closesWithinTheBoundDuringALongCheck() {
        // A server that greets and then says nothing more keeps the worker in a check.
        qvtest::ScriptedServer server;
        server.Send("+OK ready\r\n").ReadLine().Pause(4000);
        server.Start();
        EditedState s;
        s.state.accountsDirty = 0;
        ScanWorkerSettings settings;
        settings.tick = std::chrono::milliseconds(50);
        settings.port = server.Port();
        MainWindow window(s.state, s.prompts, settings);
        window.show();
        QTRY_VERIFY_WITH_TIMEOUT(!server.Received().empty(), 5000);
        QElapsedTimer timer;
        timer.start();
        window.reject();
        QVERIFY(timer.elapsed() < MainWindow::kStopWait.count() + 500);
        QVERIFY(!window.isVisible());
    }

    void inboxShowsAWorkerPassAgainstDovecot() {
        qvtest::DovecotServer dovecot;
        dovecot.AddUser("alice", "alice-pw",
                        {Message("Friend <f@example.com>", "Lunch tomorrow"),
                         Message("Pill Shop <shop@spam.example>", "Cheap pills today"),
                         Message("Pill Shop <shop@spam.example>", "More pills")});
        dovecot.AddUser("bob", "bob-pw", {Message("Friend <f@example.com>", "Hello")});
        QVERIFY2(dovecot.Start(), dovecot.Error().c_str());

        EditedState s;
        s.state.accountsDirty = 0;
        s.state.ReplaceAccount(
            0, qvtest::MakeAccount("alice@127.0.0.1", "alice-pw", {.description = "Alice"}));
        s.state.AppendAccount(qvtest::MakeAccount(
            "bob@127.0.0.1", "bob-pw", {.description = "Bob counts only", .scanMessages = 0}));
        s.state.AppendAccount(
            qvtest::MakeAccount("alice@127.0.0.1", "nope", {.description = "Wrong password"}));
        QVERIFY(
            WriteRuleFile(s.state, RuleList::kBlock, {{"From:", "spam\\.example", 10}}, s.prompts));
        LoadRuleLists(s.state);

        ScanWorkerSettings settings;
        settings.tick = std::chrono::milliseconds(100);
        settings.readTimeoutMs = 5000;
        settings.port = dovecot.Port();
        MainWindow window(s.state, s.prompts, settings);
        window.show();
        QTableWidget* list = window.inboxPage()->list();
        const auto cell = [list](int row, int column) {
            QTableWidgetItem* item = list->item(row, column);
            return item ? item->text() : QString();
        };
        QTRY_COMPARE_WITH_TIMEOUT(cell(1, 1), QStringLiteral("1"), 10000);
        QTRY_COMPARE_WITH_TIMEOUT(cell(0, 1), QStringLiteral("3"), 10000);
        QCOMPARE(cell(0, 2), QStringLiteral("0 KB"));  // three small messages
        QVERIFY(!cell(0, 3).isEmpty());
        QCOMPARE(cell(2, 1), QString());  // the login failed: the row stays as it was
        QTRY_VERIFY_WITH_TIMEOUT(!window.progressBar()->isVisible(), 5000);

        // The unwanted messages of the pass, as the Deleted emails dialog shows them.
        QTRY_COMPARE_WITH_TIMEOUT(s.state.unwantedFrom[0].size(), std::size_t(2), 5000);
        list->selectRow(0);
        QStringList rows;
        guitest::Script script;
        script.When<DeletedMailDialog>([&](DeletedMailDialog* dialog) {
            for (int i = 0; i < dialog->list()->topLevelItemCount(); ++i) {
                rows << dialog->list()->topLevelItem(i)->text(0) + "|" +
                            dialog->list()->topLevelItem(i)->text(1);
            }
            dialog->accept();
        });
        emit list->cellDoubleClicked(0, 0);
        QCOMPARE(rows, (QStringList{" Pill Shop <shop@spam.example>| Cheap pills today",
                                    " Pill Shop <shop@spam.example>| More pills"}));
        window.reject();
    }
};

QTEST_MAIN(MainWindowTest)
#include "main_window_test.moc"
