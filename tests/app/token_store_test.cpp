// Refresh tokens in the desktop keyring, and in tokens.qvd where no keyring answers.
// CTest runs the keyring case inside a private D-Bus session with an unlocked
// gnome-keyring, and the file case with no session bus at all.
#include "app/token_store.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "store/record_cipher.h"
#include "tests/support/test_fixtures.h"

namespace {

constexpr char kPassphrase[] = "token passphrase";

std::string FileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

AccountRecord OAuthAccount(const std::string& address, int port) {
    AccountRecord account = qvtest::MakeAccount(address, "", {.authMethod = 2});
    SetAccountText(account.providerId, "microsoft");
    account.security = 1;
    account.port = port;
    return account;
}

TEST(TokenStoreKeyring, WritesReadsReplacesAndDeletesInTheKeyring) {
    qvtest::TempDirectory directory;
    TokenStore store(directory.Path(), kPassphrase);
    const AccountRecord account = OAuthAccount("me@example.com@pop.example.com", 0);
    const std::string key = TokenStore::Key(account);
    // The login runs to the last at sign; no port means the mode's default.
    EXPECT_EQ(key, "microsoft:me@example.com@pop.example.com:995");

    ASSERT_TRUE(store.Write(key, "first refresh token"));
    EXPECT_EQ(store.LastPlace(), TokenStore::Place::kKeyring);
    ASSERT_TRUE(store.Write(key, "rotated refresh token"));
    EXPECT_EQ(TokenStore(directory.Path(), "").Read(key).value_or(""), "rotated refresh token");
    EXPECT_FALSE(std::filesystem::exists(TokenStore::FilePath(directory.Path())));

    // A token the file took while the keyring did not answer is the newer one, until
    // the keyring takes a write again.
    const std::string record = key + '\x01' + "written while the keyring was away";
    std::ofstream(TokenStore::FilePath(directory.Path()), std::ios::binary)
        << RecordCipher::Encrypt(record.data(), record.size(), kPassphrase) << "\r\n";
    EXPECT_EQ(store.Read(key).value_or(""), "written while the keyring was away");
    EXPECT_EQ(store.LastPlace(), TokenStore::Place::kFile);
    ASSERT_TRUE(store.Write(key, "back in the keyring"));
    EXPECT_EQ(store.Read(key).value_or(""), "back in the keyring");
    EXPECT_EQ(store.LastPlace(), TokenStore::Place::kKeyring);

    // Another port is another account's token.
    EXPECT_FALSE(store.Read(TokenStore::Key(OAuthAccount("me@example.com@pop.example.com", 1995))));
    EXPECT_TRUE(store.Remove(key));
    bool unreadable = true;
    EXPECT_FALSE(store.Read(key, &unreadable));
    EXPECT_FALSE(unreadable);
}

TEST(TokenStoreWithoutKeyring, KeepsTokensInTheEncryptedFileAndLeavesOtherLinesAlone) {
    qvtest::TempDirectory directory;
    const std::string path = TokenStore::FilePath(directory.Path());
    // A line written under another passphrase must survive every rewrite.
    const std::string foreign = RecordCipher::Encrypt("x\x01y", 3, "another passphrase");
    std::ofstream(path, std::ios::binary) << foreign << "\r\n";

    TokenStore store(directory.Path(), kPassphrase);
    const std::string home = TokenStore::Key(OAuthAccount("me@pop.example.com", 0));
    const std::string work = TokenStore::Key(OAuthAccount("me@pop.example.com", 1995));
    ASSERT_TRUE(store.Write(home, "home refresh token"));
    EXPECT_EQ(store.LastPlace(), TokenStore::Place::kFile);
    ASSERT_TRUE(store.Write(work, "work refresh token"));
    ASSERT_TRUE(store.Write(home, "rotated home token"));

    const std::string text = FileText(path);
    EXPECT_EQ(text.find("refresh token"), std::string::npos) << "tokens are stored in clear";
    EXPECT_EQ(text.find("rotated"), std::string::npos);
    EXPECT_NE(text.find(foreign), std::string::npos);
    EXPECT_EQ(store.Read(home).value_or(""), "rotated home token");
    EXPECT_EQ(store.LastPlace(), TokenStore::Place::kFile);
    EXPECT_EQ(store.Read(work).value_or(""), "work refresh token");
    // The wrong passphrase finds nothing rather than garbage.
    EXPECT_FALSE(TokenStore(directory.Path(), "wrong").Read(home));

    EXPECT_TRUE(store.Remove(home));
    EXPECT_FALSE(store.Read(home));
    EXPECT_EQ(store.Read(work).value_or(""), "work refresh token");
    EXPECT_NE(FileText(path).find(foreign), std::string::npos);
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
