#include "ui/page_friend.h"

CPageFriend::CPageFriend(AppState& state, int pageKind, UserPrompts& prompts, QWidget* parent)
    : QWidget(parent), state_(state), pageKind_(pageKind), prompts_(prompts) {}
