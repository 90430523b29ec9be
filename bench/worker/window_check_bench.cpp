// One check of a 2,000-message Dovecot mailbox through the worker with the program's
// window attached (offscreen), against the same check with no window and against
// Python's poplib doing login, STAT and TOP n 0 for every message on the same server.
//
//   bench_window_check [--benchmark_repetitions=N]
//
// A check through the window counts until the window shows its outcome, so it includes
// the wait before the window draws what the worker noted.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QTableWidget>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "app/main_window.h"
#include "bench/scan/scan_corpus.h"
#include "bench/support/bench_support.h"
#include "scan/rule_loader.h"
#include "store/rule_list_file.h"
#include "tests/support/dovecot_server.h"
#include "tests/support/test_fixtures.h"
#include "ui/page_friend.h"
#include "ui/page_inbox.h"

namespace {

constexpr int kMessages = 2000;

using qvbench::NullView;
using qvbench::PeakRssMiB;

// Headers of the usual size with a 1,500-byte body the check never fetches; one
// sender in four is blocked.
std::vector<std::string> Mailbox() {
    std::vector<std::string> messages;
    for (int n = 1; n <= kMessages; ++n) {
        const std::string id = std::to_string(n);
        const std::string domain = n % 4 == 0 ? "spam.example" : "example.org";
        messages.push_back(
            "Received: from mx.example.org (mx.example.org [192.0.2.1])\r\n"
            "\tby mail.example.net with ESMTP id " +
            id + "\r\nFrom: Sender " + id + " <s" + id + "@" + domain +
            ">\r\nTo: bench@example.net\r\n" + "Subject: Message " + id + "\r\nMessage-ID: <" + id +
            "@" + domain + ">\r\nDate: Mon, 7 Dec 2026 06:00:00 +0000\r\n\r\n" +
            std::string(1500, 'b') + "\r\n");
    }
    return messages;
}

struct World {
    qvtest::DovecotServer server;
    qvtest::TempDirectory directory;
    AppState state;
    qvtest::FakePrompts prompts;
    ScanWorkerSettings settings;

