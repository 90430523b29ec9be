#include "ui/confirm_box.h"

#include <QMessageBox>

namespace {
ConfirmHook& Hook() {
    static ConfirmHook hook;
    return hook;
}
}  // namespace

void SetConfirmHook(ConfirmHook hook) {
    Hook() = std::move(hook);
}

bool Confirm(QWidget* parent, const QString& question) {
    if (Hook()) {
        return Hook()(question);
    }
    QMessageBox box(QMessageBox::Question, QStringLiteral("Quorvane"), question,
                    QMessageBox::Yes | QMessageBox::No, parent);
    box.setDefaultButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}
