#include "scan/header_fields.h"

#include <gtest/gtest.h>

namespace {

std::string Decoded(std::string block) {
    DecodeEncodedWords(block);
    return block;
}

// --- Decoding ---------------------------------------------------------------------

TEST(DecodeEncodedWordsTest, BlockWithoutMarkerIsLeftAlone) {
    std::string block = "Subject: plain =3D text?=\r\n";
    EXPECT_EQ(DecodeEncodedWords(block), std::nullopt);
    EXPECT_EQ(block, "Subject: plain =3D text?=\r\n");
}

TEST(DecodeEncodedWordsTest, ReturnsTheNewEnd) {
    std::string block = "Subject: =?ISO-8859-1?Q?Caf=E9_au_lait?=\r\n";
    EXPECT_EQ(DecodeEncodedWords(block), 23u);
    EXPECT_EQ(block, "Subject: Caf\xE9 au lait\r\n");  // no charset conversion
}

TEST(DecodeEncodedWordsTest, Words) {
    const std::pair<const char*, const char*> cases[] = {
        // Q: '=' without two hex digits stays, also at the very end of the block.
        {"=?x?q?a=4g=?=b", "a=4g=b"},
        {"=?x?Q?a=", "a="},
        {"=?x?Q?a=4", "a=4"},
        // B: a complete last group needs no padding; the word ends at its marker.
        {"Subject: =?utf-8?B?SGVsbG8=?= world", "Subject: Hello world"},
        {"=?utf-8?b?SGVs?=!", "Hel!"},
        {"[=?x?B?SGVsbG8=", "[Hello"},
        // A broken B word vanishes: incomplete group, blank inside, empty.
        {"[=?x?B?SGVsbG?=]", "[]"},
        {"[=?x?B?SGVs bG8=?=]", "[]"},
        {"[=?x?B?"
         "?=]",
         "[]"},
        // White space between adjacent words goes, other text stays.
        {"S: =?a?q?one?=\r\n =?a?b?dHdv?=\r\n", "S: onetwo\r\n"},
        {"S: =?a?q?one?==?a?q?two?=", "S: onetwo"},
        {"S: =?a?q?one?= and =?a?q?two?=", "S: one and two"},
        // An unknown encoding keeps its text.
        {"S: =?a?x?keep=41_me?= end", "S: keep=41_me end"},
        // A word lives within its field: a stray "=?" stays as text, and a later
        // field's "?b?" or "?=" neither opens nor closes it.
        {"Subject: 50% =? off\r\nFrom: a\r\n", "Subject: 50% =? off\r\nFrom: a\r\n"},
        {"tail=?", "tail=?"},
        {"Subject: Save 50% =?\r\nFrom: friend@example.org\r\nTo: me\r\n"
         "Received: from x\r\nX-Tag: ?b?SGk=?=\r\n",
         "Subject: Save 50% =?\r\nFrom: friend@example.org\r\nTo: me\r\n"
         "Received: from x\r\nX-Tag: ?b?SGk=?=\r\n"},
        {"Subject: what=?\r\nFrom: who?q?x=41?= rest\r\n",
         "Subject: what=?\r\nFrom: who?q?x=41?= rest\r\n"},
        // An unclosed word ends with its field; a fold continues it, a new field not.
        {"S: =?a?q?x=41\r\nFrom: b?= c\r\n", "S: xA\r\nFrom: b?= c\r\n"},
        {"S: =?a?q?one\r\n two?= three\r\nT: =?a\r\n ?q?x?=\r\n",
         "S: one\r\n two three\r\nT: x\r\n"},
        {"S: =?a?q?one?=\r\n=?a?q?two?=\r\n", "S: one\r\ntwo\r\n"},
    };
    for (const auto& [in, out] : cases) {
        EXPECT_EQ(Decoded(in), out) << in;
    }
}

TEST(DecodeEncodedWordsTest, TextEndsAtFirstNul) {
    std::string block("=?a?q?x?=", 9);
    block += std::string("\0=?a?q?y?=", 10);
    EXPECT_EQ(DecodeEncodedWords(block), 1u);
    EXPECT_EQ(block, "x");
}

TEST(DecodeBase64Test, Rules) {
    char out[16] = {};
    EXPECT_EQ(DecodeBase64(out, "\rSGVs"), 0);
    EXPECT_EQ(DecodeBase64(out, "+ SGk="), 2);
    EXPECT_EQ(std::string(out, 2), "Hi");
    EXPECT_EQ(DecodeBase64(out, "SGk=SGk="), 2);  // padding ends the text
    EXPECT_EQ(DecodeBase64(out, "SGVs\r\nbG8="), 3);
    EXPECT_EQ(DecodeBase64(out, "SG"), -1);
    EXPECT_EQ(DecodeBase64(out, ""), -1);
    EXPECT_EQ(DecodeBase64(out, "S\xC7Vs"), -1);
}

TEST(HexPairValueTest, DigitsOfBothCases) {
    unsigned char value = 7;
    EXPECT_EQ(HexPairValue('e', '9', value), 0);
    EXPECT_EQ(value, 0xE9);
    EXPECT_EQ(HexPairValue('F', 'f', value), 0);
    EXPECT_EQ(value, 0xFF);
    EXPECT_EQ(HexPairValue('g', '0', value), 1);
    EXPECT_EQ(HexPairValue('0', '\0', value), 1);
    EXPECT_EQ(value, 0xFF);
}

// --- Field search, cut and the Received walk ----------------------------------------

TEST(FindHeaderFieldTest, CaselessAtLineStartsOnly) {
    const std::string block =
        "X-From: no\r\nTo-Do: no\r\nFROM: Someone <A@B>\r\n Subject: folded\r\nTo: b\r\n";
    EXPECT_EQ(FindHeaderField(block, "From:"), "FROM: Someone <A@B> Subject: folded");
    EXPECT_EQ(FindHeaderField(block, "To:"), "To: b");
    EXPECT_EQ(FindHeaderField(block, "Subject:"), std::nullopt);
    EXPECT_EQ(FindHeaderField(block, ""), std::nullopt);
}

TEST(FindHeaderFieldTest, FoldingUnfoldedWithBlankKept) {
    const std::string block = "Subject: one\r\n\ttwo\r\n  three\r\nFrom: x\r\n";
    EXPECT_EQ(FindHeaderField(block, "subject:"), "Subject: one\ttwo  three");
}

TEST(FindHeaderFieldTest, LastLineWithoutCrlf) {
    EXPECT_EQ(FindHeaderField("A: 1\r\nFrom: last", "From:"), "From: last");
    EXPECT_EQ(FindHeaderField("From: x\r\n", "From:"), "From: x");
    EXPECT_EQ(FindHeaderField("From: x\r\n\t", "From:"), "From: x\t");
    EXPECT_EQ(FindHeaderField("From", "From:"), std::nullopt);
    // A lone LF does not end a line.
    EXPECT_EQ(FindHeaderField("A: 1\nFrom: x", "From:"), std::nullopt);
}

TEST(CutHeaderFieldTest, LeavesAnEmptyLine) {
    std::string block = "Received: a\r\n b\r\nFrom: x\r\nReceived: c\r\n";
    EXPECT_EQ(CutHeaderField(block, "Received:"), "Received: a b");
    EXPECT_EQ(block, "\r\nFrom: x\r\nReceived: c\r\n");
    EXPECT_EQ(CutHeaderField(block, "Received:"), "Received: c");
    EXPECT_EQ(block, "\r\nFrom: x\r\n\r\n");
    EXPECT_EQ(CutHeaderField(block, "Received:"), std::nullopt);
    EXPECT_EQ(block, "\r\nFrom: x\r\n\r\n");
    EXPECT_EQ(FindHeaderField(block, "From:"), "From: x");
}

TEST(CutHeaderFieldTest, ReceivedWalk) {
    std::string block =
        "Received: one\r\nSubject: s\r\nReceived: two\r\n\tfolded\r\nReceived: three\r\nTo: t";
    std::vector<std::string> seen;
    while (auto field = FindHeaderField(block, "Received:")) {
        seen.push_back(*field);
        CutHeaderField(block, "Received:");
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"Received: one", "Received: two\tfolded",
                                              "Received: three"}));
    EXPECT_EQ(FindHeaderField(block, "Subject:"), "Subject: s");
    EXPECT_EQ(FindHeaderField(block, "To:"), "To: t");
}

}  // namespace
