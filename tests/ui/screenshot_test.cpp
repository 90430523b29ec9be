#include <QAbstractButton>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QTabWidget>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <QTreeWidget>
#include <QtTest>
#include <cstring>

#include "app/app_state.h"
#include "app/main_window.h"
#include "store/rule_list_file.h"
#include "tests/support/test_fixtures.h"
#include "ui/account_dialog.h"
#include "ui/certificate_dialog.h"
#include "ui/hyper_link_static.h"
#include "ui/message_box.h"
#include "ui/number_box.h"
#include "ui/page_account.h"
#include "ui/page_friend.h"
#include "ui/page_inbox.h"
#include "ui/page_options.h"
#include "ui/rule_dialog.h"
#include "ui/unwanted_mail_dialog.h"

namespace {

// The size of a page inside the main window's tabs.
constexpr QSize kPageSize(420, 280);

}  // namespace

// Lays out every page and dialog with sample data and checks that nothing is cut off.
// With QV_SCREENSHOT_DIR set it also saves pictures of the window's tabs and of the
// dialogs (docs/screenshots keeps them).
class ScreenshotTest : public QObject {
    Q_OBJECT

  private:
    static CertificateInfo Sample() {
        return {"O = Example Hosting, CN = *.shared.example.net",
                "C = US, O = Example Trust, CN = Example Trust RSA CA 2024",
                "Mar  1 00:00:00 2026 GMT",
                "Mar 31 23:59:59 2027 GMT",
                "3F8A1C27B94E06D25A7713C0E8F46B91D2035AC7E6B8F14920DD57A6C31B0E44",
                {"it is for another host name"}};
    }

    QString outDir_;
    QTemporaryDir dataDir_;
    AppState state_;
    qvtest::FakePrompts prompts_;

    void Save(QWidget& widget, const QString& name) {
        widget.show();
        QVERIFY(QTest::qWaitForWindowExposed(&widget));
        QTest::qWait(50);
        if (!outDir_.isEmpty() && !name.isEmpty()) {
            QVERIFY(widget.grab().save(QDir(outDir_).filePath(name + ".png")));
        }
    }

    // Every label and button shows its whole text.
    static void CheckTextsFit(QWidget& widget) {
        for (const QAbstractButton* button : widget.findChildren<QAbstractButton*>()) {
            QVERIFY2(button->width() >= button->minimumSizeHint().width(),
                     qPrintable(button->text()));
        }
        for (const QLabel* label : widget.findChildren<QLabel*>()) {
            if (!label->wordWrap()) {
                QVERIFY2(label->width() >= label->minimumSizeHint().width(),
                         qPrintable(label->text()));
            }
        }
    }

  private slots:
    void initTestCase() {
        outDir_ = qEnvironmentVariable("QV_SCREENSHOT_DIR");
        if (!outDir_.isEmpty()) {
            QDir().mkpath(outDir_);
        }
        const QByteArray path = dataDir_.path().toLocal8Bit() + '/';
        std::strncpy(state_.dataDirectory, path.constData(), kPathSize - 1);
        SetAccountText(state_.passphrase, "sample");
        AccountRecord home{};
        SetAccountText(home.description, "Home");
        SetAccountText(home.address, "me@pop.example.com");
        home.periodMinutes = 15;
        home.authMethod = 1;
        home.scanMessages = 1;
        state_.AppendAccount(home);
        AccountRecord work{};
        SetAccountText(work.description, "Work");
        SetAccountText(work.address, "j.doe@mail.example.org");
        work.periodMinutes = 60;
        state_.AppendAccount(work);
        WriteRuleFile(state_, RuleList::kFriends,
                      {{"From:", "boss@example\\.org", 100}, {"To:", "j\\.doe@", 20}}, prompts_);
        WriteRuleFile(state_, RuleList::kBlock,
                      {{"Subject:", "lottery|prize|winner", 50},
                       {"Received:", "spam\\.example\\.net", 80},
                       {"Any header", "viagra", -5}},
                      prompts_);
    }

    void accountsPage() {
        CPageAccount page(state_, prompts_);
        page.resize(kPageSize);
        page.List()->selectRow(0);
        Save(page, {});
    }

    void rulePages() {
        CPageFriend block(state_, RuleList::kBlock, prompts_);
        block.resize(kPageSize);
        Save(block, {});
        CPageFriend friends(state_, RuleList::kFriends, prompts_);
        friends.resize(kPageSize);
        Save(friends, {});
    }

    void optionsPage() {
        CPageOptions page;
        page.resize(kPageSize);
        Save(page, {});
        CheckTextsFit(page);
        const HyperLinkStatic* link = page.Link();
        QVERIFY(page.rect().contains(link->geometry()));
    }

    // The pages in their tabs, as the user meets them. The worker's first pass is an
    // hour away, so nothing is polled.
    void windowTabs() {
        ScanWorkerSettings settings;
        settings.tick = std::chrono::hours(1);
        MainWindow window(state_, prompts_, settings);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        const std::pair<int, const char*> tabs[] = {
            {1, "window_block"}, {3, "window_accounts"}, {4, "window_options"}};
        for (const auto& [index, name] : tabs) {
            window.sheet()->setCurrentIndex(index);
            Save(window, name);
        }
        window.reject();
    }

