#include "ui/page_inbox.h"

#include <QBoxLayout>
#include <QHeaderView>
#include <QTableWidget>
#include <cstdio>
#include <ctime>

#include "ui/certificate_dialog.h"
#include "ui/double_click_filter.h"
#include "ui/report_list.h"
#include "ui/skin_button.h"
#include "ui/unwanted_mail_dialog.h"
#include "ui_page_inbox.h"

namespace {
constexpr int kColumnWidths[] = {100, 50, 50, 70, 200, 60};
constexpr int kColumns = 6;

// What is kept per row moves with the rows when one is removed.
template <class T>
void DropRow(std::map<int, T>& byRow, int index) {
    std::map<int, T> moved;
    for (auto& [row, value] : byRow) {
        if (row != index) {
            moved.emplace(row > index ? row - 1 : row, std::move(value));
        }
    }
    byRow = std::move(moved);
}

// The time in the user's locale, as the C library writes it.
QString LocalTimeText() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[128];
    const std::size_t length = std::strftime(text, sizeof text, "%X", &local);
    return QString::fromLocal8Bit(text, static_cast<qsizetype>(length));
}

}  // namespace

CPageInbox::CPageInbox(AppState& state, QWidget* parent)
    : QWidget(parent), state_(state), ui_(std::make_unique<Ui::PageInbox>()) {
    ui_->setupUi(this);
    QTableWidget* table = ui_->inboxList;
    table->setColumnCount(kColumns);
    auto* unwanted = new QTableWidgetItem(QStringLiteral("Unwanted"));
    unwanted->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
    table->setHorizontalHeaderItem(kUnwanted, unwanted);
    table->horizontalHeader()->moveSection(kUnwanted, kLastCheck);
    for (int column = 0; column < kColumns; ++column) {
        table->setColumnWidth(column, kColumnWidths[column]);
    }
    table->verticalHeader()->setDefaultSectionSize(table->fontMetrics().height() + 6);
    const std::uint32_t count = state_.AccountCount();
    table->setRowCount(static_cast<int>(count));
    for (std::uint32_t row = 0; row < count; ++row) {
        SetDescription(static_cast<int>(row));
        ShowUnwantedCount(static_cast<int>(row));
    }
    new DoubleClickFilter(table, false, [this](Qt::MouseButton, const QModelIndex& index) {
        OnDoubleClick(index.row(), index.column());
    });
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
    DropRow(refused_, index);
    DropRow(refusedBy_, index);
    DropRow(lastCheckFailed_, index);
}

void CPageInbox::AccountChanged(int index, bool serverChanged) {
    if (index < 0 || index >= ui_->inboxList->rowCount()) {
        return;
    }
    SetDescription(index);
    if (!serverChanged) {
        return;
    }
    for (const Column column : {kEmails, kSize, kLastCheck, kStatus, kUnwanted}) {
        SetCell(index, column, QString());
    }
    refused_.erase(index);
    lastCheckFailed_.erase(index);
}

void CPageInbox::ShowUnwantedCount(int row) {
    AccountRecord account{};
    if (!state_.CopyAccount(static_cast<std::uint32_t>(row), account)) {
        return;
    }
    // An account that only counts has no list to tell of.
    const std::size_t count = state_.CopyUnwantedMessages(static_cast<std::uint32_t>(row)).size();
    SetCell(row, kUnwanted, account.scanMessages == 1 ? QString::number(count) : QString());
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
        const bool right = column == kEmails || column == kSize || column == kUnwanted;
        item->setTextAlignment((right ? Qt::AlignRight : Qt::AlignLeft) | Qt::AlignVCenter);
        table->setItem(row, column, item);
    }
    item->setText(text);
    item->setToolTip(text);  // a text cut by its column shows whole here
}

void CPageInbox::OpenUnwantedMail() {
    const int first = FirstSelectedRow(ui_->inboxList);
    if (first < 0) {
        return;  // a double click that selected nothing names no account
    }
    const QTableWidgetItem* status = ui_->inboxList->item(first, kStatus);
    const bool failed = lastCheckFailed_.count(first) != 0 && status != nullptr;
    UnwantedMailDialog dialog(state_, first, this, failed ? status->text() : QString());
    if (deleteAction_) {
        dialog.SetDeleteAction([this, first](std::vector<UnwantedMessage> messages) {
            deleteAction_(first, std::move(messages));
        });
    }
    if (ruleAction_) {
        dialog.SetRuleAction(ruleAction_);
    }
    dialog.exec();
}

