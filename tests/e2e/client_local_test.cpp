// The client library's local connection against a stand-in server on a Unix-domain socket:
// descriptors passed with replies are handed out once, and none is ever left open.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <thread>

#include "harness.h"

namespace {

int open_descriptors() { return e2e::open_fds(getpid()); }

// Writes one frame with the given descriptors attached, in one sendmsg.
void send_with(int sock, const std::string& type, const std::string& payload,
               const std::vector<int>& fds) {
    char header[13];
    snprintf(header, sizeof(header), "%.2s%10zu", type.c_str(), payload.size());
    std::string frame = std::string(header, 12) + payload;
    struct iovec iov = {frame.data(), frame.size()};
    std::vector<char> control(CMSG_SPACE(sizeof(int) * fds.size()));
    struct msghdr msg = {};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    if (!fds.empty()) {
        msg.msg_control = control.data();
        msg.msg_controllen = control.size();
        struct cmsghdr* c = CMSG_FIRSTHDR(&msg);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(sizeof(int) * fds.size());
        memcpy(CMSG_DATA(c), fds.data(), sizeof(int) * fds.size());
    }
    ASSERT_EQ(sendmsg(sock, &msg, 0), static_cast<ssize_t>(frame.size()));
}

// Reads one command frame; its payload.
std::string read_command(int sock) {
    char header[13] = {};
    if (recv(sock, header, 12, MSG_WAITALL) != 12) return "";
    std::string payload(strtoul(header + 2, nullptr, 10), '\0');
    if (!payload.empty() && recv(sock, payload.data(), payload.size(), MSG_WAITALL) <= 0) return "";
    return payload;
}

struct StandIn {
    e2e::TempDir dir;
    std::string path = dir.path + "/hub.sock";
    int listener = -1;
    StandIn() {
        listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        strcpy(a.sun_path, path.c_str());
        EXPECT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
        listen(listener, 4);
    }
    ~StandIn() { close(listener); }
};

}  // namespace

TEST(ClientLocal, OpenHandsOutTheDescriptorOnceAndLeavesNoneBehind) {
    StandIn srv;
    e2e::write_file(srv.dir.path + "/a.txt", "hello");
    int before = open_descriptors();
    std::thread server([&] {
        int s = accept4(srv.listener, nullptr, nullptr, SOCK_CLOEXEC);
        int file = open((srv.dir.path + "/a.txt").c_str(), O_RDONLY | O_CLOEXEC);
        // OPEN answered with its descriptor.
        EXPECT_NE(read_command(s).find("\"OPEN\""), std::string::npos);
        send_with(s, "11", R"({ "RESULT": "OK", "SIZE": 5 })", {file});
        // A descriptor nobody asks for: closed by the client before its next command.
        EXPECT_NE(read_command(s).find("\"OPEN\""), std::string::npos);
        send_with(s, "21", R"({ "FROM": "x", "MESSAGE": "hi" })", {file});
        send_with(s, "11", R"({ "RESULT": "FAIL", "REASON": "DENIED" })", {file});
        EXPECT_NE(read_command(s).find("\"PING\""), std::string::npos);
        send_with(s, "11", R"({ "RESULT": "OK" })", {file, file});
        // More descriptors than the client has room for fail the read.
        EXPECT_NE(read_command(s).find("\"PING\""), std::string::npos);
        send_with(s, "11", R"({ "RESULT": "OK" })", std::vector<int>(64, file));
        char c;
        recv(s, &c, 1, 0);  // until the client closes
        close(file);
        close(s);
    });
    {
        bh::Client c;
        ASSERT_TRUE(c.connect_local(srv.path, 2000)) << c.error();
        EXPECT_TRUE(c.local());
        int fd = -1;
        uint64_t size = 0;
        std::string reason;
        ASSERT_TRUE(bh::open_file(c, "/a.txt", fd, size, reason)) << reason;
        EXPECT_EQ(size, 5u);
        char buf[8] = {};
        EXPECT_EQ(pread(fd, buf, sizeof(buf), 0), 5);
        EXPECT_STREQ(buf, "hello");
        EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
        EXPECT_EQ(c.take_fd(), -1);
        close(fd);

        EXPECT_FALSE(bh::open_file(c, "/a.txt", fd, size, reason));
        EXPECT_EQ(reason, "DENIED");
        EXPECT_EQ(fd, -1);
        ASSERT_EQ(c.messages.size(), 1u);
        // A client moved on keeps its connection and the message that came meanwhile.
        bh::Client moved(std::move(c));
        ASSERT_EQ(moved.messages.size(), 1u);
        EXPECT_FALSE(c.connected());
        bh::Frame f;
        ASSERT_TRUE(moved.command(e2e::cmd("PING"), f));
        // Open now: the connection, the stand-in's two, and the two descriptors just sent.
        EXPECT_EQ(open_descriptors(), before + 5);
        EXPECT_FALSE(moved.command(e2e::cmd("PING"), f));
        EXPECT_EQ(open_descriptors(), before + 3);
        moved.close();
    }
    server.join();
    EXPECT_EQ(open_descriptors(), before);

    bh::Client none;
    EXPECT_FALSE(none.connect_local(srv.dir.path + "/nothing.sock", 500));
    EXPECT_FALSE(none.connect_local(std::string(200, 'x'), 500));
}
