#pragma once

#include <QString>
#include <functional>

class QWidget;

// Asks the user to confirm a removal: a modal box captioned "Quorvane" with Yes and
// No, No the default. True on Yes.
bool Confirm(QWidget* parent, const QString& question);

// Tests answer here instead of showing a modal box; an empty hook restores the box.
using ConfirmHook = std::function<bool(const QString& question)>;
void SetConfirmHook(ConfirmHook hook);
