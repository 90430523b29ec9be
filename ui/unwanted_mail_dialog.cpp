#include "ui/unwanted_mail_dialog.h"

#include <QBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPlainTextEdit>
#include <QShortcut>
#include <QTimer>
#include <QTreeWidget>
#include <algorithm>
#include <cctype>

#include "scan/header_fields.h"
#include "ui/confirm_box.h"
#include "ui/display_text.h"
#include "ui/quarantine_dialog.h"
#include "ui/skin_button.h"
#include "ui/user_options.h"
#include "ui_unwanted_mail_dialog.h"

namespace {
constexpr std::size_t kMaxShown = 4095;
constexpr int kFromWidth = 200;
constexpr int kFollowMs = 500;
enum Column { kFrom, kSubject, kDate, kScore };

bool StartsWithCaseless(const std::string& text, std::string_view prefix) {
    return text.size() >= prefix.size() &&
           std::equal(prefix.begin(), prefix.end(), text.begin(), [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a)) ==
                      std::tolower(static_cast<unsigned char>(b));
           });
}

// The field as the server sent it when the block is kept, so its charset is still
// known; otherwise the bytes recorded at the check (such as "(no address)").
std::string RawField(const UnwantedMessage& message, std::string_view name,
                     const std::string& recorded) {
    if (!message.headerBlock.empty()) {
        if (std::optional<std::string> field = FindHeaderField(message.headerBlock, name)) {
            return *field;
        }
    }
    return recorded;
}

QString CellText(const UnwantedMessage& message, std::string_view name, const std::string& recorded,
                 std::string_view prefix) {
    return DisplayHeaderText(
        UnwantedMailDialog::StripFieldPrefix(RawField(message, name, recorded), prefix));
}

QString Local(const std::string& text) {
    return QString::fromLocal8Bit(text.data(), static_cast<qsizetype>(text.size()));
}

QString RuleLine(const FiredRule& rule) {
    return QStringLiteral("  %1  %2  contains \"%3\"  weight %4")
        .arg(rule.list == RuleList::kBlock ? QStringLiteral("Block") : QStringLiteral("Friends"),
             Local(rule.header), Local(rule.contains), QString::number(rule.weight));
}
}  // namespace

UnwantedMailDialog::UnwantedMailDialog(const AppState& state, int accountIndex, QWidget* parent,
                                       const QString& failedStatus)
    : QDialog(parent),
      state_(state),
      accountIndex_(accountIndex),
      ui_(std::make_unique<Ui::UnwantedMailDialog>()) {
    ui_->setupUi(this);
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    UseProgramLook(this, {ui_->closeButton});
    connect(ui_->closeButton, &QPushButton::clicked, this, &QDialog::accept);
    QHeaderView* header = ui_->mailList->header();
    header->setStretchLastSection(false);
    header->resizeSection(kFrom, kFromWidth);
    header->setSectionResizeMode(kSubject, QHeaderView::Stretch);
    header->setSectionResizeMode(kDate, QHeaderView::ResizeToContents);
    header->setSectionResizeMode(kScore, QHeaderView::ResizeToContents);
    ui_->mailList->headerItem()->setTextAlignment(kScore, Qt::AlignRight | Qt::AlignVCenter);
    ui_->splitter->setSizes({240, 160});
    connect(ui_->mailList, &QTreeWidget::itemSelectionChanged, this,
            &UnwantedMailDialog::ShowSelected);

    AccountRecord account{};
    if (accountIndex >= 0 && state.CopyAccount(static_cast<std::uint32_t>(accountIndex), account)) {
        setWindowTitle(QStringLiteral("Unwanted emails: ") +
                       QString::fromLocal8Bit(account.description));
        messages_ = state.CopyUnwantedMessages(static_cast<std::uint32_t>(accountIndex));
    }
    if (!failedStatus.isEmpty()) {
        statusLabel_ = new QLabel(failedStatus, this);
        statusLabel_->setObjectName(QStringLiteral("statusLabel"));
        statusLabel_->setWordWrap(true);
        statusLabel_->setTextInteractionFlags(Qt::TextSelectableByMouse);
        static_cast<QBoxLayout*>(layout())->insertWidget(0, statusLabel_);
    }
    ShowList();
    deleteButton_ = new SkinButton(QStringLiteral("Delete from server"), this);
    deleteButton_->setObjectName(QStringLiteral("deleteButton"));
    deleteButton_->hide();
    auto* quarantineButton = new SkinButton(QStringLiteral("Deleted…"), this);
    quarantineButton->setObjectName(QStringLiteral("quarantineButton"));
    ui_->buttons->insertWidget(0, deleteButton_);
    ui_->buttons->insertWidget(1, quarantineButton);
    connect(deleteButton_, &QPushButton::clicked, this, &UnwantedMailDialog::DeleteSelected);
    connect(quarantineButton, &QPushButton::clicked, this, &UnwantedMailDialog::ShowQuarantine);
    auto* deleteKey = new QShortcut(QKeySequence::Delete, ui_->mailList);
    deleteKey->setContext(Qt::WidgetShortcut);
    connect(deleteKey, &QShortcut::activated, this, &UnwantedMailDialog::DeleteSelected);
    senderRules_ = new SenderRuleButtons(ui_->mailList, kFrom, this);
    static_cast<QBoxLayout*>(layout())->insertLayout(layout()->count() - 1, senderRules_->row());
    auto* follow = new QTimer(this);
    connect(follow, &QTimer::timeout, this, &UnwantedMailDialog::FollowDeletion);
    follow->start(kFollowMs);
    ui_->mailList->setFocus();
}

