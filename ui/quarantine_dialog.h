#pragma once

#include <QDialog>
#include <string>
#include <vector>

#include "scan/quarantine.h"
#include "ui/sender_rule_buttons.h"

class QTreeWidget;
class SkinButton;

// "Deleted emails": the copies Quarantine kept of one account's deleted messages, with
// the means to get one back: *Save as…* writes it as an .eml file, *Open* hands such a
// file to the desktop's mail program.
class QuarantineDialog : public QDialog {
    Q_OBJECT
  public:
    QuarantineDialog(const std::string& dataDirectory, const std::string& account,
                     QWidget* parent = nullptr);

    QTreeWidget* list() const { return list_; }
    // Rules from the selected copy's sender, as the Unwanted emails window makes them.
    void SetRuleAction(SenderRuleButtons::RuleAction action) {
        senderRules_->SetRuleAction(std::move(action));
    }
    SenderRuleButtons* senderRules() const { return senderRules_; }
    // Writes the selected copy to `path` whole, or not at all. False when it failed.
    [[nodiscard]] bool SaveSelected(const QString& path);

  private:
    void SaveAs();
    void Open();
    const QuarantinedMessage* Selected() const;

    std::vector<QuarantinedMessage> copies_;
    QTreeWidget* list_ = nullptr;
    SenderRuleButtons* senderRules_ = nullptr;
};
