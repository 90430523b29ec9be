#pragma once

#include <QIcon>
#include <QImage>

// The program's own bitmaps and icons, compiled into it and found by resource number.

// Bitmap resource `id` (129 is the button image strip); a null image when there is none.
QImage LoadBitmapResource(int id);

// Icon resource `id` (128 is the program icon) in every size drawn; null when missing.
QIcon LoadIconResource(int id);
