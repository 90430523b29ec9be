#include "ui/page_inbox.h"

#include <QBoxLayout>
#include <QHeaderView>
#include <QTableWidget>
#include <algorithm>

#include "ui/deleted_mail_dialog.h"
#include "ui/skin_button.h"
#include "ui_page_inbox.h"

namespace {
constexpr int kColumnWidths[] = {100, 50, 50, 150};
}

CPageInbox::CPageInbox(AppState& state, QWidget* parent)
    : QWidget(parent), state_(state), ui_(std::make_unique<Ui::PageInbox>()) {
    ui_->setupUi(this);
    QTableWidget* table = ui_->inboxList;
    for (int column = 0; column < 4; ++column) {
        table->setColumnWidth(column, kColumnWidths[column]);
    }
    table->verticalHeader()->setDefaultSectionSize(table->fontMetrics().height() + 6);
    const std::uint32_t count = state_.AccountCount();
    table->setRowCount(static_cast<int>(count));
    for (std::uint32_t row = 0; row < count; ++row) {
        SetDescription(static_cast<int>(row));
    }
    connect(table, &QTableWidget::cellDoubleClicked, this, &CPageInbox::OpenDeletedMail);
    AddCheckNowButton();
}

void CPageInbox::AddCheckNowButton() {
    checkNowButton_ = new SkinButton(this);
    checkNowButton_->setObjectName(QStringLiteral("checkNowButton"));
    checkNowButton_->setText(QStringLiteral("Check &now"));
    checkNowButton_->setToolTip(QStringLiteral("Check every account now, whatever its period"));
    checkNowButton_->UseProgramSkin();
    auto* row = new QHBoxLayout;
    row->addStretch();
    row->addWidget(checkNowButton_);
    static_cast<QBoxLayout*>(layout())->addLayout(row);
    connect(checkNowButton_, &QPushButton::clicked, this, &CPageInbox::checkNowClicked);
}

void CPageInbox::RemoveAccountRow(int index) {
    if (index >= 0 && index < ui_->inboxList->rowCount()) {
        ui_->inboxList->removeRow(index);
    }
}

CPageInbox::~CPageInbox() = default;

QTableWidget* CPageInbox::list() const {
    return ui_->inboxList;
}

void CPageInbox::SetDescription(int row) {
    AccountRecord account;
    if (state_.CopyAccount(static_cast<std::uint32_t>(row), account)) {
        SetCell(row, kAccount, QString::fromLocal8Bit(account.description));
    }
}

void CPageInbox::AddAccountRow(int index) {
    QTableWidget* table = ui_->inboxList;
    if (index < 0 || index >= static_cast<int>(kMaxAccounts)) {
        return;
    }
    if (index >= table->rowCount()) {
        const int first = table->rowCount();
        table->setRowCount(index + 1);
        for (int row = first; row < index; ++row) {
            SetDescription(row);
        }
    }
    SetDescription(index);
}

void CPageInbox::SetCell(int row, int column, const QString& text) {
    QTableWidget* table = ui_->inboxList;
    if (row < 0 || row >= table->rowCount() || column < 0 || column >= table->columnCount()) {
        return;
    }
    QTableWidgetItem* item = table->item(row, column);
    if (item == nullptr) {
        item = new QTableWidgetItem;
        const bool right = column == kEmails || column == kSize;
        item->setTextAlignment((right ? Qt::AlignRight : Qt::AlignLeft) | Qt::AlignVCenter);
        table->setItem(row, column, item);
    }
    item->setText(text);
    item->setToolTip(text);  // a text cut by its column shows whole here
}

void CPageInbox::OpenDeletedMail() {
    const QModelIndexList rows = ui_->inboxList->selectionModel()->selectedRows();
    if (rows.isEmpty()) {
        return;  // a double click that selected nothing names no account
    }
    const auto first = std::min_element(
        rows.begin(), rows.end(), [](const auto& a, const auto& b) { return a.row() < b.row(); });
    DeletedMailDialog dialog(state_, first->row(), this);
    dialog.exec();
}
