#pragma once

#include <QWidget>
#include <functional>

#include "app/app_state.h"

class AccountDialog;
class QTableWidget;

// The "Email Accounts" page: the account table as a list, one row per account and the
// add row last; a double click adds or edits through the account dialog, the Delete key
// or the context menu removes an account after a confirmation.
class CPageAccount : public QWidget {
    Q_OBJECT
  public:
    // Runs the dialog and returns its result; tests replace the modal run.
    using DialogRunner = std::function<int(AccountDialog&)>;

    static constexpr const char* kAddRowText = "Double click here to Add";

    CPageAccount(AppState& state, QWidget* parent = nullptr);

    QTableWidget* List() const { return list_; }
    void SetDialogRunner(DialogRunner runner) { runner_ = std::move(runner); }
    // The double click: add on the add row, edit on an account row, nothing without a
    // selected row.
    void AddOrEdit();
    // Delete or the context menu: asks, then removes the first selected account.
    void RemoveSelected();

  signals:
    // An account was added at `index` (the Inbox page adds its row).
    void accountAdded(int index);
    // The account at `index` was removed; later accounts moved down one place.
    void accountRemoved(int index);

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void ShowContextMenu(const QPoint& position);
    void Fill();
    void SetRow(int row, const AccountRecord& record);
    int FirstSelectedRow() const;

    AppState& state_;
    QTableWidget* list_;
    DialogRunner runner_;
};
