#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "store/rule_list.h"
#include "store/rule_list_file.h"

// The four rules a message's sender offers, as its Unwanted emails row names them.
enum class SenderRuleKind { kBlockSender, kBlockDomain, kAllowSender, kAllowDomain };

// The sender's address in a From field as the window shows it (decoded; "From:" may
// lead): the last address in angle brackets, else the first bare word holding an at
// sign. nullopt when there is none, or it holds a control character or a blank.
std::optional<std::string> SenderAddress(std::string_view fromField);

// `text` with every character PCRE2 treats as special escaped, so it matches itself.
std::string EscapePattern(std::string_view text);

// The pattern that matches this address (or its domain, after the at sign) and no
// longer one: "alice@example.com" does not catch "malice@example.com" nor
// "alice@example.com.evil.test". Letters are lowered, since rules ignore case.
std::string SenderPattern(std::string_view address);
std::string DomainPattern(std::string_view address);

// Block for the two Block kinds, Friends for the others.
RuleList ListOf(SenderRuleKind kind);

// The From rule of `kind` for the message whose From field is `fromField`, weighted
// `blockWeight` on Block and 100 on Friends, so that it outweighs the Block list.
// nullopt when the field names no address, or its pattern would not fit a rule.
std::optional<RuleEntry> MakeSenderRule(SenderRuleKind kind, std::string_view fromField,
                                        int blockWeight);
