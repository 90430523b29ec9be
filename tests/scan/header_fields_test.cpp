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

TEST(DecodeEncodedWordsTest, QWordKeepsBytesWithoutCharsetConversion) {
    std::string block = "Subject: =?ISO-8859-1?Q?Caf=E9_au_lait?=\r\n";
    const auto end = DecodeEncodedWords(block);
    EXPECT_EQ(block, "Subject: Caf\xE9 au lait\r\n");
    EXPECT_EQ(end, block.size());
}

TEST(DecodeEncodedWordsTest, QWordKeepsEqualsWithoutTwoHexDigits) {
    EXPECT_EQ(Decoded("=?x?q?a=4g=?=b"), "a=4g=b");
    // An '=' at the very end of the block: the decoder must not read past the text.
    EXPECT_EQ(Decoded("=?x?Q?a="), "a=");
    EXPECT_EQ(Decoded("=?x?Q?a=4"), "a=4");
}

TEST(DecodeEncodedWordsTest, BWordDecodes) {
    EXPECT_EQ(Decoded("Subject: =?utf-8?B?SGVsbG8=?= world"), "Subject: Hello world");
    // A complete last group needs no padding; the word still ends at its marker.
    EXPECT_EQ(Decoded("=?utf-8?b?SGVs?=!"), "Hel!");
}

TEST(DecodeEncodedWordsTest, BrokenBWordVanishes) {
    EXPECT_EQ(Decoded("[=?x?B?SGVsbG?=]"), "[]");     // incomplete last group
    EXPECT_EQ(Decoded("[=?x?B?SGVs bG8=?=]"), "[]");  // blank inside
    EXPECT_EQ(Decoded("[=?x?B?" "?=]"), "[]");           // empty word
    EXPECT_EQ(Decoded("[=?x?B?SGVsbG8="), "[Hello");  // no closing marker
}

TEST(DecodeEncodedWordsTest, WhiteSpaceBetweenAdjacentWordsIsRemoved) {
    EXPECT_EQ(Decoded("S: =?a?q?one?=\r\n =?a?b?dHdv?=\r\n"), "S: onetwo\r\n");
    EXPECT_EQ(Decoded("S: =?a?q?one?==?a?q?two?="), "S: onetwo");
    EXPECT_EQ(Decoded("S: =?a?q?one?= and =?a?q?two?="), "S: one and two");
}

TEST(DecodeEncodedWordsTest, UnknownEncodingKeepsItsText) {
    EXPECT_EQ(Decoded("S: =?a?x?keep=41_me?= end"), "S: keep=41_me end");
}

TEST(DecodeEncodedWordsTest, StrayMarkerIsDroppedAndTextAfterItStays) {
    EXPECT_EQ(Decoded("Subject: 50% =? off\r\nFrom: a\r\n"), "Subject: 50%  off\r\nFrom: a\r\n");
    EXPECT_EQ(Decoded("tail=?"), "tail");
}

TEST(DecodeEncodedWordsTest, StrayMarkerSwallowsUpToALaterQuestionPair) {
    // The stray "=?" takes everything up to "?q?" in a later field as its charset.
    EXPECT_EQ(Decoded("Subject: what=?\r\nFrom: who?q?x=41?= rest\r\n"),
              "Subject: whatxA rest\r\n");
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
