#include "scan/rule_groups.h"

#include <algorithm>
#include <atomic>
#include <mutex>

namespace {

std::atomic<std::uint64_t> nextSerial{1};

// The fields a rule of this header code scores; the other kinds never score.
std::vector<FieldKind> FieldsOf(int headerCode) {
    switch (headerCode) {
        case kHeaderReceived:
            return {FieldKind::kReceived};
        case kHeaderFrom:
            return {FieldKind::kFrom};
        case kHeaderTo:
            return {FieldKind::kTo};
        case kHeaderCc:
            return {FieldKind::kCc};
        case kHeaderRecipient:
            return {FieldKind::kTo, FieldKind::kCc};
        case kHeaderSubject:
            return {FieldKind::kSubject};
        default:
            return {};
    }
}

// Whether a contains text may refer to a group by number or name, or call one: its
// groups are numbered after the prefix's, so it cannot stand without it.
bool RefersToGroups(std::string_view text) {
    for (std::size_t i = 0; i + 1 < text.size(); ++i) {
        if (text[i] == '\\') {
            const char next = text[i + 1];
            if ((next >= '1' && next <= '9') || next == 'g' || next == 'k') {
                return true;
            }
            ++i;  // an escaped character
        } else if (text[i] == '(' && text[i + 1] == '?' && i + 2 < text.size()) {
            const char kind = text[i + 2];
            if (kind == 'P' || kind == '(' || kind == 'R' || kind == '&' || kind == '+' ||
                (kind >= '0' && kind <= '9') ||
                (kind == '-' && i + 3 < text.size() && text[i + 3] >= '0' && text[i + 3] <= '9')) {
                return true;
            }
        }
    }
    return false;
}

// What the prefilter is given for a rule. A rule built on one of the names the rule
// dialog offers reads "^Name:(.*)" and its contains text; the text alone matches
// wherever the whole pattern does (it sees the same field, and an alternation only
// widens), and is far cheaper to compile. Anything else is given whole.
std::string_view PrefilterText(std::string_view source) {
    static constexpr std::string_view kPrefixes[] = {
        "^Received:(.*)", "^From:(.*)", "^To:(.*)", "^Cc:(.*)", "^Subject:(.*)", "^(To:|Cc:)(.*)"};
    for (const std::string_view prefix : kPrefixes) {
        if (source.substr(0, prefix.size()) == prefix) {
            const std::string_view text = source.substr(prefix.size());
            return RefersToGroups(text) ? source : text;
        }
    }
    return source;
}

}  // namespace

RuleGroups::RuleGroups(const AppState& state, std::uint64_t version, bool usePrefilter)
    : version_(version), usesPrefilter_(usePrefilter), serial_(nextSerial++) {
    std::array<std::vector<Prefilter::Pattern>, kFieldKinds> patterns;
    for (std::uint32_t j = 0; j < state.ruleCount && j < kMaxRules; ++j) {
        const CompiledRule& rule = state.rules[j];
        if (rule.pattern == nullptr) {
            continue;
        }
        for (const FieldKind kind : FieldsOf(rule.headerCode)) {
            const auto k = static_cast<std::size_t>(kind);
            groups_[k].members.push_back(static_cast<int>(j));
            patterns[k].push_back({static_cast<int>(j), PrefilterText(rule.source)});
        }
    }
    for (std::size_t k = 0; k < kFieldKinds; ++k) {
        Group& group = groups_[k];
        if (!usePrefilter || group.members.empty()) {
            group.alwaysTried = group.members;
            continue;
        }
        group.prefilter = Prefilter::Build(patterns[k], group.alwaysTried);
        std::sort(group.alwaysTried.begin(), group.alwaysTried.end());
    }
}

std::shared_ptr<const RuleGroups> RuleGroups::Of(const AppState& state) {
    std::lock_guard lock(state.ruleGroupsMutex);
    const std::uint64_t version = state.rulesVersion.load();
    const bool prefilter = state.scoringPath.load() == ScoringPath::kPrefilter;
    const RuleGroups* current = state.ruleGroups.get();
    if (current == nullptr || current->version_ != version ||
        current->usesPrefilter_ != prefilter) {
        state.ruleGroups = std::make_shared<const RuleGroups>(state, version, prefilter);
    }
    return state.ruleGroups;
}

void RuleGroups::Prepare(Work& work) const {
    if (work.fittedTo == serial_) {
        return;
    }
    for (const Group& group : groups_) {
        if (group.prefilter) {
            work.scratch.Fit(*group.prefilter);
        }
    }
    work.fittedTo = serial_;
}

void RuleGroups::Match(FieldKind kind, const AppState& state, std::string_view text, Work& work,
                       std::vector<int>& matched, std::vector<int>& limited) const {
    const Group& group = groups_[static_cast<std::size_t>(kind)];
    const std::vector<int>* tried = &group.members;
    if (group.prefilter) {
        work.candidates.clear();
        if (group.prefilter->Scan(text, work.scratch, work.candidates)) {
            work.candidates.insert(work.candidates.end(), group.alwaysTried.begin(),
                                   group.alwaysTried.end());
            std::sort(work.candidates.begin(), work.candidates.end());
            tried = &work.candidates;
        }
    }
    for (const int j : *tried) {
        // A rule that gave up once in this message would give up again on the next of
        // a thousand Received fields: it is not tried again.
        if (std::find(limited.begin(), limited.end(), j) != limited.end()) {
            continue;
        }
        switch (work.matcher.Match(state.rules[j].pattern, text)) {
            case RuleMatcher::Outcome::kMatch:
                matched.push_back(j);
                break;
            case RuleMatcher::Outcome::kLimit:
                limited.push_back(j);
                break;
            case RuleMatcher::Outcome::kNoMatch:
                break;
        }
    }
}

RuleGroups::Figures RuleGroups::figures() const {
    Figures f;
    for (const Group& group : groups_) {
        f.alwaysTried += group.alwaysTried.size();
        if (group.prefilter) {
            f.exact += group.prefilter->exactCount();
            f.approximate += group.prefilter->approximateCount();
            f.databaseBytes += group.prefilter->DatabaseBytes();
        }
    }
    return f;
}
