#include "tests/support/oauth_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <vector>

extern char** environ;

namespace qvtest {

namespace {

constexpr const char* kPython = "/usr/bin/python3";
constexpr int kWaitMs = 10000;

// Reads the child's first line, "PORT <n>", within the wait.
int ReadPort(int fd) {
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
    char c = 0;
    while (line.size() < 64 && std::chrono::steady_clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 100) != 1) {
            continue;
        }
        if (read(fd, &c, 1) != 1) {
            break;
        }
        if (c == '\n') {
            return line.rfind("PORT ", 0) == 0 ? std::atoi(line.c_str() + 5) : 0;
        }
        line += c;
    }
    return 0;
}

std::string FormEscape(const std::string& text) {
    static const char* kHex = "0123456789ABCDEF";
    std::string escaped;
    for (const unsigned char c : text) {
        if (std::isalnum(c) != 0 || c == '-' || c == '_' || c == '.' || c == '~') {
            escaped += static_cast<char>(c);
        } else {
            escaped += '%';
            escaped += kHex[c >> 4];
            escaped += kHex[c & 15];
        }
    }
    return escaped;
}

}  // namespace

OAuthServer::~OAuthServer() {
    Stop();
}

bool OAuthServer::Start() {
    if (pid_ > 0) {
        return true;
    }
    if (access(kPython, X_OK) != 0) {
        error_ = std::string(kPython) + " is missing: install python3";
        return false;
    }
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
        error_ = "no pipe";
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    const std::string script = QV_OAUTH_SERVER_SCRIPT;
    std::vector<char*> argv = {const_cast<char*>(kPython), const_cast<char*>("-u"),
                               const_cast<char*>(script.c_str()), nullptr};
    const int rc = posix_spawn(&pid_, kPython, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    if (rc != 0) {
        pid_ = -1;
        close(out[0]);
        error_ = "cannot start " + script;
        return false;
    }
    port_ = ReadPort(out[0]);
    close(out[0]);
    if (port_ == 0) {
        error_ = "the authorization server printed no port within 10 s";
        Stop();
        return false;
    }
    return true;
}

void OAuthServer::Stop() {
    if (pid_ <= 0) {
        return;
    }
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
}

std::string OAuthServer::IntrospectionUrl() const {
    return "http://127.0.0.1:" + std::to_string(port_) + "/introspect";
}

int OAuthServer::Request(const std::string& method, const std::string& target,
                         const std::string& content, const std::string& contentType,
                         std::string& body) const {
    body.clear();
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port_));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return 0;
    }
    std::string request = method + " " + target + " HTTP/1.0\r\nHost: 127.0.0.1\r\n";
    if (!content.empty()) {
        request += "Content-Type: " + contentType + "\r\n";
    }
    request += "Content-Length: " + std::to_string(content.size()) + "\r\n\r\n" + content;
    send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    // The server closes after its answer to an HTTP/1.0 request.
    std::string answer;
    char piece[4096];
    pollfd p{fd, POLLIN, 0};
    for (long got; poll(&p, 1, kWaitMs) == 1 && (got = recv(fd, piece, sizeof piece, 0)) > 0;) {
        answer.append(piece, static_cast<std::size_t>(got));
    }
    close(fd);
    const std::size_t split = answer.find("\r\n\r\n");
    if (answer.rfind("HTTP/", 0) != 0 || split == std::string::npos) {
        return 0;
    }
    body = answer.substr(split + 4);
    return std::atoi(answer.c_str() + answer.find(' ') + 1);
}

bool OAuthServer::Control(const std::string& json) {
    std::string body;
    return Request("POST", "/control", json, "application/json", body) == 200;
}

OAuthServer::Tokens OAuthServer::Issue(const std::string& user) {
    std::string body;
    if (Request("GET", "/control/issue?user=" + FormEscape(user), {}, {}, body) != 200) {
        return {};
    }
    return {JsonMember(body, "access_token"), JsonMember(body, "refresh_token")};
}

OAuthServer::Tokens OAuthServer::Refresh(const std::string& refreshToken) {
    std::string body;
    const std::string form = "grant_type=refresh_token&refresh_token=" + FormEscape(refreshToken);
    if (Request("POST", "/token", form, "application/x-www-form-urlencoded", body) != 200) {
        return {};
    }
    return {JsonMember(body, "access_token"), JsonMember(body, "refresh_token")};
}

std::string JsonMember(const std::string& json, const std::string& name) {
    const std::string key = "\"" + name + "\"";
    std::size_t at = json.find(key);
    if (at == std::string::npos) {
        return {};
    }
    at = json.find('"', json.find(':', at + key.size()));
    const std::size_t end = at == std::string::npos ? at : json.find('"', at + 1);
    return end == std::string::npos ? std::string() : json.substr(at + 1, end - at - 1);
}

}  // namespace qvtest
