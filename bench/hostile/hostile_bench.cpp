// Hostile input against a plain case of the same kind in the same run: time and peak
// memory, each case in a child process of its own so that its peak is its own.
//
//   LIST          a line of 1 MiB of blanks, and 16 MiB of "1 " pairs, against a
//                 listing of as many bytes in ordinary lines
//   check         120 headers of 1 MiB each, every one unwanted, through the worker,
//                 against 120 headers of 1 KiB
//   Received      a 4 MiB header of "Received: x" lines and no Received rule, and a
//                 Received rule that gives up on each of 2,000 fields, against plain
//                 headers of the same size
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bench/support/bench_support.h"
#include "pop3/pop3_session.h"
#include "scan/header_verdict.h"
#include "scan/rule_table.h"
#include "scan/scan_worker.h"
#include "tests/support/scripted_server.h"
#include "tests/support/test_fixtures.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Measure {
    double seconds = -1;
    double peakMiB = 0;
};

// Runs `work` (which returns its own seconds, or < 0 on failure) in a child process.
Measure InChild(const std::function<double()>& work) {
    int ends[2];
    if (pipe(ends) != 0) {
        return {};
    }
    const pid_t child = fork();
    if (child == 0) {
        const double seconds = work();
        [[maybe_unused]] const ssize_t n = write(ends[1], &seconds, sizeof seconds);
        _exit(0);
    }
    close(ends[1]);
    Measure measure;
    if (read(ends[0], &measure.seconds, sizeof measure.seconds) != sizeof measure.seconds) {
        measure.seconds = -1;
    }
    close(ends[0]);
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    measure.peakMiB = static_cast<double>(usage.ru_maxrss) / 1024.0;
    return measure;
}

// A peer in a process of its own, so that its copies of the replies count in no
// measured peak; `make` builds and starts it there. Gives its pid and port.
struct Peer {
    pid_t pid = -1;
    int port = 0;
};

Peer ServeInChild(const std::function<std::unique_ptr<qvtest::ScriptedServer>()>& make) {
    int ends[2];
    if (pipe(ends) != 0) {
        return {};
    }
    Peer peer;
    peer.pid = fork();
    if (peer.pid == 0) {
        const std::unique_ptr<qvtest::ScriptedServer> server = make();
        const int port = server->Port();
        [[maybe_unused]] const ssize_t n = write(ends[1], &port, sizeof port);
        for (;;) {
            pause();  // until the benchmark ends this process
        }
    }
    close(ends[1]);
    if (read(ends[0], &peer.port, sizeof peer.port) != sizeof peer.port) {
        peer.port = 0;
    }
    close(ends[0]);
    return peer;
}

void EndPeer(const Peer& peer) {
    if (peer.pid > 0) {
        kill(peer.pid, SIGKILL);
        waitpid(peer.pid, nullptr, 0);
    }
}

double Since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// A scripted peer that answers STAT and then LIST with what `listing` makes, made in
// the peer's process so that no measured process holds it.
Peer ListingPeer(const std::function<std::string()>& listing) {
    return ServeInChild([&listing] {
        auto server = std::make_unique<qvtest::ScriptedServer>();
        server->Send("+OK ready\r\n")
            .AnswerCapa()
            .ReadLine()
            .Send("+OK\r\n")
            .ReadLine()
            .Send("+OK\r\n");
        server->ReadLine().Send("+OK 2 200\r\n").ReadLine().Send("+OK\r\n" + listing() + ".\r\n");
        server->Start();
        return server;
    });
}

// Logs in and times the listing's read and parse.
double ReadListing(int port) {
    Pop3Session session;
    session.m_nTimeout = 600000;
    int count = 0;
    int size = 0;
    int listed = 0;
    if (session.Login("127.0.0.1", "user", "pw", port) != 1 || session.Stat(count, size) != 1) {
        return -1;
    }
    const auto start = Clock::now();
    const int result = session.GetMessageSize(1, listed);
    const double seconds = Since(start);
    return result == 1 ? seconds : -1;
}

Measure ListingCase(const std::function<std::string()>& listing) {
    const Peer peer = ListingPeer(listing);
    const Measure measure = InChild([&peer] { return ReadListing(peer.port); });
    EndPeer(peer);
    return measure;
}

std::string OrdinaryListing(std::size_t bytes) {
    std::string listing;
    for (int n = 1; listing.size() < bytes; ++n) {
        listing += std::to_string(n) + " 4096\r\n";
    }
    return listing;
}

