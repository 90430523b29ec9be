#pragma once

class QLineEdit;

// Keeps the text of `edit` within `maxBytes` bytes of the locale encoding, which is
// how the data files count text, by cutting whole characters off the end. The
// character limit of the box is set to `maxBytes` as well.
void LimitLocal8BitLength(QLineEdit* edit, int maxBytes);
