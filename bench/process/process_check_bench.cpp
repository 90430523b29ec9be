// What a user runs, timed whole: `quorvane --check --json`, a new process each run,
// against the harness's Dovecot holding 2,000 messages, with 15 and with 2,000 rules,
// with the cache directory empty (cold) and filled by an earlier run (warm), next to
// the same account without scanning and to Python's poplib and a pipelined Python
// client on the same server in the same run. Every client talks through a relay that
// notes when each TOP goes out and when its reply is back: the TOP span, the mean
// number of TOP commands in flight and the longest pause between two TOP commands.
//
//   bench_process_check [runs per row, 5 by default] [only the rows whose name holds
//                       this, or one of its parts between '|': "no scan|warm"]
//
// Not timed: one poplib pass before the rows, which makes Dovecot build its index. Each
// run starts without the headers an earlier run kept (seen.qvk), so every run fetches
// every header; the "kept file" row keeps them, as a restart does.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/kept_file.h"
#include "bench/scan/scan_corpus.h"
#include "store/account_file.h"
#include "store/data_lines.h"
#include "store/record_cipher.h"
#include "store/rule_list_file.h"
#include "tests/support/dovecot_server.h"
#include "tests/support/latency_relay.h"
#include "tests/support/test_fixtures.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kMessages = 2000;

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

std::vector<std::string> Mailbox() {
    std::vector<std::string> messages;
    for (int n = 1; n <= kMessages; ++n) {
        const std::string id = std::to_string(n);
        const std::string domain = n % 4 == 0 ? "spam.example" : "example.org";
        messages.push_back(
            "Received: from mx.example.org (mx.example.org [192.0.2.1])\r\n"
            "\tby mail.example.net with ESMTP id " +
            id + "\r\nFrom: Sender " + id + " <s" + id + "@" + domain +
            ">\r\nTo: bench@example.net\r\nSubject: Message " + id + " lottery news\r\n" +
            "Message-ID: <" + id + "@" + domain +
            ">\r\nDate: Mon, 7 Dec 2026 06:00:00 +0000\r\n\r\n" + std::string(1500, 'b') + "\r\n");
    }
    return messages;
}

// What the relay saw of one conversation's TOP commands.
struct TopFigures {
    int sent = 0, answered = 0;
    double spanMs = 0;        // first TOP sent to last TOP reply in
    double inFlight = 0;      // TOP commands sent and not yet answered, over the span
    double longestGapMs = 0;  // the longest time no TOP was sent while some were to come
};

