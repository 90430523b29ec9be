#include "store/account_file.h"

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <tuple>
#include <utility>

#include "pop3/connection_security.h"
#include "store/account_record.h"
#include "store/atomic_file.h"
#include "store/data_lines.h"
#include "store/record_cipher.h"
#include "store/rule_list_file.h"
#include "store_test_support.h"

namespace {

constexpr char kPassphrase[] = "secret phrase";
constexpr char kIncorrect[] = "The passphrase is incorrect.";

struct Fields {
    std::string description, address, password;
    int auth, period, scan;
    int security = 0, port = 0;
    std::string fingerprint = "";
    std::string provider = "", email = "";
};

AccountRecord MakeAccount(const Fields& f) {
    AccountRecord account = qvtest::MakeAccount(f.address, f.password,
                                                {.description = f.description,
                                                 .authMethod = f.auth,
                                                 .scanMessages = f.scan,
                                                 .periodMinutes = f.period});
    account.security = f.security;
    account.port = f.port;
    std::snprintf(account.trustedFingerprint, sizeof account.trustedFingerprint, "%s",
                  f.fingerprint.c_str());
    std::snprintf(account.providerId, sizeof account.providerId, "%s", f.provider.c_str());
    std::snprintf(account.emailAddress, sizeof account.emailAddress, "%s", f.email.c_str());
    return account;
}

// The record as older versions wrote it: up to the scan digit.
std::string OldLayout(const Fields& f) {
    std::string record;
    for (const std::string* text : {&f.description, &f.address, &f.password}) {
        record += static_cast<char>(text->size());
        record += *text;
    }
    char tail[16];
    std::snprintf(tail, sizeof tail, "\x04%04d\x01%d\x01%d", f.period, f.auth, f.scan);
    return record + tail;
}

// The record as the file layout spells it out, built apart from the writer.
std::string Layout(const Fields& f) {
    char security[16];
    std::snprintf(security, sizeof security, "\x01%d\x05%05d", f.security, f.port);
    std::string record =
        OldLayout(f) + security + static_cast<char>(f.fingerprint.size()) + f.fingerprint;
    for (const auto& [marker, text] : {std::pair{'\x06', &f.provider}, {'\x07', &f.email}}) {
        if (!text->empty()) {
            record += marker + std::string(1, static_cast<char>(text->size())) + *text;
        }
    }
    return record;
}

std::string Line(const Fields& f) {
    const std::string record = Layout(f);
    return RecordCipher::Encrypt(record.data(), record.size(), kPassphrase);
}

// 255 bytes, none of them 0.
std::string LongText(int seed) {
    std::string text(255, '\0');
    for (std::size_t i = 0; i < text.size(); ++i) {
        text[i] = static_cast<char>(1 + (seed + i) % 255);
    }
    return text;
}

class AccountFileTest : public DataDirTest {
  protected:
    std::string Path() const { return dir + "email.qvd"; }

    void Save(const std::vector<Fields>& accounts) {
        AppState state;
        Point(state, kPassphrase);
        for (const Fields& f : accounts) {
            ASSERT_TRUE(state.AppendAccount(MakeAccount(f)));
        }
        FakePrompts prompts;
        ASSERT_TRUE(SaveAccountFile(state, prompts));
        EXPECT_TRUE(prompts.notices.empty());
    }
    // Loads into `state` through the dialog, which answers `passphrase`.
    void Load(AppState& state, FakePrompts& prompts, const std::string& passphrase) {
        Point(state);
        prompts.answers.push_back(passphrase);
        ASSERT_EQ(LoadAccountFile(state, prompts), 1);
    }
};

TEST_F(AccountFileTest, RoundTripKeepsEveryFieldAtItsLimits) {
    const std::vector<Fields> accounts = {
        {"", "", "", 0, 0, 0},  // the 12-byte record
        {LongText(1), LongText(2), LongText(3), 1, 9999, 1},
        {"Work", "me@pop.example.org", "pw", 0, 15, 0, 2, 65535, std::string(64, 'A')},
        {"Home", "me@pop.example.org", "pw", 0, 15, 0, 1, 1,
         "0123456789ABCDEF" + std::string(48, 'F')},
        {"Mail", "me@example.com@pop.example.com", "", 2, 10, 1, 1, 995, "", "google", ""},
        {"Alias", "me@pop.example.com", "pw", 0, 10, 1, 1, 995, "", "", "Me@Example.com"},
    };
    Save(accounts);
    const std::vector<std::string> lines = CrLfLines(Path());
    ASSERT_EQ(lines.size(), accounts.size());
    EXPECT_EQ(Layout(accounts[0]), std::string("\0\0\0\x04"
                                               "0000\x01"
                                               "0\x01"
                                               "0\x01"
                                               "0\x05"
                                               "00000\0",
                                               21));
    EXPECT_EQ(lines[1].size(), 1648u);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        bool verified = false;
        EXPECT_EQ(RecordCipher::Decrypt(lines[i], kPassphrase, &verified), Layout(accounts[i]));
        EXPECT_TRUE(verified);
    }

