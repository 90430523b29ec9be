// The windows of deletion: choosing what to delete, and getting a copy back.
#include <QAction>
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QTreeWidget>
#include <QtTest>

#include "gui_test_support.h"
#include "scan/header_scorer.h"
#include "scan/quarantine.h"
#include "scan/rule_loader.h"
#include "tests/support/test_fixtures.h"
#include "ui/confirm_box.h"
#include "ui/number_box.h"
#include "ui/page_friend.h"
#include "ui/quarantine_dialog.h"
#include "ui/rule_dialog.h"
#include "ui/skin_button.h"
#include "ui/unwanted_mail_dialog.h"

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
        state.ReplaceUnwanted(state.IdOf(0), messages);
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

    // Each of the four rules a sender offers opens the Rule dialog filled in, on its
    // own list, with the preview of what it changes; Cancel stores nothing, OK stores
    // the rule on its page and file, and the verdicts then change as the preview said.
    // A message that names no sender offers none of them.
    void rulesFromTheSelectedSender() {
        QTemporaryDir dir;
        auto state = std::make_unique<AppState>();
        guitest::UseDirectory(*state, dir);
        guitest::SetPassphrase(*state, "correct horse");
        qvtest::FakePrompts prompts{"passphrase"};
        QVERIFY(WriteRuleFile(*state, RuleList::kBlock, {{"Subject:", "offer", 50}}, prompts));
        state->AppendAccount(qvtest::MakeAccount("me@pop.example", "x", {.description = "Home"}));
        const std::string blocks[] = {
            "From: =?UTF-8?Q?K=C3=B6nig_[Deals]?= <King+Deals@Spam.example>\r\n"
            "Subject: Offer\r\n\r\n",
            "From: Queen <queen@spam.example>\r\nSubject: Hello\r\n\r\n",
            "From: kingdeals@spam.example.evil.test\r\nSubject: Hi\r\n\r\n",
            "From: undisclosed\r\nSubject: Offer\r\n\r\n"};
        std::vector<UnwantedMessage> unwanted;
        for (const std::string& block : blocks) {
            KeptMessage kept;
            kept.uidl = std::to_string(state->kept.Snapshot().size());
            kept.headerBlock = block;
            state->kept.Keep(state->IdOf(0), kept);
            if (block.find("Offer") != std::string::npos) {
                UnwantedMessage message;
                message.uidl = kept.uidl;
                message.score = -50;
                message.headerBlock = block;
                unwanted.push_back(message);
            }
        }
        state->ReplaceUnwanted(state->IdOf(0), unwanted);
        const auto unwantedNow = [&] {
            const auto table = ReadRuleTable(*state);
            int count = 0;
            for (std::string block : blocks) {
                count += ScoreHeader(*table, block).score < 0 ? 1 : 0;
            }
            return count;
        };
        QCOMPARE(unwantedNow(), 2);

        CPageFriend block(*state, RuleList::kBlock, prompts);
        CPageFriend friends(*state, RuleList::kFriends, prompts);
        struct Opened {
            RuleList page;
            QString header, contains, weight, preview;
        };
        std::vector<Opened> opened;
        bool acceptNext = false;
        for (CPageFriend* page : {&block, &friends}) {
            page->SetDialogRunner([&, page](RuleDialog& dialog) {
                auto* label = dialog.findChild<QLabel*>("previewLabel");
                (void)QTest::qWaitFor([&] { return label->text().contains("would"); });
                opened.push_back(
                    {page->PageKind(), dialog.findChild<QComboBox*>("headerCombo")->currentText(),
                     dialog.findChild<QLineEdit*>("containsEdit")->text(),
                     dialog.findChild<NumberBox*>("weightBox")->Text(), label->text()});
                dialog.findChild<QAbstractButton*>(acceptNext ? "okButton" : "cancelButton")
                    ->click();
                return dialog.result();
            });
        }
        UnwantedMailDialog dialog(*state, 0);
        QVERIFY(dialog.senderRuleButton(SenderRuleKind::kBlockSender)->isHidden());
        dialog.SetRuleAction([&](RuleList list, const RuleEntry& rule, QWidget* over) {
            (list == RuleList::kBlock ? block : friends).AddFromMessage(rule, over);
        });
        QCOMPARE(dialog.list()->actions().size(), 4);  // the list's context menu
        QCOMPARE(dialog.list()->contextMenuPolicy(), Qt::ActionsContextMenu);
        QVERIFY(!dialog.senderRuleButton(SenderRuleKind::kAllowDomain)->isHidden());
        QVERIFY(!dialog.senderRuleAction(SenderRuleKind::kBlockSender)->isEnabled());
        dialog.list()->setCurrentItem(dialog.list()->topLevelItem(0));
        dialog.senderRuleAction(SenderRuleKind::kBlockSender)->trigger();
        dialog.senderRuleAction(SenderRuleKind::kAllowSender)->trigger();
        dialog.senderRuleButton(SenderRuleKind::kAllowDomain)->click();
        QVERIFY(ReadRuleFile(*state, RuleList::kFriends).empty());
        QCOMPARE(ReadRuleFile(*state, RuleList::kBlock).size(), std::size_t{1});
        acceptNext = true;
        dialog.senderRuleAction(SenderRuleKind::kBlockDomain)->trigger();

        const QString sender = R"((?<=[\s<:,])king\+deals@spam\.example(?=[\s>,;]|$))";
        const QString domain = R"(@spam\.example(?=[\s>,;]|$))";
        const QString first =
            QStringLiteral("  Home: König [Deals] <King+Deals@Spam.\u2026 \u2014 Offer\n");
        QCOMPARE(opened.size(), std::size_t{4});
        QCOMPARE(opened[0].page, RuleList::kBlock);
        QCOMPARE((QStringList{opened[0].header, opened[0].contains, opened[0].weight}),
                 (QStringList{"From:", sender, "50"}));
        QVERIFY2(opened[0].preview.startsWith("Matches 1 of 4 fetched messages:\n" + first),
                 qPrintable(opened[0].preview));
        QVERIFY(opened[0].preview.endsWith("No verdict would change."));
        QCOMPARE(opened[1].page, RuleList::kFriends);
        QCOMPARE((QStringList{opened[1].header, opened[1].contains, opened[1].weight}),
                 (QStringList{"From:", sender, "100"}));
        QVERIFY(opened[1].preview.endsWith("1 message would no longer be unwanted."));
        QCOMPARE(opened[2].page, RuleList::kFriends);
        QCOMPARE((QStringList{opened[2].contains, opened[2].weight}), (QStringList{domain, "100"}));
        QCOMPARE(opened[3].page, RuleList::kBlock);
        QCOMPARE((QStringList{opened[3].contains, opened[3].weight}), (QStringList{domain, "50"}));
        QVERIFY2(opened[3].preview.startsWith("Matches 2 of 4 fetched messages:\n" + first),
                 qPrintable(opened[3].preview));
        QVERIFY(opened[3].preview.endsWith("1 more message would be unwanted."));

        // Stored as the add row stores a rule: on the page, in the file, for the worker.
        const std::vector<RuleEntry> stored = ReadRuleFile(*state, RuleList::kBlock);
        QCOMPARE(stored.size(), std::size_t{2});
        QVERIFY(stored[1] == (RuleEntry{"From:", domain.toStdString(), 50}));
        QCOMPARE(guitest::RowTexts(block.List(), 1), (QStringList{"From:", domain, "50"}));
        QCOMPARE(block.List()->rowCount(), 3);
        QCOMPARE(state->modified.load(), 1);
        QCOMPARE(unwantedNow(), 3);

        dialog.list()->setCurrentItem(dialog.list()->topLevelItem(1));  // "undisclosed"
        for (SenderRuleKind kind : {SenderRuleKind::kBlockSender, SenderRuleKind::kBlockDomain,
                                    SenderRuleKind::kAllowSender, SenderRuleKind::kAllowDomain}) {
            QVERIFY(!dialog.senderRuleAction(kind)->isEnabled());
            QVERIFY(!dialog.senderRuleButton(kind)->isEnabled());
        }
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
        // Its sender offers the same rules as in the Unwanted emails window.
        QVERIFY(dialog.senderRules()->button(SenderRuleKind::kBlockSender)->isHidden());
        std::vector<std::pair<RuleList, RuleEntry>> made;
        dialog.SetRuleAction([&](RuleList list, const RuleEntry& rule, QWidget* over) {
            QCOMPARE(over, &dialog);
            made.emplace_back(list, rule);
        });
        dialog.senderRules()->action(SenderRuleKind::kAllowDomain)->trigger();
        QCOMPARE(made.size(), std::size_t{1});
        QCOMPARE(made[0].first, RuleList::kFriends);
        QVERIFY(made[0].second == (RuleEntry{"From:", R"(@b\.example(?=[\s>,;]|$))", 100}));
        QFile file(saved);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll().toStdString(), bytes);
    }
};

QTEST_MAIN(DeletionDialogsTest)
#include "deletion_dialogs_test.moc"
