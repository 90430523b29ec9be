#pragma once

#include <QString>
#include <QWidget>
#include <functional>
#include <memory>
#include <vector>

#include <map>

#include "app/app_state.h"
#include "pop3/certificate_info.h"
#include "scan/check_report.h"
#include "scan/deletion_session.h"
#include "store/rule_list_file.h"

namespace Ui {
class PageInbox;
}
class QTableWidget;
class SkinButton;

// The "Inbox" page: one row per account with the message count, total size and time
// of its last successful check, the outcome of its last check ("OK" or why it
// failed) or how far the check under way is, and the number of its unwanted messages. A double
// click shows the account's unwanted messages; on the status of a check that failed on an untrusted
// certificate, it shows that certificate and lets the user trust it for the account.
class CPageInbox : public QWidget {
    Q_OBJECT
  public:
    // Unwanted is shown after Size.
    enum Column {
        kAccount = 0,
        kEmails = 1,
        kSize = 2,
        kLastCheck = 3,
        kStatus = 4,
        kUnwanted = 5
    };

    explicit CPageInbox(AppState& state, QWidget* parent = nullptr);
    ~CPageInbox() override;

    // Sets the text of one cell; a row that does not exist is left alone.
    void SetCell(int row, int column, const QString& text);
    QTableWidget* list() const;
    SkinButton* checkNowButton() const { return checkNowButton_; }
    // How a check of the account on `row` goes: "Checking…" in its Status, then the
    // count and how many messages are judged, then its outcome with the size and time.
    void ShowCheckStarted(int row);
    void ShowCheckProgress(int row, int done, int total);
    void ShowCheckEnded(int row, const CheckReport& report);
    // How a deletion the user asked for ended, in the Status.
    void ShowDeletionEnded(int row, const DeletionReport& report);
    // Keeps the certificate of a check that failed on it, for the user to look at.
    void SetCheckReport(int row, const CheckReport& report);
    // The certificate refused by the last check of `row`, if that is why it failed.
    const CertificateInfo* RefusedCertificate(int row) const;
    // Stores the fingerprint of the refused certificate of `row` with its account.
    bool TrustCertificate(int row);

    // Where the Unwanted emails window sends messages to delete from account `row`.
    using DeleteAction = std::function<void(int row, std::vector<UnwantedMessage> messages)>;
    void SetDeleteAction(DeleteAction action) { deleteAction_ = std::move(action); }
    // Where that window sends a rule made from a message's sender.
    using RuleAction = std::function<void(RuleList list, const RuleEntry& rule, QWidget* over)>;
    void SetRuleAction(RuleAction action) { ruleAction_ = std::move(action); }

  public slots:
    // Gives an account added during the run its row.
    void AddAccountRow(int index);
    // Drops the row of a removed account; the rows below move up.
    void RemoveAccountRow(int index);
    // Shows an edited account's description; when it now reaches another mailbox,
    // what the row showed of the old one goes, until the next check.
    void AccountChanged(int index, bool serverChanged);

  signals:
    // "Check now": every account is to be checked at once.
    void checkNowClicked();
    // A certificate was trusted: the account changed, and is to be saved.
    void certificateTrusted(int row);

  private:
    DeleteAction deleteAction_;
    RuleAction ruleAction_;
    void AddCheckNowButton();
    void SetDescription(int row);
    void ShowUnwantedCount(int row);
    void OpenUnwantedMail();
    void OnDoubleClick(int row, int column);
    void OpenCertificate(int row);

    AppState& state_;
    std::unique_ptr<Ui::PageInbox> ui_;
    SkinButton* checkNowButton_ = nullptr;
    std::map<int, CertificateInfo> refused_;
    std::map<int, bool> lastCheckFailed_;
    std::map<int, QString> refusedBy_;  // the server, "host:port", of each refusal
};
