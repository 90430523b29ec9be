// Scoring throughput: the grouped scorer with its prefilter, the grouped scorer on
// PCRE2 alone, and the reference scorer as the baseline, with 15 and 2,000 rules, all
// measured in the same run. Compare items_per_second between rows of equal `rules`.
// BM_ScoreHeader makes the groups before its timed loop (a warm-up: each row's label
// says so); BM_FirstCheck times what a check pays, groups included, and finds the
// group size below which the prefilter does not earn its compile.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>

#include "bench/support/bench_support.h"
#include "scan/header_fields.h"
#include "scan/header_scorer.h"
#include "scan/rule_groups.h"
#include "scan/rule_table_builder.h"
#include "scan_corpus.h"

namespace {

constexpr std::size_t kHeaderCount = 3000;
constexpr ScoringPath kPaths[] = {ScoringPath::kPrefilter, ScoringPath::kGroups,
                                  ScoringPath::kReference};
const char* const kPathNames[] = {"prefilter", "groups", "reference"};

struct Corpus {
    Corpus() : headers(MakeHeaders(kHeaderCount, 7)), foreign(MakeHeaders(kHeaderCount, 7, 0.1)) {}

    // One table per rule count, compiled with the JIT as the program does.
    RuleTableBuilder& Rules(std::size_t count) {
        std::unique_ptr<RuleTableBuilder>& rules = tables[count];
        if (!rules) {
            rules = std::make_unique<RuleTableBuilder>();
            CompileAll(*rules, MakeRules(count, 11), true);
        }
        return *rules;
    }

