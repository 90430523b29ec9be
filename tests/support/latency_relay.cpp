#include "tests/support/latency_relay.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace qvtest {

namespace {

int ConnectTo(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool SendAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t sent = send(fd, data, size, MSG_NOSIGNAL);
        if (sent <= 0) {
            return false;
        }
        data += sent;
        size -= static_cast<std::size_t>(sent);
    }
    return true;
}

}  // namespace

LatencyRelay::LatencyRelay(int serverPort, std::chrono::milliseconds delay)
    : serverPort_(serverPort), delay_(delay), listener_(64), acceptor_([this] { Accept(); }) {}

LatencyRelay::~LatencyRelay() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        for (const std::shared_ptr<Link>& link : links_) {
            shutdown(link->client, SHUT_RDWR);
            shutdown(link->server, SHUT_RDWR);
        }
    }
    shutdown(listener_.Fd(), SHUT_RDWR);
    acceptor_.join();
    for (std::thread& thread : threads_) {
        thread.join();
    }
    for (const std::shared_ptr<Link>& link : links_) {
        close(link->client);
        close(link->server);
    }
}

void LatencyRelay::Accept() {
    for (;;) {
        const int client = accept4(listener_.Fd(), nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) {
            return;  // the listener was shut down
        }
        auto link = std::make_shared<Link>();
        link->client = client;
        link->server = ConnectTo(serverPort_);
        std::lock_guard lock(mutex_);
        links_.push_back(link);
        if (stopping_ || link->server < 0) {
            shutdown(client, SHUT_RDWR);
            return;
        }
        threads_.emplace_back([this, link] { Serve(link); });
        threads_.emplace_back([this, link] { Deliver(link); });
    }
}

// Client to server at once; server to client through the queue.
void LatencyRelay::Serve(const std::shared_ptr<Link>& link) {
    pollfd fds[2] = {{link->client, POLLIN, 0}, {link->server, POLLIN, 0}};
    char buffer[16384];
    for (;;) {
        if (poll(fds, 2, -1) < 0) {
            break;
        }
        if (fds[0].revents != 0) {
            const ssize_t got = recv(link->client, buffer, sizeof buffer, 0);
            if (got <= 0 || !SendAll(link->server, buffer, static_cast<std::size_t>(got))) {
                break;
            }
        }
        if (fds[1].revents != 0) {
            const ssize_t got = recv(link->server, buffer, sizeof buffer, 0);
            if (got <= 0) {
                break;
            }
            std::lock_guard lock(link->mutex);
            link->chunks.push_back({std::chrono::steady_clock::now() + delay_,
                                    std::string(buffer, static_cast<std::size_t>(got))});
            link->ready.notify_one();
        }
    }
    shutdown(link->server, SHUT_WR);
    std::lock_guard lock(link->mutex);
    link->ended = true;
    link->ready.notify_one();
}

void LatencyRelay::Deliver(const std::shared_ptr<Link>& link) {
    std::unique_lock lock(link->mutex);
    for (;;) {
        link->ready.wait(lock, [&] { return link->ended || !link->chunks.empty(); });
        if (link->chunks.empty()) {
            break;  // ended, and everything sent on
        }
        Chunk chunk = std::move(link->chunks.front());
        link->chunks.pop_front();
        lock.unlock();
        std::this_thread::sleep_until(chunk.due);
        const bool sent = SendAll(link->client, chunk.bytes.data(), chunk.bytes.size());
        lock.lock();
        if (!sent) {
            break;
        }
    }
    shutdown(link->client, SHUT_WR);
}

}  // namespace qvtest
