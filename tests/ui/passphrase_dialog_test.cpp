#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest>

#include "gui_test_support.h"
#include "ui/passphrase_dialog.h"
#include "ui/qt_user_prompts.h"

namespace {
const QString kTooShort = QStringLiteral("The passphrase should contain at least six characters.");
const QString kDiffers =
    QStringLiteral("The confirm passphrase should be the same as the passphrase");
}  // namespace

class PassphraseDialogTest : public QObject {
    Q_OBJECT
  private slots:
    void init() { log_.texts.clear(); }

    void entryModeShowsOneBox() {
        PassphraseDialog dialog;
        dialog.show();
        QCOMPARE(dialog.windowTitle(), QStringLiteral("Passphrase"));
        QVERIFY(Edit(dialog, "passphraseEdit")->isVisible());
        QCOMPARE(Edit(dialog, "passphraseEdit")->echoMode(), QLineEdit::Password);
        QVERIFY(!Edit(dialog, "confirmEdit")->isVisible());
        QVERIFY(!dialog.findChild<QLabel*>("confirmLabel")->isVisible());
        QVERIFY(!dialog.findChild<QLabel*>("newPassphraseLabel")->isVisible());
        const QString help = dialog.findChild<QLabel*>("helpLabel")->text();
        QVERIFY(
            help.contains(QStringLiteral("spaces.  The minimum length is six characters.  The")));
    }

    void confirmModeShowsTwoBoxes() {
        PassphraseDialog dialog;
        dialog.SetConfirmMode(true);
        dialog.show();
        QVERIFY(Edit(dialog, "confirmEdit")->isVisible());
        QCOMPARE(Edit(dialog, "confirmEdit")->echoMode(), QLineEdit::Password);
        auto* label = dialog.findChild<QLabel*>("confirmLabel");
        QVERIFY(label->isVisible());
        QCOMPARE(label->text(), QStringLiteral("Confirm Passphrase:"));
        // A new passphrase comes with what it protects and that it cannot be recovered.
        auto* warning = dialog.findChild<QLabel*>("newPassphraseLabel");
        QVERIFY(warning->isVisible());
        QVERIFY(warning->text().contains("protects the passwords"));
        QVERIFY(warning->text().contains("Nobody can recover it"));
    }

    void checks_data() {
        QTest::addColumn<bool>("confirm");
        QTest::addColumn<QString>("passphrase");
        QTest::addColumn<QString>("confirmation");
        QTest::addColumn<QString>("message");  // empty: accepted
        QTest::addColumn<QString>("accepted");

        QTest::newRow("five refused") << false << "abcde"
                                      << "" << kTooShort << "";
        QTest::newRow("six accepted") << false << "abcdef"
                                      << ""
                                      << ""
                                      << "abcdef";
        QTest::newRow("blanks trimmed") << false << "  abcdef \t"
                                        << ""
                                        << ""
                                        << "abcdef";
        QTest::newRow("blank before five") << false << " abcde"
                                           << "" << kTooShort << "";
        QTest::newRow("blank inside counts") << false << "abc de"
                                             << ""
                                             << ""
                                             << "abc de";
        QTest::newRow("entry mode ignores confirmation") << false << "abcdef"
                                                         << "other!"
                                                         << ""
                                                         << "abcdef";
        QTest::newRow("length counts bytes") << false << "ééé"
                                             << ""
                                             << ""
                                             << "ééé";
        QTest::newRow("same twice") << true << "Secret 1"
                                    << "Secret 1"
                                    << ""
                                    << "Secret 1";
        QTest::newRow("case differs") << true << "Secret 1"
                                      << "secret 1" << kDiffers << "";
        QTest::newRow("confirmation not trimmed") << true << " Secret1 "
                                                  << " Secret1 " << kDiffers << "";
        QTest::newRow("length checked first") << true << "abcde"
                                              << "xyz" << kTooShort << "";
    }

