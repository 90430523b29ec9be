// Start-up to the window, as the program runs it once the passphrase is typed: the
// account file read, the rules read and built, the kept file read, the window made
// and shown. With 100 accounts and 2,000 rules, with the cache directory empty (cold)
// and filled (warm), against one account and 15 rules in the same run.
//
//   bench_startup [--benchmark_repetitions=N]
//
// Prints at the end each start-up as a multiple of the small one.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QTest>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>

#include "app/kept_file.h"
#include "app/main_window.h"
#include "bench/scan/scan_corpus.h"
#include "bench/support/bench_support.h"
#include "scan/rule_loader.h"
#include "store/account_file.h"
#include "store/rule_list_file.h"
#include "tests/support/test_fixtures.h"

namespace {

constexpr char kPassphrase[] = "bench";

// A data directory holding `accounts` accounts and `rules` rules.
struct Data {
    qvtest::TempDirectory directory;

    Data(int accounts, std::size_t rules) {
        AppState state;
        qvtest::FakePrompts prompts{kPassphrase};
        directory.UseFor(state);
        SetAccountText(state.passphrase, kPassphrase);
        for (int a = 0; a < accounts; ++a) {
            state.AppendAccount(qvtest::MakeAccount("user" + std::to_string(a) + "@127.0.0.1", "pw",
                                                    {.periodMinutes = 60}));
        }
        std::vector<RuleEntry> block, friends;
        for (const BenchRule& rule : MakeRules(rules, 11)) {
            (rule.list == RuleList::kBlock ? block : friends)
                .push_back({rule.header, rule.contains, rule.weight});
        }
        if (!SaveAccountFile(state, prompts) ||
            !WriteRuleFile(state, RuleList::kBlock, block, prompts) ||
            !WriteRuleFile(state, RuleList::kFriends, friends, prompts)) {
            std::fprintf(stderr, "the data directory could not be written\n");
            std::exit(1);
        }
    }

    // One start-up, in seconds; the window closes (untimed) before it returns.
    double Start() const {
        auto state = std::make_unique<AppState>();
        qvtest::FakePrompts prompts{kPassphrase};
        directory.UseFor(*state);
        QElapsedTimer timer;
        timer.start();
        LoadAccountFile(*state, prompts);
        LoadRuleLists(*state);
        static_cast<void>(KeptFile::Load(*state));
        ScanWorkerSettings settings;
        settings.tick = std::chrono::hours(1);  // no check: the start-up alone
        double seconds = 0;
        {
            MainWindow window(*state, prompts, settings);
            window.show();
            if (!QTest::qWaitForWindowExposed(&window)) {
                std::fprintf(stderr, "the window did not show\n");
                std::exit(1);
            }
            seconds = static_cast<double>(timer.nsecsElapsed()) / 1e9;
            window.reject();
        }
        return seconds;
    }
};

qvtest::TempDirectory* g_caches = nullptr;
int g_fresh = 0;

void RunStartups(benchmark::State& bench, int accounts, std::size_t rules, bool cold) {
    static std::map<std::pair<int, std::size_t>, std::unique_ptr<Data>> data;
    std::unique_ptr<Data>& d = data[{accounts, rules}];
    if (!d) {
        d = std::make_unique<Data>(accounts, rules);
    }
    const std::string warmCache = g_caches->Path() + "warm-" + std::to_string(rules);
    setenv("XDG_CACHE_HOME", warmCache.c_str(), 1);
    d->Start();  // fills the warm cache, and the library's own first-use costs
    for (auto _ : bench) {
        const std::string cache =
            cold ? g_caches->Path() + "cold-" + std::to_string(g_fresh++) : warmCache;
        setenv("XDG_CACHE_HOME", cache.c_str(), 1);
        bench.SetIterationTime(d->Start());
    }
    bench.counters["peak_rss_MiB"] = qvbench::PeakRssMiB();
}

void BM_StartupSmall(benchmark::State& bench) {
    RunStartups(bench, 1, 15, false);
}
void BM_Startup100Accounts2000Rules(benchmark::State& bench) {
    RunStartups(bench, 100, 2000, bench.range(0) != 0);
}
BENCHMARK(BM_StartupSmall)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_Startup100Accounts2000Rules)
    ->ArgName("cold")
    ->Arg(0)
    ->Arg(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);

// Prints each start-up as a multiple of the small one.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Iteration) {
                times_[run.benchmark_name()] = run.GetAdjustedRealTime();
            }
        }
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        const auto small = times_.find("BM_StartupSmall/iterations:5/manual_time");
        if (small == times_.end() || small->second <= 0) {
            return;
        }
        for (const auto& [name, time] : times_) {
            std::printf("%s: %.0f ms, %.2f x the small start-up\n", name.c_str(), time,
                        time / small->second);
        }
    }

  private:
    std::map<std::string, double> times_;
};

}  // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    qvtest::TempDirectory config;
    setenv("XDG_CONFIG_HOME", config.Path().c_str(), 1);
    qvtest::TempDirectory caches;
    g_caches = &caches;
    benchmark::Initialize(&argc, argv);
    QApplication app(argc, argv);
    RatioReporter reporter;
    std::printf("Warmed up outside the timed region: one untimed start-up per row.\n");
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