    AppState state;
    FakePrompts prompts;
    Load(state, prompts, kPassphrase);
    EXPECT_EQ(prompts.asked, std::vector<bool>{false});
    EXPECT_TRUE(prompts.notices.empty());
    EXPECT_STREQ(state.passphrase, kPassphrase);
    ASSERT_EQ(state.accountCount, accounts.size());
    for (std::size_t i = 0; i < accounts.size(); ++i) {
        const AccountRecord& got = state.accounts[i];
        EXPECT_EQ(got.description, accounts[i].description);
        EXPECT_EQ(got.address, accounts[i].address);
        EXPECT_EQ(got.password, accounts[i].password);
        EXPECT_EQ(got.authMethod, accounts[i].auth);
        EXPECT_EQ(got.periodMinutes, accounts[i].period);
        EXPECT_EQ(got.scanMessages, accounts[i].scan);
        EXPECT_EQ(got.security, accounts[i].security);
        EXPECT_EQ(got.port, accounts[i].port);
        EXPECT_EQ(got.trustedFingerprint, accounts[i].fingerprint);
        EXPECT_EQ(got.providerId, accounts[i].provider);
        EXPECT_EQ(got.emailAddress, accounts[i].email);
        EXPECT_EQ(got.lastCheck, 0u);
    }
}

// A field a later version appends after a marker this one does not know is passed
// over, and the fields before it are kept.
TEST_F(AccountFileTest, UnknownMarkedFieldIsSkipped) {
    const Fields f{"Home", "me@pop.example.org", "pw", 0, 10, 1, 1, 995, "", "", "me@example.org"};
    const std::string record = Layout(f) +
                               "\x09"
                               "1" +
                               "\x06\x06google";
    WriteAll(Path(), RecordCipher::Encrypt(record.data(), record.size(), kPassphrase) + "\r\n");
    AppState state;
    FakePrompts prompts;
    Load(state, prompts, kPassphrase);
    ASSERT_EQ(state.accountCount, 1u);
    EXPECT_STREQ(state.accounts[0].emailAddress, "me@example.org");
    EXPECT_STREQ(state.accounts[0].providerId, "");
}

TEST(SplitAddress, LoginRunsToTheLastAtSign) {
    for (const auto& [address, user, host] :
         {std::tuple{"me@pop.example.com", "me", "pop.example.com"},
          {"me@example.com@pop.example.com", "me@example.com", "pop.example.com"},
          {"pop.example.com", "pop.example.com", "pop.example.com"},
          {"me@", "me", ""}}) {
        const AccountLogin login = SplitAddress(address);
        EXPECT_EQ(login.user, user) << address;
        EXPECT_EQ(login.host, host) << address;
    }
}

