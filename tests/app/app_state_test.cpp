#include "app/app_state.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "app/auto_reset_event.h"

namespace {

AccountRecord Named(const std::string& description) {
    AccountRecord record{};
    SetAccountText(record.description, description);
    return record;
}

TEST(AppStateTest, AccountTableRefusesTheHundredAndFirst) {
    AppState state;
    for (std::size_t i = 0; i < kMaxAccounts; ++i) {
        // Appended, not "a" + ...: GCC 12 flags that form with a false -Wrestrict at -O3.
        ASSERT_TRUE(state.AppendAccount(Named(std::string("a").append(std::to_string(i)))));
    }
    EXPECT_FALSE(state.AppendAccount(Named("overflow")));
    EXPECT_EQ(state.AccountCount(), kMaxAccounts);
    EXPECT_STREQ(state.accounts[kMaxAccounts - 1].description, "a99");
}

TEST(AppStateTest, ReplaceKeepsPositionAndLastCheck) {
    AppState state;
    ASSERT_TRUE(state.AppendAccount(Named("first")));
    state.accounts[0].lastCheck = 1234;
    state.RecordUnwanted(0, "From: x", "Subject: y");
    ASSERT_TRUE(state.ReplaceAccount(0, Named("renamed")));
    EXPECT_FALSE(state.ReplaceAccount(1, Named("none")));
    EXPECT_STREQ(state.accounts[0].description, "renamed");
    EXPECT_EQ(state.accounts[0].lastCheck, 1234u);
    std::vector<std::string> from, subject;
    state.CopyUnwanted(0, from, subject);
    EXPECT_EQ(from, std::vector<std::string>{"From: x"});
    EXPECT_EQ(subject, std::vector<std::string>{"Subject: y"});
}

// Removal moves the later accounts and their unwanted lists down together; ids stay
// with their accounts, and a list for a removed id is refused.
TEST(AppStateTest, RemoveShiftsAccountsWithTheirUnwantedLists) {
    AppState state;
    for (const char* name : {"a", "b", "c"}) {
        ASSERT_TRUE(state.AppendAccount(Named(name)));
    }
    state.RecordUnwanted(1, "From: b", "Subject: b");
    state.RecordUnwanted(2, "From: c", "Subject: c");
    const AccountId a = state.IdOf(0);
    const AccountId c = state.IdOf(2);
    EXPECT_NE(a, kNoAccount);
    ASSERT_TRUE(state.RemoveAccount(0));
    EXPECT_FALSE(state.RemoveAccount(2));
    ASSERT_EQ(state.AccountCount(), 2u);
    EXPECT_STREQ(state.accounts[0].description, "b");
    EXPECT_STREQ(state.accounts[1].description, "c");
    EXPECT_STREQ(state.accounts[2].description, "");
    std::vector<std::string> from, subject;
    state.CopyUnwanted(1, from, subject);
    EXPECT_EQ(subject, std::vector<std::string>{"Subject: c"});
    state.CopyUnwanted(2, from, subject);
    EXPECT_TRUE(from.empty());
    EXPECT_EQ(state.IndexOf(a), -1);
    EXPECT_EQ(state.IndexOf(c), 1);
    UnwantedMessage late;
    late.from = "From: late";
    EXPECT_FALSE(state.ReplaceUnwanted(a, {late}));
    EXPECT_TRUE(state.ReplaceUnwanted(c, {late}));
    state.CopyUnwanted(1, from, subject);
    EXPECT_EQ(from, std::vector<std::string>{"From: late"});
    ASSERT_TRUE(state.AppendAccount(Named("d")));
    EXPECT_NE(state.IdOf(2), a) << "an id is never given again";
    EXPECT_NE(state.IdOf(2), c);
}

TEST(AppStateTest, AccountTextsAreCutTo255Bytes) {
    AccountRecord record{};
    SetAccountText(record.password, std::string(300, 'p'));
    EXPECT_EQ(std::string(record.password), std::string(255, 'p'));
}

TEST(AppStateTest, DataDirectoryKeepsTrailingSeparator) {
    AppState state;
    SetDataDirectory(state, "/opt/quorvane/bin/quorvane");
    EXPECT_STREQ(state.dataDirectory, "/opt/quorvane/bin/");
    SetDataDirectory(state, "/quorvane");
    EXPECT_STREQ(state.dataDirectory, "/");
    SetDataDirectory(state, "/" + std::string(400, 'd') + "/quorvane");
    EXPECT_EQ(std::string(state.dataDirectory).size(), kPathSize - 1);
}

TEST(AutoResetEventTest, OneWaiterTakesTheSignal) {
    AutoResetEvent event;
    EXPECT_FALSE(event.Wait(std::chrono::milliseconds(1)));
    event.Set();
    EXPECT_TRUE(event.Wait(std::chrono::milliseconds(0)));
    EXPECT_FALSE(event.Wait(std::chrono::milliseconds(1)));
    std::thread setter([&] { event.Set(); });
    EXPECT_TRUE(event.Wait(std::chrono::seconds(5)));
    setter.join();
}

}  // namespace
