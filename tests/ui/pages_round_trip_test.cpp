#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QtTest>
#include <cstring>

#include "app/app_state.h"
#include "gui_test_support.h"
#include "scan/rule_loader.h"
#include "store/account_file.h"
#include "store/rule_list_file.h"
#include "ui/account_dialog.h"
#include "ui/message_box.h"
#include "ui/number_box.h"
#include "ui/page_account.h"
#include "ui/page_friend.h"
#include "ui/rule_dialog.h"

namespace {

template <typename Widget>
Widget* Child(QDialog& dialog, const char* name) {
    return dialog.findChild<Widget*>(name);
}

}  // namespace

// A new user adds an account and a Block rule, the accounts are saved as Close saves
// them, and the next start with the same passphrase finds both.
class PagesRoundTripTest : public QObject {
    Q_OBJECT

  private slots:
    void init() {
        SetMessageHook([](const QString& text) { QFAIL(qPrintable(text)); });
    }
    void cleanup() { SetMessageHook({}); }

    void accountAndRuleSurviveARestart() {
        QTemporaryDir dir;
        qvtest::FakePrompts prompts{"passphrase"};
        {
            AppState state;
            guitest::UseDirectory(state, dir);
            prompts.answer = "open sesame";
            QCOMPARE(LoadAccountFile(state, prompts), 1);
            QCOMPARE(prompts.asked, std::vector<bool>{true});

            CPageAccount accounts(state, prompts);
            accounts.List()->selectRow(0);
            accounts.SetDialogRunner([](AccountDialog& dialog) {
                Child<QLineEdit>(dialog, "descriptionEdit")->setText("Home");
                Child<QLineEdit>(dialog, "serverEdit")->setText("pop.example.com");
                Child<QLineEdit>(dialog, "userEdit")->setText("me");
                Child<QLineEdit>(dialog, "passwordEdit")->setText("s3cret");
                Child<QComboBox>(dialog, "authCombo")->setCurrentIndex(1);
                Child<NumberBox>(dialog, "periodBox")->SetText("20");
                Child<QCheckBox>(dialog, "scanCheck")->setChecked(false);
                Child<QAbstractButton>(dialog, "okButton")->click();
                return dialog.result();
            });
            accounts.AddOrEdit();

            CPageFriend block(state, RuleList::kBlock, prompts);
            block.List()->selectRow(0);
            block.SetDialogRunner([](RuleDialog& dialog) {
                Child<QComboBox>(dialog, "headerCombo")->setCurrentText("Subject:");
                Child<QLineEdit>(dialog, "containsEdit")->setText("lottery");
                Child<QAbstractButton>(dialog, "okButton")->click();
                return dialog.result();
            });
            block.AddOrReplace();

            // The account was written as it was added: nothing waits for Close.
            QCOMPARE(state.accountsDirty.load(), 0);
        }
        AppState state;
        guitest::UseDirectory(state, dir);
        QCOMPARE(LoadAccountFile(state, prompts), 1);
        QCOMPARE(prompts.asked, (std::vector<bool>{true, false}));
        QVERIFY(prompts.notices.empty());
        LoadRuleLists(state);

        CPageAccount accounts(state, prompts);
        QCOMPARE(guitest::RowTexts(accounts.List(), 0),
                 (QStringList{"Home", "me@pop.example.com", "20", "APOP", "N"}));
        QCOMPARE(QString(state.accounts[0].password), QString("s3cret"));
        CPageFriend block(state, RuleList::kBlock, prompts);
        QCOMPARE(guitest::RowTexts(block.List(), 0), (QStringList{"Subject:", "lottery", "50"}));
        QCOMPARE(guitest::RowTexts(block.List(), 1).at(0), QString("Double click here to Add"));
        QCOMPARE(state.CurrentRules()->size(), 1u);
        QCOMPARE((*state.CurrentRules())[0].weight, -50);
    }

    void editedPasswordSurvivesARestart() {
        QTemporaryDir dir;
        qvtest::FakePrompts prompts{"passphrase"};
        {
            AppState state;
            guitest::UseDirectory(state, dir);
            guitest::SetPassphrase(state, "pp");
            AccountRecord record{};
            SetAccountText(record.description, "Work");
            SetAccountText(record.password, "kept");
            SetAccountText(record.address, "me@pop.example.com");
            QVERIFY(state.AppendAccount(record));
            CPageAccount accounts(state, prompts);
            accounts.List()->selectRow(0);
            accounts.SetDialogRunner([](AccountDialog& dialog) {
                Child<QLineEdit>(dialog, "descriptionEdit")->setText("Work mail");
                Child<QAbstractButton>(dialog, "okButton")->click();
                return dialog.result();
            });
            accounts.AddOrEdit();
        }
        AppState state;
        guitest::UseDirectory(state, dir);
        guitest::SetPassphrase(state, "pp");
        QCOMPARE(LoadAccountFile(state, prompts), 1);
        QCOMPARE(state.accountCount, 1u);
        QCOMPARE(QString(state.accounts[0].description), QString("Work mail"));
        QCOMPARE(QString(state.accounts[0].password), QString("kept"));
    }
};

QTEST_MAIN(PagesRoundTripTest)
#include "pages_round_trip_test.moc"
