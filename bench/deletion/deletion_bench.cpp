// Deleting 200 messages of 20 KB from a 2,000-message mailbox: the deletion session
// (retrieve, check, copy to disk with fsync, DELE, QUIT) against poplib's plain
// RETR, DELE and QUIT of the same messages, in the same run.
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "bench/support/bench_support.h"
#include "pop3/pop3_session.h"
#include "scan/deletion_session.h"
#include "scan/quarantine.h"
#include "tests/support/dovecot_server.h"
#include "tests/support/test_fixtures.h"

namespace {

constexpr int kMessages = 2000;
constexpr int kDeleted = 200;
constexpr std::size_t kMessageBytes = 20 * 1024;

std::vector<std::string> Mailbox() {
    std::vector<std::string> mails;
    for (int n = 1; n <= kMessages; ++n) {
        std::string mail = "From: sender" + std::to_string(n) + "@example.net\r\nSubject: number " +
                           std::to_string(n) + "\r\n\r\n";
        const std::string line(76, static_cast<char>('a' + n % 26));
        while (mail.size() + line.size() + 2 <= kMessageBytes) {
            mail += line + "\r\n";
        }
        mails.push_back(mail);
    }
    return mails;
}

std::vector<int> Chosen() {
    std::vector<int> numbers;
    for (int n = 1; n <= kMessages && static_cast<int>(numbers.size()) < kDeleted; n += 10) {
        numbers.push_back(n);
    }
    return numbers;
}

bool LogIn(Pop3Session& session, int port, const std::string& user) {
    session.m_nTimeout = 30000;
    return session.Login("127.0.0.1", user, "pw", port) == 1;
}

}  // namespace

int main() {
    qvtest::DovecotServer server;
    server.AddUser("quorvane", "pw", Mailbox());
    server.AddUser("poplib", "pw", Mailbox());
    if (!server.Start()) {
        std::fprintf(stderr, "%s\n", server.Error().c_str());
        return 1;
    }
    // The check that judged the messages, untimed; it also builds Dovecot's index.
    std::vector<UnwantedMessage> chosen;
    {
        Pop3Session session;
        std::vector<std::string> ids;
        if (!LogIn(session, server.Port(), "quorvane") || session.UniqueIds(ids) != 1 ||
            session.TopEach(Chosen(), [&](int number, MessageHeader& header) {
                UnwantedMessage message;
                message.number = number;
                message.uidl = ids[number - 1];
                message.score = -60;
                message.headerBlock = *header.headerText;
                chosen.push_back(std::move(message));
                return true;
            }) != 1) {
            std::fprintf(stderr, "the judging check failed\n");
            return 1;
        }
        session.Quit();
    }
    qvtest::TempDirectory dir;
    Pop3Session session;
    if (!LogIn(session, server.Port(), "quorvane")) {
        return 1;
    }
    Quarantine quarantine(dir.Path(), "quorvane@127.0.0.1");
    const auto start = std::chrono::steady_clock::now();
    const DeletionReport report = DeletionSession(session, quarantine).Run(chosen, 0);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (report.failure.failed() || static_cast<int>(report.deleted.size()) != kDeleted) {
        std::fprintf(stderr, "the deletion failed: %s\n", FailureText(report.failure).c_str());
        return 1;
    }
    {
        Pop3Session warm;  // poplib's mailbox gets its index outside the timing too
        int count = 0, size = 0;
        if (!LogIn(warm, server.Port(), "poplib") || warm.Stat(count, size) != 1) {
            return 1;
        }
        std::vector<std::string> ids;
        (void)warm.UniqueIds(ids);
        warm.Quit();
    }
    std::string command = std::string("python3 ") + QV_POPLIB_DELETE_SCRIPT + " " +
                          std::to_string(server.Port()) + " poplib pw";
    for (const int n : Chosen()) {
        command += ' ';
        command += std::to_string(n);
    }
    FILE* pipe = popen(command.c_str(), "r");
    double poplibSeconds = 0;
    int poplibDeleted = 0;
    const bool read =
        pipe != nullptr && std::fscanf(pipe, "%lf %d", &poplibSeconds, &poplibDeleted) == 2;
    if (pipe != nullptr) {
        pclose(pipe);
    }
    std::printf("Deleting %d of %d messages of %zu KB\n", kDeleted, kMessages,
                kMessageBytes / 1024);
    std::printf("  Quorvane (copies kept, fsync each): %.3f s, peak memory %.1f MiB\n", seconds,
                qvbench::PeakRssMiB());
    if (read && poplibDeleted == kDeleted) {
        std::printf("  poplib (RETR, DELE, QUIT, no copies): %.3f s\n", poplibSeconds);
    } else {
        std::printf("  poplib: the script failed\n");
        return 1;
    }
    return 0;
}
