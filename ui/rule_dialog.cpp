#include "ui/rule_dialog.h"

#include <QLineEdit>

#include "scan/rule_compiler.h"
#include "scan/rule_headers.h"
#include "ui/byte_limit.h"
#include "ui/confirm_box.h"
#include "ui/display_text.h"
#include "ui/skin_button.h"
#include "ui_rule_dialog.h"

RuleDialog::RuleDialog(QWidget* parent) : QDialog(parent), ui_(std::make_unique<Ui::RuleDialog>()) {
    ui_->setupUi(this);
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    UseProgramLook(this, {ui_->okButton, ui_->cancelButton});
    ui_->headerCombo->clear();
    ui_->headerCombo->addItems(HeaderNames());
    ui_->headerCombo->setCurrentIndex(0);
    LimitLocal8BitLength(ui_->containsEdit, static_cast<int>(kTextSize - 1));
    ui_->weightBox->SetRange(kMinWeight, kMaxWeight);
    SetWeight(kMaxWeight);
    ui_->headerCombo->setFocus();

    previewTimer_.setSingleShot(true);
    previewTimer_.setInterval(kPreviewDelayMs);
    connect(&previewTimer_, &QTimer::timeout, this, &RuleDialog::ShowPreview);
    connect(ui_->containsEdit, &QLineEdit::textChanged, this, &RuleDialog::RuleEdited);
    connect(ui_->headerCombo, &QComboBox::currentIndexChanged, this, &RuleDialog::RuleEdited);
    if (auto* weightEdit = ui_->weightBox->findChild<QLineEdit*>()) {
        connect(weightEdit, &QLineEdit::textChanged, this, &RuleDialog::RuleEdited);
    }
}

RuleDialog::~RuleDialog() {
    // Joined while the dialog is whole: the runner's last call may still post to it
    // (a posted call to a destroyed dialog is dropped).
    runner_.reset();
}

namespace {
constexpr std::size_t kShownMatches = 3;
constexpr qsizetype kFromChars = 32;
constexpr qsizetype kSubjectChars = 36;

QString PatternErrorText(const PatternCheck& check) {
    return QStringLiteral("Pattern error at %1: %2")
        .arg(check.offset)
        .arg(QString::fromStdString(check.message));
}

// A field for one line of the preview, cut with an ellipsis.
QString ShortField(const std::string& raw, const QString& absent, qsizetype room) {
    QString text = raw.empty() ? absent : DisplayHeaderText(raw).simplified();
    if (text.size() > room) {
        text = text.left(room - 1) + QChar(0x2026);
    }
    return text;
}

QString PreviewText(const RulePreview& preview, const std::map<AccountId, QString>& accounts) {
    QStringList lines;
    const QString fetched =
        preview.kept == 1 ? QStringLiteral("fetched message") : QStringLiteral("fetched messages");
    if (preview.matches == 0) {
        lines << QStringLiteral("Matches none of %1 %2.").arg(preview.kept).arg(fetched);
    } else {
        lines << QStringLiteral("Matches %1 of %2 %3:")
                     .arg(preview.matches)
                     .arg(preview.kept)
                     .arg(fetched);
    }
    for (const PreviewMessage& message : preview.firstMatches) {
        // An account removed since the snapshot has no name left to give.
        const auto name = accounts.find(message.account);
        const QString account =
            name != accounts.end() ? name->second + QStringLiteral(": ") : QString();
        lines << QStringLiteral("  %1%2 \u2014 %3")
                     .arg(account,
                          ShortField(message.from, QStringLiteral("(no address)"), kFromChars),
                          ShortField(message.subject, QStringLiteral("(no subject)"),
                                     kSubjectChars));
    }
    if (preview.matches > preview.firstMatches.size()) {
        lines << QStringLiteral("  and %1 more").arg(preview.matches - preview.firstMatches.size());
    }
    lines << QString::fromStdString(VerdictChangeText(preview));
    if (preview.limited > 0) {
        lines << QString::fromStdString(LimitedText(preview));
    }
    return lines.join(QLatin1Char('\n'));
}
}  // namespace