    void checks() {
        QFETCH(bool, confirm);
        QFETCH(QString, passphrase);
        QFETCH(QString, confirmation);
        QFETCH(QString, message);
        QFETCH(QString, accepted);
        PassphraseDialog dialog;
        dialog.SetConfirmMode(confirm);
        dialog.show();
        Edit(dialog, "passphraseEdit")->setText(passphrase);
        Edit(dialog, "confirmEdit")->setText(confirmation);
        QTest::mouseClick(dialog.findChild<QPushButton*>("okButton"), Qt::LeftButton);
        if (message.isEmpty()) {
            QCOMPARE(log_.texts, QStringList());
            QCOMPARE(dialog.result(), int(QDialog::Accepted));
            QCOMPARE(dialog.passphrase(), accepted);
        } else {
            QCOMPARE(log_.texts, QStringList{message});
            QVERIFY(dialog.isVisible());
            // The box keeps what was typed, and the next OK checks again.
            QCOMPARE(Edit(dialog, "passphraseEdit")->text(), passphrase);
            QTest::mouseClick(dialog.findChild<QPushButton*>("okButton"), Qt::LeftButton);
            QCOMPARE(log_.texts.size(), 2);
        }
    }

    void enterKeyChecksToo() {
        PassphraseDialog dialog;
        dialog.show();
        QVERIFY(QTest::qWaitForWindowActive(&dialog));
        QTest::keyClicks(Edit(dialog, "passphraseEdit"), QStringLiteral("abc"));
        QTest::keyClick(Edit(dialog, "passphraseEdit"), Qt::Key_Return);
        QCOMPARE(log_.texts, QStringList{kTooShort});
        QTest::keyClicks(Edit(dialog, "passphraseEdit"), QStringLiteral("def"));
        QTest::keyClick(Edit(dialog, "passphraseEdit"), Qt::Key_Return);
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QCOMPARE(dialog.passphrase(), QStringLiteral("abcdef"));
    }

    void cancelAndEscapeEndSilently() {
        for (bool escape : {false, true}) {
            PassphraseDialog dialog;
            dialog.SetConfirmMode(true);
            dialog.show();
            QVERIFY(QTest::qWaitForWindowActive(&dialog));
            Edit(dialog, "passphraseEdit")->setText(QStringLiteral("abc"));
            if (escape) {
                QTest::keyClick(Edit(dialog, "passphraseEdit"), Qt::Key_Escape);
            } else {
                QTest::mouseClick(dialog.findChild<QPushButton*>("cancelButton"), Qt::LeftButton);
            }
            QVERIFY(!dialog.isVisible());
            QCOMPARE(dialog.result(), int(QDialog::Rejected));
        }
        QCOMPARE(log_.texts, QStringList());
    }

    void boxesHoldAtMost255Bytes() {
        PassphraseDialog dialog;
        QLineEdit* edit = Edit(dialog, "passphraseEdit");
        edit->setText(QString(300, u'a'));
        QCOMPARE(edit->text().size(), 255);
        edit->setText(QString(200, u'é'));  // two bytes each
        QCOMPARE(edit->text(), QString(127, u'é'));
        edit->setText(QString(100, u'a') + QString(100, QChar(0x20AC)));  // euro: three bytes
        QCOMPARE(edit->text().toLocal8Bit().size(), 253);
    }

    void promptsRunTheDialog() {
        // The prompts hand back the trimmed text as bytes, and false on Cancel.
        QtUserPrompts prompts;
        std::string passphrase;
        QTimer::singleShot(0, this, [] {
            auto* dialog = qobject_cast<PassphraseDialog*>(QApplication::activeModalWidget());
            QVERIFY(dialog && dialog->confirmMode());
            Edit(*dialog, "passphraseEdit")->setText(QStringLiteral(" pässword "));
            Edit(*dialog, "confirmEdit")->setText(QStringLiteral("pässword"));
            dialog->accept();
        });
        QVERIFY(prompts.AskPassphrase(true, passphrase));
        QCOMPARE(passphrase, std::string("p\xC3\xA4ssword"));
        QTimer::singleShot(0, this, [] { QApplication::activeModalWidget()->close(); });
        QVERIFY(!prompts.AskPassphrase(false, passphrase));
        prompts.ShowNotice("The passphrase is incorrect.");
        QCOMPARE(log_.texts, QStringList{QStringLiteral("The passphrase is incorrect.")});
    }

  private:
    static QLineEdit* Edit(QDialog& dialog, const char* name) {
        return dialog.findChild<QLineEdit*>(name);
    }
    guitest::MessageLog log_;
};

QTEST_MAIN(PassphraseDialogTest)
#include "passphrase_dialog_test.moc"
