#pragma once

#include <QDialog>
#include <QStringList>
#include <QTimer>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "app/kept_headers.h"
#include "scan/check_report.h"
#include "scan/preview_runner.h"
#include "scan/rule_preview.h"
#include "store/rule_list_file.h"

namespace Ui {
class RuleDialog;
}

// "Rule": header, contains text and weight of one rule. OK checks the weight and keeps
// the dialog open, with the focus on the weight box, while it is wrong. A pattern that
// does not compile is named below the fields as it is typed, and OK asks before
// storing it, as it does for an empty one, which matches every message. With a
// preview enabled, a pause in typing shows what the rule would match among the
// messages fetched in this run (each named with its account) and how the verdicts
// would change; the scoring runs on a thread of its own, so a large run does not
// stall typing, and a newer preview stops the older one.
class RuleDialog : public QDialog {
    Q_OBJECT
  public:
    static constexpr int kMinWeight = -99;
    static constexpr int kMaxWeight = 100;

    explicit RuleDialog(QWidget* parent = nullptr);
    ~RuleDialog() override;

    // The twelve header names, in the order of the list.
    static const QStringList& HeaderNames();

    void SetWeight(int weight);
    // Shows an existing rule, so that OK without changes keeps it as it was.
    void Load(const RuleEntry& rule);
    // The rule as entered. Valid after OK.
    RuleEntry Values() const;

    // Previews the rule against `state`'s kept headers, with the other list as its
    // file holds it and this one as `pageRules` (the page's rows). `replaces` is the
    // row an edit replaces.
    void EnablePreview(const AppState& state, RuleList list, std::vector<RuleEntry> pageRules,
                       std::optional<std::size_t> replaces);
    // The pause after the last keystroke before the preview runs.
    static constexpr int kPreviewDelayMs = 300;

  public slots:
    void accept() override;

  private:
    void RuleEdited();
    void ShowPreview();
    void PreviewDone(std::uint64_t round, const RulePreview& preview);
    RuleEntry TypedRule() const;

    std::unique_ptr<Ui::RuleDialog> ui_;
    int weight_ = kMaxWeight;
    QTimer previewTimer_;
    bool previewing_ = false;
    RuleList list_ = RuleList::kFriends;
    RuleSet rules_;
    std::optional<std::size_t> replaces_;
    // Shared with the preview thread, which scores on copies and never touches a widget.
    std::shared_ptr<const std::vector<KeptMessage>> kept_;
    std::map<AccountId, QString> accountNames_;  // as the preview names accounts
    std::unique_ptr<PreviewRunner> runner_;
    std::uint64_t previewRound_ = 0;  // only the latest preview may fill the label
};
