#include <QAction>
#include <QCheckBox>
#include <QFile>
#include <QHeaderView>
#include <QMenu>
#include <QProcess>
#include <QProgressBar>
#include <QSettings>
#include <QTableWidget>
#include <QtTest>
#include <ctime>
#include <filesystem>

#include "app/main_window.h"
#include "gui_test_support.h"
#include "store/account_file.h"
#include "store/rule_list_file.h"
#include "tests/support/dovecot_server.h"
#include "tests/support/scripted_server.h"
#include "tests/support/test_fixtures.h"
#include "ui/account_dialog.h"
#include "ui/autostart_entry.h"
#include "ui/confirm_box.h"
#include "ui/desktop_tray.h"
#include "ui/number_box.h"
#include "ui/page_account.h"
#include "ui/page_friend.h"
#include "ui/page_inbox.h"
#include "ui/page_options.h"
#include "ui/skin_button.h"
#include "ui/user_options.h"

namespace {

AccountRecord Account(const std::string& description, const std::string& address,
                      const std::string& password, int scan = 1, int period = 1) {
    return qvtest::MakeAccount(
        address, password,
        {.description = description, .scanMessages = scan, .periodMinutes = period});
}

struct Desk {
    Desk() {
        guitest::UseDirectory(state, dir);
        guitest::SetPassphrase(state, "secret passphrase");
    }
    // A fake desktop: a tray or none, and the notices it was asked to show.
    DesktopHooks Hooks(bool tray) {
        return {[tray] { return tray; },
                [this](const QString&, const QString& text) { notices << text; }};
    }
    QTemporaryDir dir;
    AppState state;
    qvtest::FakePrompts prompts;
    QStringList notices;
};

QAction* MenuAction(DesktopTray* tray, const QString& text) {
    for (QAction* action : tray->menu()->actions()) {
        if (action->text().remove(QLatin1Char('&')) == text) {
            return action;
        }
    }
    return nullptr;
}

using guitest::Cell;

std::string Spam(const std::string& subject) {
    return "From: Pill Shop <shop@spam.example>\r\nTo: me@example.com\r\nSubject: " + subject +
           "\r\n\r\nbody\r\n";
}

}  // namespace

class DesktopTest : public QObject {
    Q_OBJECT
  private slots:
    void init() {
        QSettings(QSettings::IniFormat, QSettings::UserScope, "Quorvane", "Quorvane").clear();
        AutostartEntry::Remove();
    }
    void cleanup() { SetConfirmHook({}); }

    // With a tray the close box hides the window and checking goes on; the tray's
    // Open brings it back and its Quit saves and ends. Without a tray, or with the
    // option off, the close box ends the run, saving what was left unsaved.
    void closeBoxWithAndWithoutATray() {
        for (const bool tray : {true, false}) {
            Desk d;
            d.state.AppendAccount(Account("Home", "me@127.0.0.1", "pw"));
            d.state.accountsDirty = 1;
            MainWindow window(d.state, d.prompts);
            window.UseDesktop(d.Hooks(tray));
            QCOMPARE(window.tray()->Shown(), tray);
            QCOMPARE(window.optionsPage()->KeepInTrayBox()->isEnabled(), tray);
            window.show();
            QVERIFY(QTest::qWaitForWindowExposed(&window));
            window.close();
            QVERIFY(!window.isVisible());
            QCOMPARE(window.workerRunning(), tray);
            if (!tray) {
                QCOMPARE(window.result(), int(QDialog::Rejected));
                QVERIFY(QFile::exists(QString::fromLocal8Bit(AccountFilePath(d.state))));
                QCOMPARE(d.state.accountsDirty.load(), 0);
                continue;
            }
            MenuAction(window.tray(), "Open")->trigger();
            QVERIFY(window.isVisible());
            UserOptions::SetKeepInTray(false);
            window.close();
            QVERIFY(!window.isVisible());
            QCOMPARE(window.result(), int(QDialog::Rejected));
            UserOptions::SetKeepInTray(true);
            window.show();
            window.close();
            QCOMPARE(window.result(), int(QDialog::Rejected));  // not finished again
            MenuAction(window.tray(), "Quit")->trigger();
            QCOMPARE(window.result(), int(QDialog::Accepted));
            QCOMPARE(d.state.accountsDirty.load(), 0);  // Quit saved the edit
        }
    }

