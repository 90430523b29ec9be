#include "store/account_file.h"

#include <unistd.h>

#include <string>

#include "store/atomic_file.h"
#include "store/record_cipher.h"
#include "store_test_support.h"

namespace {

constexpr char kPassphrase[] = "secret phrase";
constexpr char kIncorrect[] = "The passphrase is incorrect.";

AccountRecord MakeAccount(const std::string& description, const std::string& address,
                          const std::string& password, int auth, int period, int scan) {
    AccountRecord account{};
    SetAccountText(account.description, description);
    SetAccountText(account.address, address);
    SetAccountText(account.password, password);
    account.authMethod = auth;
    account.periodMinutes = period;
    account.scanMessages = scan;
    return account;
}

// The record as the file layout spells it out, built independently of the writer.
std::string Layout(const std::string& description, const std::string& address,
                   const std::string& password, const char* period, char auth, char scan) {
    std::string record;
    for (const std::string* text : {&description, &address, &password}) {
        record += static_cast<char>(static_cast<unsigned char>(text->size()));
        record += *text;
    }
    record += '\x04';
    record += period;
    record += '\x01';
    record += auth;
    record += '\x01';
    record += scan;
    return record;
}

std::string Line(const std::string& record) {
    return RecordCipher::Encrypt(record.data(), record.size(), kPassphrase);
}

class AccountFileTest : public DataDirTest {
  protected:
    std::string Path() const { return dir + "email.qvd"; }

    // Saves `accounts` under kPassphrase through a fresh state.
    void Save(const std::vector<AccountRecord>& accounts) {
        AppState state;
        Point(state, kPassphrase);
        for (const AccountRecord& account : accounts) {
            ASSERT_TRUE(state.AppendAccount(account));
        }
        FakePrompts prompts;
        ASSERT_TRUE(SaveAccountFile(state, prompts));
        EXPECT_TRUE(prompts.notices.empty());
    }

    // Loads through the passphrase dialog, answering `passphrase`.
    int Load(AppState& state, FakePrompts& prompts, const std::string& passphrase) {
        Point(state);
        prompts.answers.push_back(passphrase);
        return LoadAccountFile(state, prompts);
    }

    std::string text255(char first) const {
        std::string text(255, first);
        for (std::size_t i = 0; i < text.size(); ++i) {
            text[i] = static_cast<char>(1 + (first + i) % 255);  // every byte but 0
        }
        return text;
    }
};

TEST_F(AccountFileTest, RoundTripKeepsEveryFieldAtItsLimits) {
    const std::string longText = text255('a');
    const std::vector<AccountRecord> accounts = {
        MakeAccount("", "", "", 0, 0, 0),
        MakeAccount(longText, text255('b'), text255('c'), 1, 9999, 1),
        MakeAccount("Work", "me@pop.example.org", "pw", 0, 15, 0),
        MakeAccount("Home", "a@b@host", "", 1, 1, 1),
    };
    Save(accounts);

    // The bytes of each line are exactly the layout.
    const std::vector<std::string> expected = {
        Layout("", "", "", "0000", '0', '0'),
        Layout(longText, text255('b'), text255('c'), "9999", '1', '1'),
        Layout("Work", "me@pop.example.org", "pw", "0015", '0', '0'),
        Layout("Home", "a@b@host", "", "0001", '1', '1'),
    };
    const std::vector<std::string> lines = CrLfLines(Path());
    ASSERT_EQ(lines.size(), expected.size());
    EXPECT_EQ(expected[0].size(), 12u);
    EXPECT_EQ(lines[1].size(), 1632u);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        bool verified = false;
        EXPECT_EQ(RecordCipher::Decrypt(lines[i], kPassphrase, &verified), expected[i]);
        EXPECT_TRUE(verified);
    }

