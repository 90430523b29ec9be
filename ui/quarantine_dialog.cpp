#include "ui/quarantine_dialog.h"

#include <QBoxLayout>
#include <QDateTime>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QHeaderView>
#include <QSaveFile>
#include <QStandardPaths>
#include <QTemporaryFile>
#include <QTreeWidget>
#include <QUrl>

#include "ui/display_text.h"
#include "ui/message_box.h"
#include "ui/skin_button.h"

namespace {
enum Column { kFrom, kSubject, kDate, kDeleted };
constexpr int kFromWidth = 200;
}  // namespace

QuarantineDialog::QuarantineDialog(const std::string& dataDirectory, const std::string& account,
                                   QWidget* parent)
    : QDialog(parent), copies_(Quarantine(dataDirectory, account).List()) {
    setWindowTitle(QStringLiteral("Deleted emails: ") + QString::fromLocal8Bit(account.c_str()));
    resize(640, 360);
    auto* layout = new QVBoxLayout(this);
    list_ = new QTreeWidget(this);
    list_->setObjectName(QStringLiteral("quarantineList"));
    list_->setRootIsDecorated(false);
    list_->setHeaderLabels({QStringLiteral("From"), QStringLiteral("Subject"),
                            QStringLiteral("Date"), QStringLiteral("Deleted")});
    list_->header()->resizeSection(kFrom, kFromWidth);
    list_->header()->setSectionResizeMode(kSubject, QHeaderView::Stretch);
    list_->header()->setStretchLastSection(false);
    for (const QuarantinedMessage& copy : copies_) {
        auto* item = new QTreeWidgetItem(list_);
        item->setText(kFrom, DisplayHeaderText(copy.from).trimmed());
        item->setText(kSubject, DisplayHeaderText(copy.subject).trimmed());
        item->setText(kDate, DisplayHeaderText(copy.date).trimmed());
        item->setText(kDeleted, QDateTime::fromSecsSinceEpoch(copy.deletedAt)
                                    .toString(QStringLiteral("yyyy-MM-dd HH:mm")));
        for (int column = kFrom; column <= kDate; ++column) {
            item->setToolTip(column, item->text(column));
        }
    }
    layout->addWidget(list_);
    senderRules_ = new SenderRuleButtons(list_, kFrom, this);
    layout->addLayout(senderRules_->row());
    auto* buttons = new QHBoxLayout;
    auto* save = new SkinButton(QStringLiteral("Save as…"), this);
    auto* open = new SkinButton(QStringLiteral("Open"), this);
    auto* close = new SkinButton(QStringLiteral("Close"), this);
    save->setObjectName(QStringLiteral("saveButton"));
    open->setObjectName(QStringLiteral("openButton"));
    buttons->addWidget(save);
    buttons->addWidget(open);
    buttons->addStretch();
    buttons->addWidget(close);
    layout->addLayout(buttons);
    connect(save, &QPushButton::clicked, this, &QuarantineDialog::SaveAs);
    connect(open, &QPushButton::clicked, this, &QuarantineDialog::Open);
    connect(close, &QPushButton::clicked, this, &QDialog::accept);
    connect(list_, &QTreeWidget::itemDoubleClicked, this, &QuarantineDialog::Open);
}

const QuarantinedMessage* QuarantineDialog::Selected() const {
    const int row =
        list_->currentItem() != nullptr ? list_->indexOfTopLevelItem(list_->currentItem()) : -1;
    return row >= 0 && static_cast<std::size_t>(row) < copies_.size()
               ? &copies_[static_cast<std::size_t>(row)]
               : nullptr;
}

bool QuarantineDialog::SaveSelected(const QString& path) {
    const QuarantinedMessage* copy = Selected();
    if (copy == nullptr) {
        return false;
    }
    QFile source(QString::fromLocal8Bit(copy->path.c_str()));
    QSaveFile target(path);
    if (!source.open(QIODevice::ReadOnly) || !target.open(QIODevice::WriteOnly)) {
        return false;
    }
    const QByteArray bytes = source.readAll();
    return source.error() == QFileDevice::NoError && target.write(bytes) == bytes.size() &&
           target.commit();
}

void QuarantineDialog::SaveAs() {
    if (Selected() == nullptr) {
        return;
    }
    const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Save the message"),
                                                      QStringLiteral("message.eml"),
                                                      QStringLiteral("Email messages (*.eml)"));
    if (!path.isEmpty() && !SaveSelected(path)) {
        ShowMessage(this, QStringLiteral("The message could not be saved."));
    }
}

void QuarantineDialog::Open() {
    const QuarantinedMessage* copy = Selected();
    if (copy == nullptr) {
        return;
    }
    // Mail programs open a message by its .eml name; the copy's own name has none. A
    // fresh file of a name nobody could guess, so no link planted in the temporary
    // folder can redirect the write.
    QFile source(QString::fromLocal8Bit(copy->path.c_str()));
    QTemporaryFile target(QDir(QStandardPaths::writableLocation(QStandardPaths::TempLocation))
                              .filePath(QStringLiteral("quorvane-XXXXXX.eml")));
    target.setAutoRemove(false);
    bool written = source.open(QIODevice::ReadOnly) && target.open();
    if (written) {
        const QByteArray bytes = source.readAll();
        written = target.write(bytes) == bytes.size() && target.flush();
        target.close();
    }
    if (!written || !QDesktopServices::openUrl(QUrl::fromLocalFile(target.fileName()))) {
        ShowMessage(this, QStringLiteral("The message could not be opened."));
    }
}
