#include <QAbstractButton>
#include <QClipboard>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QtTest>
#include <cstring>

#include "app/app_state.h"
#include "gui_test_support.h"
#include "store/rule_list_file.h"
#include "ui/confirm_box.h"
#include "ui/number_box.h"
#include "ui/page_friend.h"
#include "ui/rule_dialog.h"

namespace {

struct Form {
    explicit Form(QDialog& dialog)
        : headerCombo(dialog.findChild<QComboBox*>("headerCombo")),
          containsEdit(dialog.findChild<QLineEdit*>("containsEdit")),
          weightBox(dialog.findChild<NumberBox*>("weightBox")),
          okButton(dialog.findChild<QAbstractButton*>("okButton")),
          cancelButton(dialog.findChild<QAbstractButton*>("cancelButton")) {}
    QComboBox* headerCombo;
    QLineEdit* containsEdit;
    NumberBox* weightBox;
    QAbstractButton* okButton;
    QAbstractButton* cancelButton;
};

// What the dialog showed when it opened.
struct Shown {
    QString header;
    QString contains;
    QString weight;
    int runs = 0;
};

// Records what the dialog shows, then enters a rule (when `header` is not empty) and
// presses OK.
CPageFriend::DialogRunner Enter(Shown& shown, const QString& header = {},
                                const QString& contains = {}, const QString& weight = {}) {
    return [&shown, header, contains, weight](RuleDialog& dialog) {
        Form form(dialog);
        ++shown.runs;
        shown.header = form.headerCombo->currentText();
        shown.contains = form.containsEdit->text();
        shown.weight = form.weightBox->Text();
        if (!header.isEmpty()) {
            form.headerCombo->setCurrentText(header);
            form.containsEdit->setText(contains);
            form.weightBox->SetText(weight);
        }
        form.okButton->click();
        return dialog.result();
    };
}

void Select(QTableWidget* list, std::initializer_list<int> rows) {
    list->clearSelection();
    for (int row : rows) {
        list->selectionModel()->select(list->model()->index(row, 0),
                                       QItemSelectionModel::Select | QItemSelectionModel::Rows);
    }
}

bool Same(const RuleEntry& a, const char* header, const char* contains, int weight) {
    return a.header == header && a.contains == contains && a.weight == weight;
}

}  // namespace

class PageFriendTest : public QObject {
    Q_OBJECT

  private:
    guitest::MessageLog log_;
    std::unique_ptr<QTemporaryDir> dir_;
    std::unique_ptr<AppState> state_;
    qvtest::FakePrompts prompts_{"passphrase"};

    QString FilePath(RuleList list) const {
        return QString::fromStdString(RuleFilePath(*state_, list));
    }

  private slots:
    void init() {
        log_.texts.clear();
        dir_ = std::make_unique<QTemporaryDir>();
        state_ = std::make_unique<AppState>();
        guitest::UseDirectory(*state_, *dir_);
        guitest::SetPassphrase(*state_, "correct horse");
    }
    void cleanup() {
        state_.reset();
        dir_.reset();
    }

    void fillsFromTheFile() {
        const std::vector<RuleEntry> rules{{"From:", "boss@example.com", 100},
                                           {"Subject:", "lottery|prize", 50},
                                           {"Any header", "", -7}};
        QVERIFY(WriteRuleFile(*state_, RuleList::kBlock, rules, prompts_));
        CPageFriend block(*state_, RuleList::kBlock, prompts_);
        QTableWidget* list = block.List();
        QCOMPARE(list->rowCount(), 4);
        QCOMPARE(guitest::RowTexts(list, 0), (QStringList{"From:", "boss@example.com", "100"}));
        QCOMPARE(guitest::RowTexts(list, 1), (QStringList{"Subject:", "lottery|prize", "50"}));
        QCOMPARE(guitest::RowTexts(list, 2), (QStringList{"Any header", "", "-7"}));
        QCOMPARE(guitest::RowTexts(list, 3), (QStringList{"Double click here to Add", "", ""}));

        // The Friends page reads its own file only.
        CPageFriend friends(*state_, RuleList::kFriends, prompts_);
        QCOMPARE(friends.List()->rowCount(), 1);
        QCOMPARE(state_->modified.load(), 0);
    }

