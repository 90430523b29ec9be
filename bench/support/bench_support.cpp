#include "bench/support/bench_support.h"

#include <sys/resource.h>

#include <cstdio>

namespace qvbench {

double PeakRssMiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0;  // ru_maxrss is in KiB
}

double RunFetchScript(benchmark::State& state, const std::string& command, int expected) {
    double total = 0;
    for (auto _ : state) {
        FILE* pipe = popen(command.c_str(), "r");
        double seconds = 0;
        int count = 0;
        const bool read = pipe != nullptr && std::fscanf(pipe, "%lf %d", &seconds, &count) == 2;
        if (pipe != nullptr) {
            pclose(pipe);
        }
        if (!read || count != expected) {
            state.SkipWithError("the script did not fetch every header");
            return 0;
        }
        state.SetIterationTime(seconds);
        total += seconds;
    }
    return total / static_cast<double>(state.iterations());
}

}  // namespace qvbench
