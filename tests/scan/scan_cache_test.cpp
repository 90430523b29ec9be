// What the cache directory keeps between runs (the engine's self-test answer and the
// compiled databases) may be missing, whole, damaged or made elsewhere: the verdicts
// are the same every time, and a bad file is only made again.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "scan/header_scorer.h"
#include "scan/prefilter.h"
#include "scan/reference_scorer.h"
#include "scan/rule_compiler.h"
#include "scan/rule_groups.h"
#include "scan/rule_table_builder.h"
#include "scan/scan_cache.h"
#include "tests/support/test_fixtures.h"

#ifdef QV_HAVE_VECTORSCAN
#include "scan/scan_engine.h"
#endif

namespace {

namespace fs = std::filesystem;

std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void WriteAll(const fs::path& path, const std::string& data) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << data;
}

class ScanCacheTest : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("XDG_CACHE_HOME", home_.Path().c_str(), 1);
        directory_ = ScanCache::Directory();
        RuleGroups::SetPrefilterFloor(1);  // a short list still reaches every database
        const char* words[] = {
            "lott(e|a)ry[0-9]+", "casino",          "free.*prize", "(\\w+) \\1",
            "win{1,3}er",        "mx[0-9]\\.relay", "^bob",        "bitcoin|crypto"};
        const char* headers[] = {"Subject:", "From:", "To:", "Cc:", "Recipient", "Received:"};
        int weight = 5;
        for (const char* header : headers) {
            for (const char* contains : words) {
                CompileRule(state_, weight % 3 == 0 ? RuleList::kFriends : RuleList::kBlock, header,
                            contains, weight);
                weight = weight % 97 + 7;
            }
        }
    }
    void TearDown() override { RuleGroups::SetPrefilterFloor(RuleGroups::kPrefilterFloor); }

    // The scores of every block with groups made afresh, as a new process makes them.
    std::vector<int> Scores() {
        state_.BuildAfresh();
        return ScoresOf(state_.Table());
    }
    std::vector<int> ScoresOf(const RuleTable& table) {
        std::vector<int> scores;
        for (const std::string& block : blocks_) {
            std::string copy = block;
            scores.push_back(ScoreHeader(table, copy).score);
        }
        return scores;
    }
    std::vector<int> ReferenceScores() {
        std::vector<int> scores;
        for (const std::string& block : blocks_) {
            std::string copy = block;
            scores.push_back(ScoreHeaderReference(state_.Table(), copy).score);
        }
        return scores;
    }
    std::vector<fs::path> Databases() const {
        std::vector<fs::path> files;
        for (const auto& entry : fs::directory_iterator(directory_)) {
            if (entry.path().filename().string().starts_with("prefilter-")) {
                files.push_back(entry.path());
            }
        }
        return files;
    }

    qvtest::TempDirectory home_;
    std::string directory_;
    RuleTableBuilder state_;
    const std::vector<std::string> blocks_ = {
        "Received: from mx3.relay.example\r\nFrom: Bob <bob@example.org>\r\n"
        "Subject: lottery42 winner\r\n",
        "From: alice@casino.biz\r\nTo: me@example.net\r\nCc: bitcoin@example.org\r\n"
        "Subject: free money, one prize\r\n",
        "To: crypto@example.net, bob\r\nSubject: nothing nothing\r\n",
        "Subject: winnner\r\nCc: casino casino\r\n"};
};

