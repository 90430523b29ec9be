#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "app/kept_headers.h"
#include "scan/rule_compiler.h"
#include "store/rule_list.h"
#include "store/rule_list_file.h"

// The rules of both lists as they would be compiled: Friends, then Block.
struct RuleSet {
    std::vector<RuleEntry> friends;
    std::vector<RuleEntry> block;
};

// The rule being typed, and on an edit the rule of its list it would replace.
struct CandidateRule {
    RuleList list = RuleList::kBlock;
    RuleEntry rule;
    std::optional<std::size_t> replaces;  // an index into `list`'s rules
};

// A matching message's fields as the server sent them (after "From:", "Subject:"),
// empty when the block has none.
struct PreviewMessage {
    std::string from;
    std::string subject;
    // Whose mailbox it is in: two accounts on one mailbox keep a copy each.
    std::uint32_t account = 0;
};

// What a rule would do to the messages fetched in this run.
struct RulePreview {
    PatternCheck pattern{true, {}, 0};  // when it fails, nothing below is filled
    std::size_t kept = 0;               // the messages looked at
    std::size_t matches = 0;            // those the rule matches
    std::size_t limited = 0;            // those it needs too many steps on
    std::vector<PreviewMessage> firstMatches;
    std::size_t newlyUnwanted = 0;     // unwanted with the rule, not without
    std::size_t noLongerUnwanted = 0;  // unwanted without the rule, not with
    bool stopped = false;              // a newer preview took over; the figures are partial
};

// Scores every kept block with the real scorer twice, with today's rules and with the
// candidate in place, and once against the candidate alone to find what it matches.
// The rule tables are compiled once per call, not per message. `stop`, when given, is
// read before each message: a preview of text the user has typed over is not worth
// finishing.
RulePreview PreviewRule(const RuleSet& rules, const CandidateRule& candidate,
                        const std::vector<KeptMessage>& kept, std::size_t shown = 3,
                        const std::atomic<bool>* stop = nullptr);

// "This rule needs too many steps on N of the messages; it counts as not matching
// there.", or empty when it needs none.
std::string LimitedText(const RulePreview& preview);

// "2 more messages would be unwanted.", "1 message would no longer be unwanted.", both,
// or "No verdict would change."
std::string VerdictChangeText(const RulePreview& preview);
