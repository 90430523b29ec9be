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
    EXPECT_EQ(DecodeEncodedWords(block), 24u);
    EXPECT_EQ(block, "Subject: Caf\xC3\xA9 au lait\r\n");
}

// Every word reaches the rules in UTF-8, as the window shows it; what no charset
// explains becomes U+FFFD, and 8-bit text outside words is left as it came.
TEST(DecodeEncodedWordsTest, ConvertsEachCharsetToUtf8) {
    const std::pair<const char*, const char*> cases[] = {
        {"=?windows-1252?Q?=80_Zo=EB?=", "\xE2\x82\xAC Zo\xC3\xAB"},
        {"=?ISO-8859-1?Q?Caf=E9?=", "Caf\xC3\xA9"},
        {"=?iso-8859-2?q?g=EA=B6l=B1?=", "g\xC4\x99\xC5\x9Bl\xC4\x85"},
        {"=?ISO-8859-15?Q?=A4?=", "\xE2\x82\xAC"},
        {"=?iso-8859-16?q?=AA=E3?=", "\xC8\x98\xC4\x83"},
        {"=?KOI8-R?Q?=D7=D9=C9=C7=D2=D9=DB?=",
         "\xD0\xB2\xD1\x8B\xD0\xB8\xD0\xB3\xD1\x80\xD1\x8B\xD1\x88"},
        {"=?Shift_JIS?B?k/qWew==?=", "\xE6\x97\xA5\xE6\x9C\xAC"},
        {"=?GB18030?B?1tDOxA==?=", "\xE4\xB8\xAD\xE6\x96\x87"},
        {"=?utf-8*en?Q?caf=C3=A9_=FF?=", "caf\xC3\xA9 \xEF\xBF\xBD"},
        // A charset nobody knows, or a name iconv would read as an instruction.
        {"=?x-nowhere?Q?Zo=EB?=", "Zo\xEF\xBF\xBD"},
        {"=?utf-8//TRANSLIT?Q?=E9?=", "\xEF\xBF\xBD"},
        // A byte invalid in its charset, and a sequence the word's end cuts short.
        {"=?Shift_JIS?Q?=FFa=93?=",
         "\xEF\xBF\xBD"
         "a\xEF\xBF\xBD"},
        // One character split over two words across a fold, and 8-bit text around.
        {"S: M\xFC =?UTF-8?Q?=C3?=\r\n =?utf-8?Q?=A9!?= \xFC\r\n", "S: M\xFC \xC3\xA9! \xFC\r\n"},
        {"=?koi8-r?Q?=F0?==?iso-8859-2?Q?=A3?=", "\xD0\x9F\xC5\x81"},
    };
    for (const auto& [in, out] : cases) {
        EXPECT_EQ(Decoded(in), out) << in;
    }
    EXPECT_TRUE(IsValidUtf8("plain ascii, then \xC3\xA9 and \xF0\x9F\x98\x80"));
    for (const char* bad : {"\xFF", "\xC3", "a\xC0\xAF", "\xED\xA0\x80", "0123456789\xE2\x82"}) {
        EXPECT_FALSE(IsValidUtf8(bad)) << bad;
    }
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