    AppState state;
    FakePrompts prompts;
    ASSERT_EQ(Load(state, prompts, kPassphrase), 1);
    EXPECT_EQ(prompts.confirmModes, std::vector<bool>{false});
    EXPECT_TRUE(prompts.notices.empty());
    EXPECT_STREQ(state.passphrase, kPassphrase);
    ASSERT_EQ(state.accountCount, accounts.size());
    for (std::size_t i = 0; i < accounts.size(); ++i) {
        const AccountRecord& got = state.accounts[i];
        EXPECT_STREQ(got.description, accounts[i].description);
        EXPECT_STREQ(got.address, accounts[i].address);
        EXPECT_STREQ(got.password, accounts[i].password);
        EXPECT_EQ(got.authMethod, accounts[i].authMethod);
        EXPECT_EQ(got.periodMinutes, accounts[i].periodMinutes);
        EXPECT_EQ(got.scanMessages, accounts[i].scanMessages);
        EXPECT_EQ(got.lastCheck, 0u);
    }
}

TEST_F(AccountFileTest, DialogModeFollowsTheFileAndCancelEndsTheLoad) {
    AppState missing;
    FakePrompts first;
    ASSERT_EQ(Load(missing, first, kPassphrase), 1);
    EXPECT_EQ(first.confirmModes, std::vector<bool>{true});
    EXPECT_EQ(missing.accountCount, 0u);

    WriteAll(Path(), "");
    AppState empty;
    FakePrompts second;
    ASSERT_EQ(Load(empty, second, kPassphrase), 1);
    EXPECT_EQ(second.confirmModes, std::vector<bool>{true});

    Save({MakeAccount("x", "y", "z", 0, 5, 1)});
    AppState cancelled;
    Point(cancelled);
    FakePrompts cancel;  // no answer queued: Cancel
    EXPECT_EQ(LoadAccountFile(cancelled, cancel), 0);
    EXPECT_EQ(cancel.confirmModes, std::vector<bool>{false});
    EXPECT_EQ(cancelled.accountCount, 0u);
    EXPECT_STREQ(cancelled.passphrase, "");

    // A passphrase already set is not asked again.
    AppState preset;
    Point(preset, kPassphrase);
    FakePrompts none;
    EXPECT_EQ(LoadAccountFile(preset, none), 1);
    EXPECT_TRUE(none.confirmModes.empty());
    EXPECT_EQ(preset.accountCount, 1u);
}

TEST_F(AccountFileTest, LineEndsAndLowerCaseDigitsLoadAlike) {
    const std::string a = Line(Layout("A", "a@h", "p", "0010", '0', '1'));
    const std::string b = Line(Layout("B", "b@h", "q", "0020", '1', '0'));
    std::string lower = b;
    for (char& c : lower) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    for (const std::string& content :
         {a + "\n" + b + "\n", a + "\r\n" + b + "\r\n", a + "\n\r\n" + lower, a + "\n" + lower}) {
        WriteAll(Path(), content);
        AppState state;
        FakePrompts prompts;
        ASSERT_EQ(Load(state, prompts, kPassphrase), 1);
        EXPECT_TRUE(prompts.notices.empty());
        ASSERT_EQ(state.accountCount, 2u);
        EXPECT_STREQ(state.accounts[0].description, "A");
        EXPECT_STREQ(state.accounts[1].description, "B");
        EXPECT_EQ(state.accounts[1].periodMinutes, 20);
        EXPECT_EQ(state.accounts[1].authMethod, 1);
    }
}

