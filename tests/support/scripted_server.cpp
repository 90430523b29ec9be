#include "tests/support/scripted_server.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

namespace qvtest {

namespace {

constexpr int kPollMs = 20;

bool Readable(int fd, int waitMs) {
    pollfd entry{fd, POLLIN, 0};
    return poll(&entry, 1, waitMs) == 1;
}

std::string Capabilities(bool pipelining) {
    return std::string("+OK\r\nTOP\r\nUIDL\r\n") + (pipelining ? "PIPELINING\r\n" : "") + ".\r\n";
}

void SendAll(int fd, const std::string& text) {
    std::size_t sent = 0;
    while (sent < text.size()) {
        const ssize_t n = send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            return;
        }
        sent += static_cast<std::size_t>(n);
    }
}

}  // namespace

ScriptedServer::Part ScriptedServer::Silent() {
    Part part;
    part.silent = true;
    return part;
}

ScriptedServer::Part ScriptedServer::Mailbox(std::vector<std::string> headers) {
    Part part;
    part.headers = std::move(headers);
    return part;
}

ScriptedServer::ScriptedServer() : listener_(1) {}

ScriptedServer::ScriptedServer(Part part)
    : listener_(4), part_(std::make_unique<Part>(std::move(part))) {
    thread_ = std::thread([this] { Serve(); });
}

ScriptedServer::~ScriptedServer() {
    stop_ = part_ != nullptr;
    Finish();
}

ScriptedServer& ScriptedServer::Send(const std::string& bytes) {
    steps_.push_back({Step::kSend, bytes, 0});
    return *this;
}

ScriptedServer& ScriptedServer::Pause(int ms) {
    steps_.push_back({Step::kPause, {}, ms});
    return *this;
}

ScriptedServer& ScriptedServer::ReadLine() {
    steps_.push_back({Step::kReadLine, {}, 0});
    return *this;
}

ScriptedServer& ScriptedServer::AnswerCapa(bool pipelining) {
    return ReadLine().Send(Capabilities(pipelining));
}

ScriptedServer& ScriptedServer::CloseAfterScript() {
    closeAfterScript_ = true;
    return *this;
}

void ScriptedServer::Start() {
    thread_ = std::thread([this] { RunScript(); });
}

void ScriptedServer::Finish() {
    if (thread_.joinable()) {
        thread_.join();
    }
}

std::string ScriptedServer::Received() {
    std::lock_guard lock(mutex_);
    return received_;
}

std::vector<std::string> ScriptedServer::Commands() {
    const std::string bytes = Received();
    std::vector<std::string> lines;
    for (std::size_t start = 0, end; (end = bytes.find("\r\n", start)) != std::string::npos;
         start = end + 2) {
        lines.push_back(bytes.substr(start, end - start));
    }
    return lines;
}

int ScriptedServer::EarlyCommands() {
    std::lock_guard lock(mutex_);
    return early_;
}

bool ScriptedServer::WaitAccepted(int count, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return accepted_ >= count; });
}

bool ScriptedServer::WaitClosed(int count, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return closed_ >= count; });
}

void ScriptedServer::Count(int& counter) {
    {
        std::lock_guard lock(mutex_);
        ++counter;
    }
    changed_.notify_all();
}

void ScriptedServer::RunScript() {
    if (!Readable(listener_.Fd(), 10000)) {
        return;
    }
    const int fd = accept4(listener_.Fd(), nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
        return;
    }
    Count(accepted_);
    for (const Step& step : steps_) {
        if (step.kind == Step::kSend) {
            if (send(fd, step.bytes.data(), step.bytes.size(), MSG_NOSIGNAL) < 0) {
                break;
            }
        } else if (step.kind == Step::kPause) {
            std::this_thread::sleep_for(std::chrono::milliseconds(step.ms));
        } else if (ReadOneLine(fd, 5000) != 1) {
            break;
        }
    }
    if (!closeAfterScript_) {
        Drain(fd);
    }
    close(fd);
    Count(closed_);
}

