#pragma once

#include <QWidget>
#include <span>

#include "ui/report_list.h"

class QTableWidget;

// What the Block, Friends and Email Accounts pages share: a report list filling the
// page with its add row last, its cells, its first selected row, and the double clicks
// and the Delete key that act on it.
class ListPage : public QWidget {
    Q_OBJECT
  public:
    static constexpr const char* kAddRowText = "Double click here to Add";

    QTableWidget* List() const { return list_; }

  protected:
    // `columns` must outlive the page; `stretchColumn` takes the room left over. The
    // right double click reaches DoubleClicked only where `rightActs`.
    ListPage(std::span<const ReportColumn> columns, int stretchColumn,
             QAbstractItemView::SelectionMode selection, bool rightActs, QWidget* parent);

    // A read-only cell aligned as its column.
    QTableWidgetItem* Cell(const QString& text, int column) const;
    // -1 when no row is selected.
    int FirstSelectedRow() const;
    // The row a double click works on, the first selected one, with `adding` telling
    // the add row; -1 when none is selected (a double click beside the rows).
    int TargetRow(bool& adding) const;

    // A double click on a row with the left button, or the right one (see above).
    virtual void DoubleClicked(Qt::MouseButton button) = 0;
    virtual void DeletePressed() = 0;

    bool eventFilter(QObject* watched, QEvent* event) override;

    QTableWidget* const list_;

  private:
    std::span<const ReportColumn> columns_;
};