// Every file written before connection security: plain POP3 on port 110, as before;
// a fingerprint that is not 64 upper-case digits is no trust at all.
TEST_F(AccountFileTest, OldRecordsLoadAsPlainPop3OnPort110) {
    const Fields old{"Old", "me@pop.example.org", "pw", 1, 10, 1};
    Fields lowerCase = old;
    lowerCase.security = 1;
    lowerCase.fingerprint = std::string(64, 'a');
    std::string lines;
    for (const std::string& record : {OldLayout(old), Layout(lowerCase)}) {
        AppendDataLine(lines, RecordCipher::Encrypt(record.data(), record.size(), kPassphrase));
    }
    WriteAll(Path(), lines);
    AppState state;
    FakePrompts prompts;
    Load(state, prompts, kPassphrase);
    ASSERT_EQ(state.accountCount, 2u);
    EXPECT_EQ(state.accounts[0].security, 0);
    EXPECT_EQ(EffectivePort(SecurityFromDigit(state.accounts[0].security), state.accounts[0].port),
              110);
    EXPECT_EQ(state.accounts[0].authMethod, 1);
    EXPECT_EQ(state.accounts[0].scanMessages, 1);
    EXPECT_EQ(state.accounts[1].security, 1);
    EXPECT_STREQ(state.accounts[1].trustedFingerprint, "");
}

TEST_F(AccountFileTest, DialogModeFollowsTheFile) {
    AppState missing;
    FakePrompts first;
    Load(missing, first, kPassphrase);
    Save({});  // no accounts: an empty file, which counts as none
    EXPECT_EQ(ReadAll(Path()), "");
    EXPECT_EQ(EntryCount(), 1u);
    AppState empty;
    Load(empty, first, kPassphrase);
    EXPECT_EQ(first.asked, (std::vector<bool>{true, true}));

    Save({{"x", "y", "z", 0, 5, 1}});
    AppState cancelled;
    Point(cancelled);
    FakePrompts cancel;
    EXPECT_EQ(LoadAccountFile(cancelled, cancel), 0);
    EXPECT_EQ(cancel.asked, std::vector<bool>{false});
    EXPECT_EQ(cancelled.accountCount, 0u);
    EXPECT_STREQ(cancelled.passphrase, "");

    AppState preset;  // a passphrase already set is not asked for again
    Point(preset, kPassphrase);
    EXPECT_EQ(LoadAccountFile(preset, cancel), 1);
    EXPECT_EQ(cancel.asked.size(), 1u);
    EXPECT_EQ(preset.accountCount, 1u);

    // A first run that only added rules set the passphrase all the same: the next start
    // asks for it once, and a wrong one is refused as for accounts.
    Save({});
    AppState ruled;
    Point(ruled, kPassphrase);
    FakePrompts quiet;
    ASSERT_TRUE(WriteRuleFile(ruled, RuleList::kFriends, {{"From:", "boss", 100}}, quiet));
    AppState next;
    FakePrompts asked;
    asked.answers = {"secret phrasE", kPassphrase};
    Point(next);
    ASSERT_EQ(LoadAccountFile(next, asked), 1);
    EXPECT_EQ(asked.asked, (std::vector<bool>{false, false}));
    EXPECT_EQ(asked.notices, std::vector<std::string>{kIncorrect});
    EXPECT_FALSE(next.accountsApart);
}

