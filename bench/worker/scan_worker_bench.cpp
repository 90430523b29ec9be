// One pass of the worker over 10 Dovecot accounts of 500 messages each, scored against
// 2,000 rules, against the same pass with scanning off (login, STAT and QUIT only).
// Then one account of 2,000 messages: its first check (every header fetched) against a
// second check of the unchanged mailbox (the unique ids only, every header kept), and
// the first check after a restart that read the kept file (timed without the read).
// Last, the time to read a kept file at the 64 MiB bound.
//
//   bench_worker [--benchmark_repetitions=N]
//
// Reports the time per message, the peak resident memory after each benchmark, and at
// the end the ratios of the scanning pass to the counting pass and of the first check
// to the second.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/kept_file.h"
#include "bench/support/bench_support.h"
#include "scan/rule_groups.h"
#include "scan/rule_loader.h"
#include "scan/scan_worker.h"
#include "store/rule_list_file.h"
#include "store/user_prompts.h"
#include "tests/support/dovecot_server.h"

namespace {

constexpr int kAccounts = 10;
constexpr int kMessagesPerAccount = 500;
constexpr int kMessages = kAccounts * kMessagesPerAccount;
constexpr int kFriendRules = 500;
constexpr int kBlockRules = 1500;
constexpr char kBaseline[] = "BM_PassCountingOnly";
constexpr char kScanning[] = "BM_PassScanning";
constexpr int kBigMailbox = 2000;
constexpr char kFirstCheck[] = "BM_FirstCheck2000";
constexpr char kSecondCheck[] = "BM_SecondCheck2000";
constexpr char kRestartCheck[] = "BM_CheckAfterRestart2000";

using qvbench::NullView;
using qvbench::PeakRssMiB;

class SilentPrompts : public UserPrompts {
  public:
    bool AskPassphrase(bool, std::string&) override { return false; }
    void ShowNotice(const std::string& text) override {
        std::fprintf(stderr, "notice: %s\n", text.c_str());
    }
};

// A header of the usual shape: a relay chain, encoded words in some subjects and
// senders, folded fields; one message in five carries a blocked subject.
std::string Message(int account, int n) {
    const std::string id = std::to_string(account) + "." + std::to_string(n);
    std::string m;
    for (int hop = 0; hop < 4; ++hop) {
        m += "Received: from relay" + std::to_string((n + hop) % 97) +
             ".mail.example (relay.mail.example [192.0.2." + std::to_string(hop + 1) +
             "])\r\n\tby mx" + std::to_string(hop) + ".example.org with ESMTP id " + id +
             ";\r\n\tMon, 7 Dec 2026 06:00:00 +0000\r\n";
    }
    m += n % 3 == 0 ? "From: =?ISO-8859-1?Q?J=FCrgen_M=FCller?= <juergen" + id + "@example.net>\r\n"
                    : "From: Sender " + id + " <sender" + id + "@example.com>\r\n";
    m += "To: user" + std::to_string(account) + "@example.org\r\n";
    m += "Cc: team" + std::to_string(n % 7) + "@example.org\r\n";
    if (n % 5 == 0) {
        m += "Subject: Special offer" + std::to_string(4 * (n % (kBlockRules / 4))) +
             " just for you\r\n";
    } else if (n % 4 == 0) {
        m += "Subject: =?UTF-8?B?UmU6IE1lZXRpbmcgbm90ZXM=?= " + id + "\r\n";
    } else {
        m += "Subject: Re: project status " + id + "\r\n\tand next steps\r\n";
    }
    m += "Date: Mon, 7 Dec 2026 06:00:00 +0000\r\nMessage-ID: <" + id + "@example.com>\r\n";
    m += "MIME-Version: 1.0\r\nContent-Type: text/plain; charset=ISO-8859-1\r\n\r\n";
    m += "Body text that the scan never fetches.\r\n";
    return m;
}

std::vector<RuleEntry> FriendRules() {
    std::vector<RuleEntry> rules;
    for (int i = 0; i < kFriendRules; ++i) {
        rules.push_back({"From:", "friend" + std::to_string(i) + R"(@example\.org)", 50});
    }
    return rules;
}

// Subjects, senders, relays and recipients in turn.
std::vector<RuleEntry> BlockRules() {
    static const char* const kHeaders[] = {"Subject:", "From:", "Received:", "Recipient"};
    std::vector<RuleEntry> rules;
    for (int i = 0; i < kBlockRules; ++i) {
        const std::string n = std::to_string(i);
        const std::string patterns[] = {"offer" + n + R"(\b)", "@spam" + n + R"(\.example)",
                                        "from spamrelay" + n + R"(\.example)", "victim" + n + "@"};
        rules.push_back({kHeaders[i % 4], patterns[i % 4], 10 + i % 90});
    }
    return rules;
}

struct World {
    qvtest::DovecotServer server;
    std::string directory;
    std::unique_ptr<AppState> state = std::make_unique<AppState>();
    std::unique_ptr<AppState> single = std::make_unique<AppState>();  // the big mailbox
    NullView view;

