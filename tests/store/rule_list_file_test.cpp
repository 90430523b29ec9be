#include "store/rule_list_file.h"

#include <stdlib.h>

#include <optional>
#include <string>

#include "app/kept_file.h"
#include "app/rule_cache.h"
#include "scan/rule_loader.h"
#include "scan/scan_cache.h"
#include "store/atomic_file.h"
#include "store/record_cipher.h"
#include "store_test_support.h"

namespace {

namespace fs = std::filesystem;

constexpr char kPassphrase[] = "secret phrase";

std::string Line(const std::string& record, const char* passphrase = kPassphrase) {
    return RecordCipher::Encrypt(record.data(), record.size(), passphrase);
}

class RuleListFileTest : public DataDirTest {
  protected:
    void SetUp() override {
        DataDirTest::SetUp();
        Point(state, kPassphrase);
    }
    std::string Path(RuleList list) const { return RuleFilePath(state, list); }

    AppState state;
    FakePrompts prompts;
};

TEST_F(RuleListFileTest, RecordsFollowTheLayoutAndReadBack) {
    EXPECT_EQ(Path(RuleList::kFriends), dir + "friends.qvd");
    EXPECT_EQ(Path(RuleList::kBlock), dir + "block.qvd");
    const std::vector<RuleEntry> rows = {
        {"From:", "boss", 100},
        {"Subject:", "lottery", 50},
        {"To:", "me", 0},
        {"Cc:", "", -5},
        {"Received:",
         "a\x1f"
         "b",
         -99},  // the text may hold the separator
        {"Content-Type:", std::string(255, 'x'), 5},
    };
    ASSERT_TRUE(WriteRuleFile(state, RuleList::kBlock, rows, prompts));
    const std::vector<std::string> expected = {
        "10100From:\x1f"
        "boss",
        "10050Subject:\x1f"
        "lottery",
        "10000To:\x1f"
        "me",
        "1-005Cc:\x1f",
        "1-099Received:\x1f"
        "a\x1f"
        "b",
        "10005Content-Type:\x1f" + std::string(255, 'x'),
    };
    const std::vector<std::string> lines = CrLfLines(Path(RuleList::kBlock));
    ASSERT_EQ(lines.size(), expected.size());
    EXPECT_EQ(lines[0].size(), 112u);
    EXPECT_EQ(lines[5].size(), 624u);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        bool verified = false;
        EXPECT_EQ(RecordCipher::Decrypt(lines[i], kPassphrase, &verified), expected[i]);
        EXPECT_TRUE(verified);
    }
    EXPECT_EQ(ReadRuleFile(state, RuleList::kBlock), rows);
    EXPECT_TRUE(ReadRuleFile(state, RuleList::kFriends).empty());  // no file yet

    // The Friends page writes the kind digit 0; a page with no rows, an empty file.
    ASSERT_TRUE(WriteRuleFile(state, RuleList::kFriends, {{"From:", "boss", 100}}, prompts));
    EXPECT_EQ(RecordCipher::Decrypt(CrLfLines(Path(RuleList::kFriends)).at(0), kPassphrase),
              "00100From:\x1f"
              "boss");
    ASSERT_TRUE(WriteRuleFile(state, RuleList::kFriends, {}, prompts));
    EXPECT_EQ(ReadAll(Path(RuleList::kFriends)), "");
    EXPECT_TRUE(ReadRuleFile(state, RuleList::kFriends).empty());
    EXPECT_EQ(EntryCount(), 2u);
    EXPECT_TRUE(prompts.notices.empty());
}

// LF or CR LF line ends, blank lines, lower-case digits: all read alike. The list is
// the file's, whatever kind digit a record carries.
TEST_F(RuleListFileTest, LineFormsAndKindDigits) {
    std::string lower = Line(
        "0-007From:\x1f"
        "y");
    for (char& c : lower) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    WriteAll(Path(RuleList::kFriends), Line("10042Subject:\x1f"
                                            "x") +
                                           "\n\r\n" + lower + "\r\n\n" +
                                           Line("000-5To:\x1f"
                                                "z"));  // zeros before a minus read as 0
    EXPECT_EQ(ReadRuleFile(state, RuleList::kFriends),
              (std::vector<RuleEntry>{{"Subject:", "x", 42}, {"From:", "y", -7}, {"To:", "z", 0}}));
}

