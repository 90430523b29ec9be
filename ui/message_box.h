#pragma once

#include <QString>
#include <functional>

class QWidget;

// The program's message box: modal, captioned "Quorvane", one OK button, with the
// warning icon unless `withIcon` is false.
void ShowMessage(QWidget* parent, const QString& text, bool withIcon = true);

// Tests route messages here instead of showing a modal box; an empty hook restores
// the real box.
using MessageHook = std::function<void(const QString& text)>;
void SetMessageHook(MessageHook hook);
