#include "tests/support/scripted_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

namespace qvtest {

ScriptedServer::ScriptedServer() {
    listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        listen(listenFd_, 1) == 0 &&
        getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
        port_ = ntohs(addr.sin_port);
    }
}

ScriptedServer::~ScriptedServer() {
    Finish();
    if (listenFd_ >= 0) {
        close(listenFd_);
    }
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

ScriptedServer& ScriptedServer::CloseAfterScript() {
    closeAfterScript_ = true;
    return *this;
}

void ScriptedServer::Start() {
    thread_ = std::thread([this] { Run(); });
}

void ScriptedServer::Finish() {
    if (thread_.joinable()) {
        thread_.join();
    }
}

std::string ScriptedServer::Received() {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
}

void ScriptedServer::Run() {
    pollfd p{listenFd_, POLLIN, 0};
    if (poll(&p, 1, 10000) != 1) {
        return;
    }
    const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
        return;
    }
    for (const Step& step : steps_) {
        if (step.kind == Step::kSend) {
            if (send(fd, step.bytes.data(), step.bytes.size(), MSG_NOSIGNAL) < 0) {
                break;
            }
        } else if (step.kind == Step::kPause) {
            std::this_thread::sleep_for(std::chrono::milliseconds(step.ms));
        } else if (!ReadOneLine(fd, 5000)) {
            break;
        }
    }
    if (!closeAfterScript_) {
        Drain(fd);
    }
    close(fd);
}

// Reads byte by byte so that a line is never taken from the next command.
bool ScriptedServer::ReadOneLine(int fd, int waitMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    pendingLine_.clear();
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 50) != 1) {
            continue;
        }
        char c = 0;
        if (recv(fd, &c, 1, 0) != 1) {
            return false;
        }
        pendingLine_ += c;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            received_ += c;
        }
        if (c == '\n') {
            return true;
        }
    }
    return false;
}

void ScriptedServer::Drain(int fd) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (!ReadOneLine(fd, static_cast<int>(left.count()))) {
            return;
        }
        if (pendingLine_ == "QUIT\r\n") {
            send(fd, "+OK\r\n", 5, MSG_NOSIGNAL);
            return;
        }
    }
}

}  // namespace qvtest
