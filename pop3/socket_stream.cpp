#include "pop3/socket_stream.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// Waits are cut into slices this long so that a stop request is seen in time.
constexpr int kSliceMs = 100;

bool StopRequested(const std::atomic<bool>* stop) {
    return stop != nullptr && stop->load(std::memory_order_relaxed);
}

// Milliseconds left until `deadline`, or kSliceMs when there is no deadline.
int SliceUntil(bool bounded, Clock::time_point deadline) {
    if (!bounded) {
        return kSliceMs;
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::max<long long>(0, std::min<long long>(left, kSliceMs)));
}

// The system's resolver cannot be interrupted, so a lookup runs on a thread of its own
// that the caller may abandon; the shared state outlives whichever side ends last.
struct Lookup {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    int error = 0;
    in_addr address{};
};

int ResolveName(const char* host, in_addr& address, bool bounded, Clock::time_point deadline,
                const std::atomic<bool>* stop) {
    auto lookup = std::make_shared<Lookup>();
    std::thread([lookup, name = std::string(host)] {
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* result = nullptr;
        const int rc = getaddrinfo(name.c_str(), nullptr, &hints, &result);
        std::lock_guard<std::mutex> lock(lookup->mutex);
        lookup->error = rc;
        if (rc == 0) {
            lookup->address = reinterpret_cast<const sockaddr_in*>(result->ai_addr)->sin_addr;
            freeaddrinfo(result);
        }
        lookup->finished = true;
        lookup->done.notify_all();
    }).detach();

    std::unique_lock<std::mutex> lock(lookup->mutex);
    while (!lookup->finished) {
        if (StopRequested(stop) || (bounded && Clock::now() >= deadline)) {
            return EAI_AGAIN;
        }
        lookup->done.wait_for(lock, std::chrono::milliseconds(SliceUntil(bounded, deadline) + 1));
    }
    address = lookup->address;
    return lookup->error;
}

}  // namespace

SocketStream::~SocketStream() {
    Close();
}

int SocketStream::Create() {
    Close();  // a second Create must not leak the first socket
    handle_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    lastError_ = handle_ == -1 ? errno : 0;
    return handle_ != -1 ? 1 : 0;
}

int SocketStream::Connect(const char* host, int port, int timeoutMs,
                          const std::atomic<bool>* stop) {
    const bool bounded = timeoutMs >= 0;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    // A dotted address is taken as it stands and never looked up by name.
    if (inet_pton(AF_INET, host, &addr.sin_addr) != 1) {
        const int rc = ResolveName(host, addr.sin_addr, bounded, deadline, stop);
        if (rc != 0) {
            lastError_ = rc;  // a getaddrinfo code (EAI_*, negative)
            return 0;
        }
    }
    return ConnectAddress(addr, bounded ? deadline : Clock::time_point::max(), stop);
}

int SocketStream::ConnectAddress(const sockaddr_in& addr,
                                 std::chrono::steady_clock::time_point deadline,
                                 const std::atomic<bool>* stop) {
    const int flags = fcntl(handle_, F_GETFL);
    if (flags == -1 || fcntl(handle_, F_SETFL, flags | O_NONBLOCK) == -1) {
        lastError_ = errno;
        return 0;
    }
    int rc = connect(handle_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    int error = rc == 0 ? 0 : errno;
    const bool bounded = deadline != Clock::time_point::max();
    while (error == EINPROGRESS || error == EINTR) {
        if (StopRequested(stop) || (bounded && Clock::now() >= deadline)) {
            error = ETIMEDOUT;
            break;
        }
        pollfd p{handle_, POLLOUT, 0};
        const int ready = poll(&p, 1, SliceUntil(bounded, deadline));
        if (ready == -1 && errno != EINTR) {
            error = errno;
        } else if (ready == 1) {
            socklen_t len = sizeof error;
            if (getsockopt(handle_, SOL_SOCKET, SO_ERROR, &error, &len) == -1) {
                error = errno;
            }
        }
    }
    fcntl(handle_, F_SETFL, flags);
    lastError_ = error;
    return error == 0 ? 1 : 0;
}

int SocketStream::Send(const char* buffer, std::size_t count) {
    // A short write is continued until the whole line is out, or fails.
    std::size_t sent = 0;
    while (sent < count) {
        const ssize_t n = send(handle_, buffer + sent, count - sent, MSG_NOSIGNAL);
        if (n == -1) {
            if (errno == EINTR) {
                continue;
            }
            lastError_ = errno;
            return 0;
        }
        sent += static_cast<std::size_t>(n);
    }
    return 1;
}

long SocketStream::Receive(char* buffer, std::size_t capacity) {
    if (capacity == 0) {
        return 0;
    }
    ssize_t n;
    do {
        n = recv(handle_, buffer, capacity, 0);
    } while (n == -1 && errno == EINTR);
    if (n == -1) {
        lastError_ = errno;
    }
    return static_cast<long>(n);
}

int SocketStream::PollReadable(int& readable) {
    return WaitReadable(readable, 0);
}

int SocketStream::WaitReadable(int& readable, int waitMs) {
    if (handle_ == -1) {
        lastError_ = EBADF;
        return 0;
    }
    pollfd p{handle_, POLLIN, 0};
    const int n = poll(&p, 1, waitMs);
    if (n == -1) {
        if (errno == EINTR) {
            readable = 0;
            return 1;
        }
        lastError_ = errno;
        return 0;
    }
    if (n == 1 && (p.revents & POLLNVAL) != 0) {
        lastError_ = EBADF;
        return 0;
    }
    // A closed peer or an error also counts as readable: the following Receive tells.
    readable = n != 0 ? 1 : 0;
    return 1;
}

int SocketStream::CheckPeer() {
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    const int rc = getpeername(handle_, reinterpret_cast<sockaddr*>(&peer), &len);
    if (rc == -1) {
        lastError_ = errno;
    }
    return rc;
}

int SocketStream::Close() {
    if (handle_ == -1) {
        return -1;
    }
    const int rc = close(handle_);
    handle_ = -1;
    return rc;
}