    // Check now wakes the worker for every account, due or not; each check that finds
    // new unwanted messages gives one notice, and none once notices are off.
    void checkNowAndTheNotices() {
        qvtest::DovecotServer dovecot;
        dovecot.AddUser("alice", "alice-pw", {Spam("Pills"), Spam("More pills")});
        dovecot.AddUser("bob", "bob-pw", {Spam("Hello")});
        QVERIFY2(dovecot.Start(), dovecot.Error().c_str());
        Desk d;
        d.state.AppendAccount(Account("Alice", "alice@127.0.0.1", "alice-pw", 1, 9999));
        d.state.AppendAccount(Account("Bob", "bob@127.0.0.1", "bob-pw", 0, 9999));
        const auto now = static_cast<std::uint32_t>(std::time(nullptr));
        d.state.accounts[0].lastCheck = d.state.accounts[1].lastCheck = now;  // not due
        QVERIFY(guitest::BlockSpamSenders(d.state, d.prompts));
        const ScanWorkerSettings settings =
            guitest::WorkerSettings(dovecot.Port(), std::chrono::milliseconds(60000));
        MainWindow window(d.state, d.prompts, settings);
        window.UseDesktop(d.Hooks(true));
        window.show();
        QTableWidget* inbox = window.inboxPage()->list();
        QTest::qWait(200);
        QCOMPARE(Cell(inbox, 0, 1), QString());

        QTest::mouseClick(window.inboxPage()->checkNowButton(), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(Cell(inbox, 1, 1), QStringLiteral("1"), 10000);
        QCOMPARE(Cell(inbox, 0, 1), QStringLiteral("2"));
        QTRY_COMPARE_WITH_TIMEOUT(d.notices.size(), 1, 5000);
        QCOMPARE(d.notices[0], QStringLiteral("Alice: 2 new unwanted messages"));
        QVERIFY2(window.tray()->toolTip().contains("2 unwanted"),
                 qPrintable(window.tray()->toolTip()));

        // The lists hold what waits, each message once: one more delivered makes three.
        UserOptions::SetNotices(false);
        dovecot.AddUser("alice", "alice-pw", {Spam("Even more pills")});
        MenuAction(window.tray(), "Check now")->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(
            d.state.AccountCount() > 0 && window.tray()->toolTip().contains("3 unwanted"), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(!window.progressBar()->isVisible(), 5000);
        QTest::qWait(300);  // Bob's check ends too, with nothing new
        QCOMPARE(d.notices.size(), 1);

        // One message gone and another come: the count stays, the notice still comes.
        UserOptions::SetNotices(true);
        const auto gone = dovecot.MailboxSnapshot("alice").begin()->first;
        std::filesystem::remove(dovecot.Directory() + "/mail/alice/Maildir/" + gone);
        dovecot.AddUser("alice", "alice-pw", {Spam("Pills again")});
        MenuAction(window.tray(), "Check now")->trigger();
        QTRY_COMPARE_WITH_TIMEOUT(d.notices.size(), 2, 10000);
        QCOMPARE(d.notices[1], QStringLiteral("Alice: 1 new unwanted message"));
        QVERIFY(window.tray()->toolTip().contains("3 unwanted"));
        window.reject();
    }

    void optionsKeptAndTheAutostartEntry() {
        {
            CPageOptions page;
            page.SetProgramPath("/opt/My Apps/quorvane");
            QVERIFY(!page.StartAtLoginBox()->isChecked());
            QVERIFY(page.KeepInTrayBox()->isChecked());  // the defaults
            QVERIFY(page.NoticesBox()->isChecked());
            page.StartAtLoginBox()->click();
            page.KeepInTrayBox()->click();
            page.NoticesBox()->click();
        }
        QVERIFY(UserOptions::StartAtLogin());
        QVERIFY(!UserOptions::KeepInTray());
        QVERIFY(!UserOptions::Notices());
        QFile entry(AutostartEntry::Path());
        QVERIFY(entry.open(QIODevice::ReadOnly));
        QVERIFY(entry.readAll().contains("\nExec=\"/opt/My Apps/quorvane\"\n"));
        QProcess validate;
        validate.start("desktop-file-validate", {AutostartEntry::Path()});
        QVERIFY(validate.waitForFinished(10000));
        QCOMPARE(validate.exitCode(), 0);
        QCOMPARE(validate.readAll(), QByteArray());

        CPageOptions again;
        QVERIFY(again.StartAtLoginBox()->isChecked());
        QVERIFY(!again.KeepInTrayBox()->isChecked());
        QVERIFY(!again.NoticesBox()->isChecked());
        again.StartAtLoginBox()->click();
        QVERIFY(!QFile::exists(AutostartEntry::Path()));
        QVERIFY(!UserOptions::StartAtLogin());
    }

    // An account removed while its check is under way: the check ends, writes nothing
    // into the row that moved up, records nothing, and the program goes on.
    void removingAnAccountDuringItsCheck() {
        qvtest::ScriptedServer server;
        server.Send("+OK ready\r\n").AnswerCapa().ReadLine().Pause(500).Send("+OK\r\n").ReadLine();
        server.Send("+OK\r\n").ReadLine().Send("+OK 2 200\r\n");
        server.Start();
        Desk d;
        d.state.AppendAccount(Account("Slow", "me@127.0.0.1", "pw"));
        d.state.AppendAccount(Account("Other", "me@127.0.0.1", "pw", 1, 9999));
        d.state.accounts[1].lastCheck = static_cast<std::uint32_t>(std::time(nullptr));
        const ScanWorkerSettings settings =
            guitest::WorkerSettings(server.Port(), std::chrono::milliseconds(50));
        MainWindow window(d.state, d.prompts, settings);
        window.show();
        QTRY_VERIFY_WITH_TIMEOUT(server.Received().find("USER") != std::string::npos, 5000);
        SetConfirmHook([](const QString&) { return true; });
        window.accountsPage()->List()->selectRow(0);
        window.accountsPage()->RemoveSelected();
        QCOMPARE(d.state.AccountCount(), 1u);
        QCOMPARE(window.inboxPage()->list()->rowCount(), 1);
        QTRY_VERIFY_WITH_TIMEOUT(server.Received().find("QUIT") != std::string::npos, 5000);
        QTRY_VERIFY_WITH_TIMEOUT(!window.progressBar()->isVisible(), 5000);
        QTest::qWait(100);
        QCOMPARE(Cell(window.inboxPage()->list(), 0, 0), QStringLiteral("Other"));
        QCOMPARE(Cell(window.inboxPage()->list(), 0, 1), QString());
        QVERIFY(d.state.unwantedFrom[0].empty());
        QVERIFY(d.state.accounts[0].lastCheck != 0);  // Other's own time, untouched
        window.reject();
    }

    void deleteKeysAskFirst() {
        Desk d;
        d.state.AppendAccount(Account("One", "1@h", "a"));
        d.state.AppendAccount(Account("Two", "2@h", "b"));
        d.state.unwantedFrom[1] = {"From: x"};
        d.state.unwantedSubject[1] = {"Subject: y"};
        CPageAccount accounts(d.state, d.prompts);
        QSignalSpy removed(&accounts, &CPageAccount::accountRemoved);
        QStringList asked;
        bool answer = false;
        SetConfirmHook([&](const QString& question) {
            asked << question;
            return answer;
        });
        accounts.List()->selectRow(0);
        QTest::keyClick(accounts.List(), Qt::Key_Delete);
        QCOMPARE(d.state.AccountCount(), 2u);  // answered No
        answer = true;
        QTest::keyClick(accounts.List(), Qt::Key_Delete);
        QCOMPARE(asked.size(), 2);
        QVERIFY(asked[0].contains("\"One\""));
        QCOMPARE(d.state.AccountCount(), 1u);
        QCOMPARE(QByteArray(d.state.accounts[0].description), QByteArray("Two"));
        QCOMPARE(d.state.unwantedFrom[0], std::vector<std::string>{"From: x"});
        QCOMPARE(removed.count(), 1);
        QCOMPARE(removed[0][0].toInt(), 0);
        QCOMPARE(d.state.accountsDirty.load(), 0);  // the removal is in the file
        accounts.List()->selectRow(1);              // the add row: nothing to ask about
        QTest::keyClick(accounts.List(), Qt::Key_Delete);
        QCOMPARE(asked.size(), 2);

        QVERIFY(WriteRuleFile(d.state, RuleList::kBlock,
                              {{"From:", "a", 10}, {"Subject:", "b", 20}}, d.prompts));
        CPageFriend block(d.state, RuleList::kBlock, d.prompts);
        block.List()->selectRow(0);
        answer = false;
        QTest::keyClick(block.List(), Qt::Key_Delete);
        QCOMPARE(ReadRuleFile(d.state, RuleList::kBlock).size(), std::size_t(2));
        answer = true;
        QTest::keyClick(block.List(), Qt::Key_Delete);
        QCOMPARE(ReadRuleFile(d.state, RuleList::kBlock),
                 (std::vector<RuleEntry>{{"Subject:", "b", 20}}));
        QCOMPARE(asked.size(), 4);
    }

    void newAccountDefaults() {
        AccountDialog dialog;
        QCOMPARE(dialog.findChild<NumberBox*>("periodBox")->Text(), QStringLiteral("10"));
        QVERIFY(dialog.findChild<QCheckBox*>("scanCheck")->isChecked());
    }

    void windowKeepsItsGeometryAndColumns() {
        Desk d;
        d.state.AppendAccount(Account("An account with a long description", "1@h", "a"));
        QRect placed;
        {
            MainWindow window(d.state, d.prompts);
            window.show();
            QVERIFY(QTest::qWaitForWindowExposed(&window));
            window.resize(window.width() + 150, window.height() + 90);
            window.move(40, 30);
            window.inboxPage()->list()->setColumnWidth(0, 177);
            QTest::qWait(50);
            placed = window.geometry();
            window.reject();
        }
        MainWindow window(d.state, d.prompts);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QCOMPARE(window.size(), placed.size());
        QCOMPARE(window.inboxPage()->list()->columnWidth(0), 177);
        // Cut texts are whole in their tooltips.
        QTableWidgetItem* description = window.accountsPage()->List()->item(0, 0);
        QCOMPARE(description->toolTip(), description->text());
        window.reject();
    }
};

QTEST_MAIN(DesktopTest)
#include "desktop_test.moc"
