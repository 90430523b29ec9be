#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTableWidget>
#include <QtTest>
#include <cstring>

#include "app/app_state.h"
#include "gui_test_support.h"
#include "store/account_record.h"
#include "store/account_file.h"
#include "ui/account_dialog.h"
#include "ui/number_box.h"
#include "ui/page_account.h"

namespace {

// The dialog's controls, by their names in the form.
struct Form {
    explicit Form(QDialog& dialog)
        : descriptionEdit(dialog.findChild<QLineEdit*>("descriptionEdit")),
          emailEdit(dialog.findChild<QLineEdit*>("emailEdit")),
          serverEdit(dialog.findChild<QLineEdit*>("serverEdit")),
          userEdit(dialog.findChild<QLineEdit*>("userEdit")),
          passwordEdit(dialog.findChild<QLineEdit*>("passwordEdit")),
          authCombo(dialog.findChild<QComboBox*>("authCombo")),
          periodBox(dialog.findChild<NumberBox*>("periodBox")),
          scanCheck(dialog.findChild<QCheckBox*>("scanCheck")),
          okButton(dialog.findChild<QAbstractButton*>("okButton")),
          cancelButton(dialog.findChild<QAbstractButton*>("cancelButton")) {}
    QLineEdit* descriptionEdit;
    QLineEdit* emailEdit;
    QLineEdit* serverEdit;
    QLineEdit* userEdit;
    QLineEdit* passwordEdit;
    QComboBox* authCombo;
    NumberBox* periodBox;
    QCheckBox* scanCheck;
    QAbstractButton* okButton;
    QAbstractButton* cancelButton;
};

struct Entry {
    QString description;
    QString address;  // "user name@server"; empty leaves both as they are
    QString password;
    int auth = 0;
    QString period = "0";
    bool scan = false;
};

// Fills the dialog as a user would and presses OK; the result is what OK left.
CPageAccount::DialogRunner Enter(const Entry& entry, int* runs = nullptr) {
    return [entry, runs](AccountDialog& dialog) {
        if (runs != nullptr) {
            ++*runs;
        }
        Form form(dialog);
        form.descriptionEdit->setText(entry.description);
        if (!entry.address.isEmpty()) {
            const AccountLogin login = SplitAddress(entry.address.toStdString());
            form.serverEdit->setText(QString::fromStdString(login.host));
            form.userEdit->setText(QString::fromStdString(login.user));
        }
        form.passwordEdit->setText(entry.password);
        form.authCombo->setCurrentIndex(entry.auth);
        form.periodBox->SetText(entry.period);
        form.scanCheck->setChecked(entry.scan);
        form.okButton->click();
        return dialog.result();
    };
}

// A new account's dialog with the server and the user name that OK asks for.
struct FilledDialog : AccountDialog {
    FilledDialog() {
        Form(*this).serverEdit->setText("pop.example.com");
        Form(*this).userEdit->setText("me");
    }
};

// The page writes every edit: a data directory and a passphrase of the test's own.
struct Scratch {
    explicit Scratch(AppState& state) {
        guitest::UseDirectory(state, dir);
        guitest::SetPassphrase(state, "pp");
    }
    QTemporaryDir dir;
    qvtest::FakePrompts prompts{"pp"};
};

void Select(QTableWidget* list, int row) {
    list->clearSelection();
    list->selectRow(row);
}

}  // namespace

class PageAccountTest : public QObject {
    Q_OBJECT

  private:
    guitest::MessageLog log_;

  private slots:
    void init() { log_.texts.clear(); }

