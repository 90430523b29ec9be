#include "scan/rule_groups.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <system_error>
#include <thread>

#include "app/app_state.h"
#include "scan/header_fields.h"

namespace {

std::atomic<std::uint64_t> nextSerial{1};
std::atomic<std::size_t> prefilterFloor{RuleGroups::kPrefilterFloor};

constexpr std::size_t kNoGroup = SIZE_MAX;

// The cache file of each group's database: one per group, so an edit to one field's
// rules leaves the others' files as they are.
constexpr const char* kCacheNames[] = {"prefilter-received", "prefilter-from",
                                       "prefilter-to",       "prefilter-cc",
                                       "prefilter-subject",  "prefilter-recipient"};

// The group a rule of this header code belongs to (the last is the Recipient rules'),
// or kNoGroup for the kinds that never score.
std::size_t GroupOf(int headerCode) {
    switch (headerCode) {
        case kHeaderReceived:
            return static_cast<std::size_t>(FieldKind::kReceived);
        case kHeaderFrom:
            return static_cast<std::size_t>(FieldKind::kFrom);
        case kHeaderTo:
            return static_cast<std::size_t>(FieldKind::kTo);
        case kHeaderCc:
            return static_cast<std::size_t>(FieldKind::kCc);
        case kHeaderRecipient:
            return kFieldKinds;
        case kHeaderSubject:
            return static_cast<std::size_t>(FieldKind::kSubject);
        default:
            return kNoGroup;
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

RuleGroups::RuleGroups(const RuleTable& table, bool usePrefilter, std::size_t prefilterFloor,
                       PrefilterCompile compile)
    : serial_(nextSerial++) {
    GroupPatterns patterns;
    for (std::uint32_t j = 0; j < table.size(); ++j) {
        const CompiledRule& rule = table[j];
        const std::size_t g = GroupOf(rule.headerCode);
        if (rule.pattern == nullptr || g == kNoGroup) {
            continue;
        }
        groups_[g].members.push_back(static_cast<int>(j));
        // The prefilter scans the text as shown; a byte-wise rule sees other bytes.
        if ((rule.options & PCRE2_UTF) != 0) {
            patterns[g].push_back({static_cast<int>(j), PrefilterText(rule.source)});
        } else {
            groups_[g].byteWise.push_back(static_cast<int>(j));
        }
    }
    for (std::size_t kind = 0; kind < kFieldKinds; ++kind) {
        everyRule_[kind] = groups_[kind].members;
        if (kind == static_cast<std::size_t>(FieldKind::kTo) ||
            kind == static_cast<std::size_t>(FieldKind::kCc)) {
            const std::vector<int>& shared = groups_[kRecipientGroup].members;
            everyRule_[kind].insert(everyRule_[kind].end(), shared.begin(), shared.end());
            std::sort(everyRule_[kind].begin(), everyRule_[kind].end());
        }
    }
    for (Group& group : groups_) {
        group.alwaysTried = group.members;
    }
    if (!usePrefilter || compile == PrefilterCompile::kBeforeUse) {
        PutPrefiltersIn(usePrefilter ? patterns : GroupPatterns{}, prefilterFloor, 0);
        return;
    }
    const auto policy =
        compile == PrefilterCompile::kAside ? std::launch::async : std::launch::deferred;
    try {
        compiled_ = std::async(policy, [this, patterns = std::move(patterns), prefilterFloor] {
            // One processor is left to the check that scores meanwhile.
            PutPrefiltersIn(patterns, prefilterFloor, 1);
        });
    } catch (const std::system_error&) {
        PutPrefiltersIn(patterns, prefilterFloor, 0);  // no thread to spare: compiled here
    }
}

void RuleGroups::AwaitPrefilters() const {
    if (compiled_.valid()) {
        compiled_.wait();
    }
}

void RuleGroups::PutPrefiltersIn(const GroupPatterns& patterns, std::size_t prefilterFloor,
                                 unsigned sparedCpus) {
    BuildPrefilters(patterns, prefilterFloor, sparedCpus);
    for (Group& group : groups_) {
        if (group.prefilter) {
            group.alwaysTried.insert(group.alwaysTried.end(), group.byteWise.begin(),
                                     group.byteWise.end());
            std::sort(group.alwaysTried.begin(), group.alwaysTried.end());
        }
    }
    prefiltersIn_.store(true, std::memory_order_release);
}

void RuleGroups::BuildPrefilters(const GroupPatterns& patterns, std::size_t prefilterFloor,
                                 unsigned sparedCpus) {
    std::vector<std::size_t> jobs;
    for (std::size_t g = 0; g < kGroupCount; ++g) {
        if (!patterns[g].empty() && groups_[g].members.size() >= prefilterFloor) {
            jobs.push_back(g);
        }
    }
    // Each job writes its own group only, so the threads share nothing but the counter.
    std::atomic<std::size_t> next{0};
    const auto work = [&] {
        for (std::size_t i = next++; i < jobs.size(); i = next++) {
            Group& group = groups_[jobs[i]];
            group.alwaysTried.clear();
            group.prefilter =
                Prefilter::Build(patterns[jobs[i]], group.alwaysTried, kCacheNames[jobs[i]]);
            std::sort(group.alwaysTried.begin(), group.alwaysTried.end());
        }
    };
    const std::size_t cpus =
        std::max(1u, std::thread::hardware_concurrency() -
                         std::min(sparedCpus, std::thread::hardware_concurrency()));
    std::vector<std::thread> helpers;
    for (std::size_t t = 1; t < std::min(cpus, jobs.size()); ++t) {
        helpers.emplace_back(work);
    }
    work();
    for (std::thread& helper : helpers) {
        helper.join();
    }
}

void RuleGroups::SetPrefilterFloor(std::size_t floor) {
    prefilterFloor = floor;
}

std::size_t RuleGroups::PrefilterFloor() {
    return prefilterFloor.load();
}

void RuleGroups::Prepare(Work& work) const {
    if (work.fittedTo == serial_ || !prefiltersIn_.load(std::memory_order_acquire)) {
        return;
    }
    for (const Group& group : groups_) {
        if (group.prefilter) {
            work.scratch.Fit(*group.prefilter);
        }
    }
    work.fittedTo = serial_;
}

void RuleGroups::AppendCandidates(const Group& group, std::string_view text, Work& work) const {
    const std::size_t before = work.candidates.size();
    if (group.prefilter && group.prefilter->Scan(text, work.scratch, work.candidates)) {
        work.candidates.insert(work.candidates.end(), group.alwaysTried.begin(),
                               group.alwaysTried.end());
    } else {
        work.candidates.resize(before);  // a failed scan may have named some: try them all
        work.candidates.insert(work.candidates.end(), group.members.begin(), group.members.end());
    }
}

const std::vector<int>& RuleGroups::Tried(FieldKind kind, std::string_view text, Work& work) const {
    if (work.fittedTo != serial_) {
        return everyRule_[static_cast<std::size_t>(kind)];  // the databases are not in yet
    }
    const Group& own = groups_[static_cast<std::size_t>(kind)];
    const bool recipients = kind == FieldKind::kTo || kind == FieldKind::kCc;
    const Group* shared = recipients ? &groups_[kRecipientGroup] : nullptr;
    if (shared == nullptr || shared->members.empty()) {
        if (!own.prefilter) {
            return own.members;
        }
        shared = nullptr;
    } else if (own.members.empty() && !shared->prefilter) {
        return shared->members;
    }
    work.candidates.clear();
    AppendCandidates(own, text, work);
    if (shared != nullptr) {
        AppendCandidates(*shared, text, work);
    }
    std::sort(work.candidates.begin(), work.candidates.end());
    return work.candidates;
}

void RuleGroups::Match(FieldKind kind, const RuleTable& table, std::string_view text, Work& work,
                       std::vector<int>& matched, std::vector<int>& limited) const {
    // Checked once per field: the prefilter's Unicode mode is undefined on other input.
    std::string_view shown = text;
    if (!IsValidUtf8(text)) {
        work.shown.clear();
        AppendWithReplacement(text, work.shown);
        shown = work.shown;
    }
    const std::vector<int>* tried = &Tried(kind, shown, work);
    for (const int j : *tried) {
        // A rule that gave up once in this message would give up again on the next of
        // a thousand Received fields: it is not tried again.
        if (std::find(limited.begin(), limited.end(), j) != limited.end()) {
            continue;
        }
        const CompiledRule& rule = table[static_cast<std::size_t>(j)];
        const bool unicode = (rule.options & PCRE2_UTF) != 0;
        switch (work.matcher.Match(rule.pattern, unicode ? shown : text)) {
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
    AwaitPrefilters();
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

std::size_t RuleGroups::LargestGroup() const {
    std::size_t largest = 0;
    for (const Group& group : groups_) {
        largest = std::max(largest, group.members.size());
    }
    return largest;
}
