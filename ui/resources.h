#pragma once

#include <QIcon>
#include <QImage>

// The program's own bitmaps and icons, compiled into it and found by resource number.

constexpr int kProgramIconId = 128;
constexpr int kButtonStripId = 129;

// Bitmap resource `id`; a null image when there is none.
QImage LoadBitmapResource(int id);

// Icon resource `id` in every size drawn; null when missing.
QIcon LoadIconResource(int id);

// The program's icon, as windows, the tray and notices show it.
QIcon ProgramIcon();
