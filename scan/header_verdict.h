#pragma once

#include "app/kept_headers.h"
#include "scan/check_report.h"
#include "scan/rule_table.h"

// Scores a kept message's raw header block (a decoded copy of it) against `table`, and
// notes the table's version and the rules that fired.
void JudgeKept(const RuleTable& table, KeptMessage& message);

// The unwanted message that a judged block stands for, as the lists show it: its
// sender and subject decoded (or the stand-ins for missing ones), its date, its score
// and the rules behind it. Its fields (4 KiB) and its block (64 KiB, cut at a line
// end) are bounded. `table` must be the one it was judged with.
UnwantedMessage DescribeUnwanted(const RuleTable& table, int number, const KeptMessage& message);