TEST_F(AccountFileTest, WrongPassphraseThreeTimesKeepsTheFileWholeAndItsEditsApart) {
    Save({{"one", "1@h", "p1", 0, 1, 1},
          {"two", "2@h", "p2", 1, 2, 0},
          {"three", "3@h", "p3", 0, 3, 1}});
    const std::vector<std::string> before = CrLfLines(Path());

    // A second try that is right opens the file as if it had been the first.
    AppState retried;
    FakePrompts typo;
    typo.answers = {"secret phrasE", kPassphrase};
    Point(retried);
    ASSERT_EQ(LoadAccountFile(retried, typo), 1);
    EXPECT_EQ(typo.notices, std::vector<std::string>{kIncorrect});
    EXPECT_EQ(retried.accountCount, 3u);
    EXPECT_FALSE(retried.accountsApart);

    // Three wrong tries: one notice for the unread records, and the run goes on apart.
    AppState mistyped;
    FakePrompts prompts;
    prompts.answers = {"secret phrasE", "secret phrasE", "secret phrasE"};
    Point(mistyped);
    ASSERT_EQ(LoadAccountFile(mistyped, prompts), 1);
    ASSERT_EQ(prompts.notices.size(), 3u);
    EXPECT_EQ(prompts.notices[1], kIncorrect);
    EXPECT_EQ(prompts.notices[2].rfind(UnreadRecordsNotice("email.qvd", 3), 0), 0u)
        << prompts.notices[2];
    EXPECT_EQ(mistyped.accountCount, 0u);
    ASSERT_TRUE(mistyped.AppendAccount(MakeAccount({"new", "n@h", "pn", 0, 4, 0})));
    mistyped.accountsDirty = 1;
    ASSERT_TRUE(SaveAccountFile(mistyped, prompts));
    EXPECT_EQ(CrLfLines(Path()), before);
    // Its rules live apart too: the right passphrase's rule file is never written.
    ASSERT_TRUE(WriteRuleFile(mistyped, RuleList::kBlock, {{"Subject:", "lottery", 50}}, prompts));
    EXPECT_EQ(RuleFilePath(mistyped, RuleList::kBlock), dir + "block-apart.qvd");
    EXPECT_FALSE(std::filesystem::exists(dir + "block.qvd"));

    // The right passphrase finds every account of the file, without a word.
    AppState right;
    FakePrompts again;
    Load(right, again, kPassphrase);
    EXPECT_TRUE(again.notices.empty());
    ASSERT_EQ(right.accountCount, 3u);
    EXPECT_STREQ(right.accounts[2].description, "three");

    std::size_t unreadRules = 0;
    EXPECT_TRUE(ReadRuleFile(right, RuleList::kBlock, &unreadRules).empty());
    EXPECT_EQ(unreadRules, 0u);

    // The mistyped passphrase, typed again, finds what was added under it.
    AppState same;
    FakePrompts once_more;
    once_more.answers = {"secret phrasE", "secret phrasE", "secret phrasE"};
    Point(same);
    ASSERT_EQ(LoadAccountFile(same, once_more), 1);
    ASSERT_EQ(same.accountCount, 1u);
    EXPECT_STREQ(same.accounts[0].description, "new");
    ASSERT_EQ(ReadRuleFile(same, RuleList::kBlock).size(), 1u);
}

TEST_F(AccountFileTest, DamagedAndShortRecordsAreNeitherParsedNorLost) {
    std::string damaged = Line({"second", "s@h", "p", 0, 2, 1});
    damaged[damaged.size() - 20] = damaged[damaged.size() - 20] == 'A' ? 'B' : 'A';
    // These decrypt with a good MAC but end early: inside a text, before the scan digit.
    const std::string shortText = RecordCipher::Encrypt(
        "\x05"
        "abc",
        4, kPassphrase);
    std::string cut = OldLayout({"fourth", "x@h", "p", 0, 4, 1});
    cut.pop_back();
    const std::string shortTail = RecordCipher::Encrypt(cut.data(), cut.size(), kPassphrase);
    const std::vector<std::string> odd = {damaged, shortText, shortTail};
    WriteAll(Path(), Line({"first", "f@h", "p", 0, 1, 1}) + "\r\n" + damaged + "\r\n" + shortText +
                         "\r\n" + Line({"third", "t@h", "p", 1, 3, 0}) + "\r\n" + shortTail +
                         "\r\n");

    AppState state;
    FakePrompts prompts;
    Load(state, prompts, kPassphrase);
    // One notice per reason, not one per line: the damaged line could be another
    // passphrase's, the short ones plainly are this one's.
    ASSERT_EQ(prompts.notices.size(), 2u);
    EXPECT_EQ(prompts.notices[0], UnreadRecordsNotice("email.qvd", 1));
    EXPECT_EQ(prompts.notices[1],
              "2 records of email.qvd opened with this passphrase but hold no readable "
              "account. They are kept unchanged in the file.");
    ASSERT_EQ(state.accountCount, 2u);  // and no gap
    EXPECT_STREQ(state.accounts[1].description, "third");
    ASSERT_TRUE(SaveAccountFile(state, prompts));
    const std::vector<std::string> lines = CrLfLines(Path());
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 2, lines.end()), odd);
}

