#include "ui/rule_dialog.h"

#include "scan/rule_headers.h"

#include "ui/byte_limit.h"
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
}

RuleDialog::~RuleDialog() = default;

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
    QDialog::accept();
}
