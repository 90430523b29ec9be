#include "store/record_cipher.h"

#include <gtest/gtest.h>

#include <cctype>
#include <string>

namespace {

constexpr char kPassphrase[] = "correct horse";

std::string Decrypted(const std::string& line, const char* passphrase, bool expectVerified) {
    bool verified = !expectVerified;
    std::string record = RecordCipher::Decrypt(line, passphrase, &verified);
    EXPECT_EQ(verified, expectVerified) << line;
    return record;
}

TEST(RecordCipherTest, LineLengthsFollowTheEnvelope) {
    // 8 bytes of salt, then whole 8-byte blocks over key check, text, MAC and padding.
    const std::size_t cases[][2] = {{0, 80},   {3, 80},    {4, 96},    {11, 96},
                                    {12, 112}, {274, 624}, {777, 1632}};
    for (const auto& [textLength, lineLength] : cases) {
        std::string text(textLength, '\0');
        for (std::size_t i = 0; i < text.size(); ++i) {
            text[i] = static_cast<char>(i * 7);  // zero bytes included
        }
        const std::string line = RecordCipher::Encrypt(text.data(), text.size(), kPassphrase);
        EXPECT_EQ(line.size(), lineLength) << "text of " << textLength;
        EXPECT_EQ(line.find_first_not_of("0123456789ABCDEF"), std::string::npos);
        EXPECT_EQ(Decrypted(line, kPassphrase, true), text);
    }
}

TEST(RecordCipherTest, SaltsDifferButEveryFormOfALineReadsAlike) {
    const std::string line = RecordCipher::Encrypt("lottery", 7, kPassphrase);
    EXPECT_NE(RecordCipher::Encrypt("lottery", 7, kPassphrase).substr(0, 16), line.substr(0, 16));
    std::string lower = line;
    for (char& c : lower) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    for (const std::string& form : {line, lower, line + "\n", line + "\r\n", lower + "\r\n"}) {
        EXPECT_EQ(Decrypted(form, kPassphrase, true), "lottery");
    }
}

TEST(RecordCipherTest, WrongPassphraseAndShortLinesGiveNothing) {
    const std::string line = RecordCipher::Encrypt("lottery", 7, kPassphrase);
    EXPECT_EQ(Decrypted(line, "Correct horse", false), "");  // differs only in case
    EXPECT_EQ(Decrypted(line, "", false), "");
    for (const std::string& bad : {std::string(), std::string("\r\n"), line.substr(0, 30),
                                   line.substr(0, 48), std::string("not hex at all")}) {
        EXPECT_EQ(Decrypted(bad, kPassphrase, false), "");
    }
}

TEST(RecordCipherTest, DamageAfterTheKeyCheckFailsTheMac) {
    const std::string text = "a record long enough to span several cipher blocks";
    const std::string line = RecordCipher::Encrypt(text.data(), text.size(), kPassphrase);
    for (std::size_t pos = 32; pos < line.size(); pos += 5) {
        std::string damaged = line;
        damaged[pos] = damaged[pos] == '0' ? '1' : '0';
        Decrypted(damaged, kPassphrase, false);
    }
    Decrypted(line.substr(0, line.size() - 16), kPassphrase, false);
}

}  // namespace