    void addsAboveTheAddRow() {
        AppState state;
        Scratch scratch(state);
        CPageAccount page(state, scratch.prompts);
        QTableWidget* list = page.List();
        QCOMPARE(list->rowCount(), 1);
        QCOMPARE(guitest::RowTexts(list, 0), (QStringList{"Click here to Add", "", "", "", ""}));
        QSignalSpy added(&page, &CPageAccount::accountAdded);

        Select(list, 0);
        page.SetDialogRunner(Enter({"Home", "me@pop.example.com", "secret", 1, "15", true}));
        page.AddOrEdit();
        QCOMPARE(state.accountCount, 1u);
        QCOMPARE(guitest::RowTexts(list, 0),
                 (QStringList{"Home", "me@pop.example.com", "15", "APOP", "Y"}));
        QCOMPARE(guitest::RowTexts(list, 1), (QStringList{"Click here to Add", "", "", "", ""}));
        // Written at once: the file holds the account, nothing is left unsaved.
        QCOMPARE(state.modified.load(), 1);
        QCOMPARE(state.accountsDirty.load(), 0);
        {
            AppState loaded;
            guitest::UseDirectory(loaded, scratch.dir);
            guitest::SetPassphrase(loaded, "pp");
            QCOMPARE(LoadAccountFile(loaded, scratch.prompts), 1);
            QCOMPARE(loaded.accountCount, 1u);
            QCOMPARE(QString(loaded.accounts[0].description), QString("Home"));
        }
        QCOMPARE(added.size(), 1);
        QCOMPARE(added.at(0).at(0).toInt(), 0);
        const AccountRecord& home = state.accounts[0];
        QCOMPARE(QString(home.password), QString("secret"));
        QCOMPARE(home.authMethod, 1);
        QCOMPARE(home.periodMinutes, 15);
        QCOMPARE(home.scanMessages, 1);
        QCOMPARE(home.lastCheck, 0u);

        // An untouched dialog asks for the server and the user name; given them, it
        // keeps the defaults: every ten minutes, scanning.
        Select(list, 1);
        page.SetDialogRunner([this](AccountDialog& dialog) {
            Form form(dialog);
            form.okButton->click();
            form.serverEdit->setText("pop.example.org");
            form.okButton->click();
            form.userEdit->setText("bob");
            form.okButton->click();
            return dialog.result();
        });
        page.AddOrEdit();
        QCOMPARE(log_.texts, (QStringList{"Enter the server's name.", "Enter the user name."}));
        QCOMPARE(state.accountCount, 2u);
        QCOMPARE(guitest::RowTexts(list, 1),
                 (QStringList{"", "bob@pop.example.org", "10", "Password", "Y"}));
        QCOMPARE(guitest::RowTexts(list, 2).at(0), QString("Click here to Add"));
        QCOMPARE(added.at(1).at(0).toInt(), 1);
    }

    void editKeepsPasswordUnlessTyped() {
        AppState state;
        QVERIFY(state.AppendAccount(qvtest::MakeAccount(
            "user@pop.example.com", "hunter2", {.description = "Work", .periodMinutes = 10})));
        state.accounts[0].lastCheck = 1234;
        Scratch scratch(state);
        CPageAccount page(state, scratch.prompts);
        QTableWidget* list = page.List();
        QCOMPARE(guitest::RowTexts(list, 0),
                 (QStringList{"Work", "user@pop.example.com", "10", "Password", "Y"}));

        // The dialog opens with the account, the password box empty.
        Select(list, 0);
        page.SetDialogRunner([](AccountDialog& dialog) {
            Form form(dialog);
            if (form.descriptionEdit->text() != "Work" || !form.passwordEdit->text().isEmpty() ||
                form.periodBox->Text() != "10" || !form.scanCheck->isChecked()) {
                return int(QDialog::Rejected);
            }
            form.descriptionEdit->setText("Office");
            form.authCombo->setCurrentIndex(1);
            form.okButton->click();
            return dialog.result();
        });
        page.AddOrEdit();
        QCOMPARE(guitest::RowTexts(list, 0),
                 (QStringList{"Office", "user@pop.example.com", "10", "APOP", "Y"}));
        QCOMPARE(QString(state.accounts[0].password), QString("hunter2"));
        QCOMPARE(state.accounts[0].lastCheck, 1234u);
        QCOMPARE(state.accountCount, 1u);
        QCOMPARE(list->rowCount(), 2);
        QCOMPARE(state.modified.load(), 1);
        QCOMPARE(state.accountsDirty.load(), 0);

        page.SetDialogRunner(Enter({"Office", "user@pop.example.com", "new-one", 0, "30", false}));
        page.AddOrEdit();
        QCOMPARE(QString(state.accounts[0].password), QString("new-one"));
        QCOMPARE(guitest::RowTexts(list, 0),
                 (QStringList{"Office", "user@pop.example.com", "30", "Password", "N"}));
    }