TEST_F(AccountFileTest, WrongPassphraseKeepsEveryLineThroughTheNextSave) {
    Save({MakeAccount("one", "1@h", "p1", 0, 1, 1), MakeAccount("two", "2@h", "p2", 1, 2, 0),
          MakeAccount("three", "3@h", "p3", 0, 3, 1)});
    const std::vector<std::string> before = CrLfLines(Path());

    AppState mistyped;
    FakePrompts prompts;
    ASSERT_EQ(Load(mistyped, prompts, "secret phrasE"), 1);
    EXPECT_EQ(prompts.notices, std::vector<std::string>(3, kIncorrect));
    EXPECT_EQ(mistyped.accountCount, 0u);

    // One edit under the mistyped passphrase, then Close saves.
    ASSERT_TRUE(mistyped.AppendAccount(MakeAccount("new", "n@h", "pn", 0, 4, 0)));
    mistyped.accountsDirty = 1;
    ASSERT_TRUE(SaveAccountFile(mistyped, prompts));
    EXPECT_EQ(mistyped.accountsDirty, 0);
    const std::vector<std::string> after = CrLfLines(Path());
    ASSERT_EQ(after.size(), 4u);
    EXPECT_EQ(std::vector<std::string>(after.begin() + 1, after.end()), before);

    // The right passphrase finds the three accounts again; the new one is kept in turn.
    AppState right;
    FakePrompts again;
    ASSERT_EQ(Load(right, again, kPassphrase), 1);
    EXPECT_EQ(again.notices, std::vector<std::string>{kIncorrect});
    ASSERT_EQ(right.accountCount, 3u);
    EXPECT_STREQ(right.accounts[2].description, "three");
    ASSERT_TRUE(SaveAccountFile(right, again));
    const std::vector<std::string> third = CrLfLines(Path());
    ASSERT_EQ(third.size(), 4u);
    EXPECT_EQ(third[3], after[0]);
}

TEST_F(AccountFileTest, DamagedAndShortRecordsAreNeitherParsedNorLost) {
    const std::string good1 = Line(Layout("first", "f@h", "p", "0001", '0', '1'));
    std::string damaged = Line(Layout("second", "s@h", "p", "0002", '0', '1'));
    damaged[damaged.size() - 20] = damaged[damaged.size() - 20] == 'A' ? 'B' : 'A';
    const std::string good2 = Line(Layout("third", "t@h", "p", "0003", '1', '0'));
    // Decrypts with a good MAC but ends early: inside a text, and before the scan digit.
    const std::string shortText =
        Line(std::string("\x05"
                         "abc",
                         4));
    std::string cut = Layout("fourth", "x@h", "p", "0004", '0', '1');
    cut.pop_back();
    const std::string shortTail = Line(cut);
    WriteAll(Path(), good1 + "\r\n" + damaged + "\r\n" + shortText + "\r\n" + good2 + "\r\n" +
                         shortTail + "\r\n");

    AppState state;
    FakePrompts prompts;
    ASSERT_EQ(Load(state, prompts, kPassphrase), 1);
    EXPECT_EQ(prompts.notices, std::vector<std::string>{kIncorrect});  // the damaged line
    ASSERT_EQ(state.accountCount, 2u);  // no gap where lines were skipped
    EXPECT_STREQ(state.accounts[0].description, "first");
    EXPECT_STREQ(state.accounts[1].description, "third");

    ASSERT_TRUE(SaveAccountFile(state, prompts));
    const std::vector<std::string> lines = CrLfLines(Path());
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 2, lines.end()),
              (std::vector<std::string>{damaged, shortText, shortTail}));
}

TEST_F(AccountFileTest, NoMoreThanTheTableHoldsAndTheRestIsKept) {
    std::string content;
    for (int i = 0; i < 102; ++i) {
        content += Line(Layout("acct" + std::to_string(i), "a@h", "p", "0001", '0', '0')) + "\n";
    }
    WriteAll(Path(), content);
    AppState state;
    FakePrompts prompts;
    ASSERT_EQ(Load(state, prompts, kPassphrase), 1);
    ASSERT_EQ(state.accountCount, kMaxAccounts);
    EXPECT_STREQ(state.accounts[99].description, "acct99");

    ASSERT_TRUE(SaveAccountFile(state, prompts));
    AppState reloaded;
    FakePrompts again;
    ASSERT_EQ(Load(reloaded, again, kPassphrase), 1);
    EXPECT_EQ(reloaded.accountCount, kMaxAccounts);
    EXPECT_EQ(CrLfLines(Path()).size(), 102u);
}

