#pragma once

#include <functional>
#include <vector>

#include "app/app_state.h"
#include "store/rule_list_file.h"
#include "store/user_prompts.h"
#include "ui/list_page.h"

class RuleDialog;

// A rule list page: Friends ("friends.qvd") or Block ("block.qvd").
// The rows are the rules of the list file and the add row last. A double click adds
// or replaces a rule, a right double click deletes one, and so does the Delete key after
// a confirmation; every change rewrites the file, raises `modified` and emits
// rulesEdited(): the window has the table rebuilt aside, and a check that comes first
// rebuilds it itself.
class CPageFriend : public ListPage {
    Q_OBJECT
  public:
    // Runs the dialog and returns its result; tests replace the modal run.
    using DialogRunner = std::function<int(RuleDialog&)>;

    CPageFriend(AppState& state, RuleList pageKind, UserPrompts& prompts,
                QWidget* parent = nullptr);

    RuleList PageKind() const { return pageKind_; }
    // 100 on Friends, 50 on Block.
    int DefaultWeight() const { return DefaultWeight(pageKind_); }
    static int DefaultWeight(RuleList list);
    const std::vector<RuleEntry>& Rules() const { return rules_; }
    void SetDialogRunner(DialogRunner runner) { runner_ = std::move(runner); }

    // The double click: add on the add row, replace on a rule row, nothing without a
    // selected row.
    void AddOrReplace();
    // Opens the dialog over `over` filled with `rule` (made from a message) and its
    // preview; OK adds the rule as the add row does, Cancel leaves all as it was.
    void AddFromMessage(const RuleEntry& rule, QWidget* over);
    // The right double click: delete the first selected rule row, then rewrite.
    void Delete();
    // The Delete key: asks, then deletes the first selected rule row.
    void ConfirmDelete();

  signals:
    // After every save of the rows (a failed write too), once `modified` is raised.
    void rulesEdited();

  protected:
    void DoubleClicked(Qt::MouseButton button) override;
    void DeletePressed() override { ConfirmDelete(); }

  private:
    void Fill();
    void SetRow(int row, const RuleEntry& rule);
    // Adds `rule` above the add row and rewrites the file.
    void Append(const RuleEntry& rule);
    void Save();

    AppState& state_;
    RuleList pageKind_;
    UserPrompts& prompts_;
    // The rules behind the rows, byte for byte as they go to the file.
    std::vector<RuleEntry> rules_;
    DialogRunner runner_;
};