void RuleDialog::EnablePreview(const AppState& state, RuleList list,
                               std::vector<RuleEntry> pageRules,
                               std::optional<std::size_t> replaces) {
    previewing_ = true;
    list_ = list;
    const RuleList other = list == RuleList::kBlock ? RuleList::kFriends : RuleList::kBlock;
    (list == RuleList::kBlock ? rules_.block : rules_.friends) = std::move(pageRules);
    (other == RuleList::kBlock ? rules_.block : rules_.friends) = ReadRuleFile(state, other);
    replaces_ = replaces;
    kept_ = std::make_shared<const std::vector<KeptMessage>>(state.kept.Snapshot());
    accountNames_.clear();
    for (std::uint32_t i = 0; i < state.AccountCount(); ++i) {
        AccountRecord account{};
        state.CopyAccount(i, account);
        accountNames_[state.IdOf(i)] = QString::fromLocal8Bit(account.description);
    }
    runner_ = std::make_unique<PreviewRunner>();
    RuleEdited();
}

RuleEntry RuleDialog::TypedRule() const {
    RuleEntry rule = Values();
    int weight = 0;
    if (ui_->weightBox->Parse(ui_->weightBox->Text(), weight) == NumberBox::Check::Ok) {
        rule.weight = weight;
    }
    return rule;
}

// A pattern error shows at once; a preview waits for a pause in the typing.
void RuleDialog::RuleEdited() {
    ++previewRound_;  // whatever preview is under way now describes older text
    const RuleEntry rule = TypedRule();
    const PatternCheck check = CheckRulePattern(rule.header, rule.contains);
    if (!check.ok) {
        previewTimer_.stop();
        ui_->previewLabel->setText(PatternErrorText(check));
        return;
    }
    if (!previewing_) {
        ui_->previewLabel->clear();
        return;
    }
    previewTimer_.start();
}

void RuleDialog::ShowPreview() {
    if (kept_->empty()) {
        ui_->previewLabel->setText(QStringLiteral("No messages fetched yet."));
        return;
    }
    const std::uint64_t round = ++previewRound_;
    runner_->Run(rules_, CandidateRule{list_, TypedRule(), replaces_}, kept_, kShownMatches,
                 [this, round](const RulePreview& preview) {
                     QMetaObject::invokeMethod(
                         this, [this, round, preview] { PreviewDone(round, preview); },
                         Qt::QueuedConnection);
                 });
}

void RuleDialog::PreviewDone(std::uint64_t round, const RulePreview& preview) {
    if (round != previewRound_) {
        return;
    }
    ui_->previewLabel->setText(preview.pattern.ok ? PreviewText(preview, accountNames_)
                                                  : PatternErrorText(preview.pattern));
}

const QStringList& RuleDialog::HeaderNames() {
    static const QStringList names = [] {
        QStringList list;
        for (const RuleHeader& header : kRuleHeaders) {
            list << QString::fromLatin1(header.name.data(),
                                        static_cast<qsizetype>(header.name.size()));
        }
        return list;
    }();
    return names;
}

void RuleDialog::SetWeight(int weight) {
    weight_ = weight;
    ui_->weightBox->SetValue(weight);
}

void RuleDialog::Load(const RuleEntry& rule) {
    const int index = HeaderNames().indexOf(QString::fromLocal8Bit(rule.header));
    // A name the list does not offer (a damaged or foreign file) falls back to the first.
    ui_->headerCombo->setCurrentIndex(index >= 0 ? index : 0);
    ui_->containsEdit->setText(QString::fromLocal8Bit(rule.contains));
    SetWeight(rule.weight);
}

RuleEntry RuleDialog::Values() const {
    RuleEntry rule;
    const int index = ui_->headerCombo->currentIndex();
    if (index >= 0 && index < HeaderNames().size()) {
        rule.header = HeaderNames()[index].toStdString();
    }
    rule.contains = ui_->containsEdit->text().toLocal8Bit().toStdString();
    rule.weight = weight_;
    return rule;
}

void RuleDialog::accept() {
    if (!ui_->weightBox->CheckOnAccept(QStringLiteral("weight"), weight_)) {
        return;
    }
    // The file keeps what was typed; a pattern that does not compile matches nothing.
    const RuleEntry rule = Values();
    const PatternCheck pattern = CheckRulePattern(rule.header, rule.contains);
    if (!pattern.ok &&
        !Confirm(this, PatternErrorText(pattern) +
                           QStringLiteral("\n\nThe rule will match nothing until its "
                                          "pattern is fixed. Store it anyway?"))) {
        ui_->containsEdit->setFocus();
        return;
    }
    if (rule.contains.empty() &&
        !Confirm(this, QStringLiteral("The pattern is empty, so the rule matches every "
                                      "message. Store it anyway?"))) {
        ui_->containsEdit->setFocus();
        return;
    }
    QDialog::accept();
}
