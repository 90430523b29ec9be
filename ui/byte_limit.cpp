#include "ui/byte_limit.h"

#include <QLineEdit>

void LimitLocal8BitLength(QLineEdit* edit, int maxBytes) {
    edit->setMaxLength(maxBytes);
    QObject::connect(edit, &QLineEdit::textChanged, edit, [edit, maxBytes](const QString& text) {
        if (text.toLocal8Bit().size() <= maxBytes) {
            return;
        }
        QString cut = text;
        while (!cut.isEmpty() && cut.toLocal8Bit().size() > maxBytes) {
            cut.chop(cut.size() >= 2 && cut.at(cut.size() - 1).isLowSurrogate() ? 2 : 1);
        }
        edit->setText(cut);
    });
}
