#include "ui/number_box.h"

#include <QLineEdit>
#include <QRegularExpression>
#include <algorithm>

#include "ui/message_box.h"

NumberBox::NumberBox(QWidget* parent) : QAbstractSpinBox(parent) {
    setAccelerated(true);
}

void NumberBox::SetRange(int minimum, int maximum) {
    minimum_ = minimum;
    maximum_ = maximum;
    const int digits = static_cast<int>(QString::number(std::max(-minimum, maximum)).size());
    // Room for the widest value and its sign, so the box is wide enough to show it.
    lineEdit()->setMaxLength(std::max(digits + 4, 8));
}

void NumberBox::SetValue(int value) {
    lineEdit()->setText(QString::number(value));
}

QString NumberBox::Text() const {
    return lineEdit()->text();
}

void NumberBox::SetText(const QString& text) {
    lineEdit()->setText(text);
}

NumberBox::Check NumberBox::Parse(const QString& text, int& value) const {
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty()) {
        return Check::Empty;
    }
    static const QRegularExpression whole(QStringLiteral("^[+-]?[0-9]+$"));
    if (!whole.match(trimmed).hasMatch()) {
        return Check::NotNumber;
    }
    bool ok = false;
    const qlonglong number = trimmed.toLongLong(&ok);
    // A run of digits too long for any integer is still a number, just out of range.
    if (!ok || number < minimum_ || number > maximum_) {
        return Check::OutOfRange;
    }
    value = static_cast<int>(number);
    return Check::Ok;
}

QString NumberBox::Message(Check check, const QString& what, const QString& text) const {
    const QString limits =
        QStringLiteral("Please enter a whole number from %1 to %2.").arg(minimum_).arg(maximum_);
    switch (check) {
        case Check::Empty:
            return QStringLiteral("The %1 is empty.\n\n%2").arg(what, limits);
        case Check::NotNumber:
            return QStringLiteral("The %1 \"%2\" is not a whole number.\n\n%3")
                .arg(what, text.trimmed(), limits);
        case Check::OutOfRange:
            return QStringLiteral("The %1 %2 is out of range.\n\n%3")
                .arg(what, text.trimmed(), limits);
        case Check::Ok:
            break;
    }
    return {};
}

QValidator::State NumberBox::validate(QString& input, int& /*pos*/) const {
    // A minus sign only where negative numbers are allowed; nothing is corrected here.
    static const QRegularExpression signedDigits(QStringLiteral("^-?[0-9]*$"));
    static const QRegularExpression digits(QStringLiteral("^[0-9]*$"));
    const QRegularExpression& allowed = minimum_ < 0 ? signedDigits : digits;
    return allowed.match(input).hasMatch() ? QValidator::Acceptable : QValidator::Invalid;
}

void NumberBox::stepBy(int steps) {
    int value = 0;
    if (Parse(Text(), value) != Check::Ok) {
        value = std::clamp(0, minimum_, maximum_);
    }
    const qlonglong next = static_cast<qlonglong>(value) + steps;
    SetValue(static_cast<int>(std::clamp<qlonglong>(next, minimum_, maximum_)));
    selectAll();
}

QAbstractSpinBox::StepEnabled NumberBox::stepEnabled() const {
    int value = 0;
    if (Parse(Text(), value) != Check::Ok) {
        return StepUpEnabled | StepDownEnabled;
    }
    StepEnabled enabled = StepNone;
    if (value < maximum_) {
        enabled |= StepUpEnabled;
    }
    if (value > minimum_) {
        enabled |= StepDownEnabled;
    }
    return enabled;
}

bool NumberBox::CheckOnAccept(const QString& what, int& value, bool emptyAllowed) {
    const Check check = Parse(Text(), value);
    if (check == Check::Ok || (emptyAllowed && check == Check::Empty)) {
        if (check == Check::Empty) {
            value = 0;
        }
        return true;
    }
    ShowMessage(window(), Message(check, what, Text()));
    setFocus();
    selectAll();
    return false;
}
