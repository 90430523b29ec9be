// Plays arbitrary server bytes to a session over loopback: the first byte chooses
// USER/PASS or APOP (bit 0), or an OAuth2 token (bit 7; bit 6 pins OAUTHBEARER instead
// of letting CAPA choose); the rest is everything the server says. A byte 0x1E splits
// it into pieces: the first is sent at once, each further one after one more command
// line (a CAPA reply that lists PIPELINING sends the listing and the headers in
// windows). The peer then closes its sending side and reads until the session hangs up.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "pop3/oauth_mechanism.h"
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

// One command line from the client, or false when none came.
bool ReadCommand(int fd) {
    char c = 0;
    pollfd p{fd, POLLIN, 0};
    while (poll(&p, 1, 1000) == 1 && recv(fd, &c, 1, 0) == 1) {
        if (c == '\n') {
            return true;
        }
    }
    return false;
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
    for (std::size_t start = 0; start <= bytes.size();) {
        const std::size_t end = std::min(bytes.find('\x1e', start), bytes.size());
        send(fd, bytes.data() + start, end - start, MSG_NOSIGNAL);
        start = end + 1;
        if (start <= bytes.size() && !ReadCommand(fd)) {
            break;
        }
    }
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
        if ((data[0] & 0x80) != 0) {
            session.SetSignInMethod(SignInMethod::kOAuth2);
            if ((data[0] & 0x40) != 0) {
                session.PinOAuthMechanism(OAuthMechanism::kOAuthBearer);
            }
        }
        session.m_nTimeout = 200;
        if (session.Login("127.0.0.1", "user", "secret", port) == 1) {
            int count = 0;
            int total = 0;
            session.Stat(count, total);
            std::vector<std::string> ids;
            session.UniqueIds(ids);
            session.TopEach({1, 2, 3, 4}, [](int, MessageHeader&) { return true; });
            MessageHeader header;
            session.Top(1, header);
            int listed = 0;
            session.GetMessageSize(1 + (data[0] >> 1), listed);
        }
    }
    server.join();
    return 0;
}