    World() {
        for (int a = 0; a < kAccounts; ++a) {
            std::vector<std::string> messages;
            for (int n = 1; n <= kMessagesPerAccount; ++n) {
                messages.push_back(Message(a, n));
            }
            server.AddUser("user" + std::to_string(a), "pw" + std::to_string(a), messages);
        }
        std::vector<std::string> big;
        for (int n = 1; n <= kBigMailbox; ++n) {
            big.push_back(Message(kAccounts, n));
        }
        server.AddUser("big", "pw-big", big);
        if (!server.Start()) {
            std::fprintf(stderr, "Dovecot: %s\n", server.Error().c_str());
            std::exit(1);
        }
        std::string pattern = (std::filesystem::temp_directory_path() / "qv-bench-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            std::exit(1);
        }
        directory = pattern;
        SetDataDirectory(*state, directory + "/quorvane");
        SetAccountText(state->passphrase, "bench");
        SilentPrompts prompts;
        if (!WriteRuleFile(*state, RuleList::kFriends, FriendRules(), prompts) ||
            !WriteRuleFile(*state, RuleList::kBlock, BlockRules(), prompts)) {
            std::exit(1);
        }
        LoadRuleLists(*state);
        std::memcpy(single->dataDirectory, state->dataDirectory, kPathSize);
        SetAccountText(single->passphrase, "bench");
        LoadRuleLists(*single);
        AccountRecord bigAccount{};
        SetAccountText(bigAccount.address, "big@127.0.0.1");
        SetAccountText(bigAccount.password, "pw-big");
        bigAccount.periodMinutes = 5;
        bigAccount.scanMessages = 1;
        single->AppendAccount(bigAccount);
        for (int a = 0; a < kAccounts; ++a) {
            AccountRecord account{};
            SetAccountText(account.address, "user" + std::to_string(a) + "@127.0.0.1");
            SetAccountText(account.password, "pw" + std::to_string(a));
            account.periodMinutes = 5;
            account.scanMessages = 1;
            state->AppendAccount(account);
        }
    }
    ~World() {
        std::error_code ignored;
        std::filesystem::remove_all(directory, ignored);
    }