TEST_F(AccountFileTest, NoAccountsSaveAnEmptyFile) {
    Save({MakeAccount("x", "y", "z", 0, 5, 1)});
    AppState state;
    Point(state, kPassphrase);
    FakePrompts prompts;
    ASSERT_TRUE(SaveAccountFile(state, prompts));
    EXPECT_EQ(ReadAll(Path()), "");
    EXPECT_EQ(EntryCount(), 1u);  // no temporary file left behind
}

// A save that cannot complete leaves the old file whole, says so, and keeps the
// account table marked unsaved.
TEST_F(AccountFileTest, FailedSavesKeepTheOldFile) {
    Save({MakeAccount("kept", "k@h", "p", 0, 5, 1)});
    const std::string before = ReadAll(Path());
    AppState state;
    Point(state, kPassphrase);
    ASSERT_TRUE(state.AppendAccount(MakeAccount("lost?", "l@h", "p", 0, 5, 1)));
    state.accountsDirty = 1;
    const std::string notice = AtomicFile::FailureNotice(Path());

    if (geteuid() != 0) {  // a read-only directory does not stop root
        std::filesystem::permissions(
            dir, std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
        FakePrompts prompts;
        EXPECT_FALSE(SaveAccountFile(state, prompts));
        EXPECT_EQ(prompts.notices, std::vector<std::string>{notice});
        std::filesystem::permissions(dir, std::filesystem::perms::owner_all);
        EXPECT_EQ(ReadAll(Path()), before);
    }

    // A save interrupted before the rename (here it stops there with a failure).
    AtomicFile::SetBeforeRenameHook([](const std::string&) { return false; });
    FakePrompts interrupted;
    EXPECT_FALSE(SaveAccountFile(state, interrupted));
    AtomicFile::SetBeforeRenameHook(nullptr);
    EXPECT_EQ(interrupted.notices, std::vector<std::string>{notice});
    EXPECT_EQ(ReadAll(Path()), before);
    EXPECT_EQ(EntryCount(), 1u);
    EXPECT_EQ(state.accountsDirty, 1);

    // A data directory that is a regular file: nothing can be created in it, for root too.
    AppState nowhere;
    const std::string notADir = dir + "plain";
    WriteAll(notADir, "x");
    std::strcpy(nowhere.dataDirectory, (notADir + "/").c_str());
    SetAccountText(nowhere.passphrase, kPassphrase);
    FakePrompts prompts;
    EXPECT_FALSE(SaveAccountFile(nowhere, prompts));
    EXPECT_EQ(prompts.notices,
              std::vector<std::string>{AtomicFile::FailureNotice(notADir + "/email.qvd")});
    EXPECT_EQ(ReadAll(notADir), "x");
}

// The process dies between the finished temporary file and the rename: the old file
// is untouched, and the stray temporary file disturbs neither loading nor saving.
TEST_F(AccountFileTest, SaveKilledBeforeTheRenameLosesNothing) {
    Save({MakeAccount("kept", "k@h", "p", 0, 5, 1)});
    const std::string before = ReadAll(Path());
    // Forked, so the child writes into this test's directory.
    GTEST_FLAG_SET(death_test_style, "fast");
    EXPECT_EXIT(
        {
            AppState state;
            Point(state, kPassphrase);
            state.AppendAccount(MakeAccount("new", "n@h", "p", 0, 5, 1));
            FakePrompts prompts;
            AtomicFile::SetBeforeRenameHook([](const std::string&) -> bool { _exit(7); });
            SaveAccountFile(state, prompts);
        },
        ::testing::ExitedWithCode(7), "");
    EXPECT_EQ(ReadAll(Path()), before);
    EXPECT_EQ(EntryCount(), 2u);  // the file and the abandoned temporary file

    AppState state;
    FakePrompts prompts;
    ASSERT_EQ(Load(state, prompts, kPassphrase), 1);
    ASSERT_EQ(state.accountCount, 1u);
    EXPECT_STREQ(state.accounts[0].description, "kept");
    EXPECT_TRUE(SaveAccountFile(state, prompts));
}

}  // namespace
