#include "ui/sender_rule_buttons.h"

#include <QAction>
#include <QBoxLayout>
#include <QTreeWidget>

#include "ui/page_friend.h"
#include "ui/skin_button.h"

namespace {

struct SenderRuleText {
    SenderRuleKind kind;
    const char* text;
    const char* name;
};

constexpr SenderRuleText kSenderRules[] = {
    {SenderRuleKind::kBlockSender, "Block this sender", "blockSender"},
    {SenderRuleKind::kBlockDomain, "Block this sender's domain", "blockDomain"},
    {SenderRuleKind::kAllowSender, "Always allow this sender", "allowSender"},
    {SenderRuleKind::kAllowDomain, "Always allow this domain", "allowDomain"},
};

}  // namespace

SenderRuleButtons::SenderRuleButtons(QTreeWidget* list, int fromColumn, QWidget* owner)
    : QObject(owner), list_(list), fromColumn_(fromColumn), owner_(owner), row_(new QHBoxLayout) {
    for (const SenderRuleText& rule : kSenderRules) {
        auto* action = new QAction(QString::fromLatin1(rule.text), owner);
        action->setObjectName(QString::fromLatin1(rule.name) + QStringLiteral("Action"));
        auto* button = new SkinButton(action->text(), owner);
        button->setObjectName(QString::fromLatin1(rule.name) + QStringLiteral("Button"));
        button->hide();
        row_->addWidget(button);
        const SenderRuleKind kind = rule.kind;
        connect(action, &QAction::triggered, this, [this, kind] { MakeRule(kind); });
        connect(button, &QPushButton::clicked, action, &QAction::trigger);
        actions_.push_back(action);
        buttons_.push_back(button);
    }
    row_->addStretch();
    connect(list_, &QTreeWidget::itemSelectionChanged, this, &SenderRuleButtons::Update);
    connect(list_, &QTreeWidget::currentItemChanged, this, &SenderRuleButtons::Update);
    Update();
}

void SenderRuleButtons::SetRuleAction(RuleAction action) {
    ruleAction_ = std::move(action);
    const bool offered = static_cast<bool>(ruleAction_);
    list_->setContextMenuPolicy(offered ? Qt::ActionsContextMenu : Qt::DefaultContextMenu);
    for (std::size_t i = 0; i < actions_.size(); ++i) {
        if (offered) {
            list_->addAction(actions_[i]);
        } else {
            list_->removeAction(actions_[i]);
        }
        buttons_[i]->setVisible(offered);
    }
    Update();
}

QAction* SenderRuleButtons::action(SenderRuleKind kind) const {
    return actions_[static_cast<std::size_t>(kind)];
}

SkinButton* SenderRuleButtons::button(SenderRuleKind kind) const {
    return buttons_[static_cast<std::size_t>(kind)];
}

std::optional<RuleEntry> SenderRuleButtons::SelectedRule(SenderRuleKind kind) const {
    const QTreeWidgetItem* item = list_->currentItem();
    if (item == nullptr || !item->isSelected()) {
        return std::nullopt;
    }
    return MakeSenderRule(kind, item->text(fromColumn_).toStdString(),
                          CPageFriend::DefaultWeight(RuleList::kBlock));
}

void SenderRuleButtons::Update() {
    for (const SenderRuleText& rule : kSenderRules) {
        const bool usable = ruleAction_ && SelectedRule(rule.kind).has_value();
        action(rule.kind)->setEnabled(usable);
        button(rule.kind)->setEnabled(usable);
    }
}

void SenderRuleButtons::MakeRule(SenderRuleKind kind) {
    const std::optional<RuleEntry> rule = SelectedRule(kind);
    if (ruleAction_ && rule) {
        ruleAction_(ListOf(kind), *rule, owner_);
    }
}
