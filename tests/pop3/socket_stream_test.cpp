#include <gtest/gtest.h>

#include "pop3/socket_stream.h"
#include "tests/support/scripted_server.h"

namespace {

TEST(SocketStream, ClosedStreamFailsEveryOperation) {
    SocketStream stream;
    int readable = 7;
    EXPECT_EQ(0, stream.PollReadable(readable));
    EXPECT_EQ(7, readable);
    EXPECT_EQ(-1, stream.CheckPeer());
    EXPECT_EQ(0, stream.Send("x", 1));
    EXPECT_EQ(-1, stream.Close());
}

TEST(SocketStream, UnknownHostLeavesTheLookupError) {
    SocketStream stream;
    ASSERT_EQ(1, stream.Create());
    EXPECT_EQ(0, stream.Connect("no-such-host.invalid", 110, 2000));
    EXPECT_NE(0, stream.LastError());
    EXPECT_EQ(FailureKind::kHostNotFound, stream.LastFailure().kind);
    EXPECT_EQ(-1, stream.CheckPeer());
    EXPECT_EQ(0, stream.Close());
    EXPECT_EQ(-1, stream.Close());
}

TEST(SocketStream, PollSeesDataAndAClosedPeer) {
    qvtest::ScriptedServer server;
    server.Send("hello").CloseAfterScript();
    server.Start();
    SocketStream stream;
    ASSERT_EQ(1, stream.Create());
    ASSERT_EQ(1, stream.Connect("127.0.0.1", server.Port()));
    EXPECT_EQ(0, stream.CheckPeer());
    server.Finish();
    int readable = 0;
    ASSERT_EQ(1, stream.WaitReadable(readable, 2000));
    ASSERT_EQ(1, readable);
    char buffer[16] = {};
    EXPECT_EQ(0, stream.Receive(buffer, 0));
    EXPECT_EQ(5, stream.Receive(buffer, sizeof buffer));
    EXPECT_STREQ("hello", buffer);
    ASSERT_EQ(1, stream.PollReadable(readable));
    EXPECT_EQ(1, readable);  // the peer has gone
    EXPECT_EQ(0, stream.Receive(buffer, sizeof buffer));
}

}  // namespace