    World() {
        server.AddUser("bench", "pw", Mailbox());
        if (!server.Start()) {
            std::fprintf(stderr, "Dovecot: %s\n", server.Error().c_str());
            std::exit(1);
        }
        directory.UseFor(state);
        SetAccountText(state.passphrase, "bench");
        if (!WriteRuleFile(state, RuleList::kBlock,
                           {{"From:", R"(@spam\.example)", 60}, {"Subject:", "lottery|prize", 40}},
                           prompts)) {
            std::exit(1);
        }
        LoadRuleLists(state);
        state.AppendAccount(qvtest::MakeAccount("bench@127.0.0.1", "pw"));
        settings.tick = std::chrono::hours(1);  // only Check now starts a check
        settings.port = server.Port();
    }
    // Every check fetches every header: the kept ones would be judged without a TOP.
    // The unwanted lists of earlier checks would only grow.
    void Forget() {
        state.kept.RemoveAccount(state.IdOf(0));
        std::lock_guard lock(state.mutex);
        state.unwantedFrom[0].clear();
        state.unwantedSubject[0].clear();
        state.accounts[0].lastCheck = 0;
    }
    // The 2,000 rules of the scorer's benchmarks, Block weights shifted by `edit`.
    void WriteManyRules(int edit) {
        std::vector<RuleEntry> lists[2];
        for (const BenchRule& rule : MakeRules(2000, 11)) {
            const bool block = rule.list == RuleList::kBlock;
            lists[block ? 1 : 0].push_back(
                {rule.header, rule.contains, rule.weight + (block ? edit : 0)});
        }
        if (!WriteRuleFile(state, RuleList::kFriends, lists[0], prompts) ||
            !WriteRuleFile(state, RuleList::kBlock, lists[1], prompts)) {
            std::exit(1);
        }
    }
};

World* g_world = nullptr;
// poplib, worker without a window, worker with one, a pipelined Python client
double g_seconds[4] = {0, 0, 0, 0};
// With 2,000 rules: the first check after a cold start, the check after a rule edit,
// the first check after a warm start
double g_withManyRules[3] = {0, 0, 0};

void Finish(benchmark::State& bench, double total, double& mean) {
    mean = total / static_cast<double>(bench.iterations());
    bench.counters["peak_rss_MiB"] = PeakRssMiB();
}

void BM_Poplib(benchmark::State& bench) {
    const std::string command =
        "python3 " QV_POPLIB_SCRIPT " " + std::to_string(g_world->server.Port()) + " bench pw";
    g_seconds[0] = qvbench::RunFetchScript(bench, command, kMessages);
    bench.counters["peak_rss_MiB"] = PeakRssMiB();
}

void BM_PipelinedPython(benchmark::State& bench) {
    const std::string command = "python3 " QV_POPLIB_SCRIPT " " +
                                std::to_string(g_world->server.Port()) +
                                " bench pw plain pipelined";
    g_seconds[3] = qvbench::RunFetchScript(bench, command, kMessages);
}

void BM_WorkerWithoutWindow(benchmark::State& bench) {
    NullView view;
    ScanWorker worker(g_world->state, view, g_world->settings);
    double total = 0;
    for (auto _ : bench) {
        g_world->Forget();
        const auto start = std::chrono::steady_clock::now();
        worker.RunPass();
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        bench.SetIterationTime(seconds);
        total += seconds;
    }
    Finish(bench, total, g_seconds[1]);
}

std::unique_ptr<MainWindow> OpenWindow() {
    auto window = std::make_unique<MainWindow>(g_world->state, g_world->prompts, g_world->settings);
    window->UseDesktop({[] { return false; }, [](const QString&, const QString&) {}});
    window->show();
    return window;
}

// Starts a check of every header and waits for the window to show its outcome: true
// when it shows a whole check.
bool CheckThroughWindow(MainWindow& window, const QElapsedTimer& timer) {
    g_world->Forget();
    QTableWidget* list = window.inboxPage()->list();
    window.inboxPage()->SetCell(0, CPageInbox::kStatus, QString());
    window.CheckNow();
    // The Status says how the check goes while it runs, and its outcome at the end.
    const auto running = [list] {
        const QString status = list->item(0, CPageInbox::kStatus)->text();
        return status.isEmpty() || status.startsWith(QStringLiteral("Checking"));
    };
    while (running() && timer.elapsed() < 60000) {
        // Waits without spinning: a busy thread here would keep the cores awake
        // and make the worker's round trips look faster than they are.
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return list->item(0, CPageInbox::kStatus)->text() == QStringLiteral("OK") &&
           list->item(0, CPageInbox::kEmails)->text() == QString::number(kMessages);
}

// Times a check through `window` from `timer`'s start to its outcome, adding it to
// `total`; false, with the row skipped, when the window did not show a whole check.
bool TimeCheck(benchmark::State& bench, MainWindow& window, const QElapsedTimer& timer,
               double& total) {
    if (!CheckThroughWindow(window, timer)) {
        bench.SkipWithError("the window did not show a whole check");
        return false;
    }
    const double seconds = static_cast<double>(timer.nsecsElapsed()) / 1e9;
    bench.SetIterationTime(seconds);
    total += seconds;
    return true;
}

void BM_WorkerWithWindow(benchmark::State& bench) {
    const std::unique_ptr<MainWindow> window = OpenWindow();
    double total = 0;
    for (auto _ : bench) {
        QElapsedTimer timer;
        timer.start();
        if (!TimeCheck(bench, *window, timer, total)) {
            return;
        }
    }
    window->reject();
    Finish(bench, total, g_seconds[2]);
}

// With 2,000 rules, from the rules' reading at the start to the outcome of a check
// made at once; cold:1 with the cache directory empty, as at a first start, cold:0
// with it filled by the start before.
void BM_FirstCheckAfterStart2000Rules(benchmark::State& bench) {
    const bool cold = bench.range(0) != 0;
    g_world->WriteManyRules(0);
    qvtest::TempDirectory kept;
    double total = 0;
    for (auto _ : bench) {
        qvtest::TempDirectory fresh;
        setenv("XDG_CACHE_HOME", (cold ? fresh : kept).Path().c_str(), 1);
        if (!cold) {
            LoadRuleLists(g_world->state, PrefilterCompile::kBeforeUse);  // fills it
        }
        ForgetLastRuleRead();
        QElapsedTimer timer;
        timer.start();
        LoadRuleLists(g_world->state);
        const std::unique_ptr<MainWindow> window = OpenWindow();
        if (!TimeCheck(bench, *window, timer, total)) {
            return;
        }
        window->reject();
    }
    Finish(bench, total, g_withManyRules[cold ? 0 : 2]);
}

// With 2,000 rules, a Block rule edited and a check asked for at once: the check
// scores with the table the edit made.
void BM_CheckAfterRuleEdit2000Rules(benchmark::State& bench) {
    g_world->WriteManyRules(0);
    LoadRuleLists(g_world->state);
    const std::unique_ptr<MainWindow> window = OpenWindow();
    CPageFriend* page = window->findChildren<CPageFriend*>().front();
    int edit = 0;
    double total = 0;
    for (auto _ : bench) {
        g_world->WriteManyRules(++edit);
        QElapsedTimer timer;
        timer.start();
        g_world->state.modified = 1;
        emit page->rulesEdited();
        if (!TimeCheck(bench, *window, timer, total)) {
            return;
        }
    }
    window->reject();
    Finish(bench, total, g_withManyRules[1]);
}

BENCHMARK(BM_Poplib)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10);
BENCHMARK(BM_PipelinedPython)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10);
BENCHMARK(BM_WorkerWithoutWindow)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10);
BENCHMARK(BM_WorkerWithWindow)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10);
BENCHMARK(BM_FirstCheckAfterStart2000Rules)
    ->ArgName("cold")
    ->Arg(0)
    ->Arg(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);