    std::vector<std::string> headers;
    std::vector<std::string> foreign;  // 10 % with a Subject in another charset
    std::map<std::size_t, std::unique_ptr<RuleTableBuilder>> tables;
};

Corpus& TheCorpus() {
    static Corpus corpus;
    return corpus;
}

// What the worker does per message: decode the block in place, then score it.
// Arguments: path (0 prefilter, 1 groups, 2 reference), rule count, fired list wanted,
// and the share in percent of headers in another charset (0 or 10).
void BM_ScoreHeader(benchmark::State& st) {
    Corpus& c = TheCorpus();
    const std::vector<std::string>& headers = st.range(3) != 0 ? c.foreign : c.headers;
    RuleTableBuilder& builder = c.Rules(static_cast<std::size_t>(st.range(1)));
    builder.SetPath(kPaths[st.range(0)]);
    const RuleTable& rules = builder.Table();  // the table is built outside the timed loop
    const bool wantFired = st.range(2) != 0;
    std::vector<int> fired;
    std::int64_t firedCount = 0;
    std::size_t i = 0;
    {
        std::string warm = headers[0];
        ScoreHeader(rules, warm);
    }
    for (auto _ : st) {
        std::string block = headers[i++ % headers.size()];
        DecodeEncodedWords(block);
        const ScoreResult result = ScoreHeader(rules, block, wantFired ? &fired : nullptr);
        firedCount += static_cast<std::int64_t>(fired.size());
        benchmark::DoNotOptimize(result.score);
    }
    st.SetItemsProcessed(st.iterations());
    const auto n = static_cast<double>(st.iterations());
    st.counters["fired_per_header"] = static_cast<double>(firedCount) / n;
    st.counters["rules"] = static_cast<double>(rules.size());
    st.counters["peak_rss_mib"] = qvbench::PeakRssMiB();
    st.SetLabel(std::string(kPathNames[st.range(0)]) + (wantFired ? ", fired list" : "") +
                (st.range(3) != 0 ? ", 10 % other charsets" : "") + ", groups made before timing");
}

// Decoding alone, as the worker does before it scores: every encoded word to UTF-8.
// Argument: the share in percent of headers in another charset (0 or 10).
void BM_Decode(benchmark::State& st) {
    Corpus& c = TheCorpus();
    const std::vector<std::string>& headers = st.range(0) != 0 ? c.foreign : c.headers;
    std::size_t i = 0;
    for (auto _ : st) {
        std::string block = headers[i++ % headers.size()];
        benchmark::DoNotOptimize(DecodeEncodedWords(block));
    }
    st.SetItemsProcessed(st.iterations());
}

// The table built anew (as after a rule edit) and then 2,000 headers scored, with the
// prefilter on every group or on none. Arguments: rule count, prefilter (1) or not.
// Where the two rows meet is the break-even; `largest_group` says at what group size.
void BM_FirstCheck(benchmark::State& st) {
    Corpus& c = TheCorpus();
    RuleTableBuilder& rules = c.Rules(static_cast<std::size_t>(st.range(0)));
    rules.SetPath(st.range(1) != 0 ? ScoringPath::kPrefilter : ScoringPath::kGroups);
    RuleGroups::SetPrefilterFloor(1);
    const std::size_t largest = rules.Table().groups().LargestGroup();
    for (auto _ : st) {
        rules.BuildAfresh();
        const RuleTable& table = rules.Table();
        for (std::size_t i = 0; i < 2000; ++i) {
            std::string block = c.headers[i % c.headers.size()];
            DecodeEncodedWords(block);
            benchmark::DoNotOptimize(ScoreHeader(table, block).score);
        }
    }
    RuleGroups::SetPrefilterFloor(RuleGroups::kPrefilterFloor);
    rules.BuildAfresh();
    st.counters["largest_group"] = static_cast<double>(largest);
    st.SetLabel(st.range(1) != 0 ? "prefilter on every group" : "PCRE2 alone");
}

// Building the rule table with the JIT and groups on PCRE2 alone, as every rule reload
// and every new process does before the prefilter databases are made.
void BM_CompileRules(benchmark::State& st) {
    const std::vector<BenchRule> rules = MakeRules(static_cast<std::size_t>(st.range(0)), 11);
    for (auto _ : st) {
        RuleTableBuilder builder;
        builder.SetPath(ScoringPath::kGroups);
        CompileAll(builder, rules, true);
        benchmark::DoNotOptimize(builder.Table().size());
    }
}

// Making the groups and their databases, as after every rule reload. Arguments: rule
// count, and whether the cache directory already holds the databases (1) or none (0).
void BM_MakeGroups(benchmark::State& st) {
    const RuleTable& rules = TheCorpus().Rules(static_cast<std::size_t>(st.range(0))).Table();
    RuleGroups::Figures figures;
    const std::string cache = "/tmp/qv-bench-scan-cache-" + std::to_string(::getpid());
    setenv("XDG_CACHE_HOME", cache.c_str(), 1);
    std::filesystem::remove_all(cache);
    if (st.range(1) != 0) {
        const RuleGroups fill(rules, true, RuleGroups::kPrefilterFloor);
    }
    for (auto _ : st) {
        if (st.range(1) == 0) {
            st.PauseTiming();
            std::filesystem::remove_all(cache);
            st.ResumeTiming();
        }
        const RuleGroups groups(rules, true, RuleGroups::kPrefilterFloor);
        figures = groups.figures();
        benchmark::DoNotOptimize(&groups);
    }
    st.counters["exact"] = static_cast<double>(figures.exact);
    st.counters["approximate"] = static_cast<double>(figures.approximate);
    st.counters["always_pcre2"] = static_cast<double>(figures.alwaysTried);
    st.counters["database_kib"] = static_cast<double>(figures.databaseBytes) / 1024.0;
    st.counters["peak_rss_mib"] = qvbench::PeakRssMiB();
}

BENCHMARK(BM_ScoreHeader)
    ->ArgNames({"path", "rules", "fired", "foreign"})
    ->ArgsProduct({{0, 1, 2}, {15, 2000}, {0}, {0}})
    ->Args({0, 2000, 1, 0})
    ->Args({0, 15, 1, 0})
    ->Args({0, 2000, 0, 10})
    ->Args({0, 15, 0, 10})
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Decode)->ArgName("foreign")->Arg(0)->Arg(10);
BENCHMARK(BM_CompileRules)->ArgName("rules")->Arg(15)->Arg(2000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MakeGroups)
    ->ArgNames({"rules", "warm"})
    ->ArgsProduct({{15, 2000}, {0, 1}})
    ->MeasureProcessCPUTime()
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FirstCheck)
    ->ArgNames({"rules", "prefilter"})
    ->ArgsProduct({{15, 60, 120, 200, 300, 500}, {0, 1}})
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    // The engine's self-test runs once per process (or not at all, with a warm cache):
    // not part of any row.
    (void)Prefilter::Available();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
