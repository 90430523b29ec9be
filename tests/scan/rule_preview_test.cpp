#include "scan/rule_preview.h"
#include "scan/rule_table_builder.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "scan/header_verdict.h"
#include "scan/preview_runner.h"
#include "scan/rule_compiler.h"

namespace {

KeptMessage Kept(std::string uidl, std::string block) {
    KeptMessage message;
    message.uidl = std::move(uidl);
    message.headerBlock = std::move(block);
    return message;
}

// Three kept blocks: a prize mail, a work mail whose "Prize" is only there once its
// encoded word is decoded, and a lunch note that today's Block rule flags.
std::vector<KeptMessage> KeptBlocks() {
    return {Kept("1",
                 "From: Prize Desk <win@lottery.example>\r\n"
                 "Subject: You have won a prize\r\n\r\n"),
            Kept("2",
                 "From: Boss <boss@work.example>\r\n"
                 "Subject: =?UTF-8?Q?Pr=69ze_meeting?=\r\n\r\n"),
            Kept("3", "From: Pal <pal@home.example>\r\nSubject: Lunch\r\n\r\n")};
}

const RuleSet kToday{{{"From:", "work\\.example", 30}}, {{"Subject:", "lunch", 50}}};

TEST(RulePreviewTest, CountsMatchesAndVerdictChanges) {
    const std::vector<KeptMessage> kept = KeptBlocks();

    // A new Block rule catches both prize mails: the work mail's 30 cannot outweigh it.
    const CandidateRule prize{RuleList::kBlock, {"Subject:", "prize", 50}, std::nullopt};
    RulePreview preview = PreviewRule(kToday, prize, kept);
    ASSERT_TRUE(preview.pattern.ok);
    EXPECT_EQ(preview.kept, 3u);
    EXPECT_EQ(preview.matches, 2u);
    ASSERT_EQ(preview.firstMatches.size(), 2u);
    EXPECT_EQ(preview.firstMatches[0].from, "Prize Desk <win@lottery.example>");
    EXPECT_EQ(preview.firstMatches[0].subject, "You have won a prize");
    EXPECT_EQ(preview.firstMatches[1].subject, "=?UTF-8?Q?Pr=69ze_meeting?=");  // as sent
    EXPECT_EQ(VerdictChangeText(preview), "2 more messages would be unwanted.");
    EXPECT_EQ(PreviewRule(kToday, prize, kept, 1).firstMatches.size(), 1u);

    // Editing the lunch rule into one that matches nothing frees the lunch note.
    CandidateRule edit{RuleList::kBlock, {"Subject:", "nothing here", 50}, 0};
    preview = PreviewRule(kToday, edit, kept);
    EXPECT_EQ(preview.matches, 0u);
    EXPECT_EQ(VerdictChangeText(preview), "1 message would no longer be unwanted.");

    // Editing it into the prize rule does both.
    edit.rule.contains = "prize";
    EXPECT_EQ(VerdictChangeText(PreviewRule(kToday, edit, kept)),
              "2 more messages would be unwanted. 1 message would no longer be unwanted.");

    // A Friends rule that matches without turning any verdict.
    const CandidateRule friends{RuleList::kFriends, {"From:", "home", 10}, std::nullopt};
    preview = PreviewRule(kToday, friends, kept);
    EXPECT_EQ(preview.matches, 1u);
    EXPECT_EQ(VerdictChangeText(preview), "No verdict would change.");

    preview = PreviewRule(kToday, prize, {});
    EXPECT_EQ(preview.kept, 0u);
    EXPECT_EQ(VerdictChangeText(preview), "No verdict would change.");
}

TEST(RulePreviewTest, BadPatternSaysWhereAndScoresNothing) {
    const CandidateRule bad{RuleList::kBlock, {"Subject:", "a(b|c", 50}, std::nullopt};
    const RulePreview preview = PreviewRule(kToday, bad, KeptBlocks());
    EXPECT_FALSE(preview.pattern.ok);
    EXPECT_EQ(preview.pattern.message, "missing closing parenthesis");
    EXPECT_EQ(preview.pattern.offset, 5);
    EXPECT_EQ(preview.kept, 0u);
}

// Typing on while a preview scores: the older one stops at its next message and only
// the newest is told; a runner let go in the middle tells nothing.
// A rule the matchers cannot settle is told, not silently counted as no match: in
// the preview and in what the window and the check show of the message; a rule the
// retry without backtracking settles is not.
TEST(RulePreviewTest, ARuleThatNeedsTooManyStepsIsShown) {
    const std::string hostile = "Subject: " + std::string(40, 'a') + "!\r\n\r\n";
    const std::vector<KeptMessage> kept = {Kept("1", hostile), Kept("2", "Subject: hi\r\n\r\n")};
    CandidateRule backReference{RuleList::kBlock, {"Subject:", "((a|aa)+)\\1c", 10}, {}};
    RulePreview preview = PreviewRule(kToday, backReference, kept);
    EXPECT_EQ(preview.limited, 1u);
    EXPECT_EQ(LimitedText(preview),
              "This rule needs too many steps on 1 of the messages; it counts as not matching "
              "there.");
    CandidateRule settled{RuleList::kBlock, {"Subject:", "(a|aa)+c|!", 10}, {}};
    preview = PreviewRule(kToday, settled, kept);
    EXPECT_EQ(preview.limited, 0u);
    EXPECT_EQ(preview.matches, 1u);
    EXPECT_EQ(LimitedText(preview), "");

    RuleTableBuilder rules;
    CompileRule(rules, RuleList::kBlock, "Subject:", "((a|aa)+)\\1c", 10);
    CompileRule(rules, RuleList::kBlock, "Subject:", "!", 5);
    KeptMessage message = kept[0];
    JudgeKept(rules.Table(), message);
    EXPECT_EQ(message.score, -5);
    const UnwantedMessage unwanted = DescribeUnwanted(rules.Table(), 1, message);
    ASSERT_EQ(unwanted.limited.size(), 1u);
    EXPECT_EQ(unwanted.limited[0].contains, "((a|aa)+)\\1c");
    EXPECT_EQ(unwanted.limited[0].weight, 10);
    ASSERT_EQ(unwanted.rules.size(), 1u);
}

TEST(RulePreviewTest, ANewerPreviewStopsTheOlder) {
    const CandidateRule prize{RuleList::kBlock, {"Subject:", "prize", 50}, std::nullopt};
    std::atomic<bool> raised{true};
    EXPECT_TRUE(PreviewRule(kToday, prize, KeptBlocks(), 3, &raised).stopped);
    std::vector<KeptMessage> small = KeptBlocks();
    small[2].account = 4;
    const RulePreview whose =
        PreviewRule(kToday, {RuleList::kBlock, {"Subject:", "lunch", 1}, {}}, small);
    ASSERT_EQ(whose.firstMatches.size(), 1u);
    EXPECT_EQ(whose.firstMatches[0].account, 4u);

    auto many = std::make_shared<std::vector<KeptMessage>>();
    for (int i = 0; i < 20000; ++i) {
        for (const KeptMessage& message : KeptBlocks()) {
            many->push_back(message);
        }
    }
    std::mutex mutex;
    std::condition_variable told;
    std::vector<std::string> reports;
    const auto report = [&](std::string name) {
        return [&, name](const RulePreview& preview) {
            std::lock_guard lock(mutex);
            reports.push_back(name + " " + std::to_string(preview.kept));
            told.notify_all();
        };
    };
    {
        PreviewRunner runner;
        runner.Run(kToday, prize, many, 3, report("older"));
        runner.Run(kToday, prize, std::make_shared<std::vector<KeptMessage>>(KeptBlocks()), 3,
                   report("newer"));
        std::unique_lock lock(mutex);
        ASSERT_TRUE(
            told.wait_for(lock, std::chrono::seconds(30), [&] { return !reports.empty(); }));
    }
    EXPECT_EQ(reports, std::vector<std::string>{"newer 3"});
    {
        PreviewRunner runner;
        runner.Run(kToday, prize, many, 3, report("let go"));
    }
    EXPECT_EQ(reports, std::vector<std::string>{"newer 3"});
}

}  // namespace
