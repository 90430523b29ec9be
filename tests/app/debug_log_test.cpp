// The opt-in trace: what it says about a check, a dropped rule and a save, and what it
// must never say.
#include <gtest/gtest.h>

#include <string>

#include "app/app_state.h"
#include "app/debug_log.h"
#include "pop3/pop3_session.h"
#include "pop3/scripted_stream.h"
#include "scan/rule_compiler.h"
#include "scan/rule_table_builder.h"
#include "store/atomic_file.h"
#include "tests/support/test_fixtures.h"

namespace {

constexpr char kUser[] = "alice.login";
constexpr char kPassword[] = "hunter2-secret";

// Runs `work` with the log on and returns what it wrote to standard error.
template <class Work>
std::string Trace(Work&& work) {
    DebugLog::SetEnabled(true);
    testing::internal::CaptureStderr();
    work();
    DebugLog::SetEnabled(false);
    return testing::internal::GetCapturedStderr();
}

std::string LogIn(int apop) {
    ScriptedStream stream;
    stream.Say("+OK ready <1.2@host>\r\n").AwaitCommand().Say("+OK\r\nTOP\r\nUIDL\r\n.\r\n");
    if (apop == 0) {
        stream.AwaitCommand().Say("+OK\r\n");
    }
    stream.AwaitCommand().Say("+OK\r\n").AwaitCommand().Say("-ERR no\r\n");
    return Trace([&] {
        Pop3Session session(stream);
        session.m_bApop = apop;
        session.m_nTimeout = 2000;
        ASSERT_EQ(1, session.Login("127.0.0.1", kUser, kPassword, 110));
        int count = 0;
        int size = 0;
        EXPECT_EQ(0, session.Stat(count, size));
    });
}

TEST(DebugLog, TracesCommandsWithoutCredentials) {
    const std::string plain = LogIn(0);
    EXPECT_NE(plain.find("pop3: > USER\n"), std::string::npos) << plain;
    EXPECT_NE(plain.find("pop3: > PASS\n"), std::string::npos) << plain;
    EXPECT_NE(plain.find("pop3: > STAT\n"), std::string::npos) << plain;
    EXPECT_NE(plain.find("pop3: < refused"), std::string::npos) << plain;
    const std::string apop = LogIn(1);
    EXPECT_NE(apop.find("pop3: > APOP\n"), std::string::npos) << apop;
    for (const std::string& trace : {plain, apop}) {
        EXPECT_EQ(trace.find(kPassword), std::string::npos) << trace;
        EXPECT_EQ(trace.find(kUser), std::string::npos) << trace;
    }
}

TEST(DebugLog, ReportsADroppedRuleAndASaveAndIsSilentWhenOff) {
    RuleTableBuilder state;
    const std::string trace = Trace([&] {
        CompileRule(state, RuleList::kBlock, "Subject", "(unclosed", 50);
        (void)state.Table();
    });
    EXPECT_EQ(0u, state.Table().size());
    EXPECT_NE(trace.find("rules: dropped ^Subject(.*)(unclosed: missing closing parenthesis at "
                         "offset 21"),
              std::string::npos)
        << trace;

    const qvtest::TempDirectory dir;
    const std::string path = dir.Path() + "rules.txt";
    qvtest::FakePrompts prompts;
    const std::string saved = Trace([&] { AtomicFile::Replace(path, "x", prompts); });
    EXPECT_EQ("quorvane: save: saved " + path + "\n", saved);

    testing::internal::CaptureStderr();
    CompileRule(state, RuleList::kBlock, "Subject", "(unclosed", 50);
    (void)state.Table();
    AtomicFile::Replace(path, "y", prompts);
    EXPECT_EQ("", testing::internal::GetCapturedStderr());
}

}  // namespace
