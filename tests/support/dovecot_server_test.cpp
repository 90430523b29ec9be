// The harness itself: the server starts under the current user (root in CI), greets,
// accepts the users the test wrote and reports their mailboxes.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/support/dovecot_server.h"

namespace {

// A bare-bones dialogue, independent of the code under test.
class RawClient {
  public:
    explicit RawClient(int port) : fd_(socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    }
    ~RawClient() { close(fd_); }
    std::string Line() {
        std::string line;
        char c = 0;
        pollfd p{fd_, POLLIN, 0};
        while (poll(&p, 1, 5000) == 1 && recv(fd_, &c, 1, 0) == 1) {
            line += c;
            if (c == '\n') {
                break;
            }
        }
        return line;
    }
    std::string Ask(const std::string& command) {
        send(fd_, command.data(), command.size(), MSG_NOSIGNAL);
        return Line();
    }

  private:
    int fd_;
};

TEST(DovecotServer, ServesTheUsersItWasGivenAndLeavesTheirMailAlone) {
    qvtest::DovecotServer server;
    server.AddUser("alice", "secret", {"Subject: one\r\n\r\nbody\r\n", "Subject: two\r\n\r\n"});
    ASSERT_TRUE(server.Start()) << server.Error();
    const auto before = server.MailboxSnapshot("alice");
    ASSERT_EQ(2u, before.size());

    RawClient client(server.Port());
    EXPECT_EQ(0u, client.Line().rfind("+OK", 0));
    EXPECT_EQ(0u, client.Ask("USER alice\r\n").rfind("+OK", 0));
    EXPECT_EQ(0u, client.Ask("PASS wrong\r\n").rfind("-ERR", 0));
    EXPECT_EQ(0u, client.Ask("USER alice\r\n").rfind("+OK", 0));
    EXPECT_EQ(0u, client.Ask("PASS secret\r\n").rfind("+OK", 0));
    EXPECT_EQ("+OK 2 38\r\n", client.Ask("STAT\r\n"));
    EXPECT_EQ(0u, client.Ask("QUIT\r\n").rfind("+OK", 0));
    EXPECT_EQ(before, server.MailboxSnapshot("alice"));
}

TEST(DovecotServer, SnapshotSeesADeletedMessage) {
    qvtest::DovecotServer server;
    server.AddUser("bob", "pw", {"Subject: x\r\n\r\n"});
    ASSERT_TRUE(server.Start()) << server.Error();
    const auto before = server.MailboxSnapshot("bob");
    {
        RawClient client(server.Port());
        client.Line();
        client.Ask("USER bob\r\n");
        ASSERT_EQ(0u, client.Ask("PASS pw\r\n").rfind("+OK", 0));
        ASSERT_EQ(0u, client.Ask("DELE 1\r\n").rfind("+OK", 0));
        client.Ask("QUIT\r\n");
    }
    EXPECT_NE(before, server.MailboxSnapshot("bob"));
    server.Stop();
    server.Stop();  // a second stop does nothing
}

}  // namespace
