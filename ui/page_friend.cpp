#include "ui/page_friend.h"

#include <QTableWidget>

#include "ui/confirm_box.h"
#include "ui/rule_dialog.h"

namespace {

constexpr ReportColumn kColumns[] = {
    {"Header", 100, Qt::AlignLeft | Qt::AlignVCenter, CPageFriend::kAddRowText},
    {"Contains", 200, Qt::AlignLeft | Qt::AlignVCenter},
    {"Weight", 50, Qt::AlignRight | Qt::AlignVCenter, "-99"},
};

}  // namespace

CPageFriend::CPageFriend(AppState& state, RuleList pageKind, UserPrompts& prompts, QWidget* parent)
    // The patterns take the room the others leave; a right double click deletes.
    : ListPage(kColumns, 1, QAbstractItemView::ExtendedSelection, true, parent),
      state_(state),
      pageKind_(pageKind),
      prompts_(prompts),
      runner_([](RuleDialog& dialog) { return dialog.exec(); }) {
    Fill();
}

int CPageFriend::DefaultWeight(RuleList list) {
    return list == RuleList::kBlock ? 50 : 100;
}

void CPageFriend::Fill() {
    rules_ = ReadRuleFile(state_, pageKind_);
    list_->setRowCount(0);
    list_->setRowCount(static_cast<int>(rules_.size()) + 1);
    for (std::size_t i = 0; i < rules_.size(); ++i) {
        SetRow(static_cast<int>(i), rules_[i]);
    }
    list_->setItem(list_->rowCount() - 1, 0, Cell(QString::fromLatin1(kAddRowText), 0));
}

void CPageFriend::SetRow(int row, const RuleEntry& rule) {
    list_->setItem(row, 0, Cell(QString::fromLocal8Bit(rule.header), 0));
    QTableWidgetItem* contains = Cell(QString::fromLocal8Bit(rule.contains), 1);
    contains->setToolTip(contains->text());  // long patterns do not fit the column
    list_->setItem(row, 1, contains);
    list_->setItem(row, 2, Cell(QString::number(rule.weight), 2));
}

void CPageFriend::DoubleClicked(Qt::MouseButton button) {
    if (button == Qt::RightButton) {
        Delete();
    } else {
        AddOrReplace();
    }
}

void CPageFriend::ConfirmDelete() {
    const int selected = FirstSelectedRow();
    if (selected < 0 || selected == list_->rowCount() - 1) {
        return;  // nothing, or the add row, is selected
    }
    const RuleEntry& rule = rules_[static_cast<std::size_t>(selected)];
    const QString question =
        QStringLiteral("Delete the rule \"%1\" on %2?")
            .arg(QString::fromLocal8Bit(rule.contains), QString::fromLocal8Bit(rule.header));
    if (Confirm(this, question)) {
        Delete();
    }
}

void CPageFriend::AddOrReplace() {
    bool adding = false;
    const int selected = TargetRow(adding);
    if (selected < 0) {
        return;
    }
    RuleDialog dialog(this);
    dialog.SetWeight(DefaultWeight());
    if (!adding) {
        dialog.Load(rules_[static_cast<std::size_t>(selected)]);
    }
    dialog.EnablePreview(state_, pageKind_, rules_,
                         adding ? std::nullopt : std::optional(std::size_t(selected)));
    if (runner_(dialog) != QDialog::Accepted) {
        return;
    }
    const RuleEntry rule = dialog.Values();
    if (adding) {
        Append(rule);
        return;
    }
    rules_[static_cast<std::size_t>(selected)] = rule;
    SetRow(selected, rule);
    Save();
}

void CPageFriend::AddFromMessage(const RuleEntry& rule, QWidget* over) {
    RuleDialog dialog(over != nullptr ? over : this);
    dialog.Load(rule);
    dialog.EnablePreview(state_, pageKind_, rules_, std::nullopt);
    if (runner_(dialog) == QDialog::Accepted) {
        Append(dialog.Values());
    }
}

void CPageFriend::Append(const RuleEntry& rule) {
    const int row = list_->rowCount() - 1;
    list_->insertRow(row);
    rules_.push_back(rule);
    SetRow(row, rule);
    Save();
}

void CPageFriend::Delete() {
    const int rows = list_->rowCount();
    const int selected = FirstSelectedRow();
    if (selected >= 0 && selected != rows - 1) {
        list_->removeRow(selected);
        rules_.erase(rules_.begin() + selected);
    }
    Save();
}

// The file first, then the flag: the reload the flag triggers must read the new file.
void CPageFriend::Save() {
    WriteRuleFile(state_, pageKind_, rules_, prompts_);
    state_.modified = 1;
    emit rulesEdited();
}
