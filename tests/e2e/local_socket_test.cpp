// The local socket: sessions of the board itself beside TCP, OPEN handing a read-only
// descriptor of a shared file, refusals that hand none, nothing left open in the server, and
// the life of the socket file (stale, foreign, removed at shutdown).
#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <random>
#include <vector>

#include "folder_helpers.h"

using e2e::cmd;
using folders::reply_of;

namespace {

constexpr const char* FEATURES_TCP =
    "{ \"RESULT\": \"OK\", \"FEATURES\": [ \"write\", \"offset\", \"access\", \"tls\" ] }";
constexpr const char* FEATURES_LOCAL =
    "{ \"RESULT\": \"OK\", \"FEATURES\": [ \"write\", \"offset\", \"access\", \"open\" ] }";

std::string refused(const char* reason) {
    return std::string("{ \"RESULT\": \"FAIL\", \"REASON\": \"") + reason + "\" }";
}

// A connection to the local socket.
bh::Client local(const std::string& path) {
    bh::Client c;
    EXPECT_TRUE(c.connect_local(path)) << path << ": " << c.error();
    return c;
}

// A logged-in connection to the local socket.
bh::Client local_user(const e2e::TestServer& srv, const std::string& name) {
    bh::Client c = local(srv.dir.path + "/hub.sock");
    std::string reply = e2e::login(c, name, "pw");
    EXPECT_EQ(bh::json_member(reply, "RESULT"), "OK") << "login of " << name << ": " << reply;
    return c;
}

// The reply to a command that must come with no descriptor.
std::string bare_reply(bh::Client& c, const std::string& json) {
    std::string reply = reply_of(c, json);
    int fd = c.take_fd();
    EXPECT_EQ(fd, -1) << json << " came with a descriptor";
    if (fd >= 0) close(fd);
    return reply;
}

// The descriptor that came with the last reply, checked to be the only one.
int the_fd(bh::Client& c) {
    int fd = c.take_fd();
    int more = c.take_fd();
    EXPECT_EQ(more, -1) << "more than one descriptor";
    if (more >= 0) close(more);
    return fd;
}

// Starts the server with its socket at path (by default in its folder), for the users ann and
// lee (level 5, password "pw").
bool start_local(e2e::TestServer& srv, const std::string& path = "") {
    for (const char* name : {"ann", "lee"}) e2e::add_user(srv.data, name, "pw", 5);
    e2e::ServerOptions options;
    options.keys["socket"] = path.empty() ? srv.dir.path + "/hub.sock" : path;
    return srv.start(options);
}

std::string sock_path(const e2e::TestServer& srv) { return srv.dir.path + "/hub.sock"; }

std::string contents(int fd) {
    std::string out;
    char buf[65536];
    for (off_t at = 0;;) {
        ssize_t n = pread(fd, buf, sizeof(buf), at);
        if (n <= 0) break;
        out.append(buf, static_cast<size_t>(n));
        at += n;
    }
    return out;
}

}  // namespace

