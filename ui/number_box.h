#pragma once

#include <QAbstractSpinBox>
#include <QString>

// An edit box for a whole number with a spin control beside it. Typing and pasting
// are limited to digits (and a leading minus sign when the range goes below zero),
// but the text is not corrected while it is edited: the dialog checks it on OK, so
// an empty box or an out-of-range number reaches the check and gets its message.
class NumberBox : public QAbstractSpinBox {
    Q_OBJECT
  public:
    enum class Check { Ok, Empty, NotNumber, OutOfRange };

    explicit NumberBox(QWidget* parent = nullptr);

    // The range the spin control keeps to and the check on OK enforces.
    void SetRange(int minimum, int maximum);
    int Minimum() const { return minimum_; }
    int Maximum() const { return maximum_; }
    void SetValue(int value);
    QString Text() const;
    void SetText(const QString& text);

    // Checks `text` as a whole number within the range; `value` is set on Ok.
    Check Parse(const QString& text, int& value) const;
    // The message for a failed check: what is wrong, and the limits. `what` names the
    // box ("period", "weight").
    QString Message(Check check, const QString& what, const QString& text) const;
    // The check a dialog makes on OK: true with `value` set when the box holds a number
    // in range (or is empty where `emptyAllowed`, giving 0); otherwise says why over
    // the dialog and selects the box's text for the user to correct.
    bool CheckOnAccept(const QString& what, int& value, bool emptyAllowed = false);

    // One spin step: from the number in the box (0 when there is none), kept in range.
    void stepBy(int steps) override;

  protected:
    QValidator::State validate(QString& input, int& pos) const override;
    StepEnabled stepEnabled() const override;

  private:
    int minimum_ = 0;
    int maximum_ = 100;
};