    void addRewritesTheFile() {
        CPageFriend block(*state_, RuleList::kBlock, prompts_);
        QTableWidget* list = block.List();
        QCOMPARE(guitest::RowTexts(list, 0), (QStringList{"Double click here to Add", "", ""}));
        Shown shown;
        Select(list, {0});
        block.SetDialogRunner(Enter(shown, "Subject:", "lottery", "-5"));
        block.AddOrReplace();
        QCOMPARE(shown.header, QString("From:"));
        QCOMPARE(shown.contains, QString());
        QCOMPARE(shown.weight, QString("50"));
        QCOMPARE(guitest::RowTexts(list, 0), (QStringList{"Subject:", "lottery", "-5"}));
        QCOMPARE(guitest::RowTexts(list, 1).at(0), QString("Double click here to Add"));
        QCOMPARE(state_->modified.load(), 1);
        std::vector<RuleEntry> stored = ReadRuleFile(*state_, RuleList::kBlock);
        QCOMPARE(stored.size(), std::size_t{1});
        QVERIFY(Same(stored[0], "Subject:", "lottery", -5));

        Select(list, {1});
        block.SetDialogRunner(Enter(shown, "Received:", "spam\\.example", "100"));
        block.AddOrReplace();
        stored = ReadRuleFile(*state_, RuleList::kBlock);
        QCOMPARE(stored.size(), std::size_t{2});
        QVERIFY(Same(stored[1], "Received:", "spam\\.example", 100));
        QVERIFY(ReadRuleFile(*state_, RuleList::kFriends).empty());

        // An empty pattern matches every message: OK asks first, and No keeps the
        // dialog open with nothing stored.
        CPageFriend friends(*state_, RuleList::kFriends, prompts_);
        QStringList asked;
        QList<bool> answers{false, true};
        SetConfirmHook([&](const QString& question) {
            asked << question;
            return answers.takeFirst();
        });
        int afterNo = -1;
        bool storedAfterNo = true;
        Select(friends.List(), {0});
        friends.SetDialogRunner([&](RuleDialog& dialog) {
            shown.weight = Form(dialog).weightBox->Text();
            Form(dialog).okButton->click();
            afterNo = dialog.result();
            storedAfterNo = !ReadRuleFile(*state_, RuleList::kFriends).empty();
            Form(dialog).okButton->click();
            return dialog.result();
        });
        friends.AddOrReplace();
        SetConfirmHook({});
        QCOMPARE(afterNo, int(QDialog::Rejected));
        QVERIFY(!storedAfterNo);
        QCOMPARE(asked, QStringList(2,
                                    "The pattern is empty, so the rule matches every message. "
                                    "Store it anyway?"));
        QCOMPARE(shown.weight, QString("100"));
        QCOMPARE(guitest::RowTexts(friends.List(), 0), (QStringList{"From:", "", "100"}));
        stored = ReadRuleFile(*state_, RuleList::kFriends);
        QCOMPARE(stored.size(), std::size_t{1});
        QVERIFY(Same(stored[0], "From:", "", 100));
    }

