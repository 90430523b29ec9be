#pragma once

class QLineEdit;

// Keeps the text of `edit` within `maxBytes` bytes of UTF-8, which is how the data
// files count text: a keystroke or a paste that would go past it is refused whole,
// never cut. Once the text nears the limit, or an input was refused, a count such as
// "255 of 255 bytes" shows at the right end of the box (a label named after the box
// with "Count" appended). Text the program sets past the limit is cut to whole
// characters.
void LimitLocal8BitLength(QLineEdit* edit, int maxBytes);