TEST_F(RuleListFileTest, LinesWithoutARuleAreSkippedAndKept) {
    std::string damaged = Line(
        "00100From:\x1f"
        "boss");
    damaged[damaged.size() - 20] = damaged[damaged.size() - 20] == 'A' ? 'B' : 'A';
    const std::vector<std::string> odd = {
        damaged,
        Line("ab"),          // 2 bytes
        Line("00100"),       // ends before the header
        Line("00100From:"),  // no separator
        Line("00100" + std::string(100, 'H') +
             "\x1f"
             "x"),  // header over 99 bytes
        Line("00100From:\x1f"
             "boss",
             "another phrase"),
    };
    std::string content = Line("00020" + std::string(99, 'H') + "\x1f") + "\n";
    for (const std::string& line : odd) {
        content += line + "\r\n";
    }
    WriteAll(Path(RuleList::kFriends), content);
    EXPECT_EQ(ReadRuleFile(state, RuleList::kFriends),
              (std::vector<RuleEntry>{{std::string(99, 'H'), "", 20}}));

    // The page rewrites its one row; every line it never saw stays, unchanged.
    ASSERT_TRUE(WriteRuleFile(state, RuleList::kFriends, {{"To:", "new", 3}}, prompts));
    const std::vector<std::string> lines = CrLfLines(Path(RuleList::kFriends));
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 1, lines.end()), odd);
    EXPECT_EQ(ReadRuleFile(state, RuleList::kFriends), (std::vector<RuleEntry>{{"To:", "new", 3}}));
}

// Enough lines for every processor to take a share; the damaged and foreign lines
// sit in every share, and the chunk edges fall between them.
TEST_F(RuleListFileTest, ParallelDecryptionMatchesOneLineAtATime) {
    std::vector<std::string> lines;
    for (int i = 0; i < 203; ++i) {
        const std::string record = "10050Subject:\x1frule " + std::to_string(i);
        if (i % 17 == 5) {
            lines.push_back(Line(record, "another phrase"));
        } else if (i % 23 == 9) {
            std::string damaged = Line(record);
            damaged[damaged.size() - 20] = damaged[damaged.size() - 20] == 'A' ? 'B' : 'A';
            lines.push_back(damaged);
        } else if (i % 29 == 13) {
            lines.push_back(Line("ab"));  // opens, holds no rule
        } else {
            lines.push_back(Line(record));
        }
    }
    std::string content;
    std::vector<RuleEntry> expected;
    std::size_t expectedUnread = 0;
    for (const std::string& line : lines) {
        content += line + "\r\n";
        bool verified = false;
        const std::string record = RecordCipher::Decrypt(line, kPassphrase, &verified);
        if (verified && record.size() > 5) {
            expected.push_back({"Subject:", record.substr(record.find('\x1f') + 1), 50});
        } else {
            ++expectedUnread;
        }
    }
    WriteAll(Path(RuleList::kBlock), content);
    std::size_t unread = 0;
    EXPECT_EQ(ReadRuleFile(state, RuleList::kBlock, &unread), expected);
    EXPECT_EQ(unread, expectedUnread);
    EXPECT_EQ(expected.size() + expectedUnread, lines.size());
    EXPECT_GT(expectedUnread, 20u);

    std::vector<bool> verified;
    EXPECT_TRUE(RecordCipher::DecryptAll({}, kPassphrase, verified).empty());
    EXPECT_TRUE(verified.empty());
    EXPECT_EQ(RecordCipher::DecryptAll({lines[0]}, kPassphrase, verified),
              std::vector<std::string>{"10050Subject:\x1frule 0"});
    EXPECT_EQ(verified, std::vector<bool>{true});
}

// The cache serves only the bytes and passphrase it was made from: anything else reads
// the files themselves. A cache planted with other lists shows which way a read went.
TEST_F(RuleListFileTest, TheRuleCacheServesOnlyTheFilesItWasMadeFrom) {
    setenv("XDG_CACHE_HOME", (dir + "cache").c_str(), 1);
    const std::vector<RuleEntry> friends = {{"From:", "boss", 100}};
    const std::vector<RuleEntry> block = {{"Subject:", "lottery", 50}, {"To:", "me", 5}};
    ASSERT_TRUE(WriteRuleFile(state, RuleList::kFriends, friends, prompts));
    ASSERT_TRUE(WriteRuleFile(state, RuleList::kBlock, block, prompts));
    WriteAll(Path(RuleList::kBlock), ReadAll(Path(RuleList::kBlock)) + Line("ab") + "\r\n");
    const auto digest = [&](RuleList list) {
        return RuleCache::DigestOf(true, ReadAll(Path(list)));
    };
    const auto plant = [&] {
        RuleFiles planted;
        planted.rules[1] = {{"Subject:", "planted", 1}};
        RuleCache::Write(state, digest(RuleList::kFriends), digest(RuleList::kBlock), planted);
    };
    const auto read = [&] {
        ForgetLastRuleRead();  // as a new run
        return ReadRuleFiles(state);
    };
    const auto expectOwn = [&](const RuleFiles& files, const std::vector<RuleEntry>& blockRules) {
        EXPECT_EQ(files.rules[0], friends);
        EXPECT_EQ(files.rules[1], blockRules);
        EXPECT_EQ(files.unread[1], 1u);
    };

    // No kept file, no key of the run to share: nothing is cached.
    expectOwn(read(), block);
    EXPECT_FALSE(fs::exists(dir + "cache/quorvane"));

    // Written with the kept file's key; it holds no rule in plain.
    ASSERT_TRUE(KeptFile::Save(state));
    expectOwn(read(), block);
    std::string sealed;
    for (const auto& entry : fs::directory_iterator(dir + "cache/quorvane")) {
        sealed += ReadAll(entry.path());
        EXPECT_EQ(fs::status(entry.path()).permissions() & fs::perms::all,
                  fs::perms::owner_read | fs::perms::owner_write);
    }
    EXPECT_EQ(sealed.find("lottery"), std::string::npos);
    plant();
    EXPECT_EQ(read().rules[1], (std::vector<RuleEntry>{{"Subject:", "planted", 1}}));

    // Stale: a rule file changed behind it.
    const std::vector<RuleEntry> changed = {{"Subject:", "prize", 60}};
    ASSERT_TRUE(WriteRuleFile(state, RuleList::kBlock, changed, prompts));
    expectOwn(read(), changed);

    // Damaged behind the cache file's own digest, so only the tag can tell.
    plant();
    for (const auto& entry : fs::directory_iterator(dir + "cache/quorvane")) {
        const std::string name = entry.path().filename();
        std::optional<std::string> body = ScanCache::Read(name, "rules 1");
        ASSERT_TRUE(body.has_value());
        (*body)[body->size() - 40] ^= 0x01;
        ScanCache::Write(name, "rules 1", *body);
    }
    expectOwn(read(), changed);

    // Another passphrase: the tag fails, and the files give what they give under it.
    plant();
    Point(state, "another phrase");
    const RuleFiles other = read();
    EXPECT_TRUE(other.rules[0].empty());
    EXPECT_TRUE(other.rules[1].empty());
    EXPECT_EQ(other.unread[0] + other.unread[1], 3u);
    unsetenv("XDG_CACHE_HOME");
}

