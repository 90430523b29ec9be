#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "pop3/failure.h"

// One unwanted message of a scanning check.
struct UnwantedMessage {
    int number = 0;  // its POP3 message number
    std::string from;
    std::string subject;
    int score = 0;
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
};
