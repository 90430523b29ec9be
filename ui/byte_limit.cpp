#include "ui/byte_limit.h"

#include <QEvent>
#include <QLabel>
#include <QLineEdit>
#include <QValidator>
#include <utility>

namespace {

constexpr int kCountMargin = 4;

int Bytes(const QString& text) {
    return static_cast<int>(text.toUtf8().size());
}

// The UTF-8 bytes of the character starting at `at`, and its UTF-16 units. A lone
// surrogate counts as the three bytes of the character that stands in for it.
std::pair<int, int> CharacterSize(const QString& text, qsizetype at) {
    const char16_t unit = text.at(at).unicode();
    if (QChar::isHighSurrogate(unit) && at + 1 < text.size() && text.at(at + 1).isLowSurrogate()) {
        return {4, 2};
    }
    return {unit < 0x80 ? 1 : unit < 0x800 ? 2 : 3, 1};
}

// Refuses any text past the limit, and tells the count which input it refused.
class ByteLimit : public QValidator {
  public:
    ByteLimit(QLineEdit* edit, int maxBytes)
        : QValidator(edit), edit_(edit), maxBytes_(maxBytes), count_(new QLabel(edit)) {
        count_->setObjectName(edit->objectName() + QStringLiteral("Count"));
        count_->setForegroundRole(QPalette::PlaceholderText);
        count_->hide();
        edit->installEventFilter(this);
    }

    State validate(QString& input, int&) const override {
        const int bytes = Bytes(input);
        if (bytes <= maxBytes_) {
            return Acceptable;
        }
        // The box already holds the refused text here; the count is of the kept one.
        Show(QStringLiteral("%1 of %2 bytes: %3 will not fit")
                 .arg(keptBytes_)
                 .arg(maxBytes_)
                 .arg(bytes));
        return Invalid;
    }

    // Text set by the program skips the validator; such text is cut at the last whole
    // character that fits. The count shows from four fifths of the limit on, so it is
    // there before a keystroke is refused.
    void TextChanged(const QString& text) const {
        if (Bytes(text) > maxBytes_) {
            edit_->setText(text.left(FittingLength(text)));
            return;
        }
        const int bytes = Bytes(text);
        keptBytes_ = bytes;
        if (bytes * 5 >= maxBytes_ * 4) {
            Show(QStringLiteral("%1 of %2 bytes").arg(bytes).arg(maxBytes_));
        } else {
            count_->hide();
            edit_->setTextMargins(0, 0, 0, 0);
        }
    }

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == edit_ && event->type() == QEvent::Resize && count_->isVisible()) {
            Place();
        }
        return QValidator::eventFilter(watched, event);
    }

  private:
    // The UTF-16 length of the longest run of whole characters from the start that
    // fits the limit.
    qsizetype FittingLength(const QString& text) const {
        int bytes = 0;
        qsizetype at = 0;
        while (at < text.size()) {
            const auto [size, units] = CharacterSize(text, at);
            if (bytes + size > maxBytes_) {
                break;
            }
            bytes += size;
            at += units;
        }
        return at;
    }

    void Show(const QString& text) const {
        count_->setText(text);
        count_->adjustSize();
        count_->show();
        Place();
    }

    // At the right end of the box, with the text kept clear of it.
    void Place() const {
        const int width = count_->sizeHint().width();
        edit_->setTextMargins(0, 0, width + 2 * kCountMargin, 0);
        count_->setGeometry(edit_->width() - width - kCountMargin, 0, width, edit_->height());
    }

    QLineEdit* edit_;
    int maxBytes_;
    QLabel* count_;
    mutable int keptBytes_ = 0;
};

}  // namespace

void LimitLocal8BitLength(QLineEdit* edit, int maxBytes) {
    // A character limit would cut a paste silently before the bytes are counted.
    edit->setMaxLength(32767);
    auto* limit = new ByteLimit(edit, maxBytes);
    edit->setValidator(limit);
    QObject::connect(edit, &QLineEdit::textChanged, limit,
                     [limit](const QString& text) { limit->TextChanged(text); });
    limit->TextChanged(edit->text());
}
