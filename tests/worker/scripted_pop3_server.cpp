#include "scripted_pop3_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>

namespace {

constexpr int kPollMs = 20;

int ListenOnLoopback(int backlog, int& port) {
    const int handle = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (handle < 0 || bind(handle, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        listen(handle, backlog) != 0 ||
        getsockname(handle, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throw std::runtime_error("cannot listen on loopback");
    }
    port = ntohs(address.sin_port);
    return handle;
}

bool Readable(int handle) {
    pollfd entry{handle, POLLIN, 0};
    return poll(&entry, 1, kPollMs) > 0;
}

void SendAll(int handle, const std::string& text) {
    std::size_t sent = 0;
    while (sent < text.size()) {
        const ssize_t n = send(handle, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            return;
        }
        sent += static_cast<std::size_t>(n);
    }
}

}  // namespace

ScriptedPop3Server::ScriptedPop3Server(Script script) : script_(std::move(script)) {
    listener_ = ListenOnLoopback(4, port_);
    thread_ = std::thread([this] { Serve(); });
}

ScriptedPop3Server::~ScriptedPop3Server() {
    stop_ = true;
    thread_.join();
    close(listener_);
}

std::vector<std::string> ScriptedPop3Server::Commands() const {
    std::lock_guard lock(mutex_);
    return commands_;
}

bool ScriptedPop3Server::WaitAccepted(int count, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return accepted_ >= count; });
}

bool ScriptedPop3Server::WaitClosed(int count, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return closed_ >= count; });
}

void ScriptedPop3Server::Serve() {
    while (!stop_) {
        if (!Readable(listener_)) {
            continue;
        }
        const int client = accept(listener_, nullptr, nullptr);
        if (client < 0) {
            continue;
        }
        {
            std::lock_guard lock(mutex_);
            ++accepted_;
        }
        changed_.notify_all();
        Converse(client);
        close(client);
        {
            std::lock_guard lock(mutex_);
            ++closed_;
        }
        changed_.notify_all();
    }
}

void ScriptedPop3Server::Converse(int client) {
    if (!script_.silent) {
        SendAll(client, "+OK scripted ready <1896.697170952@loopback>\r\n");
    }
    std::string pending;
    bool hangUp = false;
    while (!stop_ && !hangUp) {
        if (!Readable(client)) {
            continue;
        }
        char chunk[512];
        const ssize_t n = recv(client, chunk, sizeof chunk, 0);
        if (n <= 0) {
            return;
        }
        pending.append(chunk, static_cast<std::size_t>(n));
        for (std::size_t end; !hangUp && (end = pending.find("\r\n")) != std::string::npos;) {
            const std::string command = pending.substr(0, end);
            pending.erase(0, end + 2);
            {
                std::lock_guard lock(mutex_);
                commands_.push_back(command);
            }
            if (!script_.silent) {
                SendAll(client, Answer(command, hangUp));
            }
        }
    }
}

std::string ScriptedPop3Server::Answer(const std::string& command, bool& hangUp) const {
    const auto& headers = script_.headers;
    if (command.starts_with("STAT")) {
        if (script_.failStat) {
            return "-ERR no STAT today\r\n";
        }
        std::size_t total = 0;
        for (const std::string& header : headers) {
            total += header.size();
        }
        const long long count =
            script_.statCount >= 0 ? script_.statCount : static_cast<long long>(headers.size());
        return "+OK " + std::to_string(count) + " " + std::to_string(total) + "\r\n";
    }
    if (command.starts_with("LIST")) {
        if (script_.failList) {
            return "-ERR no listing today\r\n";
        }
        std::string reply = "+OK\r\n";
        for (std::size_t i = 0; i < headers.size(); ++i) {
            reply += std::to_string(i + 1) + " " + std::to_string(headers[i].size()) + "\r\n";
        }
        return reply + ".\r\n";
    }
    if (command.starts_with("TOP ")) {
        const int number = std::stoi(command.substr(4));
        const bool refused = std::find(script_.failTop.begin(), script_.failTop.end(), number) !=
                             script_.failTop.end();
        if (refused || number < 1 || number > static_cast<int>(headers.size())) {
            return "-ERR no such message\r\n";
        }
        return "+OK\r\n" + headers[static_cast<std::size_t>(number - 1)] + "\r\n.\r\n";
    }
    if (command.starts_with("QUIT")) {
        hangUp = true;
        return "+OK bye\r\n";
    }
    return "+OK\r\n";  // USER, PASS, APOP: any credentials will do
}

StalledListener::StalledListener() {
    listener_ = ListenOnLoopback(0, port_);
    filler_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port_));
    if (connect(filler_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        throw std::runtime_error("cannot fill the listener's queue");
    }
}

StalledListener::~StalledListener() {
    close(filler_);
    close(listener_);
}

int ClosedLoopbackPort() {
    int port = 0;
    const int handle = ListenOnLoopback(1, port);
    close(handle);
    return port;
}
