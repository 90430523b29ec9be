// Login, STAT and TOP n 0 for every message of a 2,000-message Dovecot mailbox, by the
// session and by Python's poplib (the baseline) against the same server in one run.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "pop3/pop3_session.h"
#include "tests/support/dovecot_server.h"

namespace {

constexpr int kMessages = 2000;
qvtest::DovecotServer* g_server = nullptr;
double g_quorvaneSeconds = 0;
double g_poplibSeconds = 0;

std::vector<std::string> Mailbox() {
    std::vector<std::string> messages;
    const std::string body(1500, 'b');
    for (int n = 1; n <= kMessages; ++n) {
        const std::string id = std::to_string(n);
        messages.push_back("Return-Path: <sender" + id + "@example.org>\r\n" +
                           "Received: from mx.example.org (mx.example.org [192.0.2.1])\r\n"
                           "\tby mail.example.net with ESMTP id " +
                           id + "\r\n" + "From: Sender " + id + " <sender" + id +
                           "@example.org>\r\n" + "To: bench@example.net\r\n" +
                           "Subject: =?UTF-8?Q?message_number_" + id + "?=\r\n" + "Message-ID: <" +
                           id + "@example.org>\r\n" + "Date: Mon, 7 Dec 2026 06:00:00 +0000\r\n" +
                           "Content-Type: text/plain; charset=UTF-8\r\n\r\n" + body + "\r\n");
    }
    return messages;
}

// One whole poll: the work the scan worker does for an account that scans.
int PollOnce() {
    Pop3Session session;
    session.m_nTimeout = 45000;
    if (session.Login("127.0.0.1", "bench", "pw", g_server->Port()) != 1) {
        return -1;
    }
    int count = 0;
    int size = 0;
    if (session.Stat(count, size) != 1) {
        return -1;
    }
    int fetched = 0;
    for (int n = 1; n <= count; ++n) {
        MessageHeader header;
        fetched += session.Top(n, header);
    }
    session.Quit();
    return fetched;
}

void BM_Quorvane(benchmark::State& state) {
    double total = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        const int fetched = PollOnce();
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (fetched != kMessages) {
            state.SkipWithError("the session did not fetch every header");
            return;
        }
        state.SetIterationTime(seconds);
        total += seconds;
    }
    g_quorvaneSeconds = total / static_cast<double>(state.iterations());
}

void BM_Poplib(benchmark::State& state) {
    const std::string command =
        "python3 " QV_POPLIB_SCRIPT " " + std::to_string(g_server->Port()) + " bench pw";
    double total = 0;
    for (auto _ : state) {
        FILE* pipe = popen(command.c_str(), "r");
        double seconds = 0;
        int count = 0;
        const bool read = pipe != nullptr && std::fscanf(pipe, "%lf %d", &seconds, &count) == 2;
        if (pipe != nullptr) {
            pclose(pipe);
        }
        if (!read || count != kMessages) {
            state.SkipWithError("poplib did not fetch every header");
            return;
        }
        state.SetIterationTime(seconds);
        total += seconds;
    }
    g_poplibSeconds = total / static_cast<double>(state.iterations());
}

BENCHMARK(BM_Quorvane)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10);
BENCHMARK(BM_Poplib)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    qvtest::DovecotServer server;
    server.AddUser("bench", "pw", Mailbox());
    if (!server.Start()) {
        std::fprintf(stderr, "%s\n", server.Error().c_str());
        return 1;
    }
    g_server = &server;
    // Dovecot builds its index on the first access; neither side should pay for that.
    if (PollOnce() != kMessages) {
        std::fprintf(stderr, "warm-up poll failed\n");
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (g_quorvaneSeconds > 0 && g_poplibSeconds > 0) {
        std::printf("poplib %.1f ms, Quorvane %.1f ms: poplib / Quorvane = %.2f\n",
                    g_poplibSeconds * 1000, g_quorvaneSeconds * 1000,
                    g_poplibSeconds / g_quorvaneSeconds);
    }
    return 0;
}