    // The Inbox after a pass: one account checked, one refused for its certificate.
    void inboxStatus() {
        ScanWorkerSettings settings;
        settings.tick = std::chrono::hours(1);
        MainWindow window(state_, prompts_, settings);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        CheckReport checked;
        checked.messages = 12;
        checked.size = 48 * 1024;
        window.CheckStarted(state_.IdOf(0));
        window.CheckProgress(state_.IdOf(0), 0, 12);
        window.CheckEnded(state_.IdOf(0), checked);
        window.inboxPage()->SetCell(0, CPageInbox::kLastCheck, "09:41:07");  // the same each run
        CheckReport refused;
        refused.failure = {FailureKind::kCertificate, "it is for another host name", Sample()};
        window.CheckEnded(state_.IdOf(1), refused);
        QVERIFY(window.inboxPage()->RefusedCertificate(1) != nullptr);
        window.resize(640, window.height());  // room for the reasons
        Save(window, "window_inbox");
        window.reject();
    }

    void certificateDialogLooks() {
        CertificateDialog dialog(Sample(),
                                 "The certificate is not trusted: it is for another host name",
                                 {"Home", "pop.example.com:995", ""});
        Save(dialog, "dialog_certificate");
        CheckTextsFit(dialog);
    }

    void accountDialogLooks() {
        AccountDialog dialog;
        AccountRecord record{};
        SetAccountText(record.description, "Home");
        SetAccountText(record.address, "me@example.com@pop.example.com");
        record.periodMinutes = 15;
        record.scanMessages = 1;
        record.security = 1;
        std::memcpy(record.trustedFingerprint,
                    "3F9A2C71D04B88E5A6C1970FE2B3D45C8A17F06E92D3B4C5E6F708192A3B4C5D", 64);
        dialog.Load(record);
        Save(dialog, "dialog_account");
        CheckTextsFit(dialog);
    }

    // Two unwanted messages of the Home account, as the worker records them, and the
    // same blocks kept for the rule preview.
    void unwantedDialogLooks() {
        const char* blocks[] = {
            "From: =?windows-1252?Q?Zo=EB_M=FCller?= <prizes@lottery.example>\r\n"
            "Subject: =?UTF-8?Q?You_are_this_week=E2=80=99s_lottery_winner!?=\r\n"
            "Date: Mon, 7 Dec 2026 08:14:02 +0100\r\n"
            "Received: from relay.spam.example.net (relay.spam.example.net [192.0.2.7])\r\n"
            "\tby pop.example.com; Mon, 7 Dec 2026 08:14:05 +0100\r\n\r\n",
            "From: Prize Office <office@prize.example>\r\n"
            "Subject: Claim your prize before Friday\r\n"
            "Date: Mon, 7 Dec 2026 09:30:41 +0100\r\n\r\n",
            "From: Boss <boss@example.org>\r\nSubject: Prize-giving on Friday\r\n"
            "Date: Mon, 7 Dec 2026 09:02:10 +0100\r\n\r\n"};
        const std::vector<FiredRule> fired[] = {
            {{RuleList::kBlock, "Subject:", "lottery|prize|winner", 50},
             {RuleList::kBlock, "Received:", "spam\\.example\\.net", 80}},
            {{RuleList::kBlock, "Subject:", "lottery|prize|winner", 50}}};
        for (int i = 0; i < 3; ++i) {
            KeptMessage kept;
            kept.uidl = "sample" + std::to_string(i);
            kept.headerBlock = blocks[i];
            state_.kept.Keep(0, kept);
            if (i == 2) {
                break;  // the boss's message is wanted
            }
            UnwantedMessage& message = state_.unwantedDetail[0].emplace_back();
            message.number = i + 4;
            message.headerBlock = blocks[i];
            message.date =
                i == 0 ? " Mon, 7 Dec 2026 08:14:02 +0100" : " Mon, 7 Dec 2026 09:30:41 +0100";
            message.rules = fired[i];
            message.score = i == 0 ? -130 : -50;
        }
        UnwantedMailDialog dialog(state_, 0);
        // As the window opens it: deletion and rules from a message offered.
        dialog.SetDeleteAction([](std::vector<UnwantedMessage>) {});
        dialog.SetRuleAction([](RuleList, const RuleEntry&, QWidget*) {});
        dialog.list()->setCurrentItem(dialog.list()->topLevelItem(0));
        Save(dialog, "dialog_unwanted");
        CheckTextsFit(dialog);
    }

    void ruleDialogLooks() {
        RuleDialog dialog;
        dialog.Load({"Subject:", "lottery|winner", 50});  // an edit that frees a message
        dialog.EnablePreview(state_, RuleList::kBlock, ReadRuleFile(state_, RuleList::kBlock), 0);
        auto* preview = dialog.findChild<QLabel*>("previewLabel");
        QTRY_VERIFY(preview->text().startsWith("Matches"));
        Save(dialog, "dialog_rule");
        CheckTextsFit(dialog);
    }
};

QTEST_MAIN(ScreenshotTest)
#include "screenshot_test.moc"
