#pragma once

#include <QDialog>
#include <QString>
#include <memory>

namespace Ui {
class PassphraseDialog;
}

// Asks for the passphrase of the data files: one masked box, or two in confirmation
// mode (first start, when a new passphrase is set). OK checks the text; Cancel,
// Escape and the close box end at once.
class PassphraseDialog : public QDialog {
    Q_OBJECT
  public:
    explicit PassphraseDialog(QWidget* parent = nullptr);
    ~PassphraseDialog() override;

    void SetConfirmMode(bool confirm);
    bool confirmMode() const { return confirmMode_; }
    // The passphrase as accepted: trimmed of white space at both ends.
    QString passphrase() const { return passphrase_; }

    static constexpr int kMinLength = 6;  // bytes of the locale encoding
    static constexpr int kMaxLength = 255;

  public slots:
    void accept() override;

  private:
    std::unique_ptr<Ui::PassphraseDialog> ui_;
    bool confirmMode_ = false;
    QString passphrase_;
};