// Forwards one client at a time to the server and follows the conversation: the
// commands in order, and each reply's end (multi-line for the listings and TOP).
class Relay {
  public:
    explicit Relay(int serverPort) : serverPort_(serverPort) {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            ::listen(listener_, 4) != 0 ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            std::fprintf(stderr, "the relay could not listen\n");
            std::exit(1);
        }
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { Serve(); });
    }
    ~Relay() {
        stop_ = true;
        ::shutdown(listener_, SHUT_RDWR);
        thread_.join();
        ::close(listener_);
    }
    int Port() const { return port_; }
    // The figures of the last conversation that ended, and how many have ended.
    TopFigures Last() {
        std::lock_guard lock(mutex_);
        return last_;
    }
    int Ended() {
        std::lock_guard lock(mutex_);
        return ended_;
    }

  private:
    struct Conversation {
        std::deque<std::pair<std::string, bool>> pending;  // command, multi-line reply
        std::string fromClient, fromServer;
        bool greeted = false, inBody = false;
        std::vector<Clock::time_point> topSent, topDone;
    };

    static bool MultiLine(const std::string& line) {
        std::string verb = line.substr(0, line.find(' '));
        for (char& c : verb) {
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
        const bool bare = line.find(' ') == std::string::npos;
        return verb == "TOP" || verb == "RETR" || verb == "CAPA" ||
               ((verb == "LIST" || verb == "UIDL") && bare);
    }

    static void NoteCommands(Conversation& c) {
        for (std::size_t end; (end = c.fromClient.find("\r\n")) != std::string::npos;) {
            const std::string line = c.fromClient.substr(0, end);
            c.fromClient.erase(0, end + 2);
            c.pending.emplace_back(line.substr(0, 4), MultiLine(line));
            if (line.rfind("TOP", 0) == 0 || line.rfind("top", 0) == 0) {
                c.topSent.push_back(Clock::now());
            }
        }
    }

    static void NoteReplies(Conversation& c) {
        for (std::size_t end; (end = c.fromServer.find("\r\n")) != std::string::npos;) {
            const std::string line = c.fromServer.substr(0, end);
            c.fromServer.erase(0, end + 2);
            if (!c.greeted) {
                c.greeted = true;
                continue;
            }
            if (c.inBody) {
                if (line == ".") {
                    c.inBody = false;
                    Done(c);
                }
                continue;
            }
            if (c.pending.empty()) {
                continue;
            }
            if (c.pending.front().second && line.rfind("+OK", 0) == 0) {
                c.inBody = true;
            } else {
                Done(c);
            }
        }
    }

    static void Done(Conversation& c) {
        const bool top = c.pending.front().first == "TOP " || c.pending.front().first == "top ";
        c.pending.pop_front();
        if (top) {
            c.topDone.push_back(Clock::now());
        }
    }

    static TopFigures Figures(const Conversation& c) {
        TopFigures f;
        f.sent = static_cast<int>(c.topSent.size());
        f.answered = static_cast<int>(c.topDone.size());
        if (c.topSent.empty() || c.topDone.empty()) {
            return f;
        }
        const Clock::time_point start = c.topSent.front(), end = c.topDone.back();
        f.spanMs = Ms(end - start);
        // The count in flight changes at each send and each reply: integrate it.
        double area = 0;
        std::size_t s = 0, d = 0;
        Clock::time_point at = start;
        while (s < c.topSent.size() || d < c.topDone.size()) {
            const bool send =
                s < c.topSent.size() && (d >= c.topDone.size() || c.topSent[s] <= c.topDone[d]);
            const Clock::time_point next = send ? c.topSent[s] : c.topDone[d];
            area += static_cast<double>(s - d) * Ms(next - at);
            at = next;
            send ? ++s : ++d;
        }
        f.inFlight = f.spanMs > 0 ? area / f.spanMs : 0;
        for (std::size_t i = 1; i < c.topSent.size(); ++i) {
            f.longestGapMs = std::max(f.longestGapMs, Ms(c.topSent[i] - c.topSent[i - 1]));
        }
        return f;
    }

    void Serve() {
        while (!stop_) {
            const int client = ::accept(listener_, nullptr, nullptr);
            if (client < 0) {
                continue;
            }
            const int server = ::socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            address.sin_port = htons(static_cast<std::uint16_t>(serverPort_));
            if (::connect(server, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
                // The relay forwards each piece as it comes: held back for an
                // acknowledgement, a piece would add a pause neither end made.
                const int on = 1;
                ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
                ::setsockopt(server, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
                Pump(client, server);
            }
            ::close(server);
            ::close(client);
        }
    }

    void Pump(int client, int server) {
        Conversation c;
        char buffer[65536];
        pollfd fds[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
        for (;;) {
            if (::poll(fds, 2, 60000) <= 0) {
                break;
            }
            const bool fromClient = (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0;
            const int from = fromClient ? client : server;
            const ssize_t n = ::read(from, buffer, sizeof buffer);
            if (n <= 0) {
                break;
            }
            const auto size = static_cast<std::size_t>(n);
            if (fromClient) {
                c.fromClient.append(buffer, size);
                NoteCommands(c);
            } else {
                c.fromServer.append(buffer, size);
                NoteReplies(c);
            }
            if (::send(fromClient ? server : client, buffer, size, MSG_NOSIGNAL) !=
                static_cast<ssize_t>(size)) {
                break;
            }
        }
        std::lock_guard lock(mutex_);
        last_ = Figures(c);
        ++ended_;
    }

    int serverPort_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex mutex_;
    TopFigures last_;
    int ended_ = 0;
};

struct Run {
    double wallMs = 0;
    double peakMiB = 0;
    TopFigures top;
};

// A data directory with accounts (login and port each) and a rule list.
struct DataDirectory {
    qvtest::TempDirectory directory;
    std::string passphraseFile;

    // One account, through the relay.
    DataDirectory(int port, std::size_t rules, bool scan)
        : DataDirectory({{"bench", port}}, rules, scan) {}

    DataDirectory(const std::vector<std::pair<std::string, int>>& accounts, std::size_t rules,
                  bool scan) {
        AppState state;
        qvtest::FakePrompts prompts;
        directory.UseFor(state);
        SetAccountText(state.passphrase, "bench");
        std::vector<RuleEntry> block, friends;
        for (const BenchRule& rule : MakeRules(rules, 11)) {
            (rule.list == RuleList::kBlock ? block : friends)
                .push_back({rule.header, rule.contains, rule.weight});
        }
        for (const auto& [login, port] : accounts) {
            AccountRecord account =
                qvtest::MakeAccount(login + "@127.0.0.1", "pw", {.scanMessages = scan ? 1 : 0});
            account.port = port;
            state.AppendAccount(account);
        }
        if (!WriteRuleFile(state, RuleList::kBlock, block, prompts) ||
            !WriteRuleFile(state, RuleList::kFriends, friends, prompts) ||
            !SaveAccountFile(state, prompts)) {
            std::fprintf(stderr, "the data directory could not be written\n");
            std::exit(1);
        }
        passphraseFile = directory.Path() + "passphrase";
        std::ofstream(passphraseFile) << "bench\n";
    }
};

// Runs `argv` as a new process with XDG_CACHE_HOME at `cache` (and XDG_CONFIG_HOME at
// `config` when given), its output discarded. With a relay, waits for it to note the
// conversation.
Run RunProcess(const std::vector<std::string>& argv, const std::string& cache, Relay* relay,
               const std::string& config = {}) {
    std::fflush(stdout);  // the child must not print what the parent has buffered
    const int ended = relay != nullptr ? relay->Ended() : 0;
    const Clock::time_point start = Clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setenv("XDG_CACHE_HOME", cache.c_str(), 1);
        if (!config.empty()) {
            ::setenv("XDG_CONFIG_HOME", config.c_str(), 1);
        }
        std::freopen("/dev/null", "w", stdout);
        std::vector<char*> args;
        for (const std::string& a : argv) {
            args.push_back(const_cast<char*>(a.c_str()));
        }
        args.push_back(nullptr);
        ::execvp(args[0], args.data());
        std::_Exit(127);
    }
    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    Run run;
    run.wallMs = Ms(Clock::now() - start);
    run.peakMiB = static_cast<double>(usage.ru_maxrss) / 1024.0;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "%s ended with status %d\n", argv[0].c_str(), status);
        std::exit(1);
    }
    if (relay == nullptr) {
        return run;
    }
    // The relay notes the conversation when the client has closed it.
    for (int i = 0; i < 500 && relay->Ended() == ended; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    run.top = relay->Last();
    return run;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

struct Row {
    std::string name;
    Run median;
};

std::string g_only;  // rows whose name holds it, or one of its parts between '|', run

bool Chosen(const std::string& name) {
    for (std::size_t from = 0;;) {
        const std::size_t bar = g_only.find('|', from);
        if (name.find(g_only.substr(from, bar - from)) != std::string::npos) {
            return true;
        }
        if (bar == std::string::npos) {
            return false;
        }
        from = bar + 1;
    }
}

Row Measure(const std::string& name, int runs, Relay* relay, const std::function<Run(int)>& once) {
    if (!Chosen(name)) {
        return Row{name, {}};
    }
    std::vector<double> wall, span, flight, gap, peak;
    for (int i = 0; i < runs; ++i) {
        const Run r = once(i);
        if (r.top.answered != kMessages && r.top.sent != 0) {
            std::fprintf(stderr, "%s: %d of %d TOP replies\n", name.c_str(), r.top.answered,
                         kMessages);
        }
        wall.push_back(r.wallMs);
        span.push_back(r.top.spanMs);
        flight.push_back(r.top.inFlight);
        gap.push_back(r.top.longestGapMs);
        peak.push_back(r.peakMiB);
    }
    (void)relay;
    Row row{name, {}};
    row.median.wallMs = Median(wall);
    row.median.peakMiB = *std::max_element(peak.begin(), peak.end());
    row.median.top.spanMs = Median(span);
    row.median.top.inFlight = Median(flight);
    row.median.top.longestGapMs = Median(gap);
    std::printf(
        "%-34s wall %8.1f ms  TOP span %7.1f ms  in flight %5.1f  longest pause %7.1f ms"
        "  peak %5.1f MiB\n",
        name.c_str(), row.median.wallMs, row.median.top.spanMs, row.median.top.inFlight,
        row.median.top.longestGapMs, row.median.peakMiB);
    std::fflush(stdout);
    return row;
}

// The rule read alone, in this process, the key derivation not counted (a start pays
// it for the kept file anyway): each line decrypted one at a time, as a start did
// before, the lines spread over the processors, and the lists from the rule cache.
void TimeRuleRead(const DataDirectory& data, const std::string& cache, int runs) {
    ::setenv("XDG_CACHE_HOME", cache.c_str(), 1);
    AppState state;
    data.directory.UseFor(state);
    SetAccountText(state.passphrase, "bench");
    static_cast<void>(ReadRuleFiles(state));  // derives the key, writes the cache
    std::vector<double> serial, threaded, cached;
    std::size_t rules[3] = {0, 0, 0};
    for (int i = 0; i < runs; ++i) {
        std::fill(std::begin(rules), std::end(rules), 0);
        Clock::time_point start = Clock::now();
        for (const RuleList list : kRuleLists) {
            std::vector<std::string> lines;
            ReadDataLines(RuleFilePath(state, list), lines);
            for (const std::string& line : lines) {
                bool verified = false;
                RecordCipher::Decrypt(line, state.passphrase, &verified);
                rules[0] += verified ? 1 : 0;
            }
        }
        serial.push_back(Ms(Clock::now() - start));
        start = Clock::now();
        for (const RuleList list : kRuleLists) {
            std::vector<std::string> lines;
            ReadDataLines(RuleFilePath(state, list), lines);
            std::vector<bool> verified;
            RecordCipher::DecryptAll(lines, state.passphrase, verified);
            rules[1] +=
                static_cast<std::size_t>(std::count(verified.begin(), verified.end(), true));
        }
        threaded.push_back(Ms(Clock::now() - start));
        ForgetLastRuleRead();
        start = Clock::now();
        const RuleFiles files = ReadRuleFiles(state);
        cached.push_back(Ms(Clock::now() - start));
        rules[2] = files.rules[0].size() + files.rules[1].size();
    }
    std::printf(
        "Reading the %zu rules in one process: one line at a time %.1f ms, on %u threads "
        "%.1f ms (%zu rules), from the rule cache %.1f ms (%zu rules)\n",
        rules[0], Median(serial), std::max(1u, std::thread::hardware_concurrency()),
        Median(threaded), rules[1], Median(cached), rules[2]);
}

// Ten accounts of 300 messages, each behind a relay that adds 40 ms to every round
// trip as a distant server does: `quorvane --check` of all ten with 1, 4 (the
// default) and 8 checked at once, against each account checked alone.
constexpr int kDistantAccounts = 10;
constexpr int kDistantMessages = 300;

std::string DistantUser(int a) {
    return "distant" + std::to_string(a);
}

void AddDistantUsers(qvtest::DovecotServer& server) {
    for (int a = 0; a < kDistantAccounts; ++a) {
        std::vector<std::string> messages;
        for (int n = 1; n <= kDistantMessages; ++n) {
            std::string id = std::to_string(a);
            id += '.';
            id += std::to_string(n);
            std::string m = "From: Sender <s";
            m += id;
            m += "@example.com>\r\nSubject: Status ";
            m += id;
            m += "\r\nMessage-ID: <";
            m += id;
            m += "@example.com>\r\n\r\nBody.\r\n";
            messages.push_back(std::move(m));
        }
        server.AddUser(DistantUser(a), "pw", messages);
    }
}

void MeasureDistantAccounts(int runs, int serverPort, const std::string& caches) {
    if (!Chosen("distant")) {
        return;
    }
    std::vector<std::unique_ptr<qvtest::LatencyRelay>> relays;
    std::vector<std::pair<std::string, int>> all;
    for (int a = 0; a < kDistantAccounts; ++a) {
        relays.push_back(
            std::make_unique<qvtest::LatencyRelay>(serverPort, std::chrono::milliseconds(40)));
        all.emplace_back(DistantUser(a), relays.back()->Port());
    }
    const std::string cache = caches + "distant";
    const auto check = [&](const DataDirectory& data, const std::string& config) {
        // Every run fetches every header.
        std::remove((data.directory.Path() + KeptFile::kFileName).c_str());
        return RunProcess({QV_PROGRAM, "--check", "--json", "--data-dir", data.directory.Path(),
                           "--passphrase-file", data.passphraseFile},
                          cache, nullptr, config);
    };
    const DataDirectory ten(all, 15, true);
    check(ten, {});  // Dovecot's indexes and the rule cache: not measured
    double slowestAlone = 0;
    for (int a = 0; a < kDistantAccounts; ++a) {
        const DataDirectory one({all[static_cast<std::size_t>(a)]}, 15, true);
        const Row row = Measure("distant account " + std::to_string(a) + " alone", runs, nullptr,
                                [&](int) { return check(one, {}); });
        slowestAlone = std::max(slowestAlone, row.median.wallMs);
    }
    qvtest::TempDirectory configs;
    for (const int atOnce : {1, 4, 8}) {
        // The setting is the user's own, as the Options page keeps it.
        const std::string config = configs.Path() + std::to_string(atOnce);
        std::filesystem::create_directories(config + "/Quorvane");
        std::ofstream(config + "/Quorvane/Quorvane.ini")
            << "[options]\nparallelChecks=" << atOnce << "\n";
        const Row row = Measure("distant accounts, " + std::to_string(atOnce) + " at once", runs,
                                nullptr, [&](int) { return check(ten, config); });
        std::printf("  ten distant accounts, %d at once: %.2f x the slowest account alone\n",
                    atOnce, slowestAlone > 0 ? row.median.wallMs / slowestAlone : 0);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    g_only = argc > 2 ? argv[2] : "";
    qvtest::DovecotServer server;
    server.AddUser("bench", "pw", Mailbox());
    AddDistantUsers(server);
    if (!server.Start()) {
        std::fprintf(stderr, "Dovecot: %s\n", server.Error().c_str());
        return 1;
    }
    Relay relay(server.Port());
    const std::string port = std::to_string(relay.Port());
    const std::string python = "python3";
    const std::vector<std::string> poplib = {python, QV_POPLIB_SCRIPT, port, "bench", "pw"};
    const std::vector<std::string> pipelined = {python, QV_POPLIB_SCRIPT, port,       "bench",
                                                "pw",   "plain",          "pipelined"};
    qvtest::TempDirectory caches;
    RunProcess(poplib, caches.Path(), &relay);  // Dovecot's index: not measured

    std::printf("Median of %d runs each; peak is the largest of them.\n", runs);
    const Row pop = Measure("poplib", runs, &relay,
                            [&](int) { return RunProcess(poplib, caches.Path(), &relay); });
    const Row pipe = Measure("pipelined Python", runs, &relay,
                             [&](int) { return RunProcess(pipelined, caches.Path(), &relay); });
    const auto check = [&](const DataDirectory& data) {
        return std::vector<std::string>{
            QV_PROGRAM,          "--check",          "--json", "--data-dir", data.directory.Path(),
            "--passphrase-file", data.passphraseFile};
    };
    // Every run fetches every header: what an earlier run kept (seen.qvk) goes first,
    // unless the row is about it.
    const auto forgetSeen = [](const DataDirectory& data) {
        std::remove((data.directory.Path() + KeptFile::kFileName).c_str());
    };
    int fresh = 0;
    const auto cold = [&](const DataDirectory& data) {
        return [&](int) {
            forgetSeen(data);
            return RunProcess(check(data), caches.Path() + "cold-" + std::to_string(fresh++),
                              &relay);
        };
    };
    const auto warm = [&](const DataDirectory& data, const std::string& cache,
                          bool keepSeen = false) {
        return [&, cache, keepSeen](int i) {
            if (i == 0) {
                forgetSeen(data);
                RunProcess(check(data), cache, &relay);  // fills the cache
            }
            if (!keepSeen) {
                forgetSeen(data);
            }
            return RunProcess(check(data), cache, &relay);
        };
    };
    // The no-scan checks read the same rule files: what is left is the scanning.
    const DataDirectory noScan(relay.Port(), 15, false);
    const DataDirectory noScan2000(relay.Port(), 2000, false);
    const DataDirectory rules15(relay.Port(), 15, true);
    const DataDirectory rules2000(relay.Port(), 2000, true);
    const Row none = Measure("quorvane, no scan", runs, &relay, cold(noScan));
    const Row none2000 =
        Measure("quorvane, no scan, 2000 rules", runs, &relay, cold(noScan2000));
    const Row cold15 = Measure("quorvane, 15 rules, cold", runs, &relay, cold(rules15));
    const Row warm15 =
        Measure("quorvane, 15 rules, warm", runs, &relay, warm(rules15, caches.Path() + "w15"));
    const Row cold2000 = Measure("quorvane, 2000 rules, cold", runs, &relay, cold(rules2000));
    const Row warm2000 = Measure("quorvane, 2000 rules, warm", runs, &relay,
                                 warm(rules2000, caches.Path() + "w2000"));
    Measure("quorvane, 2000 rules, warm, kept file", runs, &relay,
            warm(rules2000, caches.Path() + "w2000", true));

    const auto ratio = [](double a, double b) { return b > 0 ? a / b : 0; };
    std::printf(
        "\nTOP span, 15 rules warm: %.2f x poplib's (target <= 0.5), %.2f x the "
        "pipelined client's (target <= 1.3)\n",
        ratio(warm15.median.top.spanMs, pop.median.top.spanMs),
        ratio(warm15.median.top.spanMs, pipe.median.top.spanMs));
    const double cost15 = warm15.median.wallMs - none.median.wallMs;
    const double cost2000 = warm2000.median.wallMs - none2000.median.wallMs;
    std::printf(
        "Scanning cost (check minus the no-scan check): 15 rules %.1f ms, 2000 rules "
        "warm %.1f ms = %.2f x (target <= 2), cold %.1f ms more than warm "
        "(target <= 1000)\n",
        cost15, cost2000, ratio(cost2000, cost15), cold2000.median.wallMs - warm2000.median.wallMs);
    std::printf("Peak memory with 2000 rules: %.1f MiB (target <= 64)\n",
                std::max(cold2000.median.peakMiB, warm2000.median.peakMiB));
    TimeRuleRead(rules2000, caches.Path() + "in-process", runs);
    MeasureDistantAccounts(runs, server.Port(), caches.Path());
    return 0;
}
