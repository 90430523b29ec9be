#pragma once

#include <QDialog>
#include <memory>
#include <string>
#include <string_view>

#include "app/app_state.h"

namespace Ui {
class DeletedMailDialog;
}
class QTreeWidget;

// "Deleted emails": the sender and subject of every message the scan judged unwanted
// for one account during this run, as they stand when the dialog opens.
class DeletedMailDialog : public QDialog {
    Q_OBJECT
  public:
    DeletedMailDialog(const AppState& state, int accountIndex, QWidget* parent = nullptr);
    ~DeletedMailDialog() override;

    QTreeWidget* list() const;

    // A recorded field as the list shows it: cut to 4095 bytes, and `prefix` ("from:",
    // "subject:") removed from its start when it is there in any letter case.
    static std::string StripFieldPrefix(std::string text, std::string_view prefix);

  private:
    std::unique_ptr<Ui::DeletedMailDialog> ui_;
};
