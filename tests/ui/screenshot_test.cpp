#include <QAbstractButton>
#include <QComboBox>
#include <QDir>
#include <QLineEdit>
#include <QTabWidget>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>
#include <cstring>

#include "app/app_state.h"
#include "app/main_window.h"
#include "store/rule_list_file.h"
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

namespace {

class SilentPrompts : public UserPrompts {
  public:
    bool AskPassphrase(bool, std::string&) override { return false; }
    void ShowNotice(const std::string&) override {}
};

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
                "Mar  1 00:00:00 2026 GMT", "Mar 31 23:59:59 2027 GMT",
                "3F8A1C27B94E06D25A7713C0E8F46B91D2035AC7E6B8F14920DD57A6C31B0E44"};
    }

    QString outDir_;
    QTemporaryDir dataDir_;
    AppState state_;
    SilentPrompts prompts_;

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
        WriteRuleFile(state_, 0, {{"From:", "boss@example\\.org", 100}, {"To:", "j\\.doe@", 20}},
                      prompts_);
        WriteRuleFile(state_, 1,
                      {{"Subject:", "lottery|prize|winner", 50},
                       {"Received:", "spam\\.example\\.net", 80},
                       {"Any header", "viagra", -5}},
                      prompts_);
    }

    void AccountsPage() {
        CPageAccount page(state_);
        page.resize(kPageSize);
        page.List()->selectRow(0);
        Save(page, {});
    }

    void RulePages() {
        CPageFriend block(state_, 1, prompts_);
        block.resize(kPageSize);
        Save(block, {});
        CPageFriend friends(state_, 0, prompts_);
        friends.resize(kPageSize);
        Save(friends, {});
    }

    void OptionsPage() {
        CPageOptions page;
        page.resize(kPageSize);
        Save(page, {});
        CheckTextsFit(page);
        const HyperLinkStatic* link = page.Link();
        QVERIFY(page.rect().contains(link->geometry()));
    }

    // The pages in their tabs, as the user meets them. The worker's first pass is an
    // hour away, so nothing is polled.
    void WindowTabs() {
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
    void InboxStatus() {
        ScanWorkerSettings settings;
        settings.tick = std::chrono::hours(1);
        MainWindow window(state_, prompts_, settings);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        window.SetInboxCell(0, CPageInbox::kEmails, "12");
        window.SetInboxCell(0, CPageInbox::kSize, "48 KB");
        window.SetInboxCell(0, CPageInbox::kLastCheck, "09:41:07");
        window.SetInboxCell(0, CPageInbox::kStatus, "OK");
        CheckReport refused;
        refused.failure = {FailureKind::kCertificate, "it is for another host name", Sample()};
        window.SetInboxCell(1, CPageInbox::kStatus, FailureText(refused.failure));
        window.ReportCheck(1, refused);
        QVERIFY(window.inboxPage()->RefusedCertificate(1) != nullptr);
        window.resize(640, window.height());  // room for the reasons
        Save(window, "window_inbox");
        window.reject();
    }

    void CertificateDialogLooks() {
        CertificateDialog dialog(Sample(),
                                 "The certificate is not trusted: it is for another host name");
        Save(dialog, "dialog_certificate");
        CheckTextsFit(dialog);
    }

    void AccountDialogLooks() {
        AccountDialog dialog;
        AccountRecord record{};
        SetAccountText(record.description, "Home");
        SetAccountText(record.address, "me@pop.example.com");
        record.periodMinutes = 15;
        record.scanMessages = 1;
        record.security = 1;
        dialog.Load(record);
        Save(dialog, "dialog_account");
        CheckTextsFit(dialog);
    }

    void RuleDialogLooks() {
        RuleDialog dialog;
        dialog.Load({"Subject:", "lottery|prize|winner", 50});
        Save(dialog, "dialog_rule");
        CheckTextsFit(dialog);
    }
};

QTEST_MAIN(ScreenshotTest)
#include "screenshot_test.moc"
