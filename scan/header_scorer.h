#pragma once

#include <optional>
#include <string>

#include "app/app_state.h"

struct ScoreResult {
    int score = 0;
    std::optional<std::string> from;     // the whole "From:" field, when present
    std::optional<std::string> subject;  // the whole "Subject:" field, when present
    bool Unwanted() const { return score < 0; }
};

// Scores one decoded header block against the rule table. The block loses its
// Received fields on the way.
ScoreResult ScoreHeader(const AppState& state, std::string& block);