    void cancelAndStrayClicksChangeNothing() {
        AppState state;
        QVERIFY(state.AppendAccount(qvtest::MakeAccount(
            "user@pop.example.com", "pw", {.description = "Work", .periodMinutes = 10})));
        Scratch scratch(state);
        CPageAccount page(state, scratch.prompts);
        QTableWidget* list = page.List();
        int runs = 0;
        page.SetDialogRunner([&runs](AccountDialog& dialog) {
            ++runs;
            Form(dialog).descriptionEdit->setText("changed");
            Form(dialog).cancelButton->click();
            return dialog.result();
        });
        Select(list, 0);
        page.AddOrEdit();
        Select(list, 1);
        page.AddOrEdit();
        QCOMPARE(runs, 2);
        QCOMPARE(state.accountCount, 1u);
        QCOMPARE(QString(state.accounts[0].description), QString("Work"));
        QCOMPARE(list->rowCount(), 2);
        QCOMPARE(state.modified.load(), 0);
        QCOMPARE(state.accountsDirty.load(), 0);

        // No selected row: the double click opens nothing.
        list->clearSelection();
        page.SetDialogRunner(Enter({"x", "y", "z", 0, "1", true}, &runs));
        page.AddOrEdit();
        page.resize(400, 300);
        page.show();
        QVERIFY(QTest::qWaitForWindowExposed(&page));
        QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, QPoint(5, 280));
        // Nor does a double click beside the rows while a row is still selected.
        Select(list, 0);
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, QPoint(5, 280));
        QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, QPoint(5, 280));
        QCOMPARE(runs, 2);
        QCOMPARE(state.accountCount, 1u);
        QCOMPARE(state.modified.load(), 0);

        // A right or middle double click on a row opens nothing either.
        const QRect addRow = list->visualItemRect(list->item(1, 0));
        for (Qt::MouseButton button : {Qt::RightButton, Qt::MiddleButton}) {
            QTest::mouseDClick(list->viewport(), button, {}, addRow.center());
        }
        QCOMPARE(runs, 2);

        // One click on the add row opens the dialog and adds, as the row says.
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, addRow.center());
        QCOMPARE(runs, 3);
        QCOMPARE(state.accountCount, 2u);
        QCOMPARE(guitest::RowTexts(list, 1).at(0), QString("x"));
    }

    void fullTableRefusesTheAdd() {
        AppState state;
        for (std::size_t i = 0; i < kMaxAccounts; ++i) {
            QVERIFY(state.AppendAccount(qvtest::MakeAccount(
                "user@pop.example.com", "pw", {.description = "acct", .periodMinutes = 10})));
        }
        Scratch scratch(state);
        CPageAccount page(state, scratch.prompts);
        QTableWidget* list = page.List();
        QCOMPARE(list->rowCount(), 101);
        int runs = 0;
        page.SetDialogRunner(Enter({"one more", "", "", 0, "5", false}, &runs));
        Select(list, 100);
        page.AddOrEdit();
        QCOMPARE(runs, 0);
        QCOMPARE(log_.texts.size(), 1);
        QVERIFY(log_.texts[0].contains("full"));
        QVERIFY(log_.texts[0].contains("100"));
        QCOMPARE(state.accountCount, 100u);
        QCOMPARE(list->rowCount(), 101);
        QCOMPARE(state.modified.load(), 0);

        // Editing still works on a full table.
        Select(list, 99);
        page.AddOrEdit();
        QCOMPARE(runs, 1);
        QCOMPARE(QString(state.accounts[99].description), QString("one more"));
    }

    void periodLimits() {
        guitest::CheckNumberBox<FilledDialog>(
            log_,
            {{"0", true, ""},
             {"9999", true, ""},
             {"10000", false, "out of range"},
             {"", false, "empty"},
             {"12a", false, "not a whole number"},
             {"99999999999999999999", false, "out of range"}},
            "from 0 to 9999", [](AccountDialog& dialog) { return Form(dialog).periodBox; },
            [](AccountDialog& dialog) { return dialog.Values().periodMinutes; });
    }

    void securityPortAndWarning() {
        FilledDialog dialog;
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        auto* security = dialog.findChild<QComboBox*>("securityCombo");
        auto* port = dialog.findChild<NumberBox*>("portBox");
        auto* warning = dialog.findChild<QWidget*>("insecureWarning");
        // A new account starts with TLS on its default port.
        QCOMPARE(security->currentText(), QString("SSL/TLS"));
        QCOMPARE(port->Text(), QString("995"));
        QVERIFY(!warning->isVisible());
        // A mode's default follows the mode; a typed port stays.
        security->setCurrentIndex(2);
        QCOMPARE(port->Text(), QString("110"));
        security->setCurrentIndex(0);
        QVERIFY(warning->isVisible());
        port->SetText("2110");
        security->setCurrentIndex(1);
        QCOMPARE(port->Text(), QString("2110"));
        QVERIFY(!warning->isVisible());
        port->SetText("");
        security->setCurrentIndex(2);
        QCOMPARE(port->Text(), QString("110"));

        Form form(dialog);
        for (const char* wrong : {"0", "65536", "9x"}) {
            port->SetText(wrong);
            form.okButton->click();
            QCOMPARE(log_.texts.size(), 1);
            QVERIFY(log_.texts.takeFirst().contains("port"));
        }
        port->SetText("");  // the mode's default
        form.okButton->click();
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QCOMPARE(dialog.Values().security, 2);
        QCOMPARE(dialog.Values().port, 0);
    }

    void trustedCertificateStaysOnlyWithItsServer() {
        AccountRecord stored = qvtest::MakeAccount("user@pop.example.com", "pw",
                                                   {.description = "Work", .periodMinutes = 10});
        stored.security = 1;
        std::memset(stored.trustedFingerprint, 'A', 64);
        for (const bool moved : {false, true}) {
            AccountDialog dialog;
            dialog.Load(stored);
            Form form(dialog);
            QCOMPARE(form.periodBox->Text(), QString("10"));
            QCOMPARE(dialog.findChild<NumberBox*>("portBox")->Text(), QString("995"));
            if (moved) {
                form.serverEdit->setText("pop.other.example");
            }
            form.okButton->click();
            QCOMPARE(QString(dialog.Values().trustedFingerprint),
                     moved ? QString() : QString(64, 'A'));
        }
    }

    void typingLimits() {
        AccountDialog dialog;
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        Form form(dialog);
        QLineEdit* period = form.periodBox->findChild<QLineEdit*>();
        period->clear();
        QTest::keyClicks(period, "1a-2");
        QCOMPARE(form.periodBox->Text(), QString("12"));

        // 255 bytes, counted in the stored encoding.
        QTest::keyClicks(form.descriptionEdit, QString(300, 'x'));
        QCOMPARE(form.descriptionEdit->text().size(), 255);
        form.emailEdit->clear();
        QTest::keyClicks(form.emailEdit, QString(254, 'a'));
        QKeyEvent accented(QEvent::KeyPress, 0, Qt::NoModifier, QString::fromUtf8("\xc3\xa9"));
        QApplication::sendEvent(form.emailEdit, &accented);
        QCOMPARE(form.emailEdit->text().toLocal8Bit().size(), 254);
        form.emailEdit->backspace();
        QApplication::sendEvent(form.emailEdit, &accented);
        QCOMPARE(form.emailEdit->text().toLocal8Bit().size(), 255);
        QTest::keyClicks(form.passwordEdit, QString(256, 'p'));
        QCOMPARE(form.passwordEdit->text().size(), 255);
        form.okButton->click();
        const AccountRecord record = dialog.Values();
        QCOMPARE(std::strlen(record.description), std::size_t{255});
        QCOMPARE(std::strlen(record.password), std::size_t{255});
    }
};

QTEST_MAIN(PageAccountTest)
#include "page_account_test.moc"
