#include <QElapsedTimer>
#include <QFile>
#include <QHeaderView>
#include <QLineEdit>
#include <QProgressBar>
#include <QTabWidget>
#include <QTableWidget>
#include <QTreeWidget>
#include <QtTest>
#include <functional>
#include <memory>

#include "app/main_window.h"
#include "gui_test_support.h"
#include "store/account_file.h"
#include "store/rule_list_file.h"
#include "tests/support/dovecot_server.h"
#include "tests/support/scripted_server.h"
#include "ui/account_dialog.h"
#include "ui/rule_dialog.h"
#include "ui/unwanted_mail_dialog.h"
#include "ui/page_account.h"
#include "ui/page_friend.h"
#include "ui/page_inbox.h"
#include "ui/skin_button.h"
#include "ui/unwanted_mail_dialog.h"

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

    // A rule edit has the table rebuilt aside: no check is needed to put it in force.
    void ruleEditRebuildsTheTableAside() {
        EditedState s;
        s.state.modified = 0;
        MainWindow window(s.state, s.prompts);  // never shown: the worker never starts
        auto* block = qobject_cast<CPageFriend*>(window.sheet()->widget(1));
        QVERIFY(block != nullptr);
        block->SetDialogRunner([](RuleDialog& dialog) {
            dialog.findChild<QAbstractButton*>("okButton")->click();
            return dialog.result();
        });
        block->AddFromMessage({"Subject:", "lottery", 50}, nullptr);
        QTRY_COMPARE(s.state.CurrentRules()->size(), 1u);
        QCOMPARE(s.state.modified.load(), 0);
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

    // An edit left unsaved (its write failed) is saved by every way out of the window.
    void escapeAndCloseBoxSave() {
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
            QVERIFY(QFile::exists(AccountFile(s.dir)));
            QCOMPARE(s.state.accountsDirty.load(), 0);
            QVERIFY(!window.workerRunning());
        }
    }

    void enterActsOnTheFocusedControlOnly() {
        EditedState s;
        MainWindow window(s.state, s.prompts);
        window.show();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        QSignalSpy checks(window.inboxPage(), &CPageInbox::checkNowClicked);
        for (Qt::Key key : {Qt::Key_Return, Qt::Key_Enter}) {
            window.inboxPage()->list()->setFocus();
            QTest::keyClick(window.inboxPage()->list(), key);
            QVERIFY(window.isVisible());
            window.inboxPage()->checkNowButton()->setFocus();
            QTest::keyClick(window.inboxPage()->checkNowButton(), key);
            QVERIFY(window.isVisible());
        }
        QCOMPARE(checks.count(), 2);
        // On Close itself, Enter closes, and saves.
        window.closeButton()->setFocus();
        QTest::keyClick(window.closeButton(), Qt::Key_Return);
        QVERIFY(!window.isVisible());
        QCOMPARE(window.result(), int(QDialog::Accepted));
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

    // A rename shows at once and keeps what the row found; another server, port or
    // login drops the counts, the list and the tray's share until the next check.
    void inboxRowFollowsAccountEdits() {
        EditedState s;
        UnwantedMessage spam;
        spam.uidl = "u1";
        spam.from = "From: a";
        spam.subject = "Subject: b";
        UnwantedMessage more = spam;
        more.uidl = "u2";
        QVERIFY(s.state.ReplaceUnwanted(s.state.IdOf(0), {spam, more}));
        MainWindow window(s.state, s.prompts);
        CPageInbox* inbox = window.inboxPage();
        QTableWidget* list = inbox->list();
        QCOMPARE(list->horizontalHeaderItem(CPageInbox::kUnwanted)->text(), QString("Unwanted"));
        QCOMPARE(list->horizontalHeader()->visualIndex(CPageInbox::kUnwanted), 3);
        QCOMPARE(guitest::Cell(list, 0, CPageInbox::kUnwanted), QString("2"));
        inbox->SetCell(0, CPageInbox::kEmails, "7");
        const QString twoWaiting = window.tray()->toolTip();

        const auto edit = [&](const QString& description, const QString& address) {
            window.accountsPage()->List()->selectRow(0);
            window.accountsPage()->SetDialogRunner([=](AccountDialog& dialog) {
                dialog.findChild<QLineEdit*>("descriptionEdit")->setText(description);
                const qsizetype at = address.lastIndexOf('@');
                dialog.findChild<QLineEdit*>("userEdit")->setText(address.left(at));
                dialog.findChild<QLineEdit*>("serverEdit")->setText(address.mid(at + 1));
                dialog.findChild<QAbstractButton*>("okButton")->click();
                return dialog.result();
            });
            window.accountsPage()->AddOrEdit();
        };
        edit("Home mail", "me@127.0.0.1");
        QCOMPARE(guitest::RowTexts(list, 0).mid(0, 2), (QStringList{"Home mail", "7"}));
        QCOMPARE(guitest::Cell(list, 0, CPageInbox::kUnwanted), QString("2"));
        QCOMPARE(window.tray()->toolTip(), twoWaiting);

        edit("Home mail", "other@127.0.0.1");
        QCOMPARE(guitest::RowTexts(list, 0), (QStringList{"Home mail", "", "", "", "", ""}));
        QVERIFY(s.state.CopyUnwantedMessages(0).empty());
        QVERIFY(window.tray()->toolTip() != twoWaiting);
        QCOMPARE(s.state.accountsDirty.load(), 0);  // and the file has the edits
    }

    void aSlowWindowDoesNotSlowTheCheck() {
        // Each drawing of the progress bar takes 50 ms: a worker that waited for the
        // window would need fifty seconds for 1,000 messages, and as many drawings.
        constexpr int kMessages = 1000;
        std::vector<std::string> mailbox;
        for (int i = 0; i < kMessages; ++i) {
            mailbox.push_back(
                Message("Pill Shop <shop@spam.example>", "Pills " + std::to_string(i)));
        }
        qvtest::DovecotServer dovecot;
        dovecot.AddUser("alice", "alice-pw", mailbox);
        QVERIFY2(dovecot.Start(), dovecot.Error().c_str());
        EditedState s;
        s.state.accountsDirty = 0;
        s.state.ReplaceAccount(0, qvtest::MakeAccount("alice@127.0.0.1", "alice-pw"));
        QVERIFY(guitest::BlockSpamSenders(s.state, s.prompts));
        const ScanWorkerSettings settings =
            guitest::WorkerSettings(dovecot.Port(), std::chrono::milliseconds(50));
        const auto unwanted = [&s] {
            std::vector<std::string> from, subject;
            s.state.CopyUnwanted(0, from, subject);
            return static_cast<int>(from.size());
        };
        const auto slowWindow = [&](int& drawings) {
            auto* window = new MainWindow(s.state, s.prompts, settings);
            QObject::connect(window->progressBar(), &QProgressBar::valueChanged, [&drawings] {
                ++drawings;
                QTest::qSleep(50);
            });
            window->show();
            return window;
        };
        const auto runUntil = [](const std::function<bool()>& done) {
            QElapsedTimer timer;
            timer.start();
            while (!done() && timer.elapsed() < 30000) {
                QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
            }
            return done();
        };

        // The whole check, drawn now and then; the window ends up showing what it found.
        int drawings = 0;
        std::unique_ptr<MainWindow> window(slowWindow(drawings));
        QVERIFY(runUntil([&] { return unwanted() == kMessages; }));
        QVERIFY2(drawings < kMessages / 5, qPrintable(QString::number(drawings)));
        QTableWidget* list = window->inboxPage()->list();
        QTRY_COMPARE_WITH_TIMEOUT(guitest::Cell(list, 0, CPageInbox::kStatus), QStringLiteral("OK"),
                                  5000);
        QVERIFY(!window->progressBar()->isVisible());
        QCOMPARE(list->item(0, CPageInbox::kEmails)->text(), QString::number(kMessages));
        window->reject();
        window.reset();

        // Closed while a check draws: nothing is drawn afterwards, and once the window
        // is gone nothing the worker noted reaches it (the address sanitizer watches).
        int lateDrawings = 0;
        window.reset(slowWindow(lateDrawings));
        window->CheckNow();
        QVERIFY(runUntil([&] { return lateDrawings > 0; }));
        QElapsedTimer closing;
        closing.start();
        window->reject();
        QVERIFY(closing.elapsed() < MainWindow::kStopWait.count());
        const int drawnAtClose = lateDrawings;
        list = window->inboxPage()->list();
        const auto status = [list] {
            QTableWidgetItem* item = list->item(0, CPageInbox::kStatus);
            return item ? item->text() : QString();
        };
        const QString statusAtClose = status();
        QTest::qWait(100);
        QCOMPARE(lateDrawings, drawnAtClose);
        QCOMPARE(status(), statusAtClose);
        window.reset();
        QTest::qWait(100);
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
        QVERIFY(guitest::BlockSpamSenders(s.state, s.prompts));

        const ScanWorkerSettings settings =
            guitest::WorkerSettings(dovecot.Port(), std::chrono::milliseconds(100));
        MainWindow window(s.state, s.prompts, settings);
        window.show();
        QTableWidget* list = window.inboxPage()->list();
        const auto cell = [list](int row, int column) { return guitest::Cell(list, row, column); };
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
        script.When<UnwantedMailDialog>([&](UnwantedMailDialog* dialog) {
            for (int i = 0; i < dialog->list()->topLevelItemCount(); ++i) {
                rows << dialog->list()->topLevelItem(i)->text(0) + "|" +
                            dialog->list()->topLevelItem(i)->text(1);
            }
            dialog->accept();
        });
        QTest::mouseDClick(list->viewport(), Qt::LeftButton, {},
                           list->visualItemRect(list->item(0, 0)).center());
        QCOMPARE(rows, (QStringList{" Pill Shop <shop@spam.example>| Cheap pills today",
                                    " Pill Shop <shop@spam.example>| More pills"}));
        window.reject();
    }
};

QTEST_MAIN(MainWindowTest)
#include "main_window_test.moc"
