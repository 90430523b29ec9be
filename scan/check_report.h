#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "pop3/failure.h"
#include "store/rule_list.h"

// An account as this run knows it: given when the account joins the table, never
// reused, never stored. Rows and indices move when an account is removed; ids do not.
using AccountId = std::uint32_t;
constexpr AccountId kNoAccount = 0;

// One rule whose weight went into a message's score, as it stood when it was scored.
struct FiredRule {
    RuleList list = RuleList::kFriends;
    std::string header;    // the header name as the rule file holds it ("Subject:")
    std::string contains;  // the contains text as the user typed it
    int weight = 0;        // as the user typed it: Block rules count against
};

// One unwanted message of a scanning check.
struct UnwantedMessage {
    int number = 0;    // its POP3 message number
    std::string uidl;  // its unique id; empty when the server gave none
    std::string from;
    std::string subject;
    std::string date;  // the "Date:" field's value, or empty
    int score = 0;
    std::vector<FiredRule> rules;  // in the order their weights were added
    // Rules that needed too many steps on it and so count as not matching it.
    std::vector<FiredRule> limited;
    std::string headerBlock;  // as the server sent it, before any decoding
};

// One message a deletion removed from the server, and where its copy is.
struct DeletedMessage {
    std::string uidl;
    std::string from;
    std::string subject;
    int score = 0;
    std::string copy;
};

// What one check of one account found. When `failure` says it failed, the figures
// hold what was learnt before (messages -1 when the count was never read).
struct CheckReport {
    std::string host;  // as the account's address gives it
    int port = 0;      // the port connected to
    Failure failure;
    int messages = -1;
    std::uint32_t size = 0;  // bytes, as STAT gave them
    std::vector<UnwantedMessage> unwanted;
    // What the account's automatic deletion removed after the check.
    std::vector<DeletedMessage> deleted;
};
