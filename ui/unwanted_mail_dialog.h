#pragma once

#include <QDialog>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "app/app_state.h"
#include "ui/sender_rule_buttons.h"

namespace Ui {
class UnwantedMailDialog;
}
class QAction;
class QLabel;
class QPlainTextEdit;
class QTreeWidget;
class SkinButton;

// "Unwanted emails": the messages of one account that its last check judged
// unwanted, as they stand when the dialog opens: sender, subject, date and score in
// the list, and for the selected message the rules that fired and its header block.
// Names are shown converted from their charsets; nothing here changes a verdict,
// though a sender's rule made here goes to its page and counts from the next check.
// The title names the account; after a failed check, why it failed stands above the
// list, since the list is then older than the check.
class UnwantedMailDialog : public QDialog {
    Q_OBJECT
  public:
    UnwantedMailDialog(const AppState& state, int accountIndex, QWidget* parent = nullptr,
                       const QString& failedStatus = QString());
    ~UnwantedMailDialog() override;

    QTreeWidget* list() const;
    QPlainTextEdit* detail() const;
    // Why the account's last check failed, or null when it did not.
    QLabel* statusLabel() const { return statusLabel_; }

    // A recorded field as the list shows it: cut to 4095 bytes, and `prefix` ("from:",
    // "subject:") removed from its start when it is there in any letter case.
    static std::string StripFieldPrefix(std::string text, std::string_view prefix);

    // What the detail pane shows for one message.
    static QString DetailText(const UnwantedMessage& message);

    // Where *Delete from server* sends the chosen messages (the worker's queue).
    // Without one the button is hidden: the dialog then never changes a mailbox.
    using DeleteAction = std::function<void(std::vector<UnwantedMessage>)>;
    void SetDeleteAction(DeleteAction action);
    SkinButton* deleteButton() const { return deleteButton_; }
    // Asks once, then hands the selected messages to the delete action.
    void DeleteSelected();

    // Where a rule made from the selected message's sender goes (see
    // SenderRuleButtons); the Deleted emails window it opens offers the same.
    using RuleAction = SenderRuleButtons::RuleAction;
    void SetRuleAction(RuleAction action);
    QAction* senderRuleAction(SenderRuleKind kind) const;
    SkinButton* senderRuleButton(SenderRuleKind kind) const;

  private:
    void ShowList();
    // The deletion runs on the worker's thread; the list follows what it removed.
    void FollowDeletion();
    void ShowQuarantine();

    const AppState& state_;
    int accountIndex_ = -1;
    DeleteAction deleteAction_;
    SkinButton* deleteButton_ = nullptr;
    SenderRuleButtons* senderRules_ = nullptr;

  private:
    void AddRow(const UnwantedMessage& message);
    void ShowSelected();

    std::unique_ptr<Ui::UnwantedMailDialog> ui_;
    std::vector<UnwantedMessage> messages_;
    QLabel* statusLabel_ = nullptr;
};
