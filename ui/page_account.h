#pragma once

#include <functional>

#include "app/app_state.h"
#include "store/user_prompts.h"
#include "ui/list_page.h"

class AccountDialog;

// The "Email Accounts" page: the account table as a list, one row per account and the
// add row last; a double click adds or edits through the account dialog, the Delete key
// or the context menu removes an account after a confirmation. Every confirmed edit
// writes the account file at once, as the rule pages write theirs: a run that ends
// any other way than Close must not lose what the user typed.
class CPageAccount : public ListPage {
    Q_OBJECT
  public:
    // Runs the dialog and returns its result; tests replace the modal run.
    using DialogRunner = std::function<int(AccountDialog&)>;

    // One click adds: an account is added far less often than a rule is looked at.
    static constexpr const char* kAddRowText = "Click here to Add";

    CPageAccount(AppState& state, UserPrompts& prompts, QWidget* parent = nullptr);

    void SetDialogRunner(DialogRunner runner) { runner_ = std::move(runner); }
    // The double click: add on the add row, edit on an account row, nothing without a
    // selected row.
    void AddOrEdit();
    // Delete or the context menu: asks, then removes the first selected account.
    void RemoveSelected();

  signals:
    // An account was added at `index` (the Inbox page adds its row).
    void accountAdded(int index);
    // Account `index` was changed; `serverChanged` when it now reaches another
    // mailbox (server, port, login or security), so what was found there is stale.
    void accountChanged(int index, bool serverChanged);
    // The account at `index` was removed; later accounts moved down one place.
    void accountRemoved(int index);

  protected:
    void DoubleClicked(Qt::MouseButton button) override;
    void DeletePressed() override { RemoveSelected(); }

  private:
    void ShowContextMenu(const QPoint& position);
    void Clicked(const QModelIndex& index);
    void Fill();
    void SetRow(int row, const AccountRecord& record);
    void Save();

    AppState& state_;
    UserPrompts& prompts_;
    DialogRunner runner_;
};