    void replaceStartsFromTheRule() {
        QVERIFY(WriteRuleFile(*state_, RuleList::kFriends,
                              {{"Sender:", "friend@example.org", 30}, {"To:", "me", 100}},
                              prompts_));
        CPageFriend friends(*state_, RuleList::kFriends, prompts_);
        QTableWidget* list = friends.List();
        Shown shown;
        // OK without changes keeps the rule as it was.
        Select(list, {1});
        friends.SetDialogRunner(Enter(shown));
        friends.AddOrReplace();
        QCOMPARE(shown.header, QString("To:"));
        QCOMPARE(shown.contains, QString("me"));
        QCOMPARE(shown.weight, QString("100"));
        QCOMPARE(guitest::RowTexts(list, 1), (QStringList{"To:", "me", "100"}));
        QCOMPARE(state_->modified.load(), 1);
        std::vector<RuleEntry> stored = ReadRuleFile(*state_, RuleList::kFriends);
        QCOMPARE(stored.size(), std::size_t{2});
        QVERIFY(Same(stored[1], "To:", "me", 100));

        // With several rows selected the first one is replaced.
        Select(list, {1, 0});
        friends.SetDialogRunner(Enter(shown, "Cc:", "team", "-99"));
        friends.AddOrReplace();
        QCOMPARE(shown.contains, QString("friend@example.org"));
        QCOMPARE(guitest::RowTexts(list, 0), (QStringList{"Cc:", "team", "-99"}));
        QCOMPARE(list->rowCount(), 3);
        stored = ReadRuleFile(*state_, RuleList::kFriends);
        QVERIFY(Same(stored[0], "Cc:", "team", -99));
        QVERIFY(Same(stored[1], "To:", "me", 100));
    }

