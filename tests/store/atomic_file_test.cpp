#include "store/atomic_file.h"

#include <string>

#include "store_test_support.h"

namespace {

using AtomicFileTest = DataDirTest;

TEST_F(AtomicFileTest, ReplacesTheFileWhole) {
    FakePrompts prompts;
    const std::string path = dir + "data.qvd";
    ASSERT_TRUE(AtomicFile::Replace(path, "first\r\n", prompts));
    ASSERT_TRUE(AtomicFile::Replace(path, "second\r\n", prompts));
    EXPECT_EQ(ReadAll(path), "second\r\n");
    EXPECT_EQ(EntryCount(), 1u);
    EXPECT_TRUE(prompts.notices.empty());
    // The files hold passwords: only their owner may read them.
    const auto perms = std::filesystem::status(path).permissions();
    EXPECT_EQ(perms & (std::filesystem::perms::group_all | std::filesystem::perms::others_all),
              std::filesystem::perms::none);
}

// Failures that stop root as well as anyone else.
TEST_F(AtomicFileTest, FailuresLeaveTheOldContentAndTellTheUser) {
    // The rename fails: the target is a non-empty directory.
    const std::string blocked = dir + "blocked.qvd";
    std::filesystem::create_directory(blocked);
    WriteAll(blocked + "/inside", "old");
    FakePrompts prompts;
    EXPECT_FALSE(AtomicFile::Replace(blocked, "new", prompts));
    EXPECT_EQ(ReadAll(blocked + "/inside"), "old");
    EXPECT_EQ(EntryCount(), 1u);  // the temporary file is gone

    // No file can be created: the directory does not exist, or the system refuses.
    EXPECT_FALSE(AtomicFile::Replace(dir + "missing/data.qvd", "new", prompts));
    EXPECT_FALSE(AtomicFile::Replace("/proc/quorvane_data.qvd", "new", prompts));
    EXPECT_EQ(prompts.notices,
              (std::vector<std::string>{"The file could not be saved: " + blocked,
                                        "The file could not be saved: " + dir + "missing/data.qvd",
                                        "The file could not be saved: /proc/quorvane_data.qvd"}));
}

}  // namespace
