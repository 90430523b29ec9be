#pragma once

#include <QDialog>
#include <QStringList>
#include <memory>

#include "store/rule_list_file.h"

namespace Ui {
class RuleDialog;
}

// "Rule": header, contains text and weight of one rule. OK checks the weight and keeps
// the dialog open, with the focus on the weight box, while it is wrong.
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

  public slots:
    void accept() override;

  private:
    std::unique_ptr<Ui::RuleDialog> ui_;
    int weight_ = kMaxWeight;
};
