#include <QHeaderView>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QTreeWidget>
#include <QtTest>

#include "gui_test_support.h"
#include "ui/certificate_dialog.h"
#include "ui/unwanted_mail_dialog.h"
#include "ui/page_inbox.h"
#include "ui/skin_button.h"

class InboxPageTest : public QObject {
    Q_OBJECT
  private slots:
    void rowsFollowTheAccounts() {
        AppState state;
        state.AppendAccount(qvtest::MakeAccount("me@pop.example", "x", {.description = "Home"}));
        state.AppendAccount(qvtest::MakeAccount("me@work.example", "y", {.description = "Work"}));
        CPageInbox page(state);
        QTableWidget* list = page.list();
        QStringList headers;
        for (int column = 0; column < list->columnCount(); ++column) {
            headers << list->horizontalHeaderItem(column)->text();
        }
        QCOMPARE(headers,
                 (QStringList{"Account", "Emails", "Size ", "Last check", "Status", "Unwanted"}));
        QCOMPARE(list->rowCount(), 2);
        QCOMPARE(list->item(1, 0)->text(), QStringLiteral("Work"));
        // Before the first check a row shows only the description.
        QVERIFY(list->item(0, 1) == nullptr || list->item(0, 1)->text().isEmpty());

        page.SetCell(0, CPageInbox::kEmails, QStringLiteral("12"));
        page.SetCell(0, CPageInbox::kSize, QStringLiteral("1 KB"));
        QCOMPARE(list->item(0, 1)->text(), QStringLiteral("12"));
        QVERIFY(list->item(0, 2)->textAlignment() & Qt::AlignRight);
        page.SetCell(2, CPageInbox::kEmails, QStringLiteral("9"));  // no such row
        page.SetCell(-1, 0, QStringLiteral("9"));
        QCOMPARE(list->rowCount(), 2);

        // An account added while the program runs gets its row.
        state.AppendAccount(qvtest::MakeAccount("a@b", "z", {.description = "Added"}));
        page.AddAccountRow(2);
        QCOMPARE(list->rowCount(), 3);
        QCOMPARE(list->item(2, 0)->text(), QStringLiteral("Added"));
        page.SetCell(2, CPageInbox::kEmails, QStringLiteral("9"));
        QCOMPARE(list->item(2, 1)->text(), QStringLiteral("9"));
    }

    // A check refused for its certificate: the Status cell opens it, and trusting it
    // stores its fingerprint with the account, to be saved.
    void refusedCertificateCanBeTrusted() {
        AppState state;
        state.AppendAccount(qvtest::MakeAccount("me@pop.example", "x",
                                                {.description = "Home", .periodMinutes = 1}));
        CPageInbox page(state);
        CheckReport report;
        report.failure.kind = FailureKind::kCertificate;
        report.failure.detail = "it is self-signed";
        report.failure.certificate = CertificateInfo{
            "CN = pop.example",         "CN = pop.example",   "Jan  1 00:00:00 2026 GMT",
            "Jan  1 00:00:00 2027 GMT", std::string(64, 'C'), {}};
        page.SetCell(0, CPageInbox::kStatus, QString::fromStdString(FailureText(report.failure)));
        page.SetCheckReport(0, report);
        QVERIFY(page.RefusedCertificate(0) != nullptr);

        CertificateDialog dialog(*page.RefusedCertificate(0), "why");
        const QList<QLabel*> labels = dialog.findChildren<QLabel*>();
        QStringList texts;
        for (const QLabel* label : labels) {
            texts << label->text();
        }
        QVERIFY(texts.contains("CN = pop.example"));
        QVERIFY(texts.contains("Jan  1 00:00:00 2027 GMT"));
        QVERIFY(texts.contains(CertificateDialog::FingerprintText(std::string(64, 'C'))));
        QCOMPARE(CertificateDialog::FingerprintText("0123456789ABCDEF0123"),
                 QString("01:23:45:67:89:AB:CD:EF:\n01:23"));

        // A changed certificate: whose, which server, every reason, the one it replaces,
        // and Return cancels wherever the focus is, trust only by a click.
        CertificateInfo changed = *page.RefusedCertificate(0);
        changed.reasons = {"it changed since it was trusted", "it is self-signed",
                           "it is for another host name"};
        for (bool focusOnTrust : {false, true}) {
            CertificateDialog asked(changed, "why",
                                    {"Home", "pop.example:995", std::string(64, 'A')});
            asked.show();
            QVERIFY(QTest::qWaitForWindowExposed(&asked));
            QCOMPARE(asked.whyText(),
                     QString("The certificate of pop.example:995 (account \"Home\") is not "
                             "trusted:\n  \u2022 it changed since it was trusted\n  \u2022 it is "
                             "self-signed\n  \u2022 it is for another host name"));
            QCOMPARE(asked.findChild<QLabel*>("trustedBefore")->text(),
                     CertificateDialog::FingerprintText(std::string(64, 'A')));
            QVERIFY(asked.cancelButton()->isDefault());
            QVERIFY(asked.trustButton()->imagesReady() && asked.cancelButton()->imagesReady());
            if (focusOnTrust) {
                asked.trustButton()->setFocus();
            }
            QTest::keyClick(QApplication::focusWidget() ? QApplication::focusWidget()
                                                        : static_cast<QWidget*>(&asked),
                            Qt::Key_Return);
            QCOMPARE(asked.result(), int(QDialog::Rejected));
        }
        CertificateDialog clicked(changed, "why");
        clicked.trustButton()->click();
        QCOMPARE(clicked.result(), int(QDialog::Accepted));
        QVERIFY(clicked.findChild<QLabel*>("trustedBefore") == nullptr);

        QVERIFY(page.TrustCertificate(0));
        AccountRecord account{};
        QVERIFY(state.CopyAccount(0, account));
        QCOMPARE(QString(account.trustedFingerprint), QString(64, 'C'));
        QCOMPARE(state.accountsDirty.load(), 1);
        QVERIFY(page.RefusedCertificate(0) == nullptr);
        QVERIFY(!page.TrustCertificate(0));  // nothing refused any more

        // A later check that passes, or fails otherwise, forgets the certificate.
        page.SetCheckReport(0, report);
        page.SetCheckReport(0, CheckReport{});
        QVERIFY(page.RefusedCertificate(0) == nullptr);
    }