TEST_F(AccountFileTest, NoMoreThanTheTableHoldsAndTheRestIsKept) {
    std::string content;
    std::vector<std::string> beyond;
    for (int i = 0; i < 103; ++i) {
        const std::string line = Line({"acct" + std::to_string(i), "a@h", "p", 0, 1, 0});
        content += line + "\n";
        if (i >= 100) {
            beyond.push_back(line);
        }
    }
    WriteAll(Path(), content);
    AppState state;
    FakePrompts prompts;
    Load(state, prompts, kPassphrase);
    ASSERT_EQ(state.accountCount, kMaxAccounts);
    EXPECT_STREQ(state.accounts[99].description, "acct99");
    // Told as what they are, not as records of another passphrase.
    EXPECT_EQ(prompts.notices,
              std::vector<std::string>{
                  "Quorvane keeps at most 100 accounts; 3 more are kept unchanged in the file."});
    // Every edit saves: however often, the three stay as they were.
    for (const char* name : {"edited", "edited again"}) {
        std::snprintf(state.accounts[0].description, kTextSize, "%s", name);
        ASSERT_TRUE(SaveAccountFile(state, prompts));
    }
    const std::vector<std::string> lines = CrLfLines(Path());
    ASSERT_EQ(lines.size(), 103u);
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 100, lines.end()), beyond);
    // Removing one lets the first of them in at the next start.
    ASSERT_TRUE(state.RemoveAccount(0));
    ASSERT_TRUE(SaveAccountFile(state, prompts));
    AppState reloaded;
    FakePrompts again;
    Load(reloaded, again, kPassphrase);
    ASSERT_EQ(reloaded.accountCount, kMaxAccounts);
    EXPECT_STREQ(reloaded.accounts[0].description, "acct1");
    EXPECT_STREQ(reloaded.accounts[99].description, "acct100");
    EXPECT_EQ(CrLfLines(Path()).size(), 102u);
}

