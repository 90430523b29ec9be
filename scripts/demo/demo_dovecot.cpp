// A private Dovecot POP3 server on 127.0.0.1 with three demonstration mailboxes, set
// up by the test suite's own harness so that the server is configured in one place.
//
//   demo_dovecot [PORT]     (110 by default; root is needed below 1024)
//
// Runs until it receives SIGTERM or SIGINT. Built and run by scripts/screenshots.sh.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/dovecot_server.h"

namespace {

struct Mail {
    const char* sender;
    const char* address;
    const char* subject;
};

struct Mailbox {
    const char* user;
    const char* password;
    std::vector<Mail> mail;
};

const std::vector<Mailbox> kMailboxes = {
    {"alice",
     "alice-pw",
     {{"Ann Baker", "ann@example.org", "Lunch on Friday?"},
      {"Lucky Draw", "win@lucky-draw.example", "You are our lottery winner"},
      {"Bank Offers", "deals@offers.example", "=?UTF-8?B?TGFzdCBjaGFuY2U6IDAlIGludGVyZXN0?="},
      {"Tom Reed", "tom@example.org", "Photos from the trip"},
      {"Pharmacy", "sales@cheap-pills.example", "Pills at half price"}}},
    {"bob",
     "bob-pw",
     {{"Build Server", "ci@example.org", "Nightly build passed"},
      {"Mia Chen", "mia@example.net", "Minutes of Monday's meeting"},
      {"Prize Team", "prize@offers.example", "Claim your gift card"}}},
    {"carol",
     "carol-pw",
     {{"Weekly News", "news@example.net", "This week in gardening"},
      {"Recipes", "hello@example.net", "Five soups for winter"}}},
};

std::string Message(const Mail& mail, int n) {
    const std::string address = mail.address;
    std::string text = "Return-Path: <" + address + ">\r\n";
    text += "Received: from mx.example.net (198.51.100." + std::to_string(n) +
            ") by pop.example.net\r\n";
    text += std::string("From: ") + mail.sender + " <" + address + ">\r\nTo: you@example.net\r\n";
    text += std::string("Subject: ") + mail.subject + "\r\n";
    text += "Message-ID: <" + std::to_string(n) + "." +
            std::to_string(std::hash<std::string>{}(mail.subject)) + "@example.net>\r\n";
    text +=
        "Date: Mon, 7 Dec 2026 08:0" + std::to_string(n % 10) + ":00 +0000\r\n\r\nHello,\r\n\r\n";
    for (int line = 0; line < 40 * n; ++line) {
        text += "This line is part of the body, which is never fetched.\r\n";
    }
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    const int port = argc > 1 ? std::atoi(argv[1]) : 110;
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    sigprocmask(SIG_BLOCK, &stopSignals, nullptr);

    qvtest::DovecotServer server;
    for (const Mailbox& box : kMailboxes) {
        std::vector<std::string> messages;
        for (std::size_t i = 0; i < box.mail.size(); ++i) {
            messages.push_back(Message(box.mail[i], static_cast<int>(i) + 1));
        }
        server.AddUser(box.user, box.password, messages);
    }
    if (!server.Start(port)) {
        std::fprintf(stderr, "demo_dovecot: %s\n", server.Error().c_str());
        return 1;
    }
    std::printf("demo_dovecot: listening on 127.0.0.1:%d\n", server.Port());
    std::fflush(stdout);
    int received = 0;
    sigwait(&stopSignals, &received);
    return 0;  // the server stops with its object
}