    void deletedMailListDropsThePrefixes() {
        AppState state;
        state.AppendAccount(qvtest::MakeAccount("me@pop.example", "x", {.description = "Home"}));
        state.RecordUnwanted(0, "From: Spammer <s@x.example>", "Subject: Cheap pills");
        state.RecordUnwanted(0, "fROM:\tOdd Case", "SUBJECT:Shouting");
        state.RecordUnwanted(0, "From:", "Subject:");
        state.RecordUnwanted(0, "(no address)", "(no subject)");
        state.RecordUnwanted(0, "Sender: not a from line", "Re: Subject: inside");
        UnwantedMailDialog dialog(state, 0);
        QCOMPARE(dialog.windowTitle(), QStringLiteral("Unwanted emails: Home"));
        QVERIFY(dialog.statusLabel() == nullptr);  // no failed check to tell of
        QTreeWidget* list = dialog.list();
        QCOMPARE(list->headerItem()->text(0), QStringLiteral("From"));
        QCOMPARE(list->headerItem()->text(1), QStringLiteral("Subject"));
        const QStringList from{" Spammer <s@x.example>", "\tOdd Case", "", "(no address)",
                               "Sender: not a from line"};
        const QStringList subject{" Cheap pills", "Shouting", "", "(no subject)",
                                  "Re: Subject: inside"};
        QCOMPARE(list->topLevelItemCount(), 5);
        for (int row = 0; row < 5; ++row) {
            QCOMPARE(list->topLevelItem(row)->text(0), from[row]);
            QCOMPARE(list->topLevelItem(row)->text(1), subject[row]);
        }
    }

