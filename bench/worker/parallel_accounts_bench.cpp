// Ten accounts of 300 messages on one Dovecot, each behind a relay that adds 40 ms to
// every round trip, as distant servers do: one pass checking up to 4 accounts at once
// (the program's default) and up to 8, against the same pass one account at a time
// and against each account checked alone, in the same run. Every pass is a first
// check: no header is kept from an earlier one.
//
//   bench_parallel_accounts [--benchmark_repetitions=N]
//
// Prints at the end each pass as a multiple of the slowest account checked alone.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bench/support/bench_support.h"
#include "scan/rule_table.h"
#include "scan/scan_worker.h"
#include "tests/support/dovecot_server.h"
#include "tests/support/latency_relay.h"

namespace {

constexpr int kAccounts = 10;
constexpr int kMessages = 300;
constexpr auto kLatency = std::chrono::milliseconds(40);

std::string Message(int account, int n) {
    const std::string id = std::to_string(account) + "." + std::to_string(n);
    return "Received: from relay.example (relay.example [192.0.2.1])\r\n\tby mx.example.org "
           "with ESMTP id " +
           id + "\r\nFrom: Sender " + id + " <s" + id + "@example.com>\r\nTo: user" +
           std::to_string(account) +
           "@example.org\r\nSubject: " + (n % 5 == 0 ? "Special offer " : "Project status ") + id +
           "\r\nMessage-ID: <" + id + "@example.com>\r\n\r\nBody.\r\n";
}

struct World {
    qvtest::DovecotServer server;
    std::vector<std::unique_ptr<qvtest::LatencyRelay>> relays;
    std::shared_ptr<const RuleTable> rules =
        RuleTable::Build({{"From:", R"(boss@example\.org)", 100}},
                         {{"Subject:", R"(offer\b)", 50}, {"From:", R"(@spam\.example)", 40}});
    qvbench::NullView view;

    World() {
        for (int a = 0; a < kAccounts; ++a) {
            std::vector<std::string> messages;
            for (int n = 1; n <= kMessages; ++n) {
                messages.push_back(Message(a, n));
            }
            server.AddUser("user" + std::to_string(a), "pw", messages);
        }
        if (!server.Start()) {
            std::fprintf(stderr, "Dovecot: %s\n", server.Error().c_str());
            std::exit(1);
        }
        for (int a = 0; a < kAccounts; ++a) {
            relays.push_back(std::make_unique<qvtest::LatencyRelay>(server.Port(), kLatency));
        }
    }

    // A fresh state holding `accounts` (indices into the ten), all due, none seen.
    std::unique_ptr<AppState> StateWith(const std::vector<int>& accounts) const {
        auto state = std::make_unique<AppState>();
        state->PublishRules(rules);
        for (const int a : accounts) {
            AccountRecord account{};
            SetAccountText(account.address, "user" + std::to_string(a) + "@127.0.0.1");
            SetAccountText(account.password, "pw");
            account.periodMinutes = 5;
            account.scanMessages = 1;
            account.port = relays[static_cast<std::size_t>(a)]->Port();
            state->AppendAccount(account);
        }
        return state;
    }
    void Pass(const std::vector<int>& accounts, int parallel) {
        const std::unique_ptr<AppState> state = StateWith(accounts);
        ScanWorkerSettings settings;
        settings.parallelChecks = parallel;
        ScanWorker(*state, view, settings).RunPass();
    }
};

World& TheWorld() {
    static World world;
    return world;
}

std::vector<int> All() {
    std::vector<int> all;
    for (int a = 0; a < kAccounts; ++a) {
        all.push_back(a);
    }
    return all;
}

void BM_OneAccountAlone(benchmark::State& bench) {
    World& world = TheWorld();
    const int account = static_cast<int>(bench.range(0));
    world.Pass({account}, 1);  // Dovecot's index for this mailbox: not measured
    for (auto _ : bench) {
        world.Pass({account}, 1);
    }
}
BENCHMARK(BM_OneAccountAlone)
    ->DenseRange(0, kAccounts - 1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(3);

void BM_PassOfTen(benchmark::State& bench) {
    World& world = TheWorld();
    const int parallel = static_cast<int>(bench.range(0));
    for (auto _ : bench) {
        world.Pass(All(), parallel);
    }
    bench.counters["at_once"] = parallel;
    bench.counters["peak_rss_MiB"] = qvbench::PeakRssMiB();
}
BENCHMARK(BM_PassOfTen)
    ->Arg(1)
    ->Arg(4)
    ->Arg(8)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(3);

// Prints each pass as a multiple of the slowest account alone.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (run.run_type != Run::RT_Iteration && !median) {
                continue;
            }
            const double time = run.GetAdjustedRealTime();
            if (run.run_name.function_name == "BM_OneAccountAlone") {
                slowestAlone_ = std::max(slowestAlone_, time);
            } else {
                passes_[run.run_name.args] = time;
            }
        }
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        if (slowestAlone_ <= 0) {
            return;
        }
        for (const auto& [args, time] : passes_) {
            std::printf("pass of ten, %s at once / slowest account alone = %.2f\n", args.c_str(),
                        time / slowestAlone_);
        }
    }

  private:
    double slowestAlone_ = 0;
    std::map<std::string, double> passes_;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    std::printf("Warmed up outside the timed region: one untimed check of each mailbox.\n");
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
