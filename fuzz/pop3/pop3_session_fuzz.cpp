// Plays arbitrary server bytes to a session over loopback: the first byte chooses
// USER/PASS or APOP, the rest is everything the server says, sent at once. The peer
// then closes its sending side and reads until the session hangs up.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>

#include "pop3/pop3_session.h"

namespace {

int Listener(int& port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    listen(fd, 4);
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    port = ntohs(addr.sin_port);
    return fd;
}

void PlayServer(int listener, const std::string& bytes) {
    pollfd p{listener, POLLIN, 0};
    if (poll(&p, 1, 5000) != 1) {
        return;
    }
    const int fd = accept(listener, nullptr, nullptr);
    if (fd < 0) {
        return;
    }
    send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    shutdown(fd, SHUT_WR);
    // Reading on until the client closes keeps the kernel from resetting the
    // connection while unread commands wait in its buffer.
    char sink[4096];
    pollfd q{fd, POLLIN, 0};
    while (poll(&q, 1, 5000) == 1 && recv(fd, sink, sizeof sink, 0) > 0) {
    }
    close(fd);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static int port = 0;
    static const int listener = Listener(port);
    if (size == 0) {
        return 0;
    }
    const std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
    std::thread server(PlayServer, listener, bytes);
    {
        Pop3Session session;
        session.m_bApop = data[0] & 1;
        session.m_nTimeout = 200;
        if (session.Login("127.0.0.1", "user", "secret", port) == 1) {
            int count = 0;
            int total = 0;
            session.Stat(count, total);
            for (int n = 1; n <= 4; ++n) {
                MessageHeader header;
                session.Top(n, header);
            }
            int listed = 0;
            session.GetMessageSize(1 + (data[0] >> 1), listed);
        }
    }
    server.join();
    return 0;
}
