#pragma once

#include <array>
#include <string_view>

#include "app/app_state.h"

// A header name a rule may name, and the code the rule compiler derives from it.
struct RuleHeader {
    std::string_view name;
    HeaderCode code;
};

// Every header name a rule may name, in the order the rule dialog offers them. The
// names are stored in the rule files as they are spelt here.
inline constexpr std::array<RuleHeader, 12> kRuleHeaders{{
    {"From:", kHeaderFrom},
    {"To:", kHeaderTo},
    {"Cc:", kHeaderCc},
    {"Recipient", kHeaderRecipient},
    {"Subject:", kHeaderSubject},
    {"Sender:", kHeaderSender},
    {"Reply-To:", kHeaderReplyTo},
    {"Content-Type:", kHeaderContentType},
    {"Message-ID:", kHeaderMessageId},
    {"Return-Path:", kHeaderReturnPath},
    {"Received:", kHeaderReceived},
    {"Any header", kHeaderAny},
}};