// Reads byte by byte so that a line is never taken from the next command. A line cut
// by the wait is completed by the next call.
int ScriptedServer::ReadOneLine(int fd, int waitMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    if (pendingLine_.ends_with('\n')) {
        pendingLine_.clear();
    }
    while (std::chrono::steady_clock::now() < deadline && !stop_) {
        if (!Readable(fd, kPollMs)) {
            continue;
        }
        char c = 0;
        if (recv(fd, &c, 1, 0) != 1) {
            return -1;
        }
        pendingLine_ += c;
        {
            std::lock_guard lock(mutex_);
            received_ += c;
        }
        if (c == '\n') {
            return 1;
        }
    }
    return 0;
}

void ScriptedServer::Drain(int fd) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (ReadOneLine(fd, static_cast<int>(left.count())) != 1) {
            return;
        }
        if (pendingLine_ == "QUIT\r\n") {
            send(fd, "+OK\r\n", 5, MSG_NOSIGNAL);
            return;
        }
    }
}

void ScriptedServer::Serve() {
    while (!stop_) {
        if (!Readable(listener_.Fd(), kPollMs)) {
            continue;
        }
        const int client = accept4(listener_.Fd(), nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) {
            continue;
        }
        Count(accepted_);
        Converse(client);
        close(client);
        Count(closed_);
    }
}

void ScriptedServer::Converse(int client) {
    if (!part_->silent) {
        SendAll(client, "+OK scripted ready <1896.697170952@loopback>\r\n");
    }
    bool hangUp = false;
    int tops = 0;
    while (!stop_ && !hangUp) {
        const int read = ReadOneLine(client, kPollMs);
        if (read < 0) {
            return;
        }
        if (read == 0 || part_->silent) {
            continue;
        }
        const std::string command = pendingLine_.substr(0, pendingLine_.size() - 2);
        tops += command.starts_with("TOP ") ? 1 : 0;
        if (command.starts_with("TOP ") && part_->topsAnswered >= 0 && tops > part_->topsAnswered) {
            if (part_->hangUpThen) {
                return;
            }
            continue;
        }
        if (Readable(client, 0)) {
            Count(early_);
        }
        SendAll(client, Answer(command, tops, hangUp));
    }
}

std::string ScriptedServer::Answer(const std::string& command, int tops, bool& hangUp) const {
    const auto& headers = part_->headers;
    if (command == "CAPA") {
        return part_->refuseCapa ? "-ERR unknown command\r\n" : Capabilities(part_->pipelining);
    }
    if (command.starts_with("STAT")) {
        if (part_->failStat) {
            return "-ERR no STAT today\r\n";
        }
        std::size_t total = 0;
        for (const std::string& header : headers) {
            total += header.size();
        }
        const long long count =
            part_->statCount >= 0 ? part_->statCount : static_cast<long long>(headers.size());
        return "+OK " + std::to_string(count) + " " + std::to_string(total) + "\r\n";
    }
    if (command.starts_with("LIST")) {
        if (part_->failList) {
            return "-ERR no listing today\r\n";
        }
        std::string reply = "+OK\r\n";
        for (std::size_t i = 0; i < headers.size(); ++i) {
            reply += std::to_string(i + 1) + " " + std::to_string(headers[i].size()) + "\r\n";
        }
        return reply + ".\r\n";
    }
    if (command.starts_with("UIDL")) {
        if (part_->failUidl) {
            return "-ERR no unique ids here\r\n";
        }
        std::string reply = "+OK\r\n";
        for (std::size_t i = 1; i <= headers.size(); ++i) {
            reply += std::to_string(i) + " id" + std::to_string(part_->repeatIds ? 1 : i) + "\r\n";
        }
        return reply + ".\r\n";
    }
    if (command.starts_with("TOP ")) {
        const int number = std::stoi(command.substr(4));
        const bool refused =
            std::find(part_->failTop.begin(), part_->failTop.end(), number) != part_->failTop.end();
        if (refused || number < 1 || number > static_cast<int>(headers.size())) {
            return "-ERR no such message\r\n";
        }
        return "+OK\r\n" + headers[static_cast<std::size_t>(number - 1)] + "\r\n.\r\n" +
               (tops == 1 ? part_->strayAfterFirstTop : "");
    }
    if (command.starts_with("QUIT")) {
        hangUp = true;
        return "+OK bye\r\n";
    }
    return "+OK\r\n";  // USER, PASS, APOP: any credentials will do
}

}  // namespace qvtest
