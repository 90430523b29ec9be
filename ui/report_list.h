#pragma once

#include <QString>
#include <QTableWidget>
#include <span>

// One column of a page's list: caption, width in pixels at the classic 8-point dialog
// font, alignment, and the widest fixed text it must show whole (the add row, "Password").
struct ReportColumn {
    const char* caption;
    int width;
    Qt::Alignment align;
    const char* widest = "";
};

// Sets `list` up as a read-only report list with grid lines and whole-row selection.
// Each column is at least its given width and wide enough for its caption and widest
// text in the list's own font; `stretchColumn` takes the room left over.
void SetUpReportList(QTableWidget* list, std::span<const ReportColumn> columns, int stretchColumn,
                     QAbstractItemView::SelectionMode selection);

// A read-only cell aligned as its column.
QTableWidgetItem* ReportCell(const QString& text, const ReportColumn& column);

// The topmost selected row of `list`; -1 when none is selected.
int FirstSelectedRow(const QAbstractItemView* list);
