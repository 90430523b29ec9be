#pragma once

#include <string>

#include "store/rule_list_file.h"

// The plain record of one rule line: the page kind digit, the weight in four
// characters (0100, 0050, -005), the header name, 0x1F, the contains text.
std::string BuildRuleRecord(RuleList list, const RuleEntry& rule);

// Reads a decrypted record into `rule`. False for a record too short for the layout,
// without the separator after the header, or with a header name over 99 bytes.
bool ParseRuleRecord(const std::string& record, RuleEntry& rule);
