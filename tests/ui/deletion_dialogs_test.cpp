// The windows of deletion: choosing what to delete, and getting a copy back.
#include <QFile>
#include <QTreeWidget>
#include <QtTest>

#include "scan/quarantine.h"
#include "tests/support/test_fixtures.h"
#include "ui/confirm_box.h"
#include "ui/unwanted_mail_dialog.h"
#include "ui/quarantine_dialog.h"
#include "ui/skin_button.h"

class DeletionDialogsTest : public QObject {
    Q_OBJECT
  private slots:
    // Only the selected messages go, after one question that counts them; No sends
    // nothing, and without a delete action the button is not offered.
    void deleteAsksOnceForTheSelection() {
        AppState state;
        state.AppendAccount(qvtest::MakeAccount("me@pop.example", "x", {.description = "Home"}));
        std::vector<UnwantedMessage> messages(3);
        for (int n = 0; n < 3; ++n) {
            messages[n].uidl = "id" + std::to_string(n);
            messages[n].score = -60;
        }
        state.ReplaceUnwanted(0, state.Removals(), messages);
        UnwantedMailDialog dialog(state, 0);
        QVERIFY(dialog.deleteButton()->isHidden());
        std::vector<std::vector<UnwantedMessage>> sent;
        dialog.SetDeleteAction(
            [&](std::vector<UnwantedMessage> chosen) { sent.push_back(chosen); });
        QVERIFY(!dialog.deleteButton()->isHidden());
        QStringList asked;
        bool answer = false;
        SetConfirmHook([&](const QString& question) {
            asked << question;
            return answer;
        });
        dialog.list()->topLevelItem(0)->setSelected(true);
        dialog.list()->topLevelItem(2)->setSelected(true);
        dialog.DeleteSelected();
        answer = true;
        dialog.DeleteSelected();
        SetConfirmHook({});
        QCOMPARE(asked.size(), 2);
        QCOMPARE(asked[0],
                 QStringLiteral(
                     "Delete 2 messages from the server? Quorvane keeps a copy for 30 days."));
        QCOMPARE(sent.size(), std::size_t{1});
        QCOMPARE(sent[0].size(), std::size_t{2});
        QCOMPARE(sent[0][0].uidl, std::string("id0"));
        QCOMPARE(sent[0][1].uidl, std::string("id2"));
    }

    // The list shows what the copy's header says, and Save as writes the copy whole.
    void quarantineListsAndSavesCopies() {
        qvtest::TempDirectory dir;
        Quarantine quarantine(dir.Path(), "me@pop.example");
        const std::string bytes = "From: a@b.example\r\nSubject: Win\r\n\r\n.body\r\n";
        std::string path, why;
        QVERIFY(quarantine.Keep(bytes, "u/1:x", -70, 1'700'000'000, path, why));
        QCOMPARE(QFile::permissions(QString::fromStdString(path)),
                 QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser);
        QuarantineDialog dialog(dir.Path(), "me@pop.example");
        QCOMPARE(dialog.list()->topLevelItemCount(), 1);
        QCOMPARE(dialog.list()->topLevelItem(0)->text(0), QStringLiteral("a@b.example"));
        QCOMPARE(dialog.list()->topLevelItem(0)->text(1), QStringLiteral("Win"));
        QCOMPARE(quarantine.List()[0].uidl, std::string("u/1:x"));
        QCOMPARE(quarantine.List()[0].score, -70);
        const QString saved = QString::fromStdString(dir.Path()) + QStringLiteral("out.eml");
        QVERIFY(!dialog.SaveSelected(saved));  // nothing selected yet
        dialog.list()->setCurrentItem(dialog.list()->topLevelItem(0));
        QVERIFY(dialog.SaveSelected(saved));
        QFile file(saved);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll().toStdString(), bytes);
    }
};

QTEST_MAIN(DeletionDialogsTest)
#include "deletion_dialogs_test.moc"
