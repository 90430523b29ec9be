#pragma once

#include <QModelIndex>
#include <QObject>
#include <functional>

class QAbstractItemView;

// Takes every double click on a list's rows for its page. The left button acts; the
// right one acts only where the page gives it a meaning (deleting a rule), and any
// other button, or a double click beside the rows where the selection may still hold
// an earlier row, does nothing.
class DoubleClickFilter : public QObject {
    Q_OBJECT
  public:
    using Handler = std::function<void(Qt::MouseButton button, const QModelIndex& index)>;

    // Watches `list`'s viewport; it is owned by `list`.
    DoubleClickFilter(QAbstractItemView* list, bool rightActs, Handler handler);

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    QAbstractItemView* list_;
    QObject* viewport_;
    bool rightActs_;
    Handler handler_;
};