// One check through the worker of a mailbox of `count` unwanted headers of `bytes`.
Measure CheckCase(int count, std::size_t bytes) {
    const Peer peer = ServeInChild([count, bytes] {
        std::vector<std::string> headers;
        std::string filler;
        while (filler.size() + 80 < bytes) {
            filler += "X-Filler: " + std::string(66, 'x') + "\r\n";
        }
        for (int n = 0; n < count; ++n) {
            headers.push_back("From: a@example.org\r\nSubject: win " + std::to_string(n) + "\r\n" +
                              filler);
        }
        return std::make_unique<qvtest::ScriptedServer>(qvtest::ScriptedServer::Mailbox(headers));
    });
    const Measure measure = InChild([&peer, count] {
        AppState state;
        state.AppendAccount(qvtest::MakeAccount("user@127.0.0.1", "pw"));
        state.PublishRules(RuleTable::Build({}, {{"Subject:", "win", 10}}));
        qvbench::NullView view;
        ScanWorkerSettings settings;
        settings.port = peer.port;
        settings.readTimeoutMs = 600000;
        ScanWorker worker(state, view, settings);
        const auto start = Clock::now();
        worker.RunPass();
        const double seconds = Since(start);
        const bool all = state.CopyUnwantedMessages(0).size() == static_cast<std::size_t>(count);
        return all ? seconds : -1;
    });
    EndPeer(peer);
    return measure;
}

// Judges one header block as the worker does: decoded, then scored.
double JudgeBlock(const std::string& headers, const char* receivedPattern) {
    std::vector<RuleEntry> block;
    if (receivedPattern != nullptr) {
        block.push_back({"Received:", receivedPattern, 10});
    }
    const auto table = RuleTable::Build({{"From:", "friend@example\\.org", 100}}, block);
    KeptMessage message;
    message.headerBlock = "From: x\r\n";
    JudgeKept(*table, message);
    message.headerBlock = headers;
    const auto start = Clock::now();
    JudgeKept(*table, message);
    return Since(start);
}

std::string Lines(const std::string& line, std::size_t bytes) {
    std::string block = "From: friend@example.org\r\n";
    while (block.size() < bytes) {
        block += line;
    }
    return block;
}

void Report(const char* name, const Measure& hostile, const Measure& plain) {
    if (hostile.seconds < 0 || plain.seconds < 0) {
        std::printf("%-34s FAILED\n", name);
        return;
    }
    std::printf(
        "%-34s %9.3f s %8.1f MiB | plain %9.3f s %8.1f MiB | ratio time %6.2f, memory %5.2f\n",
        name, hostile.seconds, hostile.peakMiB, plain.seconds, plain.peakMiB,
        hostile.seconds / std::max(plain.seconds, 1e-6), hostile.peakMiB / plain.peakMiB);
}

}  // namespace

int main() {
    constexpr std::size_t kMiB = std::size_t{1} << 20;
    const auto pairs = [] {
        std::string listing = "1 ";
        while (listing.size() < 16 * kMiB) {
            listing += "1 ";
        }
        return listing + "\r\n";
    };
    Report("LIST: 1 MiB of blanks",
           ListingCase([] { return "1" + std::string(kMiB, ' ') + "\r\n2 100\r\n"; }),
           ListingCase([] { return OrdinaryListing(kMiB); }));
    Report("LIST: 16 MiB of \"1 \" pairs", ListingCase(pairs),
           ListingCase([] { return OrdinaryListing(16 * kMiB); }));
    Report("check: 120 headers of 1 MiB", CheckCase(120, kMiB), CheckCase(120, 1024));
    Report("Received: 4 MiB, no Received rule",
           InChild([] { return JudgeBlock(Lines("Received: x\r\n", 4 * kMiB), nullptr); }),
           InChild([] { return JudgeBlock(Lines("X-Filler: x\r\n", 4 * kMiB), nullptr); }));
    const std::string field = "Received: " + std::string(40, 'a') + "!\r\n";
    Report("Received: rule at its limit, 2000",
           InChild([&] { return JudgeBlock(Lines(field, 2000 * field.size()), "(a|a)+(a|a)+$"); }),
           InChild([&] { return JudgeBlock(Lines(field, 2000 * field.size()), "spamhost"); }));
    return 0;
}
