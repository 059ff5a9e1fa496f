// Start-up, shutdown, framing and the session loop over the wire.
#include <signal.h>

#include "harness.h"

using e2e::cmd;

TEST(Core, EchoUnknownCommandAndLogout) {
    e2e::TestServer srv;
    ASSERT_TRUE(srv.start()) << srv.out() << srv.err();
    bh::Client c = srv.connect();
    bh::Frame f;
    ASSERT_TRUE(c.send_frame("20", "hello"));
    ASSERT_TRUE(c.recv_frame(f));
    EXPECT_EQ(f.type, "10");
    EXPECT_EQ(f.payload, "hello");
    ASSERT_TRUE(c.command(cmd("hello"), f));
    EXPECT_EQ(f.type, "11");
    EXPECT_EQ(f.payload, "{ \"RESULT\": \"FAIL\" }");
    ASSERT_TRUE(c.command(cmd("LOGOUT"), f));
    EXPECT_EQ(f.type, "10");
    EXPECT_EQ(f.payload, "BYE\n");
    EXPECT_FALSE(c.recv_frame(f, 2000));
    EXPECT_TRUE(srv.wait_for_output("CLIENT CLOSE (0)"));
    EXPECT_EQ(srv.stop(SIGINT), 0);
    EXPECT_NE(srv.out().find("SERVER STOP"), std::string::npos);
}