// A save that cannot complete leaves the old file whole, says so, and keeps the
// table marked unsaved.
TEST_F(AccountFileTest, FailedSavesKeepTheOldFile) {
    Save({{"kept", "k@h", "p", 0, 5, 1}});
    const std::string before = ReadAll(Path());
    AppState state;
    Point(state, kPassphrase);
    ASSERT_TRUE(state.AppendAccount(MakeAccount({"new", "n@h", "p", 0, 5, 1})));
    state.accountsDirty = 1;
    const std::vector<std::string> once = {AtomicFile::FailureNotice(Path())};

    if (geteuid() != 0) {  // a read-only directory does not stop root
        std::filesystem::permissions(
            dir, std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
        FakePrompts prompts;
        EXPECT_FALSE(SaveAccountFile(state, prompts));
        EXPECT_EQ(prompts.notices, once);
        std::filesystem::permissions(dir, std::filesystem::perms::owner_all);
    }
    // Interrupted after the temporary file is complete, before the rename.
    AtomicFile::SetBeforeRenameHook([](const std::string&) { return false; });
    FakePrompts interrupted;
    EXPECT_FALSE(SaveAccountFile(state, interrupted));
    AtomicFile::SetBeforeRenameHook(nullptr);
    EXPECT_EQ(interrupted.notices, once);
    EXPECT_EQ(ReadAll(Path()), before);
    EXPECT_EQ(EntryCount(), 1u);  // the temporary file is gone
    EXPECT_EQ(state.accountsDirty, 1);

    // Directories where no file can be created, whoever runs the program: one that
    // is a regular file, one that does not exist, and one the system keeps read-only.
    WriteAll(dir + "plain", "x");
    for (const std::string& nowhere : {dir + "plain/", dir + "missing/", std::string("/proc/")}) {
        AppState elsewhere;
        std::strcpy(elsewhere.dataDirectory, nowhere.c_str());
        FakePrompts prompts;
        EXPECT_FALSE(SaveAccountFile(elsewhere, prompts));
        EXPECT_EQ(prompts.notices.size(), 1u) << nowhere;
    }
    // The file's place is taken by a directory: it cannot be read or renamed over.
    std::filesystem::remove(Path());
    std::filesystem::create_directory(Path());
    FakePrompts blocked;
    EXPECT_FALSE(SaveAccountFile(state, blocked));
    EXPECT_EQ(blocked.notices, once);
    EXPECT_TRUE(std::filesystem::is_directory(Path()));
}

// The process dies between the finished temporary file and the rename: the old file
// is untouched, the stray temporary file disturbs neither loading nor saving, and the
// next save removes it. Files that merely look alike stay.
TEST_F(AccountFileTest, SaveKilledBeforeTheRenameLosesNothing) {
    Save({{"kept", "k@h", "p", 0, 5, 1}});
    const std::string before = ReadAll(Path());
    GTEST_FLAG_SET(death_test_style, "fast");  // forked: the child shares this directory
    EXPECT_EXIT(
        {
            AppState state;
            Point(state, kPassphrase);
            state.AppendAccount(MakeAccount({"new", "n@h", "p", 0, 5, 1}));
            FakePrompts prompts;
            AtomicFile::SetBeforeRenameHook([](const std::string&) -> bool { _exit(7); });
            SaveAccountFile(state, prompts);
        },
        ::testing::ExitedWithCode(7), "");
    EXPECT_EQ(ReadAll(Path()), before);
    EXPECT_EQ(EntryCount(), 2u);  // the file and the abandoned temporary file

    AppState state;
    FakePrompts prompts;
    Load(state, prompts, kPassphrase);
    ASSERT_EQ(state.accountCount, 1u);
    EXPECT_STREQ(state.accounts[0].description, "kept");
    const std::vector<std::string> alike = {"email.qvd.tmp.my-own", "email.qvd.tmp.ABC",
                                            "other.qvd.tmp.ABCDEF"};
    for (const std::string& name : alike) {
        WriteAll(dir + name, "mine");
    }
    EXPECT_TRUE(SaveAccountFile(state, prompts));
    EXPECT_EQ(EntryCount(), 1u + alike.size());
    for (const std::string& name : alike) {
        EXPECT_EQ(ReadAll(dir + name), "mine");
    }
}

// The user keeps the real file elsewhere and links to it: the save goes through the
// link, replacing the real file in its own directory, and the link stays a link.
TEST_F(AccountFileTest, ALinkedFileIsWrittenThroughTheLink) {
    const std::string elsewhere = dir + "synced/";
    std::filesystem::create_directory(elsewhere);
    WriteAll(elsewhere + "real.qvd", "");
    std::filesystem::create_symlink("synced/real.qvd", dir + "hop");
    std::filesystem::create_symlink("hop", Path());  // a chain: email.qvd -> hop -> real
    Save({{"linked", "l@h", "p", 0, 5, 1}});

    EXPECT_TRUE(std::filesystem::is_symlink(Path()));
    EXPECT_TRUE(std::filesystem::is_symlink(dir + "hop"));
    EXPECT_EQ(CrLfLines(elsewhere + "real.qvd").size(), 1u);
    EXPECT_EQ(EntryCount(), 3u);  // nothing left beside the links
    AppState state;
    FakePrompts prompts;
    Load(state, prompts, kPassphrase);
    ASSERT_EQ(state.accountCount, 1u);
    EXPECT_STREQ(state.accounts[0].description, "linked");

    // A chain that loops names no file: the save fails and says so.
    std::filesystem::remove(dir + "hop");
    std::filesystem::create_symlink("email.qvd", dir + "hop");
    FakePrompts looped;
    EXPECT_FALSE(SaveAccountFile(state, looped));
    EXPECT_EQ(looped.notices, std::vector<std::string>{AtomicFile::FailureNotice(Path())});
}

}  // namespace
