#include "ui/byte_limit_validator.h"

QValidator::State ByteLimitValidator::validate(QString& input, int& /*pos*/) const {
    return input.toLocal8Bit().size() <= maxBytes_ ? Acceptable : Invalid;
}
