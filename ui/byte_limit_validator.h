#pragma once

#include <QValidator>

// Keeps a text within a number of bytes in the locale's encoding (the stored fields
// are byte arrays), refusing any edit that would go past it.
class ByteLimitValidator : public QValidator {
    Q_OBJECT
  public:
    explicit ByteLimitValidator(int maxBytes, QObject* parent = nullptr)
        : QValidator(parent), maxBytes_(maxBytes) {}

    State validate(QString& input, int& pos) const override;

  private:
    int maxBytes_;
};
