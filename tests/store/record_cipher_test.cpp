#include "store/record_cipher.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <string>

namespace {

constexpr char kPassphrase[] = "correct horse";

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

TEST(RecordCipherTest, LineLengthsFollowTheEnvelope) {
    // 8 bytes of salt, then whole 8-byte blocks over key check, text, MAC and padding.
    const struct {
        std::size_t textLength;
        std::size_t lineLength;
    } cases[] = {{0, 80}, {3, 80}, {4, 96}, {11, 96}, {12, 112}, {274, 624}, {777, 1632}};
    for (const auto& c : cases) {
        std::string text(c.textLength, '\0');
        for (std::size_t i = 0; i < text.size(); ++i) {
            text[i] = static_cast<char>(i * 7);  // zero bytes included
        }
        const std::string line = RecordCipher::Encrypt(text.data(), text.size(), kPassphrase);
        EXPECT_EQ(line.size(), c.lineLength) << "text of " << c.textLength;
        EXPECT_EQ(line.find_first_not_of("0123456789ABCDEF"), std::string::npos);
        bool verified = false;
        EXPECT_EQ(RecordCipher::Decrypt(line, kPassphrase, &verified), text);
        EXPECT_TRUE(verified);
    }
}

TEST(RecordCipherTest, EveryRecordHasItsOwnSalt) {
    const std::string first = RecordCipher::Encrypt("boss", 4, kPassphrase);
    const std::string second = RecordCipher::Encrypt("boss", 4, kPassphrase);
    EXPECT_NE(first.substr(0, 16), second.substr(0, 16));
    EXPECT_EQ(RecordCipher::Decrypt(first, kPassphrase), "boss");
    EXPECT_EQ(RecordCipher::Decrypt(second, kPassphrase), "boss");
}

TEST(RecordCipherTest, LowerCaseDigitsAndLineEndsReadAlike) {
    const std::string line = RecordCipher::Encrypt("lottery", 7, kPassphrase);
    for (const std::string& variant :
         {Lower(line), line + "\n", line + "\r\n", Lower(line) + "\r\n"}) {
        bool verified = false;
        EXPECT_EQ(RecordCipher::Decrypt(variant, kPassphrase, &verified), "lottery");
        EXPECT_TRUE(verified);
    }
}

TEST(RecordCipherTest, WrongPassphraseAndShortLinesGiveNothing) {
    const std::string line = RecordCipher::Encrypt("lottery", 7, kPassphrase);
    const struct {
        std::string line;
        const char* passphrase;
    } cases[] = {
        {line, "Correct horse"},  // differs only in case
        {line, ""},
        {"", kPassphrase},
        {"\r\n", kPassphrase},
        {line.substr(0, 30), kPassphrase},  // no complete salt and key check
        {line.substr(0, 48), kPassphrase},  // key check but no text
        {"not hex at all", kPassphrase},
    };
    for (const auto& c : cases) {
        bool verified = true;
        EXPECT_EQ(RecordCipher::Decrypt(c.line, c.passphrase, &verified), "") << c.line;
        EXPECT_FALSE(verified) << c.line;
    }
}

TEST(RecordCipherTest, DamageAfterTheKeyCheckFailsTheMac) {
    const std::string text = "a record long enough to span several cipher blocks";
    const std::string line = RecordCipher::Encrypt(text.data(), text.size(), kPassphrase);
    // Flip one digit in every position past the salt and key check, and cut the line.
    for (std::size_t pos = 32; pos < line.size(); pos += 5) {
        std::string damaged = line;
        damaged[pos] = damaged[pos] == '0' ? '1' : '0';
        bool verified = true;
        RecordCipher::Decrypt(damaged, kPassphrase, &verified);
        EXPECT_FALSE(verified) << "digit " << pos;
    }
    bool verified = true;
    RecordCipher::Decrypt(line.substr(0, line.size() - 16), kPassphrase, &verified);
    EXPECT_FALSE(verified);
}

}  // namespace
