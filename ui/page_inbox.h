#pragma once

#include <QString>
#include <QWidget>
#include <memory>

#include "app/app_state.h"

namespace Ui {
class PageInbox;
}
class QTableWidget;
class SkinButton;

// The "Inbox" page: one row per account with the message count, total size and time
// of its last successful check, written by the scan worker. A double click shows the
// account's unwanted messages.
class CPageInbox : public QWidget {
    Q_OBJECT
  public:
    enum Column { kAccount = 0, kEmails = 1, kSize = 2, kStatus = 3 };

    explicit CPageInbox(AppState& state, QWidget* parent = nullptr);
    ~CPageInbox() override;

    // Sets the text of one cell; a row that does not exist is left alone.
    void SetCell(int row, int column, const QString& text);
    QTableWidget* list() const;
    SkinButton* checkNowButton() const { return checkNowButton_; }

  public slots:
    // Gives an account added during the run its row.
    void AddAccountRow(int index);
    // Drops the row of a removed account; the rows below move up.
    void RemoveAccountRow(int index);

  signals:
    // "Check now": every account is to be checked at once.
    void checkNowClicked();

  private:
    void AddCheckNowButton();
    void SetDescription(int row);
    void OpenDeletedMail();

    AppState& state_;
    std::unique_ptr<Ui::PageInbox> ui_;
    SkinButton* checkNowButton_ = nullptr;
};
