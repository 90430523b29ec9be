#include "ui/page_options.h"

#include <QCheckBox>
#include <QCoreApplication>

#include "ui/autostart_entry.h"
#include "ui/hyper_link_static.h"
#include "ui/message_box.h"
#include "ui/user_options.h"
#include "ui_page_options.h"

const char* const CPageOptions::kHomePage = "https://www.example.com/quorvane";
const char* const CPageOptions::kFeedbackAddress = "feedback@example.com";

CPageOptions::CPageOptions(QWidget* parent)
    : QWidget(parent), ui_(std::make_unique<Ui::PageOptions>()) {
    ui_->setupUi(this);
    QFont product = ui_->productLabel->font();
    product.setBold(true);
    ui_->productLabel->setFont(product);
    ui_->homeLink->Attach();
    ui_->homeLink->SetTarget(QString::fromLatin1(kHomePage));
    ui_->homeLink->SetUnderline(HyperLinkStatic::kUnderlineAlways);

    programPath_ = QCoreApplication::applicationFilePath();
    // The entry on disk is what starts the program, whatever the settings say.
    ui_->startAtLoginCheck->setChecked(AutostartEntry::Exists());
    ui_->keepInTrayCheck->setChecked(UserOptions::KeepInTray());
    ui_->noticesCheck->setChecked(UserOptions::Notices());
    connect(ui_->startAtLoginCheck, &QCheckBox::toggled, this, &CPageOptions::OnStartAtLogin);
    connect(ui_->keepInTrayCheck, &QCheckBox::toggled, this, &UserOptions::SetKeepInTray);
    connect(ui_->noticesCheck, &QCheckBox::toggled, this, &UserOptions::SetNotices);
}

void CPageOptions::OnStartAtLogin(bool on) {
    const bool done = on ? AutostartEntry::Write(programPath_) : AutostartEntry::Remove();
    if (!done) {
        ShowMessage(this, QStringLiteral("The start-at-login entry %1 could not be %2.")
                              .arg(AutostartEntry::Path(),
                                   on ? QStringLiteral("written") : QStringLiteral("removed")));
        const QSignalBlocker quiet(ui_->startAtLoginCheck);
        ui_->startAtLoginCheck->setChecked(AutostartEntry::Exists());
    }
    UserOptions::SetStartAtLogin(AutostartEntry::Exists());
}

void CPageOptions::SetTrayAvailable(bool available) {
    ui_->keepInTrayCheck->setEnabled(available);
    if (!available) {
        const QSignalBlocker quiet(ui_->keepInTrayCheck);
        ui_->keepInTrayCheck->setChecked(false);
    }
}

QCheckBox* CPageOptions::StartAtLoginBox() const {
    return ui_->startAtLoginCheck;
}

QCheckBox* CPageOptions::KeepInTrayBox() const {
    return ui_->keepInTrayCheck;
}

QCheckBox* CPageOptions::NoticesBox() const {
    return ui_->noticesCheck;
}

CPageOptions::~CPageOptions() = default;

HyperLinkStatic* CPageOptions::Link() const {
    return ui_->homeLink;
}