void UnwantedMailDialog::ShowList() {
    ui_->mailList->clear();
    for (const UnwantedMessage& message : messages_) {
        AddRow(message);
    }
}

void UnwantedMailDialog::SetRuleAction(RuleAction action) {
    senderRules_->SetRuleAction(std::move(action));
}

QAction* UnwantedMailDialog::senderRuleAction(SenderRuleKind kind) const {
    return senderRules_->action(kind);
}

SkinButton* UnwantedMailDialog::senderRuleButton(SenderRuleKind kind) const {
    return senderRules_->button(kind);
}

void UnwantedMailDialog::SetDeleteAction(DeleteAction action) {
    deleteAction_ = std::move(action);
    deleteButton_->setVisible(static_cast<bool>(deleteAction_));
}

void UnwantedMailDialog::DeleteSelected() {
    std::vector<UnwantedMessage> chosen;
    for (QTreeWidgetItem* item : ui_->mailList->selectedItems()) {
        const int row = ui_->mailList->indexOfTopLevelItem(item);
        if (row >= 0 && static_cast<std::size_t>(row) < messages_.size()) {
            chosen.push_back(messages_[static_cast<std::size_t>(row)]);
        }
    }
    if (!deleteAction_ || chosen.empty()) {
        return;
    }
    const QString question =
        chosen.size() == 1
            ? QStringLiteral("Delete 1 message from the server? Quorvane keeps a copy for %1 days.")
                  .arg(UserOptions::QuarantineDays())
            : QStringLiteral(
                  "Delete %1 messages from the server? Quorvane keeps a copy for %2 days.")
                  .arg(chosen.size())
                  .arg(UserOptions::QuarantineDays());
    if (Confirm(this, question)) {
        deleteAction_(std::move(chosen));
    }
}

void UnwantedMailDialog::FollowDeletion() {
    if (accountIndex_ < 0) {
        return;
    }
    std::vector<UnwantedMessage> now =
        state_.CopyUnwantedMessages(static_cast<std::uint32_t>(accountIndex_));
    const auto sameIds = [](const UnwantedMessage& a, const UnwantedMessage& b) {
        return a.uidl == b.uidl && a.number == b.number;
    };
    if (!std::equal(now.begin(), now.end(), messages_.begin(), messages_.end(), sameIds)) {
        messages_ = std::move(now);
        ShowList();
    }
}

void UnwantedMailDialog::ShowQuarantine() {
    AccountRecord account{};
    if (accountIndex_ >= 0 &&
        state_.CopyAccount(static_cast<std::uint32_t>(accountIndex_), account)) {
        QuarantineDialog dialog(state_.dataDirectory, account.address, this);
        if (senderRules_->ruleAction()) {
            dialog.SetRuleAction(senderRules_->ruleAction());
        }
        dialog.exec();
    }
}

UnwantedMailDialog::~UnwantedMailDialog() = default;

QTreeWidget* UnwantedMailDialog::list() const {
    return ui_->mailList;
}

QPlainTextEdit* UnwantedMailDialog::detail() const {
    return ui_->detailText;
}

void UnwantedMailDialog::AddRow(const UnwantedMessage& message) {
    auto* item = new QTreeWidgetItem(ui_->mailList);
    item->setText(kFrom, CellText(message, "From:", message.from, "from:"));
    item->setText(kSubject, CellText(message, "Subject:", message.subject, "subject:"));
    item->setText(kDate, DisplayHeaderText(message.date).trimmed());
    // An unwanted message scores below zero; one recorded without its score shows none.
    if (message.score < 0) {
        item->setText(kScore, QString::number(message.score));
    }
    item->setTextAlignment(kScore, Qt::AlignRight | Qt::AlignVCenter);
    // The view cuts wide texts with an ellipsis; the tip shows them whole.
    for (int column = kFrom; column <= kDate; ++column) {
        item->setToolTip(column, item->text(column));
    }
}

void UnwantedMailDialog::ShowSelected() {
    QTreeWidgetItem* item = ui_->mailList->currentItem();
    const int row = item != nullptr ? ui_->mailList->indexOfTopLevelItem(item) : -1;
    if (row < 0 || static_cast<std::size_t>(row) >= messages_.size()) {
        ui_->detailText->clear();
        return;
    }
    ui_->detailText->setPlainText(DetailText(messages_[static_cast<std::size_t>(row)]));
}

QString UnwantedMailDialog::DetailText(const UnwantedMessage& message) {
    QStringList lines;
    if (message.rules.empty()) {
        lines << QStringLiteral("No rules were recorded for this message.");
    } else {
        lines << QStringLiteral("Rules that fired (score %1):").arg(message.score);
        for (const FiredRule& rule : message.rules) {
            lines << RuleLine(rule);
        }
    }
    if (!message.limited.empty()) {
        lines << QStringLiteral("Rules that needed too many steps (counted as not matching):");
        for (const FiredRule& rule : message.limited) {
            lines << RuleLine(rule);
        }
    }
    lines << QString() << QStringLiteral("Header:");
    if (message.headerBlock.empty()) {
        lines << DisplayHeaderText(message.from) << DisplayHeaderText(message.subject);
    } else {
        QString block = DisplayHeaderText(message.headerBlock);
        block.remove(QLatin1Char('\r'));
        lines << block.trimmed();
    }
    return lines.join(QLatin1Char('\n'));
}

std::string UnwantedMailDialog::StripFieldPrefix(std::string text, std::string_view prefix) {
    if (text.size() > kMaxShown) {
        text.resize(kMaxShown);
    }
    if (StartsWithCaseless(text, prefix)) {
        text.erase(0, prefix.size());
    }
    return text;
}