void CPageInbox::OnDoubleClick(int row, int column) {
    if (column == kStatus && RefusedCertificate(row) != nullptr) {
        OpenCertificate(row);
        return;
    }
    OpenUnwantedMail();
}

void CPageInbox::ShowCheckStarted(int row) {
    SetCell(row, kStatus, QStringLiteral("Checking…"));
}

void CPageInbox::ShowCheckProgress(int row, int done, int total) {
    SetCell(row, kEmails, QString::number(total));
    SetCell(row, kStatus, QStringLiteral("Checking: %1 of %2").arg(done).arg(total));
}

void CPageInbox::ShowCheckEnded(int row, const CheckReport& report) {
    // A check that read the count counts as made, even if it failed later.
    if (report.messages >= 0) {
        SetCell(row, kEmails, QString::number(report.messages));
        SetCell(row, kSize, QStringLiteral("%1 KB").arg(report.size / 1024u));
        SetCell(row, kLastCheck, LocalTimeText());
    }
    SetCell(row, kStatus, QString::fromLocal8Bit(FailureText(report.failure).c_str()));
    SetCheckReport(row, report);
}

void CPageInbox::ShowDeletionEnded(int row, const DeletionReport& report) {
    const auto count = static_cast<qsizetype>(report.deleted.size());
    const QString status =
        report.failure.failed()
            ? QStringLiteral("Deletion failed: ") +
                  QString::fromLocal8Bit(FailureText(report.failure).c_str())
            : QStringLiteral("Deleted %1 %2 (copies kept)")
                  .arg(count)
                  .arg(count == 1 ? QStringLiteral("message") : QStringLiteral("messages"));
    SetCell(row, kStatus, status);
    ShowUnwantedCount(row);
}

void CPageInbox::SetCheckReport(int row, const CheckReport& report) {
    ShowUnwantedCount(row);
    if (report.failure.failed()) {
        lastCheckFailed_[row] = true;
    } else {
        lastCheckFailed_.erase(row);
    }
    QTableWidgetItem* status = ui_->inboxList->item(row, kStatus);
    if (report.failure.kind == FailureKind::kCertificate && report.failure.certificate) {
        refused_[row] = *report.failure.certificate;
        refusedBy_[row] = QStringLiteral("%1:%2")
                              .arg(QString::fromLocal8Bit(
                                  report.host.data(), static_cast<qsizetype>(report.host.size())))
                              .arg(report.port);
        if (status != nullptr) {
            status->setToolTip(status->text() +
                               QStringLiteral("\nDouble-click to see the certificate."));
        }
        return;
    }
    refused_.erase(row);
}

const CertificateInfo* CPageInbox::RefusedCertificate(int row) const {
    const auto found = refused_.find(row);
    return found != refused_.end() ? &found->second : nullptr;
}

bool CPageInbox::TrustCertificate(int row) {
    const CertificateInfo* certificate = RefusedCertificate(row);
    AccountRecord account{};
    if (certificate == nullptr || !state_.CopyAccount(static_cast<std::uint32_t>(row), account)) {
        return false;
    }
    std::snprintf(account.trustedFingerprint, sizeof account.trustedFingerprint, "%s",
                  certificate->fingerprint.c_str());
    if (!state_.ReplaceAccount(static_cast<std::uint32_t>(row), account)) {
        return false;
    }
    state_.accountsDirty = 1;
    refused_.erase(row);
    SetCell(row, kStatus, QStringLiteral("Certificate trusted: used from the next check"));
    emit certificateTrusted(row);
    return true;
}

void CPageInbox::OpenCertificate(int row) {
    const CertificateInfo* certificate = RefusedCertificate(row);
    const QTableWidgetItem* status = ui_->inboxList->item(row, kStatus);
    AccountRecord account{};
    state_.CopyAccount(static_cast<std::uint32_t>(row), account);
    const CertificateSource source{QString::fromLocal8Bit(account.description), refusedBy_[row],
                                   account.trustedFingerprint};
    CertificateDialog dialog(*certificate, status != nullptr ? status->text() : QString(), source,
                             this);
    if (dialog.exec() == QDialog::Accepted) {
        TrustCertificate(row);
    }
}
