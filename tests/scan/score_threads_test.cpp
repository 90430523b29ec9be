// Two threads scoring with one rule table, as the scan worker and the window may: the
// table is built whole first, each thread keeps its own work area.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "app/app_state.h"
#include "scan/header_scorer.h"
#include "scan/rule_compiler.h"
#include "scan/rule_groups.h"
#include "scan/rule_table.h"
#include "scan/rule_table_builder.h"

namespace {

std::string Block(int i) {
    return "Received: from relay" + std::to_string(i % 7) + ".example.biz\r\n" + "From: sender" +
           std::to_string(i % 5) + "@example.org\r\n" + "Subject: offer number " +
           std::to_string(i) + "\r\n";
}

void AddRules(RuleTableBuilder& state) {
    state.Clear();
    CompileRule(state, RuleList::kBlock, "Received:", "relay[0-3]\\.example", 10);
    CompileRule(state, RuleList::kFriends, "From:", "sender[24]@", 30);
    CompileRule(state, RuleList::kBlock, "Subject:", "number \\d*7\\b", 25);
    CompileRule(state, RuleList::kBlock, "Subject:", "(\\w+) \\2", 5);  // PCRE2 alone
}

std::vector<int> Scores(const RuleTable& table) {
    std::vector<int> scores;
    for (int i = 0; i < 300; ++i) {
        std::string block = Block(i);
        scores.push_back(ScoreHeader(table, block).score);
    }
    return scores;
}

// Both with the databases compiled first and with them compiled aside while the
// threads already score on PCRE2 alone.
TEST(ScoreThreadsTest, ThreadsShareTheGroupsAndAgree) {
    RuleTableBuilder state;
    state.SetPath(ScoringPath::kReference);
    AddRules(state);
    const std::vector<int> expected = Scores(state.Table());
    state.SetPath(ScoringPath::kPrefilter);
    RuleGroups::SetPrefilterFloor(1);  // every group gets a database, compiled in parallel
    for (const PrefilterCompile compile :
         {PrefilterCompile::kBeforeUse, PrefilterCompile::kAside}) {
        state.SetPrefilterCompile(compile);
        AddRules(state);
        std::vector<int> got[2];
        const RuleTable& table = state.Table();
        std::thread a([&] { got[0] = Scores(table); });
        std::thread b([&] { got[1] = Scores(table); });
        a.join();
        b.join();
        EXPECT_EQ(got[0], expected);
        EXPECT_EQ(got[1], expected);
        table.AwaitPrefilters();
        EXPECT_EQ(Scores(table), expected);
    }
    RuleGroups::SetPrefilterFloor(RuleGroups::kPrefilterFloor);
}

// A check takes the table once and scores every block with it while rule edits swap
// newer tables in: its scores stay those of its own table, and the swapped-out tables
// are freed by whichever side lets go last.
TEST(ScoreThreadsTest, ACheckKeepsItsTableWhileEditsSwapTables) {
    AppState state;
    const std::vector<RuleEntry> block = {{"Subject:", "number \\d*7\\b", 25},
                                          {"Received:", "relay[0-3]\\.example", 10}};
    state.PublishRules(RuleTable::Build({}, block));
    const std::shared_ptr<const RuleTable> taken = state.CurrentRules();
    std::atomic<bool> done{false};
    std::atomic<int> swaps{0};
    std::thread edits([&] {
        for (int i = 0; !done; ++i) {
            const std::vector<RuleEntry> friends = {
                {"From:", "sender" + std::to_string(i % 5), 30}};
            state.PublishRules(RuleTable::Build(friends, {}));
            ++swaps;
        }
    });
    // Scored until edits have swapped tables many times, however fast either side is.
    int wrong = 0;
    for (int i = 0; i < 300 || swaps < 20; ++i) {
        std::string text = Block(i);
        const int want = (i % 7 <= 3 ? -10 : 0) + (std::to_string(i).back() == '7' ? -25 : 0);
        wrong += ScoreHeader(*taken, text).score == want ? 0 : 1;
    }
    done = true;
    edits.join();
    EXPECT_EQ(wrong, 0);
    EXPECT_NE(state.CurrentRules()->version(), taken->version());
    EXPECT_EQ(state.CurrentRules()->size(), 1u);
}

}  // namespace
