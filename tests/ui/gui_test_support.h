#pragma once

// Helpers for the window tests: finding shown windows, driving modal dialogs from
// the event loop they run in, a scratch data directory and a prompts fake.

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QStringList>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <QWidget>
#include <QtTest>
#include <chrono>
#include <cstring>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "app/app_state.h"
#include "scan/rule_loader.h"
#include "scan/scan_worker.h"
#include "store/rule_list_file.h"
#include "store/user_prompts.h"
#include "tests/support/test_fixtures.h"
#include "ui/message_box.h"

namespace guitest {

// A window's worker: checks on `port`, wakes every `tick`, gives up after 5 s of silence.
inline ScanWorkerSettings WorkerSettings(int port, std::chrono::milliseconds tick) {
    ScanWorkerSettings settings;
    settings.tick = tick;
    settings.readTimeoutMs = 5000;
    settings.port = port;
    return settings;
}

// Stores and loads one Block rule against the senders of spam.example.
inline bool BlockSpamSenders(AppState& state, UserPrompts& prompts) {
    const bool written =
        WriteRuleFile(state, RuleList::kBlock, {{"From:", "spam\\.example", 10}}, prompts);
    LoadRuleLists(state);
    return written;
}

// A table cell's text, empty when the cell has no item.
inline QString Cell(QTableWidget* list, int row, int column) {
    QTableWidgetItem* item = list->item(row, column);
    return item ? item->text() : QString();
}

// The first visible top-level window of type T, or null.
template <class T>
T* Shown() {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (auto* typed = qobject_cast<T*>(widget); typed != nullptr && typed->isVisible()) {
            return typed;
        }
    }
    return nullptr;
}

// Steps run in order from a timer, so they also run inside the loops of modal
// dialogs. A step returns false to be tried again on the next tick. A script that
// has not finished in time closes every window, so a failing test ends instead of
// waiting in a modal loop; Finished() then stays false.
class Script : public QObject {
  public:
    explicit Script(int timeoutMs = 20000) {
        timer_.setInterval(10);
        connect(&timer_, &QTimer::timeout, this, [this] {
            if (!steps_.empty() && steps_.front()()) {
                steps_.pop_front();
            }
        });
        timer_.start();
        deadline_.setSingleShot(true);
        connect(&deadline_, &QTimer::timeout, this, [this] {
            if (steps_.empty()) {
                return;
            }
            timer_.stop();
            for (QWidget* widget : QApplication::topLevelWidgets()) {
                if (auto* dialog = qobject_cast<QDialog*>(widget); dialog && dialog->isVisible()) {
                    dialog->reject();
                }
            }
        });
        deadline_.start(timeoutMs);
    }
    Script& Then(std::function<bool()> step) {
        steps_.push_back(std::move(step));
        return *this;
    }
    // Acts on the window of type T once it is shown.
    template <class T>
    Script& When(std::function<void(T*)> action) {
        return Then([action] {
            T* window = Shown<T>();
            if (window == nullptr) {
                return false;
            }
            action(window);
            return true;
        });
    }
    bool Finished() const { return steps_.empty(); }

  private:
    QTimer timer_;
    QTimer deadline_;
    std::deque<std::function<bool()>> steps_;
};

// A data directory of its own, set into `state`.
inline void UseDirectory(AppState& state, const QTemporaryDir& dir) {
    SetDataDirectory(state, QDir(dir.path()).filePath("quorvane").toStdString());
}

inline void SetPassphrase(AppState& state, const std::string& passphrase) {
    std::memset(state.passphrase, 0, sizeof state.passphrase);
    std::memcpy(state.passphrase, passphrase.data(), passphrase.size());
}

// Records the texts of the message boxes shown while it lives, instead of showing
// them. A test object holds one for all its tests.
class MessageLog {
  public:
    MessageLog() {
        SetMessageHook([this](const QString& text) { texts << text; });
    }
    ~MessageLog() { SetMessageHook({}); }
    MessageLog(const MessageLog&) = delete;
    MessageLog& operator=(const MessageLog&) = delete;

    QStringList texts;
};

// The texts of one row of a list, empty cells included.
inline QStringList RowTexts(const QTableWidget* list, int row) {
    QStringList texts;
    for (int c = 0; c < list->columnCount(); ++c) {
        const QTableWidgetItem* item = list->item(row, c);
        texts << (item != nullptr ? item->text() : QString());
    }
    return texts;
}

// A text typed into a dialog's number box before OK, and what OK must make of it.
struct NumberCase {
    QString text;
    bool accepted;
    QString mentions;  // a refusal's message names the problem with these words
};

// With `log` recording the messages, opens a fresh dialog per case, types the text into the box
// found by `box`, and presses OK. An accepted text closes the dialog silently with that value; a
// refused one leaves it open with one message that names the problem and `limits`, and the focus
// back in the box.
template <class Dialog, class BoxOf, class ValueOf>
void CheckNumberBox(MessageLog& log, const std::vector<NumberCase>& cases, const QString& limits,
                    BoxOf box, ValueOf value) {
    for (const NumberCase& c : cases) {
        log.texts.clear();
        Dialog dialog;
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        auto* numberBox = box(dialog);
        auto* okButton = dialog.template findChild<QAbstractButton*>("okButton");
        okButton->setFocus();
        numberBox->SetText(c.text);
        okButton->click();
        QCOMPARE(dialog.result() == QDialog::Accepted, c.accepted);
        if (c.accepted) {
            QVERIFY(log.texts.isEmpty());
            QCOMPARE(QString::number(value(dialog)), c.text);
            continue;
        }
        QVERIFY(dialog.isVisible());
        QCOMPARE(log.texts.size(), 1);
        QVERIFY2(log.texts[0].contains(c.mentions), qPrintable(log.texts[0]));
        QVERIFY2(log.texts[0].contains(limits), qPrintable(log.texts[0]));
        QWidget* focus = dialog.focusWidget();
        QVERIFY(focus == numberBox || numberBox->isAncestorOf(focus));
    }
}

}  // namespace guitest
