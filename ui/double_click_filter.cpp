#include "ui/double_click_filter.h"

#include <QAbstractItemView>
#include <QMouseEvent>

DoubleClickFilter::DoubleClickFilter(QAbstractItemView* list, bool rightActs, Handler handler)
    : QObject(list),
      list_(list),
      viewport_(list->viewport()),
      rightActs_(rightActs),
      handler_(std::move(handler)) {
    viewport_->installEventFilter(this);
}

bool DoubleClickFilter::eventFilter(QObject* watched, QEvent* event) {
    // The viewport outlives the list's own destructor and still sends events then: the
    // list is touched only for a double click on the viewport.
    if (event->type() != QEvent::MouseButtonDblClick || watched != viewport_) {
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
