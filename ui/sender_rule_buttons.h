#pragma once

#include <QObject>
#include <functional>
#include <optional>
#include <vector>

#include "scan/sender_rule.h"
#include "store/rule_list_file.h"

class QAction;
class QHBoxLayout;
class QTreeWidget;
class QWidget;
class SkinButton;

// The four rules a listed message's sender offers ("Block this sender", …), as
// buttons in a row of their own and on the list's right-click menu. They act on the
// current message, whose From column holds the field as shown, and are off while it
// names no sender. Without a rule action they are not offered at all.
class SenderRuleButtons : public QObject {
    Q_OBJECT
  public:
    // Where a rule goes: the Block or Friends page, which runs the Rule dialog over
    // `over`.
    using RuleAction = std::function<void(RuleList list, const RuleEntry& rule, QWidget* over)>;

    SenderRuleButtons(QTreeWidget* list, int fromColumn, QWidget* owner);

    // The row of buttons, for the owner to place.
    QHBoxLayout* row() const { return row_; }
    void SetRuleAction(RuleAction action);
    const RuleAction& ruleAction() const { return ruleAction_; }
    QAction* action(SenderRuleKind kind) const;
    SkinButton* button(SenderRuleKind kind) const;

  private:
    void Update();
    void MakeRule(SenderRuleKind kind);
    // The rule of `kind` for the current message's sender, if it names one.
    std::optional<RuleEntry> SelectedRule(SenderRuleKind kind) const;

    QTreeWidget* list_;
    int fromColumn_;
    QWidget* owner_;
    QHBoxLayout* row_;
    RuleAction ruleAction_;
    std::vector<QAction*> actions_;     // by SenderRuleKind
    std::vector<SkinButton*> buttons_;  // by SenderRuleKind
};
