#include "ui/report_list.h"

#include <QHeaderView>
#include <algorithm>

namespace {

// Room for the cell's margins and the header's sort indicator.
constexpr int kTextPadding = 16;

}  // namespace

void SetUpReportList(QTableWidget* list, std::span<const ReportColumn> columns, int stretchColumn,
                     QAbstractItemView::SelectionMode selection) {
    list->setColumnCount(static_cast<int>(columns.size()));
    QHeaderView* header = list->horizontalHeader();
    const QFontMetrics cellMetrics = list->fontMetrics();
    const QFontMetrics headerMetrics = header->fontMetrics();
    for (int c = 0; c < list->columnCount(); ++c) {
        const ReportColumn& column = columns[static_cast<std::size_t>(c)];
        auto* caption = new QTableWidgetItem(QString::fromLatin1(column.caption));
        caption->setTextAlignment(column.align);
        list->setHorizontalHeaderItem(c, caption);
        const int fit =
            std::max(headerMetrics.horizontalAdvance(QString::fromLatin1(column.caption)),
                     cellMetrics.horizontalAdvance(QString::fromLatin1(column.widest)));
        list->setColumnWidth(c, std::max(column.width, fit + kTextPadding));
    }
    header->setHighlightSections(false);
    header->setSectionResizeMode(stretchColumn, QHeaderView::Stretch);
    list->verticalHeader()->hide();
    list->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    list->verticalHeader()->setDefaultSectionSize(cellMetrics.height() + 6);
    list->setShowGrid(true);
    list->setWordWrap(false);
    list->setSelectionMode(selection);
    list->setSelectionBehavior(QAbstractItemView::SelectRows);
    list->setEditTriggers(QAbstractItemView::NoEditTriggers);
}

QTableWidgetItem* ReportCell(const QString& text, const ReportColumn& column) {
    auto* item = new QTableWidgetItem(text);
    item->setTextAlignment(column.align);
    item->setFlags(Qt::ItemIsSelectable | Qt::ItemIsEnabled);
    return item;
}

int FirstSelectedRow(const QAbstractItemView* list) {
    int first = -1;
    // By index, not by item: a row may hold cells not written yet.
    for (const QModelIndex& index : list->selectionModel()->selectedIndexes()) {
        if (first < 0 || index.row() < first) {
            first = index.row();
        }
    }
    return first;
}
