#pragma once

#include <string>
#include <vector>

#include "scan/rule_table_builder.h"
#include "store/rule_list.h"

// One rule as a user would enter it.
struct BenchRule {
    RuleList list;
    std::string header;
    std::string contains;
    int weight;
};

// Rules of realistic shapes over every working header kind (and a few of the others),
// mostly Block; the same seed gives the same table.
std::vector<BenchRule> MakeRules(std::size_t count, unsigned seed);

// Raw header blocks as a server sends them: encoded words in From and Subject, 3 to 6
// folded Received fields, and the usual other fields. A share of them (0 to 1) has
// its Subject in another charset (KOI8-R, Shift_JIS, GB18030, ISO-8859-2) or in
// raw bytes that are not UTF-8.
std::vector<std::string> MakeHeaders(std::size_t count, unsigned seed, double foreignShare = 0);

void CompileAll(RuleTableBuilder& table, const std::vector<BenchRule>& rules, bool useJit);