    void cancelAndNoSelectionChangeNothing() {
        QVERIFY(WriteRuleFile(*state_, RuleList::kBlock, {{"From:", "x", 50}}, prompts_));
        const QByteArray before = [this] {
            QFile file(FilePath(RuleList::kBlock));
            return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
        }();
        CPageFriend block(*state_, RuleList::kBlock, prompts_);
        QTableWidget* list = block.List();
        int runs = 0;
        block.SetDialogRunner([&runs](RuleDialog& dialog) {
            ++runs;
            Form(dialog).containsEdit->setText("changed");
            Form(dialog).cancelButton->click();
            return dialog.result();
        });
        Select(list, {0});
        block.AddOrReplace();
        list->clearSelection();
        block.AddOrReplace();
        QCOMPARE(runs, 1);
        QCOMPARE(guitest::RowTexts(list, 0), (QStringList{"From:", "x", "50"}));
        QCOMPARE(state_->modified.load(), 0);
        QFile file(FilePath(RuleList::kBlock));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), before);
    }

    void deleteByRightDoubleClick() {
        QVERIFY(WriteRuleFile(*state_, RuleList::kBlock,
                              {{"From:", "a", 50}, {"To:", "b", 40}, {"Cc:", "c", 30}}, prompts_));
        CPageFriend block(*state_, RuleList::kBlock, prompts_);
        QTableWidget* list = block.List();
        block.resize(500, 300);
        block.show();
        QVERIFY(QTest::qWaitForWindowExposed(&block));

        // A middle double click does nothing; a real right one deletes the second rule.
        const QPoint second = list->visualItemRect(list->item(1, 0)).center();
        QTest::mouseDClick(list->viewport(), Qt::MiddleButton, {}, second);
        QCOMPARE(list->rowCount(), 4);
        QTest::mouseClick(list->viewport(), Qt::RightButton, {}, second);
        QTest::mouseDClick(list->viewport(), Qt::RightButton, {}, second);
        QCOMPARE(list->rowCount(), 3);
        QCOMPARE(guitest::RowTexts(list, 1), (QStringList{"Cc:", "c", "30"}));
        QCOMPARE(state_->modified.load(), 1);
        std::vector<RuleEntry> stored = ReadRuleFile(*state_, RuleList::kBlock);
        QCOMPARE(stored.size(), std::size_t{2});
        QVERIFY(Same(stored[1], "Cc:", "c", 30));

        // On the add row nothing goes, but the file is written and the flag raised.
        state_->modified = 0;
        QFile::remove(FilePath(RuleList::kBlock));
        Select(list, {2});
        block.Delete();
        QCOMPARE(list->rowCount(), 3);
        QCOMPARE(state_->modified.load(), 1);
        QVERIFY(QFile::exists(FilePath(RuleList::kBlock)));
        QCOMPARE(ReadRuleFile(*state_, RuleList::kBlock).size(), std::size_t{2});

        // The last rules go, leaving the add row and an empty file.
        Select(list, {1, 0});
        block.Delete();
        QCOMPARE(guitest::RowTexts(list, 0), (QStringList{"Cc:", "c", "30"}));
        Select(list, {0});
        block.Delete();
        QCOMPARE(list->rowCount(), 1);
        QCOMPARE(guitest::RowTexts(list, 0).at(0), QString("Double click here to Add"));
        QCOMPARE(QFileInfo(FilePath(RuleList::kBlock)).size(), 0);
        QVERIFY(ReadRuleFile(*state_, RuleList::kBlock).empty());
        QVERIFY(prompts_.notices.empty());
    }

    // The preview below the fields, the pattern error at once, and OK on a bad pattern:
    // it asks, No keeps the dialog open, Yes stores what was typed.
    void previewAndBadPattern() {
        QVERIFY(WriteRuleFile(*state_, RuleList::kBlock, {{"Subject:", "lunch", 50}}, prompts_));
        QVERIFY(WriteRuleFile(*state_, RuleList::kFriends, {{"From:", "work\\.example", 30}},
                              prompts_));
        {
            RuleDialog empty;
            empty.EnablePreview(*state_, RuleList::kBlock, {}, std::nullopt);
            auto* label = empty.findChild<QLabel*>("previewLabel");
            QTRY_COMPARE(label->text(), QStringLiteral("No messages fetched yet."));
        }
        const char* blocks[] = {
            "From: Prize Desk <win@lottery.example>\r\nSubject: You have won a prize\r\n\r\n",
            "From: Boss <boss@work.example>\r\nSubject: =?UTF-8?Q?Pr=69ze_meeting?=\r\n\r\n",
            "From: Pal <pal@home.example>\r\nSubject: Lunch\r\n\r\n"};
        for (const char* block : blocks) {
            KeptMessage message;
            message.uidl = std::to_string(state_->kept.Snapshot().size());
            message.headerBlock = block;
            state_->kept.Keep(1, message);
        }
        // Two accounts on one mailbox keep a copy each: the preview says whose is whose.
        state_->AppendAccount(qvtest::MakeAccount("me@pop.example", "x", {.description = "Home"}));
        state_->AppendAccount(qvtest::MakeAccount("me@pop.example", "x", {.description = "Work"}));
        KeptMessage copy;
        copy.uidl = "0";
        copy.headerBlock = blocks[0];
        state_->kept.Keep(2, copy);
        CPageFriend block(*state_, RuleList::kBlock, prompts_);
        QStringList questions;
        QList<bool> answers{false, true};
        SetConfirmHook([&](const QString& question) {
            questions << question;
            return answers.takeFirst();
        });
        QString preview;
        QString error;
        int afterNo = -1;
        block.SetDialogRunner([&](RuleDialog& dialog) {
            Form form(dialog);
            auto* label = dialog.findChild<QLabel*>("previewLabel");
            form.headerCombo->setCurrentText("Subject:");
            form.containsEdit->setText("prize");
            (void)QTest::qWaitFor([&] { return label->text().startsWith("Matches"); });
            preview = label->text();
            form.containsEdit->setText("a(b|c");
            error = label->text();  // at once, without the pause
            form.okButton->click();
            afterNo = dialog.result();
            form.okButton->click();
            return dialog.result();
        });
        Select(block.List(), {1});
        block.AddOrReplace();
        SetConfirmHook({});
        QCOMPARE(preview,
                 QStringLiteral("Matches 3 of 4 fetched messages:\n"
                                "  Home: Prize Desk <win@lottery.example> \u2014 You have won "
                                "a prize\n"
                                "  Home: Boss <boss@work.example> \u2014 Prize meeting\n"
                                "  Work: Prize Desk <win@lottery.example> \u2014 You have won "
                                "a prize\n"
                                "3 more messages would be unwanted."));
        QCOMPARE(error, QStringLiteral("Pattern error at 5: missing closing parenthesis"));
        QCOMPARE(afterNo, int(QDialog::Rejected));  // still open
        QCOMPARE(questions.size(), 2);
        QVERIFY2(questions[0].startsWith(error), qPrintable(questions[0]));
        const std::vector<RuleEntry> stored = ReadRuleFile(*state_, RuleList::kBlock);
        QCOMPARE(stored.size(), std::size_t{2});
        QVERIFY(Same(stored[1], "Subject:", "a(b|c", 50));
    }

    void weightLimits() {
        SetConfirmHook([](const QString&) { return true; });  // the pattern stays empty
        guitest::CheckNumberBox<RuleDialog>(
            log_,
            {{"100", true, ""},
             {"-99", true, ""},
             {"0", true, ""},
             {"101", false, "out of range"},
             {"-100", false, "out of range"},
             {"", false, "empty"},
             {"-", false, "not a whole number"}},
            "from -99 to 100", [](RuleDialog& dialog) { return Form(dialog).weightBox; },
            [](RuleDialog& dialog) { return dialog.Values().weight; });
        SetConfirmHook({});
    }

    void dialogOffersTheTwelveHeaders() {
        RuleDialog dialog;
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        Form form(dialog);
        QStringList entries;
        for (int i = 0; i < form.headerCombo->count(); ++i) {
            entries << form.headerCombo->itemText(i);
        }
        QCOMPARE(entries, (QStringList{"From:", "To:", "Cc:", "Recipient",
                                       "Subject:", "Sender:", "Reply-To:", "Content-Type:",
                                       "Message-ID:", "Return-Path:", "Received:", "Any header"}));
        QCOMPARE(form.headerCombo->currentIndex(), 0);
        QCOMPARE(form.weightBox->Text(), QString("100"));

        // A minus sign gets in (typed or pasted); letters and a second sign do not.
        QLineEdit* weight = form.weightBox->findChild<QLineEdit*>();
        weight->clear();
        QTest::keyClicks(weight, "-4x-2");
        QCOMPARE(form.weightBox->Text(), QString("-42"));
        // The spin control keeps to the limits.
        form.weightBox->SetText("99");
        form.weightBox->stepBy(5);
        QCOMPARE(form.weightBox->Text(), QString("100"));
        form.weightBox->SetText("-98");
        form.weightBox->stepBy(-5);
        QCOMPARE(form.weightBox->Text(), QString("-99"));
        QTest::keyClicks(form.containsEdit, QString(300, 'c'));
        QCOMPARE(form.containsEdit->text().size(), 255);

        // Bytes of UTF-8 are counted; what would not fit is refused whole and the count
        // says so, whether typed, inserted or pasted.
        auto* count = dialog.findChild<QLabel*>("containsEditCount");
        QCOMPARE(count->text(), QString("255 of 255 bytes: 256 will not fit"));
        QVERIFY(count->isVisible());
        form.containsEdit->clear();
        QVERIFY(!count->isVisible());
        form.containsEdit->insert(QString(100, u'\u00e9'));
        QVERIFY(!count->isVisible());
        form.containsEdit->insert(QString(27, u'\u00e9'));
        QCOMPARE(count->text(), QString("254 of 255 bytes"));
        QVERIFY(count->isVisible());
        form.containsEdit->insert(QString(u'\u00e9'));
        QCOMPARE(form.containsEdit->text(), QString(127, u'\u00e9'));
        QCOMPARE(count->text(), QString("254 of 255 bytes: 256 will not fit"));
        QTest::keyClicks(form.containsEdit, "c");
        QCOMPARE(count->text(), QString("255 of 255 bytes"));
        form.containsEdit->setText("abc");
        form.containsEdit->selectAll();
        QApplication::clipboard()->setText(QString(300, 'x'));
        form.containsEdit->paste();
        QCOMPARE(form.containsEdit->text(), QString("abc"));
        QCOMPARE(count->text(), QString("3 of 255 bytes: 300 will not fit"));
        QVERIFY(count->isVisible());
        QApplication::clipboard()->setText(QString(255, 'x'));
        form.containsEdit->paste();
        QCOMPARE(form.containsEdit->text(), QString(255, 'x'));
    }
};

QTEST_MAIN(PageFriendTest)
#include "page_friend_test.moc"
