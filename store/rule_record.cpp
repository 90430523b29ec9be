#include "store/rule_record.h"

#include <algorithm>
#include <cstdio>

#include "store/data_lines.h"

namespace {

constexpr char kUnitSeparator = 0x1F;
constexpr std::size_t kHeaderStart = 5;  // after the kind digit and the weight
constexpr std::size_t kMaxHeaderLength = 99;
constexpr int kMinWeight = -999;  // the widest values four characters hold
constexpr int kMaxWeight = 9999;

}  // namespace

std::string BuildRuleRecord(RuleList list, const RuleEntry& rule) {
    // "%04d" pads after the sign: 100 gives 0100 and -5 gives -005, both of which
    // read back as the same number. Wider values would shift the header.
    char weight[8];
    std::snprintf(weight, sizeof weight, "%04d", std::clamp(rule.weight, kMinWeight, kMaxWeight));
    std::string record;
    record += list == RuleList::kBlock ? '1' : '0';
    record.append(weight, 4);
    record += rule.header;
    record += kUnitSeparator;
    record += rule.contains;
    return record;
}

bool ParseRuleRecord(const std::string& record, RuleEntry& rule) {
    if (record.size() <= kHeaderStart) {
        return false;
    }
    const std::size_t separator = record.find(kUnitSeparator, kHeaderStart);
    if (separator == std::string::npos || separator - kHeaderStart > kMaxHeaderLength) {
        return false;
    }
    rule.weight = ParseDecimalField(record.data() + 1, 4);
    rule.header.assign(record, kHeaderStart, separator - kHeaderStart);
    rule.contains.assign(record, separator + 1);
    return true;
}