    // Every account due again, the unwanted lists empty, scanning on or off, and no
    // header kept from an earlier pass: each pass is a first check.
    void Prepare(int scanMessages) {
        Forget(*state);
        std::lock_guard lock(state->mutex);
        for (std::uint32_t i = 0; i < state->accountCount; ++i) {
            state->accounts[i].lastCheck = 0;
            state->accounts[i].scanMessages = scanMessages;
            state->unwantedFrom[i].clear();
            state->unwantedSubject[i].clear();
        }
    }
    void Pass(int scanMessages) {
        ScanWorkerSettings settings;
        settings.port = server.Port();
        ScanWorker worker(*state, view, settings);
        Prepare(scanMessages);
        worker.RunPass();
    }
    static void Forget(AppState& app) {
        app.kept.SetByteLimit(0);
        app.kept.SetByteLimit(KeptHeaders::kDefaultByteLimit);
    }
    // One check of the big mailbox; `first` forgets the headers kept before it.
    void CheckBig(bool first) {
        if (first) {
            Forget(*single);
        }
        single->accounts[0].lastCheck = 0;
        ScanWorkerSettings settings;
        settings.port = server.Port();
        ScanWorker worker(*single, view, settings);
        worker.RunPass();
    }
    std::size_t Unwanted() const {
        std::size_t total = 0;
        for (int a = 0; a < kAccounts; ++a) {
            total += state->unwantedFrom[static_cast<std::size_t>(a)].size();
        }
        return total;
    }
};

World& TheWorld() {
    static World world;
    return world;
}

void RunPasses(benchmark::State& bench, int scanMessages) {
    World& world = TheWorld();
    // Dovecot builds its indexes and caches on first access: not measured. Each
    // benchmark warms up in its own mode, so the counting pass's peak memory is its own.
    world.Pass(scanMessages);
    for (auto _ : bench) {
        world.Pass(scanMessages);
    }
    bench.counters["per_message"] =
        benchmark::Counter(static_cast<double>(kMessages) * static_cast<double>(bench.iterations()),
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    bench.counters["unwanted"] = static_cast<double>(world.Unwanted());
    bench.counters["rules"] = world.state->CurrentRules()->size();
    bench.counters["peak_rss_MiB"] = PeakRssMiB();
}

void BM_PassCountingOnly(benchmark::State& bench) {
    RunPasses(bench, 0);
}
void BM_PassScanning(benchmark::State& bench) {
    RunPasses(bench, 1);
}
BENCHMARK(BM_PassCountingOnly)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(10);
BENCHMARK(BM_PassScanning)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

void RunBigChecks(benchmark::State& bench, bool first) {
    World& world = TheWorld();
    world.CheckBig(true);  // Dovecot's indexes and caches, and the kept headers
    for (auto _ : bench) {
        world.CheckBig(first);
    }
    bench.counters["per_message"] = benchmark::Counter(
        static_cast<double>(kBigMailbox) * static_cast<double>(bench.iterations()),
        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    bench.counters["unwanted"] = static_cast<double>(world.single->unwantedDetail[0].size());
    bench.counters["kept_MiB"] = static_cast<double>(world.single->kept.Bytes()) / 1048576.0;
}

void BM_FirstCheck2000(benchmark::State& bench) {
    RunBigChecks(bench, true);
}
void BM_SecondCheck2000(benchmark::State& bench) {
    RunBigChecks(bench, false);
}
BENCHMARK(BM_FirstCheck2000)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_SecondCheck2000)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(10);

// A new run of the program: its own state with the rules and the account, nothing kept.
std::unique_ptr<AppState> Restarted(const AppState& before) {
    auto state = std::make_unique<AppState>();
    std::memcpy(state->dataDirectory, before.dataDirectory, kPathSize);
    std::memcpy(state->passphrase, before.passphrase, kTextSize);
    LoadRuleLists(*state);
    for (std::uint32_t i = 0; i < before.accountCount; ++i) {
        state->AppendAccount(before.accounts[i]);
    }
    return state;
}

void BM_CheckAfterRestart2000(benchmark::State& bench) {
    World& world = TheWorld();
    world.CheckBig(true);
    if (!KeptFile::Save(*world.single)) {
        bench.SkipWithError("the kept file was not written");
        return;
    }
    std::uint64_t changed = 0;
    std::size_t loaded = 0;
    for (auto _ : bench) {
        bench.PauseTiming();
        std::unique_ptr<AppState> state = Restarted(*world.single);
        loaded = KeptFile::Load(*state);
        const std::uint64_t before = state->kept.Changes();
        state->accounts[0].lastCheck = 0;
        ScanWorkerSettings settings;
        settings.port = world.server.Port();
        ScanWorker worker(*state, world.view, settings);
        bench.ResumeTiming();
        worker.RunPass();
        changed += state->kept.Changes() - before;  // a fetched or judged-again header
    }
    bench.counters["loaded"] = static_cast<double>(loaded);
    bench.counters["fetched_or_rejudged"] = static_cast<double>(changed);
}
BENCHMARK(BM_CheckAfterRestart2000)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

// Headers of the usual shape until the bound is reached, over 20 accounts.
void BM_LoadKeptFile64MiB(benchmark::State& bench) {
    std::unique_ptr<AppState> full = Restarted(*TheWorld().single);
    const std::string directory = TheWorld().directory + "/full";
    std::filesystem::create_directories(directory);
    SetDataDirectory(*full, directory + "/quorvane");
    for (int a = 1; a < 20; ++a) {
        AccountRecord account = full->accounts[0];
        SetAccountText(account.address, "user" + std::to_string(a) + "@127.0.0.1");
        full->AppendAccount(account);
    }
    for (int n = 1; full->kept.Bytes() + 4096 < KeptHeaders::kDefaultByteLimit; ++n) {
        KeptMessage message;
        message.uidl = "uid-" + std::to_string(n);
        message.headerBlock = Message(n % 20, n);
        full->kept.Keep(static_cast<std::uint32_t>(n % 20), std::move(message));
    }
    if (!KeptFile::Save(*full)) {
        bench.SkipWithError("the kept file was not written");
        return;
    }
    std::size_t loaded = 0;
    std::size_t bytes = 0;
    for (auto _ : bench) {
        bench.PauseTiming();
        std::unique_ptr<AppState> state = Restarted(*full);
        KeptFile::ForgetKey();
        bench.ResumeTiming();
        loaded = KeptFile::Load(*state);
        bench.PauseTiming();
        bytes = state->kept.Bytes();
        state.reset();
        bench.ResumeTiming();
    }
    bench.counters["blocks"] = static_cast<double>(loaded);
    bench.counters["kept_MiB"] = static_cast<double>(bytes) / 1048576.0;
    bench.counters["file_MiB"] =
        static_cast<double>(std::filesystem::file_size(KeptFile::PathIn(*full))) / 1048576.0;
}
BENCHMARK(BM_LoadKeptFile64MiB)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

// Prints the scanning pass as a multiple of the counting pass measured in this run.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        // With repetitions the median stands for the benchmark.
        for (const Run& run : runs) {
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (run.run_type == Run::RT_Iteration || median) {
                realTime_[run.run_name.function_name] = run.GetAdjustedRealTime();
            }
        }
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        if (realTime_.count(kBaseline) != 0 && realTime_.count(kScanning) != 0) {
            std::printf("scanning pass / counting pass = %.1f\n",
                        realTime_[kScanning] / realTime_[kBaseline]);
        }
        if (realTime_.count(kFirstCheck) != 0 && realTime_.count(kSecondCheck) != 0) {
            std::printf("first check / second check (2,000 messages, unchanged) = %.1f\n",
                        realTime_[kFirstCheck] / realTime_[kSecondCheck]);
        }
        if (realTime_.count(kRestartCheck) != 0 && realTime_.count(kSecondCheck) != 0) {
            std::printf("check after a restart / second check in the same run = %.2f\n",
                        realTime_[kRestartCheck] / realTime_[kSecondCheck]);
        }
    }

  private:
    std::map<std::string, double> realTime_;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    std::printf(
        "Warmed up outside the timed region: %s. bench_process_check times "
        "a new process with nothing warmed.\n",
        "one untimed pass per row first (Dovecot's index, the rule groups, the self-test)");
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