    // The columns, the whole texts in the tips, and the detail pane, for a message
    // with its detail (names in their charset) and one recorded without it.
    void unwantedMessagesShowWhyTheyWereFlagged() {
        AppState state;
        state.AppendAccount(qvtest::MakeAccount("me@pop.example", "x", {.description = "Home"}));
        const std::string subject = "Cheap pills " + std::string(300, 'x');
        UnwantedMessage full;
        full.from = "From: Zo\xeb M\xfcller";  // decoded bytes: not what is shown
        full.date = " Mon, 7 Dec 2026 10:00:00 +0000";
        full.score = -50;
        full.rules = {{RuleList::kBlock, "Subject:", "cheap|pills", 80},
                      {RuleList::kFriends, "From:", "zoe", 30}};
        full.headerBlock =
            "From: =?windows-1252?Q?Zo=EB_M=FCller?= <zoe@x.example>\r\n"
            "Subject: " +
            subject + "\r\nDate:" + full.date + "\r\n\r\n";
        state.unwantedDetail[0].push_back(full);
        state.RecordUnwanted(0, "(no address)", "Subject: bare");

        UnwantedMailDialog dialog(state, 0);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        QTreeWidget* list = dialog.list();
        QStringList headers;
        for (int column = 0; column < list->columnCount(); ++column) {
            headers << list->headerItem()->text(column);
        }
        QCOMPARE(headers, (QStringList{"From", "Subject", "Date", "Score"}));
        QCOMPARE(list->textElideMode(), Qt::ElideRight);
        QCOMPARE(list->topLevelItemCount(), 2);
        const QTreeWidgetItem* first = list->topLevelItem(0);
        QCOMPARE(first->text(0), QStringLiteral(" Zo\u00eb M\u00fcller <zoe@x.example>"));
        QCOMPARE(first->text(1), QString::fromStdString(" " + subject));
        QCOMPARE(first->toolTip(1), first->text(1));
        QCOMPARE(first->text(2), QStringLiteral("Mon, 7 Dec 2026 10:00:00 +0000"));
        QCOMPARE(first->text(3), QStringLiteral("-50"));
        const QTreeWidgetItem* bare = list->topLevelItem(1);
        QCOMPARE(bare->text(0) + "|" + bare->text(1) + "|" + bare->text(3),
                 QStringLiteral("(no address)| bare|"));

        QVERIFY(dialog.detail()->toPlainText().isEmpty());
        list->setCurrentItem(list->topLevelItem(0));
        const QString detail = dialog.detail()->toPlainText();
        QVERIFY2(detail.contains("Block  Subject:  contains \"cheap|pills\"  weight 80\n"
                                 "  Friends  From:  contains \"zoe\"  weight 30"),
                 qPrintable(detail));
        QVERIFY(detail.contains(QStringLiteral("From: Zo\u00eb M\u00fcller <zoe@x.example>\n")));
        QVERIFY(detail.contains(QString::fromStdString(subject)));  // whole, not cut
        QVERIFY(!detail.contains('\r'));
        list->setCurrentItem(list->topLevelItem(1));
        QCOMPARE(dialog.detail()->toPlainText(),
                 QStringLiteral("No rules were recorded for this message.\n\nHeader:\n"
                                "(no address)\nSubject: bare"));
    }

    void longEntriesAreCutAndOtherAccountsEmpty() {
        QCOMPARE(UnwantedMailDialog::StripFieldPrefix("From: " + std::string(5000, 'a'), "from:"),
                 " " + std::string(4089, 'a'));
        AppState state;
        state.AppendAccount(qvtest::MakeAccount("a@b", "x", {.description = "One"}));
        state.AppendAccount(qvtest::MakeAccount("c@d", "y", {.description = "Two"}));
        state.RecordUnwanted(0, "From: a", "Subject: b");
        UnwantedMailDialog dialog(state, 1);
        QCOMPARE(dialog.list()->topLevelItemCount(), 0);
    }

    void doubleClickOpensTheFirstSelectedAccount() {
        AppState state;
        state.AppendAccount(qvtest::MakeAccount("a@b", "x", {.description = "One"}));
        state.AppendAccount(qvtest::MakeAccount("c@d", "y", {.description = "Two"}));
        state.RecordUnwanted(1, "From: second", "Subject: account");
        CPageInbox page(state);
        page.show();
        QVERIFY(QTest::qWaitForWindowExposed(&page));
        QTableWidget* list = page.list();
        list->selectRow(1);
        // The list is older than a check that failed: the dialog says why it failed.
        CheckReport failed;
        failed.failure.kind = FailureKind::kHostNotFound;
        page.SetCell(1, CPageInbox::kStatus, "The host could not be found");
        page.SetCheckReport(1, failed);
        QString shown;
        QString title;
        QString status;
        guitest::Script script;
        script.When<UnwantedMailDialog>([&](UnwantedMailDialog* dialog) {
            shown = dialog->list()->topLevelItem(0)->text(0);
            title = dialog->windowTitle();
            status = dialog->statusLabel() != nullptr ? dialog->statusLabel()->text() : "";
            QTest::mouseClick(dialog->findChild<QPushButton*>("closeButton"), Qt::LeftButton);
        });
        const QRect cell = list->visualItemRect(list->item(1, 0));
        // Only the left button opens the list.
        for (Qt::MouseButton button : {Qt::RightButton, Qt::MiddleButton}) {
            QTest::mouseDClick(list->viewport(), button, {}, cell.center());
        }
        QVERIFY(shown.isEmpty());
        // A double click is a click, then the second press that the view sees as double.
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, cell.center());
        QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, cell.center());
        QCOMPARE(shown, QStringLiteral(" second"));
        QCOMPARE(title, QStringLiteral("Unwanted emails: Two"));
        QCOMPARE(status, QStringLiteral("The host could not be found"));
        QVERIFY(script.Finished());
    }
};

QTEST_MAIN(InboxPageTest)
#include "inbox_page_test.moc"
