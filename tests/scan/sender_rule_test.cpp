#include "scan/sender_rule.h"

#include <gtest/gtest.h>

#include <memory>

#include "scan/header_scorer.h"
#include "scan/rule_compiler.h"
#include "scan/rule_table.h"

namespace {

// Whether `rule` fires on a message whose only field is `fromLine`, by the real scorer.
bool Fires(const RuleEntry& rule, const std::string& fromLine) {
    const auto table = RuleTable::Build({{rule.header, rule.contains, 1}}, {});
    std::string block = fromLine + "\r\nSubject: x\r\n";
    return ScoreHeader(*table, block).score == 1;
}

std::string Address(std::string_view from) {
    return SenderAddress(from).value_or("(none)");
}

TEST(SenderRuleTest, FindsTheAddressAsTheWindowShowsIt) {
    EXPECT_EQ(Address("Alice <alice@example.com>"), "alice@example.com");
    EXPECT_EQ(Address("From: alice@example.com"), "alice@example.com");
    EXPECT_EQ(Address("alice@example.com (Alice at work)"), "alice@example.com");
    // A display name may hold brackets, commas and even an address of its own.
    EXPECT_EQ(Address("\"Smith, Bob [Sales] <bob@a.test>\" <Bob.Smith+news@Mail-Host.example.COM>"),
              "Bob.Smith+news@Mail-Host.example.COM");
    EXPECT_EQ(Address("Alice < alice@example.com >"), "alice@example.com");
    EXPECT_EQ(Address("Alice <alice@example.com"), "alice@example.com");  // cut short
    EXPECT_EQ(Address("Zoë <zoë@bücher.example>"), "zoë@bücher.example");
    for (const char* none : {"", "From: ", "(no address)", "undisclosed-recipients:;",
                             "Mailer Daemon <>", "Alice <alice>", "<@example.com>", "bob@",
                             "Bob <bob @example.com>", "Bob <bob@exa\x01mple.com>"}) {
        EXPECT_EQ(SenderAddress(none), std::nullopt) << none;
    }
}

TEST(SenderRuleTest, PatternsEscapeEveryMetacharacterAndLowerLetters) {
    EXPECT_EQ(EscapePattern("a\\^$.|?*+()[]{}-#/b"),
              "a\\\\\\^\\$\\.\\|\\?\\*\\+\\(\\)\\[\\]\\{\\}-#/b");
    EXPECT_EQ(SenderPattern("Bob.Smith+news@Mail-Host.example.COM"),
              "(?<=[\\s<:,])bob\\.smith\\+news@mail-host\\.example\\.com(?=[\\s>,;]|$)");
    EXPECT_EQ(DomainPattern("Bob.Smith+news@Mail-Host.example.COM"),
              "@mail-host\\.example\\.com(?=[\\s>,;]|$)");
    // An address full of special characters still means only itself.
    const RuleEntry odd =
        *MakeSenderRule(SenderRuleKind::kBlockSender, "<a|b(c)*{2}^$?@[192.0.2.1]>", 50);
    EXPECT_TRUE(CheckRulePattern(odd.header, odd.contains).ok);
    EXPECT_TRUE(Fires(odd, "From: X <a|b(c)*{2}^$?@[192.0.2.1]>"));
    EXPECT_FALSE(Fires(odd, "From: X <a@[192.0.2.1]>"));
    EXPECT_FALSE(Fires(odd, "From: X <b(cc)@[192x0x2x1]>"));
}

TEST(SenderRuleTest, RulesMatchTheAddressOrDomainAndNothingLonger) {
    const std::string from = "From: \"Alice [Sales]\" <Alice.B+x@Example.com>";
    const RuleEntry sender = *MakeSenderRule(SenderRuleKind::kBlockSender, from, 50);
    const RuleEntry domain = *MakeSenderRule(SenderRuleKind::kAllowDomain, from, 50);
    for (const char* same :
         {"From: \"Alice [Sales]\" <Alice.B+x@Example.com>", "From: alice.b+x@example.com",
          "From:ALICE.B+X@EXAMPLE.COM", "From: alice.b+x@example.com (Alice)",
          "From: bob@a.test, alice.b+x@example.com", "From: Al <alice.b+x@example.com> "}) {
        EXPECT_TRUE(Fires(sender, same)) << same;
        EXPECT_TRUE(Fires(domain, same)) << same;
    }
    for (const char* other :
         {"From: alice.b+x@example.com.evil.test", "From: <malice.b+x@example.com>",
          "From: alice.b-x@example.com", "From: alice.bx@example.com", "From: alice.b+x@example.co",
          "From: \"alice.b+x@example.com\" <spoof@evil.test>", "To: alice.b+x@example.com"}) {
        EXPECT_FALSE(Fires(sender, other)) << other;
    }
    EXPECT_TRUE(Fires(domain, "From: Bob <bob@example.com>"));
    for (const char* other : {"From: bob@notexample.com", "From: bob@sub.example.com",
                              "From: bob@example.com.evil.test", "From: bob@example-com.test"}) {
        EXPECT_FALSE(Fires(domain, other)) << other;
    }
}

TEST(SenderRuleTest, ListsWeightsAndRefusals) {
    const std::string from = "Alice <alice@example.com>";
    const struct {
        SenderRuleKind kind;
        RuleList list;
        const char* contains;
        int weight;
    } expected[] = {
        {SenderRuleKind::kBlockSender, RuleList::kBlock,
         "(?<=[\\s<:,])alice@example\\.com(?=[\\s>,;]|$)", 50},
        {SenderRuleKind::kBlockDomain, RuleList::kBlock, "@example\\.com(?=[\\s>,;]|$)", 50},
        {SenderRuleKind::kAllowSender, RuleList::kFriends,
         "(?<=[\\s<:,])alice@example\\.com(?=[\\s>,;]|$)", 100},
        {SenderRuleKind::kAllowDomain, RuleList::kFriends, "@example\\.com(?=[\\s>,;]|$)", 100},
    };
    for (const auto& want : expected) {
        EXPECT_EQ(ListOf(want.kind), want.list);
        const std::optional<RuleEntry> rule = MakeSenderRule(want.kind, from, 50);
        ASSERT_TRUE(rule.has_value());
        EXPECT_EQ(*rule, (RuleEntry{"From:", want.contains, want.weight}));
        EXPECT_EQ(MakeSenderRule(want.kind, "Mailer Daemon <>", 50), std::nullopt);
    }
    // A pattern past the 255 bytes a rule keeps is refused, not cut into another one.
    const std::string dotted(120, '.');
    EXPECT_EQ(MakeSenderRule(SenderRuleKind::kBlockSender, "<a" + dotted + "@example.com>", 50),
              std::nullopt);
    EXPECT_TRUE(MakeSenderRule(SenderRuleKind::kBlockDomain, "<a" + dotted + "@example.com>", 50));
}

}  // namespace