TEST_F(ScanCacheTest, ColdWarmDamagedAndForeignFilesGiveTheSameVerdicts) {
    if (!Prefilter::Available()) {
        GTEST_FAIL() << "the prefilter is needed here: " << Prefilter::EngineName();
    }
    const std::vector<int> expected = ReferenceScores();
    EXPECT_EQ(Scores(), expected);  // cold: compiled and written
    const std::vector<fs::path> files = Databases();
    ASSERT_EQ(files.size(), 6u);
    for (const fs::path& file : files) {
        struct stat info {};
        ASSERT_EQ(::stat(file.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0600u) << file;
        EXPECT_EQ(ReadAll(file).find("lott(e|a)ry"), std::string::npos) << file;
    }
    const std::string whole = ReadAll(files[0]);
    const auto inode = [](const fs::path& file) {
        struct stat info {};
        return ::stat(file.c_str(), &info) == 0 ? info.st_ino : 0;
    };
    const ino_t before = inode(files[0]);
    EXPECT_EQ(Scores(), expected);  // warm: read back, not compiled and replaced
    EXPECT_EQ(inode(files[0]), before);

    // Damaged: cut short, one byte of the database changed, or the count line broken.
    WriteAll(files[0], whole.substr(0, whole.size() / 2));
    std::string flipped = ReadAll(files[1]);
    flipped[flipped.size() - 40] ^= 0x5a;
    WriteAll(files[1], flipped);
    std::string counts = ReadAll(files[2]);
    const std::size_t line = counts.find('\n', counts.find('\n', counts.find('\n') + 1) + 1);
    counts.insert(line + 1, "99 ");
    WriteAll(files[2], counts);
    EXPECT_EQ(Scores(), expected);
    EXPECT_EQ(ReadAll(files[0]), whole);  // made again

    // Foreign: written for another processor, or for another rule list.
    for (const fs::path& file : files) {
        std::string other = ReadAll(file);
        other.replace(other.find("features="), 9, "features=9");
        WriteAll(file, other);
    }
    EXPECT_EQ(Scores(), expected);
    CompileRule(state_, RuleList::kBlock, "Subject:", "nothing", 11);
    const std::vector<int> edited = ReferenceScores();
    EXPECT_NE(edited, expected);
    EXPECT_EQ(Scores(), edited);

    // An unwritable cache costs the compile every time, nothing else.
    fs::remove_all(directory_);
    WriteAll(directory_, "not a directory");
    EXPECT_EQ(Scores(), edited);
}

// A table whose databases are still compiling scores on PCRE2 alone, then switches.
TEST_F(ScanCacheTest, ScoringBeforeAndAfterTheCompileGivesTheSameVerdicts) {
    if (!Prefilter::Available()) {
        GTEST_FAIL() << "the prefilter is needed here: " << Prefilter::EngineName();
    }
    const std::vector<int> expected = ReferenceScores();
    for (const fs::path& file : Databases()) {
        fs::remove(file);  // cold
    }
    state_.SetPrefilterCompile(PrefilterCompile::kWhenAwaited);
    const RuleTable& table = state_.Table();
    EXPECT_EQ(ScoresOf(table), expected);
    EXPECT_TRUE(Databases().empty());  // nothing compiled yet
    table.AwaitPrefilters();
    EXPECT_EQ(Databases().size(), 6u);
    EXPECT_EQ(ScoresOf(table), expected);
    EXPECT_GT(table.groups().figures().exact, 0u);
}

#ifdef QV_HAVE_VECTORSCAN
TEST_F(ScanCacheTest, TheEngineSelfTestIsKeptPerLibraryAndProcessor) {
    const std::optional<ScanEngine> cold = ChooseScanEngine();
    ASSERT_TRUE(cold.has_value());
    const fs::path file = directory_ + "/scan-engine";
    const std::string whole = ReadAll(file);
    ASSERT_NE(whole.find(hs_version()), std::string::npos);
    const auto same = [&cold] {
        const std::optional<ScanEngine> again = ChooseScanEngine();
        return again.has_value() && std::string(again->name) == cold->name;
    };
    EXPECT_TRUE(same());  // warm
    WriteAll(file, whole.substr(0, whole.size() - 3));
    EXPECT_TRUE(same());  // damaged: tested again and written whole
    EXPECT_EQ(ReadAll(file), whole);
    std::string foreign = whole;
    foreign.replace(foreign.find("features="), 9, "features=9");
    WriteAll(file, foreign);
    EXPECT_TRUE(same());
    EXPECT_EQ(ReadAll(file), whole);
}
#endif

}  // namespace
