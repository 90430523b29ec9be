#include "ui/message_box.h"

#include <QMessageBox>

namespace {
MessageHook& Hook() {
    static MessageHook hook;
    return hook;
}
}  // namespace

void SetMessageHook(MessageHook hook) {
    Hook() = std::move(hook);
}

void ShowMessage(QWidget* parent, const QString& text, bool withIcon) {
    if (Hook()) {
        Hook()(text);
        return;
    }
    QMessageBox box(withIcon ? QMessageBox::Warning : QMessageBox::NoIcon,
                    QStringLiteral("Quorvane"), text, QMessageBox::Ok, parent);
    box.exec();
}
