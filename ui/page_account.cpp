#include "ui/page_account.h"

CPageAccount::CPageAccount(AppState& state, QWidget* parent) : QWidget(parent), state_(state) {}