TEST_F(RuleListFileTest, LoadCompilesFriendsThenBlockAndClearsModified) {
    ASSERT_TRUE(WriteRuleFile(state, RuleList::kBlock, {{"Subject:", "lottery", 50}}, prompts));
    ASSERT_TRUE(WriteRuleFile(state, RuleList::kFriends,
                              {{"From:", "boss", 100}, {"From:", "mum", 30}}, prompts));
    for (int load = 0; load < 2; ++load) {  // a reload replaces the table
        state.modified = 1;
        LoadRuleLists(state);
        EXPECT_EQ(state.modified, 0);
        ASSERT_EQ(state.CurrentRules()->size(), 3u);
        EXPECT_EQ((*state.CurrentRules())[0].headerCode, kHeaderFrom);
        EXPECT_EQ((*state.CurrentRules())[1].weight, 30);
        EXPECT_EQ((*state.CurrentRules())[2].headerCode, kHeaderSubject);
        EXPECT_EQ((*state.CurrentRules())[2].weight, -50);  // Block counts against
    }
    SetAccountText(state.passphrase, "another phrase");
    LoadRuleLists(state);
    EXPECT_EQ(state.CurrentRules()->size(), 0u);
}

TEST_F(RuleListFileTest, TheCompiledTableStopsAtItsSize) {
    // One line repeated: each line decrypts on its own, salt and all.
    const std::string friendLine = Line(
                                       "00001From:\x1f"
                                       "f") +
                                   "\n";
    const std::string blockLine = Line(
                                      "10001Subject:\x1f"
                                      "b") +
                                  "\n";
    std::string friends;
    std::string block;
    for (int i = 0; i < 1100; ++i) {
        friends += friendLine;
        block += i < 1000 ? blockLine : "";
    }
    WriteAll(Path(RuleList::kFriends), friends);
    WriteAll(Path(RuleList::kBlock), block);
    LoadRuleLists(state);
    ASSERT_EQ(state.CurrentRules()->size(), kMaxRules);
    EXPECT_EQ((*state.CurrentRules())[1099].weight, 1);
    EXPECT_EQ((*state.CurrentRules())[kMaxRules - 1].weight, -1);
}

TEST_F(RuleListFileTest, FailedWritesKeepTheOldFileAndSaySo) {
    ASSERT_TRUE(WriteRuleFile(state, RuleList::kFriends, {{"From:", "boss", 100}}, prompts));
    const std::string before = ReadAll(Path(RuleList::kFriends));
    AtomicFile::SetBeforeRenameHook([](const std::string&) { return false; });
    EXPECT_FALSE(WriteRuleFile(state, RuleList::kFriends, {}, prompts));
    AtomicFile::SetBeforeRenameHook(nullptr);
    EXPECT_EQ(ReadAll(Path(RuleList::kFriends)), before);
    EXPECT_EQ(EntryCount(), 1u);

    std::filesystem::create_directory(Path(RuleList::kBlock));  // neither readable nor replaceable
    EXPECT_FALSE(WriteRuleFile(state, RuleList::kBlock, {{"From:", "x", 1}}, prompts));
    EXPECT_EQ(prompts.notices,
              (std::vector<std::string>{AtomicFile::FailureNotice(Path(RuleList::kFriends)),
                                        AtomicFile::FailureNotice(Path(RuleList::kBlock))}));
    EXPECT_FALSE(WriteRuleFile(state, static_cast<RuleList>(2), {}, prompts));  // no such list
}

}  // namespace
