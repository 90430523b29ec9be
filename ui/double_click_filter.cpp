#include "ui/double_click_filter.h"

#include <QAbstractItemView>
#include <QMouseEvent>

DoubleClickFilter::DoubleClickFilter(QAbstractItemView* list, bool rightActs, Handler handler)
    : QObject(list), list_(list), rightActs_(rightActs), handler_(std::move(handler)) {
    list_->viewport()->installEventFilter(this);
}

bool DoubleClickFilter::eventFilter(QObject* watched, QEvent* event) {
    if (watched != list_->viewport() || event->type() != QEvent::MouseButtonDblClick) {
        return QObject::eventFilter(watched, event);
    }
    const auto* mouse = static_cast<QMouseEvent*>(event);
    const QModelIndex index = list_->indexAt(mouse->position().toPoint());
    const Qt::MouseButton button = mouse->button();
    if (index.isValid() &&
        (button == Qt::LeftButton || (rightActs_ && button == Qt::RightButton))) {
        handler_(button, index);
    }
    return true;
}