TEST(LocalSocket, OpenHandsTheFileReadOnlyAndOnlyLocallyAnnouncesIt) {
    e2e::TestServer srv;
    std::mt19937 gen(7);
    std::string body(300000, '\0');
    for (auto& ch : body) ch = static_cast<char>(gen() & 0xff);
    e2e::write_file(srv.share + "/docs/a.bin", body);
    e2e::write_file(srv.share + "/empty", "");
    ASSERT_TRUE(start_local(srv)) << srv.out() << srv.err();

    struct stat st;
    ASSERT_EQ(lstat(sock_path(srv).c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0666u);

    bh::Client c = local(sock_path(srv));
    EXPECT_EQ(bare_reply(c, cmd("FEATURES")), FEATURES_LOCAL);
    EXPECT_EQ(bh::json_member(e2e::login(c, "ann", "pw"), "RESULT"), "OK");
    bh::Client tcp = folders::user(srv, "lee");
    EXPECT_EQ(reply_of(tcp, cmd("FEATURES")), FEATURES_TCP);
    // The local session is an ordinary one, named by the user that connected (root here).
    EXPECT_TRUE(srv.wait_for_output("CLIENT local:0 (0)"));
    EXPECT_NE(reply_of(tcp, cmd("WHO")).find("ann"), std::string::npos);

    EXPECT_EQ(reply_of(c, cmd("OPEN", {{"FILE", "/docs/a.bin"}})),
              "{ \"RESULT\": \"OK\", \"SIZE\": 300000 }");
    int fd = the_fd(c);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(contents(fd), body);
    EXPECT_EQ(fcntl(fd, F_GETFL) & O_ACCMODE, O_RDONLY);
    EXPECT_LT(write(fd, "x", 1), 0);
    close(fd);
    EXPECT_EQ(reply_of(c, cmd("OPEN", {{"FILE", "/empty"}})), "{ \"RESULT\": \"OK\", \"SIZE\": 0 }");
    fd = the_fd(c);
    EXPECT_GE(fd, 0);
    if (fd >= 0) close(fd);
    EXPECT_TRUE(srv.wait_for_output("OPEN /docs/a.bin"));

    // The other commands keep their bytes on a local session.
    EXPECT_EQ(bare_reply(c, cmd("CHECK", {{"FILE", "/docs/a.bin"}})), folders::OK);

    EXPECT_EQ(folders::finish(srv, {&c, &tcp}), 0);
    EXPECT_NE(lstat(sock_path(srv).c_str(), &st), 0) << "the socket file outlived the server";
}

TEST(LocalSocket, RefusalsHandNoDescriptor) {
    e2e::TestServer srv;
    e2e::write_file(srv.share + "/docs/a.txt", "a");
    e2e::write_file(srv.share + "/lee/.folder/users_r", "lee\n");
    e2e::write_file(srv.share + "/lee/secret.txt", "secret");
    ASSERT_TRUE(start_local(srv)) << srv.out() << srv.err();
    ASSERT_EQ(symlink((srv.data + "/users.db").c_str(), (srv.share + "/docs/u").c_str()), 0);
    ASSERT_EQ(mkfifo((srv.share + "/docs/fifo").c_str(), 0644), 0);

    bh::Client c = local(sock_path(srv));
    // Before a login, OPEN is refused like every command that needs one.
    EXPECT_EQ(bare_reply(c, cmd("OPEN", {{"FILE", "/docs/a.txt"}})), folders::FAIL);
    EXPECT_EQ(bh::json_member(e2e::login(c, "ann", "pw"), "RESULT"), "OK");
    EXPECT_EQ(bare_reply(c, cmd("OPEN", {{"FILE", "/lee/secret.txt"}})), refused("DENIED"));
    EXPECT_EQ(bare_reply(c, cmd("OPEN", {{"FILE", "/lee/none"}})), refused("DENIED"));
    for (const char* file : {"/docs/missing", "/docs", "/", "", "/docs/u", "/docs/fifo"})
        EXPECT_EQ(bare_reply(c, cmd("OPEN", {{"FILE", file}})), refused("NOTFOUND")) << file;
    for (std::string file : {std::string("/../data/users.db"), std::string("/docs/../docs/a.txt"),
                             std::string("docs/a.txt"), "/" + std::string(5000, 'a')})
        EXPECT_EQ(bare_reply(c, cmd("OPEN", {{"FILE", file}})), refused("NAME"))
            << file.substr(0, 40);
    EXPECT_EQ(bare_reply(c, "{ \"CMD\": \"OPEN\" }"), folders::FAIL);
    EXPECT_EQ(bare_reply(c, "{ \"CMD\": \"OPEN\", \"FILE\": 5 }"), folders::FAIL);

    // Over TCP, OPEN is never served, whatever the file.
    bh::Client tcp = folders::user(srv, "lee");
    EXPECT_EQ(reply_of(tcp, cmd("OPEN", {{"FILE", "/docs/a.txt"}})), refused("LOCAL"));
    EXPECT_EQ(reply_of(tcp, cmd("OPEN", {{"FILE", "/lee/secret.txt"}})), refused("LOCAL"));
    folders::expect_in_step(tcp);

    // Still in step after every refusal.
    EXPECT_EQ(reply_of(c, cmd("OPEN", {{"FILE", "/docs/a.txt"}})), "{ \"RESULT\": \"OK\", \"SIZE\": 1 }");
    int fd = the_fd(c);
    EXPECT_GE(fd, 0);
    if (fd >= 0) close(fd);
    EXPECT_EQ(folders::finish(srv, {&c, &tcp}), 0);
}

// A local client that asks again and again, takes descriptors and drops them, asks for what it
// may not have, or asks without reading: the server's own descriptors stay as they were, and
// no connection ever has more than one reply (one descriptor) on its way.
TEST(LocalSocket, ManyOpensLeaveNothingOpenInTheServer) {
    e2e::TestServer srv;
    e2e::write_file(srv.share + "/docs/a.txt", "abc");
    e2e::write_file(srv.share + "/lee/.folder/users_r", "lee\n");
    e2e::write_file(srv.share + "/lee/b.txt", "b");
    ASSERT_TRUE(start_local(srv)) << srv.out() << srv.err();
    const int idle = e2e::open_fds(srv.pid);
    ASSERT_GT(idle, 0);

    bh::Client c = local_user(srv, "ann");
    const int connected = e2e::open_fds(srv.pid);
    const std::string ok = "{ \"RESULT\": \"OK\", \"SIZE\": 3 }";
    for (int i = 0; i < 3000; i++) {
        std::string file = i % 3 == 0 ? "/docs/a.txt" : i % 3 == 1 ? "/lee/b.txt" : "/docs/none";
        bh::Frame reply;
        ASSERT_TRUE(c.command(cmd("OPEN", {{"FILE", file}}), reply)) << i << c.error();
        ASSERT_EQ(reply.payload, i % 3 == 0 ? ok : refused(i % 3 == 1 ? "DENIED" : "NOTFOUND"));
        int fd = c.take_fd();
        ASSERT_EQ(fd >= 0, i % 3 == 0) << i;
        if (fd >= 0) close(fd);
    }
    EXPECT_EQ(e2e::open_fds(srv.pid), connected);

    // Asked fifty times without reading: one reply waits, the rest wait for the client.
    const std::string open_a = cmd("OPEN", {{"FILE", "/docs/a.txt"}});
    for (int i = 0; i < 50; i++) ASSERT_TRUE(c.send_frame("11", open_a));
    usleep(300 * 1000);
    int queued = 0;
    ASSERT_EQ(ioctl(c.fd(), FIONREAD, &queued), 0);
    EXPECT_EQ(queued, static_cast<int>(12 + ok.size()));
    for (int i = 0; i < 50; i++) {
        bh::Frame reply;
        ASSERT_TRUE(c.recv_frame(reply)) << i << c.error();
        ASSERT_EQ(reply.payload, ok) << i;
        int fd = the_fd(c);
        ASSERT_GE(fd, 0) << i;
        close(fd);
    }
    // And asked again, then gone without reading: the descriptors in flight die with it.
    for (int i = 0; i < 20; i++) ASSERT_TRUE(c.send_frame("11", open_a));
    usleep(100 * 1000);
    c.close();
    for (int i = 0; i < 500 && e2e::open_fds(srv.pid) != idle; i++) usleep(10000);
    EXPECT_EQ(e2e::open_fds(srv.pid), idle);
    EXPECT_EQ(srv.stop(), 0);
}

TEST(LocalSocket, SocketFileStaleReplacedForeignLeftAlone) {
    // A socket file nobody answers on (a server that was killed) is replaced.
    {
        e2e::TestServer srv;
        int stale = socket(AF_UNIX, SOCK_STREAM, 0);
        struct sockaddr_un addr = {};
        addr.sun_family = AF_UNIX;
        snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", sock_path(srv).c_str());
        ASSERT_EQ(bind(stale, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
        close(stale);
        ASSERT_TRUE(start_local(srv)) << srv.out() << srv.err();
        bh::Client c = local(sock_path(srv));
        EXPECT_EQ(bare_reply(c, cmd("FEATURES")), FEATURES_LOCAL);
        EXPECT_EQ(srv.out().find("without its local socket"), std::string::npos) << srv.out();

        // A second server on the same path finds this one answering and leaves it be.
        e2e::TestServer second;
        ASSERT_TRUE(start_local(second, sock_path(srv)));
        EXPECT_TRUE(second.wait_for_output("the server runs without its local socket: another "
                                           "server answers on " + sock_path(srv)))
            << second.out();
        bh::Client again = local(sock_path(srv));
        EXPECT_EQ(bare_reply(again, cmd("FEATURES")), FEATURES_LOCAL);
        bh::Client tcp = second.connect();
        EXPECT_EQ(reply_of(tcp, cmd("FEATURES")), FEATURES_TCP);
        EXPECT_EQ(folders::finish(second, {&tcp}), 0);
        // Its shutdown did not remove the file of the first server.
        bh::Client third = local(sock_path(srv));
        EXPECT_EQ(bare_reply(third, cmd("FEATURES")), FEATURES_LOCAL);
    }
    // A regular file at the path, or a missing folder: the file stays, the server serves TCP.
    for (bool regular : {true, false}) {
        e2e::TestServer srv;
        std::string path = regular ? sock_path(srv) : srv.dir.path + "/none/hub.sock";
        if (regular) e2e::write_file(path, "keep me");
        ASSERT_TRUE(start_local(srv, path)) << srv.out() << srv.err();
        EXPECT_TRUE(srv.wait_for_output("the server runs without its local socket: " + path))
            << srv.out();
        EXPECT_EQ(folders::count(srv.out(), "without its local socket"), 1u);
        bh::Client tcp = folders::user(srv, "ann");
        EXPECT_EQ(reply_of(tcp, cmd("FEATURES")), FEATURES_TCP);
        EXPECT_EQ(folders::finish(srv, {&tcp}), 0);
        if (regular) {
            EXPECT_EQ(e2e::read_file(path), "keep me");
        }
    }
}
