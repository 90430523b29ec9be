// Scoring throughput with 2,000 rules, with the JIT and with the interpreter as the
// baseline measured in the same run.
#include <benchmark/benchmark.h>

#include <memory>

#include "scan/header_fields.h"
#include "scan/header_scorer.h"
#include "scan_corpus.h"

namespace {

constexpr std::size_t kRuleCount = 2000;
constexpr std::size_t kHeaderCount = 3000;

// The fields of one decoded header that the scorer shows to rules.
struct HeaderFields {
    std::vector<std::string> received;
    std::optional<std::string> from, to, cc, subject;
};

HeaderFields Split(std::string block) {
    HeaderFields f;
    DecodeEncodedWords(block);
    f.from = FindHeaderField(block, "From:");
    f.to = FindHeaderField(block, "To:");
    f.cc = FindHeaderField(block, "Cc:");
    f.subject = FindHeaderField(block, "Subject:");
    while (auto r = FindHeaderField(block, "Received:")) {
        f.received.push_back(*r);
        CutHeaderField(block, "Received:");
    }
    return f;
}

// The field texts a rule of this code is matched against.
std::vector<const std::string*> FieldsFor(int code, const HeaderFields& f) {
    std::vector<const std::string*> out;
    auto add = [&](const std::optional<std::string>& s) {
        if (s) {
            out.push_back(&*s);
        }
    };
    switch (code) {
        case kHeaderReceived:
            for (const std::string& r : f.received) {
                out.push_back(&r);
            }
            break;
        case kHeaderFrom:
            add(f.from);
            break;
        case kHeaderTo:
            add(f.to);
            break;
        case kHeaderCc:
            add(f.cc);
            break;
        case kHeaderRecipient:
            add(f.to);
            add(f.cc);
            break;
        case kHeaderSubject:
            add(f.subject);
            break;
        default:
            break;
    }
    return out;
}

struct Call {
    const pcre2_code* code;
    const std::string* text;
};

struct Corpus {
    Corpus() : headers(MakeHeaders(kHeaderCount, 7)) {
        const std::vector<BenchRule> rules = MakeRules(kRuleCount, 11);
        CompileAll(*jit, rules, true);
        CompileAll(*interpreted, rules, false);
        for (const std::string& h : headers) {
            fields.push_back(Split(h));
        }
        ListCalls(*jit, jitCalls);
        ListCalls(*interpreted, interpretedCalls);
    }
    const AppState& Rules(bool useJit) const { return useJit ? *jit : *interpreted; }
    const std::vector<Call>& Calls(bool useJit) const {
        return useJit ? jitCalls : interpretedCalls;
    }

    // The match calls of the first headers, and how many a header needs on average
    // when no early end cuts the pass short.
    void ListCalls(const AppState& rules, std::vector<Call>& calls) {
        std::size_t total = 0;
        for (std::size_t h = 0; h < fields.size(); ++h) {
            for (std::uint32_t j = 0; j < rules.ruleCount; ++j) {
                for (const std::string* text : FieldsFor(rules.rules[j].headerCode, fields[h])) {
                    ++total;
                    if (h < 50) {
                        calls.push_back({rules.rules[j].pattern, text});
                    }
                }
            }
        }
        callsPerHeader = static_cast<double>(total) / static_cast<double>(fields.size());
    }

    std::unique_ptr<AppState> jit = std::make_unique<AppState>();
    std::unique_ptr<AppState> interpreted = std::make_unique<AppState>();
    std::vector<std::string> headers;
    std::vector<HeaderFields> fields;
    std::vector<Call> jitCalls, interpretedCalls;
    double callsPerHeader = 0;
};

const Corpus& TheCorpus() {
    static const Corpus corpus;
    return corpus;
}

// What the worker does per message: decode the block in place, then score it.
void BM_ScoreHeader(benchmark::State& st) {
    const Corpus& c = TheCorpus();
    const AppState& rules = c.Rules(st.range(0) != 0);
    std::size_t i = 0;
    std::int64_t unwanted = 0;
    for (auto _ : st) {
        std::string block = c.headers[i++ % c.headers.size()];
        DecodeEncodedWords(block);
        const ScoreResult result = ScoreHeader(rules, block);
        unwanted += result.Unwanted() ? 1 : 0;
        benchmark::DoNotOptimize(result.score);
    }
    st.SetItemsProcessed(st.iterations());
    st.counters["unwanted_share"] =
        benchmark::Counter(static_cast<double>(unwanted) / static_cast<double>(st.iterations()));
    st.counters["rules"] = static_cast<double>(rules.ruleCount);
    st.SetLabel(st.range(0) ? "headers, JIT" : "headers, interpreter");
}

// One match call as the scorer makes it: a rule against a field of its own kind.
void BM_MatchCall(benchmark::State& st) {
    const Corpus& c = TheCorpus();
    const std::vector<Call>& calls = c.Calls(st.range(0) != 0);
    pcre2_match_data* data = pcre2_match_data_create(33, nullptr);
    std::size_t i = 0;
    std::int64_t matched = 0;
    for (auto _ : st) {
        const Call& call = calls[i++ % calls.size()];
        const int rc = pcre2_match(call.code, reinterpret_cast<PCRE2_SPTR>(call.text->data()),
                                   call.text->size(), 0, 0, data, nullptr);
        matched += rc >= 0 ? 1 : 0;
    }
    pcre2_match_data_free(data);
    st.SetItemsProcessed(st.iterations());
    st.counters["calls_per_header"] = benchmark::Counter(c.callsPerHeader);
    st.counters["match_share"] =
        benchmark::Counter(static_cast<double>(matched) / static_cast<double>(st.iterations()));
    st.SetLabel(st.range(0) ? "match calls, JIT" : "match calls, interpreter");
}

BENCHMARK(BM_ScoreHeader)->ArgName("jit")->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_MatchCall)->ArgName("jit")->Arg(0)->Arg(1)->Unit(benchmark::kNanosecond);

}  // namespace

BENCHMARK_MAIN();
