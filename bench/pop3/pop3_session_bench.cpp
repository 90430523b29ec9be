// Login, STAT and TOP n 0 for every message of a 2,000-message Dovecot mailbox, by the
// session, by Python's poplib (one command at a time) and by a small pipelined Python
// client against the same server in one run: in plain POP3, and with TLS from the first
// byte, the certificate verified by all against the same test CA.
#include <benchmark/benchmark.h>

#include "bench/support/bench_support.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "pop3/pop3_session.h"
#include "tests/support/dovecot_server.h"
#include "tests/support/test_certificates.h"

namespace {

constexpr int kMessages = 2000;
qvtest::DovecotServer* g_server = nullptr;
// Mean seconds per poll: [0] plain, [1] TLS.
double g_quorvaneSeconds[2] = {0, 0};
double g_poplibSeconds[2] = {0, 0};
double g_pipelinedSeconds[2] = {0, 0};

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
int PollOnce(bool tls) {
    Pop3Session session;
    session.m_nTimeout = 45000;
    session.SetSecurity(tls ? ConnectionSecurity::kTls : ConnectionSecurity::kNone);
    const int port = tls ? g_server->TlsPort() : g_server->Port();
    if (session.Login("127.0.0.1", "bench", "pw", port) != 1) {
        return -1;
    }
    int count = 0;
    int size = 0;
    if (session.Stat(count, size) != 1) {
        return -1;
    }
    std::vector<int> numbers;
    for (int n = 1; n <= count; ++n) {
        numbers.push_back(n);
    }
    int fetched = 0;
    session.TopEach(numbers, [&fetched](int, MessageHeader& header) {
        fetched += header.headerText ? 1 : 0;
        return true;
    });
    session.Quit();
    return fetched;
}

void BM_Quorvane(benchmark::State& state) {
    const bool tls = state.range(0) == 1;
    double total = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        const int fetched = PollOnce(tls);
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (fetched != kMessages) {
            state.SkipWithError("the session did not fetch every header");
            return;
        }
        state.SetIterationTime(seconds);
        total += seconds;
    }
    g_quorvaneSeconds[tls ? 1 : 0] = total / static_cast<double>(state.iterations());
}

// Runs the script's `client` once per iteration; returns the mean seconds, 0 on failure.
double RunScript(benchmark::State& state, const char* client) {
    const bool tls = state.range(0) == 1;
    const std::string command = "python3 " QV_POPLIB_SCRIPT " " +
                                std::to_string(tls ? g_server->TlsPort() : g_server->Port()) +
                                " bench pw " + (tls ? "tls " : "plain ") + client;
    return qvbench::RunFetchScript(state, command, kMessages);
}

void BM_Poplib(benchmark::State& state) {
    g_poplibSeconds[state.range(0)] = RunScript(state, "poplib");
}

void BM_PipelinedPython(benchmark::State& state) {
    g_pipelinedSeconds[state.range(0)] = RunScript(state, "pipelined");
}

// Argument 0: plain POP3; 1: TLS.
BENCHMARK(BM_Quorvane)
    ->Arg(0)
    ->Arg(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(10);
BENCHMARK(BM_Poplib)
    ->Arg(0)
    ->Arg(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(10);
BENCHMARK(BM_PipelinedPython)
    ->Arg(0)
    ->Arg(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(10);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    qvtest::DovecotServer server;
    qvtest::TestCertificates certificates(server.Directory());
    if (!certificates.Make("bench", "IP:127.0.0.1", qvtest::TestCertificates::Issuer::kTestCa)) {
        std::fprintf(stderr, "cannot make the test certificate\n");
        return 1;
    }
    // Both sides verify the server against the test CA, through OpenSSL's default store.
    setenv("SSL_CERT_FILE", certificates.CaFile().c_str(), 1);
    server.EnableTls(
        {{"127.0.0.1", {certificates.CertFile("bench"), certificates.KeyFile("bench")}}});
    server.AddUser("bench", "pw", Mailbox());
    if (!server.Start()) {
        std::fprintf(stderr, "%s\n", server.Error().c_str());
        return 1;
    }
    g_server = &server;
    // Dovecot builds its index on the first access; neither side should pay for that.
    if (PollOnce(false) != kMessages || PollOnce(true) != kMessages) {
        std::fprintf(stderr, "warm-up poll failed\n");
        return 1;
    }
    std::printf(
        "Warmed up outside the timed region: %s. bench_process_check times "
        "a new process with nothing warmed.\n",
        "one untimed poll per mode first (Dovecot's index)");
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    for (const int tls : {0, 1}) {
        if (g_quorvaneSeconds[tls] > 0 && g_poplibSeconds[tls] > 0 && g_pipelinedSeconds[tls] > 0) {
            std::printf(
                "%s: Quorvane %.1f ms, poplib %.1f ms, pipelined Python %.1f ms: "
                "Quorvane / poplib = %.2f, Quorvane / pipelined = %.2f\n",
                tls != 0 ? "TLS  " : "plain", g_quorvaneSeconds[tls] * 1000,
                g_poplibSeconds[tls] * 1000, g_pipelinedSeconds[tls] * 1000,
                g_quorvaneSeconds[tls] / g_poplibSeconds[tls],
                g_quorvaneSeconds[tls] / g_pipelinedSeconds[tls]);
        }
    }
    return 0;
}
