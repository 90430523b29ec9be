#include "scan/header_scorer.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cstring>
#include <string_view>
#include <utility>

#include "scan/header_fields.h"
#include "scan/reference_scorer.h"
#include "scan/rule_groups.h"

namespace {

// What one thread keeps between messages: the matcher's work area and the lists of
// matching rules, so a message costs no allocation once they have grown.
struct ThreadWork {
    RuleGroups::Work work;
    std::vector<int> received, from, to, cc, subject;
};

ThreadWork& WorkOfThisThread() {
    thread_local ThreadWork work;
    return work;
}

// The running score, and the rules that went into it when the caller asks.
struct Tally {
    int score;
    std::vector<int>* fired;

    // Thousands of Received fields could otherwise overflow the score.
    void Add(int rule, int weight) {
        int sum = 0;
        if (__builtin_add_overflow(score, weight, &sum)) {
            sum = weight > 0 ? INT_MAX : INT_MIN;
        }
        score = sum;
        if (fired != nullptr) {
            fired->push_back(rule);
        }
    }
};

// The fields scored besides Received, in the order of kFieldNames.
enum FieldSlot { kSubjectSlot, kFromSlot, kToSlot, kCcSlot, kSlots };
constexpr std::string_view kFieldNames[kSlots] = {"Subject:", "From:", "To:", "Cc:"};
using Fields = std::array<std::optional<std::string>, kSlots>;

void MatchField(const RuleGroups& groups, FieldKind kind, const RuleTable& table,
                const std::optional<std::string>& field, ThreadWork& t, std::vector<int>& matched,
                ScoreResult& result) {
    matched.clear();
    if (field) {
        groups.Match(kind, table, *field, t.work, matched, result.limitedRules);
    }
}

// Every Received field is scored, first to last, and cut from the block (its line end
// stays), as CutHeaderField would cut them one by one. One walk over the block and
// one move of what stays: thousands of fields cost no more than their bytes.
void ScoreReceived(const RuleGroups& groups, const RuleTable& table, std::string& block,
                   ThreadWork& t, Tally& tally, ScoreResult& result) {
    static constexpr std::string_view kReceived = "received:";
    const std::string_view text(block.c_str());
    std::vector<std::pair<std::size_t, std::size_t>> cuts;
    std::size_t p = 0;
    while (p < text.size()) {
        if (StartsWithCaseless(text, p, kReceived)) {
            const std::size_t e = FoldedFieldEnd(text, p);
            std::optional<std::string> field = UnfoldedField(text, p, e);
            MatchField(groups, FieldKind::kReceived, table, field, t, t.received, result);
            for (const int j : t.received) {
                tally.Add(j, table[static_cast<std::size_t>(j)].weight);
            }
            cuts.emplace_back(p, e);
            p = e;
        }
        const std::size_t crlf = text.find("\r\n", p);
        p = crlf == std::string_view::npos ? text.size() : crlf + 2;
    }
    if (cuts.empty()) {
        return;
    }
    std::size_t w = cuts.front().first;
    for (std::size_t i = 0; i < cuts.size(); ++i) {
        const std::size_t from = cuts[i].second;
        const std::size_t to = i + 1 < cuts.size() ? cuts[i + 1].first : text.size();
        std::memmove(block.data() + w, block.data() + from, to - from);
        w += to - from;
    }
    block.resize(w);
}

// The matching rules' weights in table order, a rule's From, To and Cc fields before
// its Subject. The score is looked at after each rule's From, To and Cc fields, and a
// score of exactly 100 there ends the pass; between two matching rules it cannot
// change, so one look at the last rule passed stands for all of them.
void SumInTableOrder(const RuleTable& table, const ThreadWork& t, Tally& tally) {
    std::size_t f = 0, to = 0, cc = 0, s = 0;
    auto head = [](const std::vector<int>& v, std::size_t i) {
        return i < v.size() ? v[i] : INT_MAX;
    };
    auto take = [&](const std::vector<int>& v, std::size_t& i, int j) {
        if (head(v, i) == j) {
            tally.Add(j, table[static_cast<std::size_t>(j)].weight);
            ++i;
        }
    };
    int nextLook = 0;  // the first rule whose look at the score is still to come
    for (;;) {
        const int j =
            std::min({head(t.from, f), head(t.to, to), head(t.cc, cc), head(t.subject, s)});
        if (j == INT_MAX || (nextLook < j && tally.score == 100)) {
            return;
        }
        take(t.from, f, j);
        take(t.to, to, j);
        take(t.cc, cc, j);
        if (tally.score == 100) {
            return;
        }
        take(t.subject, s, j);
        nextLook = j + 1;
    }
}

ScoreResult ScoreGrouped(const RuleTable& table, std::string& block, std::vector<int>* firedRules) {
    const RuleGroups* groups = &table.groups();
    ThreadWork& t = WorkOfThisThread();
    groups->Prepare(t.work);

    Fields fields;
    FindHeaderFields(block, kFieldNames, fields);

    ScoreResult result;
    Tally tally{0, firedRules};
    ScoreReceived(*groups, table, block, t, tally, result);
    MatchField(*groups, FieldKind::kFrom, table, fields[kFromSlot], t, t.from, result);
    MatchField(*groups, FieldKind::kTo, table, fields[kToSlot], t, t.to, result);
    MatchField(*groups, FieldKind::kCc, table, fields[kCcSlot], t, t.cc, result);
    MatchField(*groups, FieldKind::kSubject, table, fields[kSubjectSlot], t, t.subject, result);
    SumInTableOrder(table, t, tally);
    result.score = tally.score;
    result.from = std::move(fields[kFromSlot]);
    result.subject = std::move(fields[kSubjectSlot]);
    return result;
}

}  // namespace

ScoreResult ScoreHeader(const RuleTable& table, std::string& block, std::vector<int>* firedRules) {
    if (firedRules != nullptr) {
        firedRules->clear();
    }
    if (table.path() == ScoringPath::kReference) {
        return ScoreHeaderReference(table, block, firedRules);
    }
    return ScoreGrouped(table, block, firedRules);
}