BENCHMARK(BM_CheckAfterRuleEdit2000Rules)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);

}  // namespace

int main(int argc, char** argv) {
    // The window needs no screen; its options go to a scratch place, not the user's.
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    qvtest::TempDirectory config;
    setenv("XDG_CONFIG_HOME", config.Path().c_str(), 1);
    benchmark::Initialize(&argc, argv);
    QApplication app(argc, argv);
    World world;
    g_world = &world;
    // Dovecot builds its index on the first access: not measured.
    world.Forget();
    NullView view;
    ScanWorker(world.state, view, world.settings).RunPass();
    std::printf(
        "Warmed up outside the timed region: %s. bench_process_check times "
        "a new process with nothing warmed.\n",
        "one untimed check first (Dovecot's index, the rule groups, the self-test)");
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (g_seconds[0] > 0 && g_seconds[2] > 0 && g_seconds[3] > 0) {
        std::printf(
            "poplib %.1f ms, pipelined Python %.1f ms, worker %.1f ms, worker with the window "
            "%.1f ms: with the window / poplib = %.2f, / pipelined = %.2f\n",
            g_seconds[0] * 1000, g_seconds[3] * 1000, g_seconds[1] * 1000, g_seconds[2] * 1000,
            g_seconds[2] / g_seconds[0], g_seconds[2] / g_seconds[3]);
    }
    if (g_seconds[0] > 0) {
        std::printf(
            "2,000 rules: first check after a warm start %.1f ms (%.2f x poplib), after a cold "
            "start %.1f ms (%.2f x), check after a rule edit %.1f ms (%.2f x)\n",
            g_withManyRules[2] * 1000, g_withManyRules[2] / g_seconds[0], g_withManyRules[0] * 1000,
            g_withManyRules[0] / g_seconds[0], g_withManyRules[1] * 1000,
            g_withManyRules[1] / g_seconds[0]);
    }
    return 0;
}
