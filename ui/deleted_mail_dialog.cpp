#include "ui/deleted_mail_dialog.h"

#include <QHeaderView>
#include <QTreeWidget>
#include <algorithm>
#include <cctype>
#include <vector>

#include "ui/resources.h"
#include "ui_deleted_mail_dialog.h"

namespace {
constexpr std::size_t kMaxShown = 4095;
constexpr int kFromWidth = 150;

QString FromBytes(const std::string& text) {
    return QString::fromLocal8Bit(text.data(), static_cast<qsizetype>(text.size()));
}

bool StartsWithCaseless(const std::string& text, std::string_view prefix) {
    return text.size() >= prefix.size() &&
           std::equal(prefix.begin(), prefix.end(), text.begin(), [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a)) ==
                      std::tolower(static_cast<unsigned char>(b));
           });
}
}  // namespace

DeletedMailDialog::DeletedMailDialog(const AppState& state, int accountIndex, QWidget* parent)
    : QDialog(parent), ui_(std::make_unique<Ui::DeletedMailDialog>()) {
    ui_->setupUi(this);
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    ui_->closeButton->UseProgramSkin();
    connect(ui_->closeButton, &QPushButton::clicked, this, &QDialog::accept);
    ui_->mailList->header()->resizeSection(0, kFromWidth);

    std::vector<std::string> from;
    std::vector<std::string> subject;
    if (accountIndex >= 0) {
        state.CopyUnwanted(static_cast<std::uint32_t>(accountIndex), from, subject);
    }
    // The worker appends to both lists together, so entry k of each is one message.
    const std::size_t rows = std::max(from.size(), subject.size());
    for (std::size_t k = 0; k < rows; ++k) {
        auto* item = new QTreeWidgetItem(ui_->mailList);
        if (k < from.size()) {
            item->setText(0, FromBytes(StripFieldPrefix(from[k], "from:")));
        }
        if (k < subject.size()) {
            item->setText(1, FromBytes(StripFieldPrefix(subject[k], "subject:")));
        }
        // The whole text as a tip, for entries wider than their column.
        item->setToolTip(0, item->text(0));
        item->setToolTip(1, item->text(1));
    }
    ui_->mailList->setFocus();
}

DeletedMailDialog::~DeletedMailDialog() = default;

QTreeWidget* DeletedMailDialog::list() const {
    return ui_->mailList;
}

std::string DeletedMailDialog::StripFieldPrefix(std::string text, std::string_view prefix) {
    if (text.size() > kMaxShown) {
        text.resize(kMaxShown);
    }
    if (StartsWithCaseless(text, prefix)) {
        text.erase(0, prefix.size());
    }
    return text;
}
