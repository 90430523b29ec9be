#pragma once

#include <QWidget>

#include "app/app_state.h"
#include "store/user_prompts.h"

// A rule list page: Friends (page kind 0, "friends.qvd") or Block (1, "block.qvd").
class CPageFriend : public QWidget {
    Q_OBJECT
  public:
    CPageFriend(AppState& state, int pageKind, UserPrompts& prompts, QWidget* parent = nullptr);

  private:
    AppState& state_;
    int pageKind_;
    UserPrompts& prompts_;
};
