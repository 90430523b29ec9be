#include "ui/list_page.h"

#include <QKeyEvent>
#include <QTableWidget>
#include <QVBoxLayout>

#include "ui/double_click_filter.h"

ListPage::ListPage(std::span<const ReportColumn> columns, int stretchColumn,
                   QAbstractItemView::SelectionMode selection, bool rightActs, QWidget* parent)
    : QWidget(parent), list_(new QTableWidget(this)), columns_(columns) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(10, 10, 10, 10);
    layout->addWidget(list_);
    SetUpReportList(list_, columns, stretchColumn, selection);
    new DoubleClickFilter(list_, rightActs, [this](Qt::MouseButton button, const QModelIndex&) {
        DoubleClicked(button);
    });
    list_->installEventFilter(this);
}

QTableWidgetItem* ListPage::Cell(const QString& text, int column) const {
    return ReportCell(text, columns_[static_cast<std::size_t>(column)]);
}

int ListPage::FirstSelectedRow() const {
    return ::FirstSelectedRow(list_);
}

int ListPage::TargetRow(bool& adding) const {
    const int row = FirstSelectedRow();
    adding = row >= 0 && row == list_->rowCount() - 1;
    return row;
}

bool ListPage::eventFilter(QObject* watched, QEvent* event) {
    if (watched == list_ && event->type() == QEvent::KeyPress &&
        static_cast<QKeyEvent*>(event)->key() == Qt::Key_Delete) {
        DeletePressed();
        return true;
    }
    return QWidget::eventFilter(watched, event);
}
