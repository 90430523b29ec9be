#include "ui/page_options.h"

#include <QBoxLayout>
#include <QCheckBox>
#include <QCoreApplication>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QSpinBox>

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
    AddQuarantineDays();
    AddParallelChecks();
    AddProviderRows();
}

QSpinBox* CPageOptions::AddNumberRow(const char* name, int low, int high, int value,
                                     const QString& before, const QString& after) {
    auto* row = new QHBoxLayout;
    auto* box = new QSpinBox(ui_->desktopGroup);
    box->setObjectName(QLatin1String(name));
    box->setRange(low, high);
    box->setValue(value);
    row->addWidget(new QLabel(before, ui_->desktopGroup));
    row->addWidget(box);
    row->addWidget(new QLabel(after, ui_->desktopGroup));
    row->addStretch();
    ui_->desktopLayout->addLayout(row);
    return box;
}

void CPageOptions::AddParallelChecks() {
    parallelChecks_ =
        AddNumberRow("parallelChecks", UserOptions::kMinParallelChecks,
                     UserOptions::kMaxParallelChecks, UserOptions::ParallelChecks(),
                     QStringLiteral("Check up to"), QStringLiteral("accounts at once"));
    connect(parallelChecks_, &QSpinBox::valueChanged, this, [this](int count) {
        UserOptions::SetParallelChecks(count);
        emit parallelChecksChanged(count);
    });
}

void CPageOptions::AddQuarantineDays() {
    quarantineDays_ =
        AddNumberRow("quarantineDays", UserOptions::kMinQuarantineDays,
                     UserOptions::kMaxQuarantineDays, UserOptions::QuarantineDays(),
                     QStringLiteral("Keep copies of deleted messages for"), QStringLiteral("days"));
    connect(quarantineDays_, &QSpinBox::valueChanged, this, &UserOptions::SetQuarantineDays);
}

void CPageOptions::AddProviderRows() {
    const struct {
        const char* field;
        const char* label;
    } fields[] = {{"client_id", "client id"},
                  {"client_secret", "client secret (optional)"},
                  {"tenant", "tenant (common unless set)"}};
    int row = 0;
    for (const OAuthProvider& provider : OAuthProviders::BuiltIns()) {
        for (const auto& field : fields) {
            const QString name = QLatin1String(field.field);
            if (name == QLatin1String("tenant") && provider.id != QLatin1String("microsoft")) {
                continue;
            }
            auto* box = new QLineEdit(ui_->signInGroup);
            box->setEnabled(false);
            if (name == QLatin1String("client_secret")) {
                box->setEchoMode(QLineEdit::PasswordEchoOnEdit);
            }
            ui_->providerGrid->addWidget(
                new QLabel(provider.name + QLatin1Char(' ') + QLatin1String(field.label),
                           ui_->signInGroup),
                row, 0);
            ui_->providerGrid->addWidget(box, row++, 1);
            providerBoxes_[provider.id][name] = box;
            const QString id = provider.id;
            connect(box, &QLineEdit::editingFinished, this, [this, id] { SaveProvider(id); });
        }
    }
}

void CPageOptions::SetDataDirectory(const QString& directory) {
    if (directory.isEmpty()) {
        return;  // no data directory yet: nothing to read or write
    }
    providersPath_ = OAuthProviders::FilePath(directory);
    QString problem;
    const bool readable = providers_.Load(providersPath_, &problem);
    providersReadable_ = readable;
    for (auto& [id, boxes] : providerBoxes_) {
        const std::optional<OAuthProvider> provider = providers_.Find(id);
        for (auto& [field, box] : boxes) {
            box->setEnabled(readable);
            if (provider && field == QLatin1String("client_id")) {
                box->setText(provider->clientId);
            } else if (provider && field == QLatin1String("client_secret")) {
                box->setText(provider->clientSecret);
            } else if (provider && field == QLatin1String("tenant")) {
                box->setText(provider->tenant);
            }
            box->setModified(false);
        }
    }
    if (!readable) {
        ui_->signInGroup->setToolTip(problem);
    }
}

void CPageOptions::SaveProvider(const QString& providerId) {
    auto& boxes = providerBoxes_[providerId];
    bool changed = false;
    for (auto& [field, box] : boxes) {
        changed = changed || box->isModified();
    }
    if (!changed || !providersReadable_) {
        return;
    }
    const auto text = [&boxes](const char* field) -> std::optional<QString> {
        const auto found = boxes.find(QLatin1String(field));
        return found == boxes.end() ? std::nullopt : std::optional(found->second->text());
    };
    // Read again first: edits made to the file by hand since the page was filled stay.
    QString problem;
    if (!providers_.Load(providersPath_, &problem)) {
        ShowMessage(this, problem);
        return;
    }
    providers_.SetClient(providerId, text("client_id").value_or(QString()),
                         text("client_secret").value_or(QString()), text("tenant"));
    if (!providers_.Save(providersPath_, &problem)) {
        ShowMessage(this, problem);
        return;
    }
    for (auto& [field, box] : boxes) {
        box->setModified(false);
    }
}

QLineEdit* CPageOptions::ProviderBox(const QString& providerId, const QString& field) const {
    const auto provider = providerBoxes_.find(providerId);
    if (provider == providerBoxes_.end()) {
        return nullptr;
    }
    const auto box = provider->second.find(field);
    return box == provider->second.end() ? nullptr : box->second;
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
