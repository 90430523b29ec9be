#include "ui/page_account.h"

#include <QMenu>
#include <QTableWidget>
#include <cstring>

#include "pop3/connection_security.h"
#include "store/account_file.h"

#include "app/token_store.h"
#include "pop3/sign_in_method.h"
#include "ui/account_dialog.h"
#include "ui/browser_sign_in.h"
#include "ui/confirm_box.h"
#include "ui/message_box.h"

namespace {

constexpr ReportColumn kColumns[] = {
    {"Description", 100, Qt::AlignLeft | Qt::AlignVCenter, CPageAccount::kAddRowText},
    {"Email address", 100, Qt::AlignLeft | Qt::AlignVCenter},
    {"Period", 60, Qt::AlignRight | Qt::AlignVCenter, "9999"},
    {"Auth", 50, Qt::AlignCenter, "Password"},
    {"Scan", 38, Qt::AlignCenter},
};

// Port 0 and the mode's own port are one and the same server.
bool ReachesAnotherMailbox(const AccountRecord& before, const AccountRecord& after) {
    const ConnectionSecurity was = SecurityFromDigit(before.security);
    const ConnectionSecurity is = SecurityFromDigit(after.security);
    return std::strcmp(before.address, after.address) != 0 || was != is ||
           EffectivePort(was, before.port) != EffectivePort(is, after.port);
}

QString TableFullMessage() {
    return QStringLiteral("The account table is full.\n\nQuorvane keeps at most %1 accounts.")
        .arg(kMaxAccounts);
}

}  // namespace

CPageAccount::CPageAccount(AppState& state, UserPrompts& prompts, QWidget* parent)
    // The address takes the room the others leave; the right button opens the menu.
    : ListPage(kColumns, 1, QAbstractItemView::SingleSelection, false, parent),
      state_(state),
      prompts_(prompts),
      runner_([](AccountDialog& dialog) { return dialog.exec(); }) {
    list_->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(list_, &QWidget::customContextMenuRequested, this, &CPageAccount::ShowContextMenu);
    connect(list_, &QAbstractItemView::clicked, this, &CPageAccount::Clicked);
    Fill();
}

// The add row says "Click": one click there adds.
void CPageAccount::Clicked(const QModelIndex& index) {
    // The release may come without the press having selected the row (a double
    // click's second press): the row clicked is the one to act on.
    if (index.row() == list_->rowCount() - 1) {
        list_->selectRow(index.row());
        AddOrEdit();
    }
}

// On the add row the click that began the double click has already added.
void CPageAccount::DoubleClicked(Qt::MouseButton) {
    bool adding = false;
    if (TargetRow(adding) >= 0 && !adding) {
        AddOrEdit();
    }
}

void CPageAccount::Fill() {
    const std::uint32_t count = state_.AccountCount();
    list_->setRowCount(0);
    list_->setRowCount(static_cast<int>(count) + 1);
    for (std::uint32_t i = 0; i < count; ++i) {
        AccountRecord record{};
        if (state_.CopyAccount(i, record)) {
            SetRow(static_cast<int>(i), record);
        }
    }
    list_->setItem(static_cast<int>(count), 0, Cell(QString::fromLatin1(kAddRowText), 0));
}

void CPageAccount::SetRow(int row, const AccountRecord& record) {
    const QString texts[] = {
        QString::fromLocal8Bit(record.description),
        QString::fromLocal8Bit(record.address),
        QString::number(record.periodMinutes),
        QString::fromLatin1(record.authMethod == 2   ? "OAuth2"
                            : record.authMethod != 0 ? "APOP"
                                                     : "Password"),
        QString::fromLatin1(record.scanMessages != 0 ? "Y" : "N"),
    };
    for (int c = 0; c < static_cast<int>(std::size(texts)); ++c) {
        QTableWidgetItem* cell = Cell(texts[c], c);
        if (c < 2) {
            cell->setToolTip(texts[c]);  // descriptions and addresses may not fit
        }
        list_->setItem(row, c, cell);
    }
}

void CPageAccount::ShowContextMenu(const QPoint& position) {
    const int row = list_->indexAt(position).row();
    if (row < 0 || row >= list_->rowCount() - 1) {
        return;  // the add row and the space beside the rows hold no account
    }
    list_->selectRow(row);
    QMenu menu(this);
    menu.addAction(QStringLiteral("&Edit..."), this, &CPageAccount::AddOrEdit);
    menu.addAction(QStringLiteral("&Remove..."), this, &CPageAccount::RemoveSelected);
    menu.exec(list_->viewport()->mapToGlobal(position));
}

void CPageAccount::RemoveSelected() {
    const int selected = FirstSelectedRow();
    AccountRecord record{};
    if (selected < 0 || !state_.CopyAccount(static_cast<std::uint32_t>(selected), record)) {
        return;  // no row, or the add row
    }
    const QString question =
        QStringLiteral(
            "Remove the account \"%1\"?\n\nIts Inbox row and its list of unwanted "
            "messages go with it.")
            .arg(QString::fromLocal8Bit(record.description));
    if (!Confirm(this, question) || !state_.RemoveAccount(static_cast<std::uint32_t>(selected))) {
        return;
    }
    TokenStore::Forget(state_, record);
    list_->removeRow(selected);
    Save();
    emit accountRemoved(selected);
}

void CPageAccount::AddOrEdit() {
    bool adding = false;
    const int selected = TargetRow(adding);
    if (selected < 0) {
        return;
    }
    if (adding && state_.AccountCount() >= kMaxAccounts) {
        ShowMessage(this, TableFullMessage());
        return;
    }
    AccountRecord stored{};
    AccountDialog dialog(this);
    dialog.SetSignInHandler(
        [this](AccountRecord& account) { return BrowserSignIn(state_, this).Run(account); });
    if (!adding) {
        if (!state_.CopyAccount(static_cast<std::uint32_t>(selected), stored)) {
            return;
        }
        dialog.Load(stored);
    }
    if (runner_(dialog) != QDialog::Accepted) {
        return;
    }
    AccountRecord record = dialog.Values();
    if (!adding && !dialog.PasswordTyped()) {
        // An untouched password box means "keep the password", not "no password".
        std::copy(std::begin(stored.password), std::end(stored.password),
                  std::begin(record.password));
    }
    if (adding) {
        if (!state_.AppendAccount(record)) {
            ShowMessage(this, TableFullMessage());
            return;
        }
        list_->insertRow(selected);
    } else {
        state_.ReplaceAccount(static_cast<std::uint32_t>(selected), record);
        // Another method, provider, login or server: the old sign-in is over. Done only
        // on OK, so a cancelled edit keeps the token.
        if (SignInFromDigit(stored.authMethod) == SignInMethod::kOAuth2 &&
            (SignInFromDigit(record.authMethod) != SignInMethod::kOAuth2 ||
             TokenStore::Key(stored) != TokenStore::Key(record))) {
            TokenStore::Forget(state_, stored);
        }
    }
    SetRow(selected, record);
    Save();
    if (adding) {
        emit accountAdded(selected);
    } else {
        emit accountChanged(selected, ReachesAnotherMailbox(stored, record));
    }
}

// accountsDirty before the file and `modified` after it: a rule reload may clear
// `modified` at any moment, and a failed write (the user is told) leaves the edit
// for Close and the end of the run to save.
void CPageAccount::Save() {
    state_.accountsDirty = 1;
    static_cast<void>(SaveAccountFile(state_, prompts_));
    state_.modified = 1;
}
