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

constexpr const char* FEATURES_TCP = "{ \"RESULT\": \"OK\", \"FEATURES\": [ \"write\", \"offset\" ] }";
constexpr const char* FEATURES_LOCAL =
    "{ \"RESULT\": \"OK\", \"FEATURES\": [ \"write\", \"offset\", \"open\" ] }";

std::string refused(const char* reason) {
    return std::string("{ \"RESULT\": \"FAIL\", \"REASON\": \"") + reason + "\" }";
}

// A small client of the local socket that keeps every descriptor passed beside a frame
// (a stand-in until the client library's local connection is used here).
class Local {
public:
    explicit Local(const std::string& path) {
        fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        struct sockaddr_un addr = {};
        addr.sun_family = AF_UNIX;
        snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", path.c_str());
        if (connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
            ::close(fd_);
            fd_ = -1;
            return;
        }
        struct timeval limit = {10, 0};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
    }
    ~Local() { close(); }
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    bool ok() const { return fd_ >= 0; }
    int fd() const { return fd_; }

    bool send(const std::string& json) {
        char header[13];
        snprintf(header, sizeof(header), "11%10zu", json.size());
        std::string frame = std::string(header, 12) + json;
        return ::send(fd_, frame.data(), frame.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(frame.size());
    }
    // The next frame's payload; fds gets every descriptor that came with it.
    std::string recv(std::vector<int>* fds) {
        char header[13] = {};
        if (!read(header, 12, fds)) return "<closed>";
        size_t len = strtoul(header + 2, nullptr, 10);
        std::string payload(len, '\0');
        if (!read(payload.data(), len, fds)) return "<closed>";
        return payload;
    }
    std::string command(const std::string& json, std::vector<int>* fds) {
        return send(json) ? recv(fds) : "<not sent>";
    }
    // A command whose reply must carry no descriptor.
    std::string command(const std::string& json) {
        std::vector<int> fds;
        std::string reply = command(json, &fds);
        EXPECT_TRUE(fds.empty()) << json << " came with " << fds.size() << " descriptors";
        for (int fd : fds) ::close(fd);
        return reply;
    }

private:
    bool read(char* dst, size_t n, std::vector<int>* fds) {
        size_t got = 0;
        while (got < n) {
            struct iovec iov = {dst + got, n - got};
            union {
                char buf[CMSG_SPACE(4 * sizeof(int))];
                struct cmsghdr align;
            } control;
            struct msghdr msg = {};
            msg.msg_iov = &iov;
            msg.msg_iovlen = 1;
            msg.msg_control = control.buf;
            msg.msg_controllen = sizeof(control.buf);
            ssize_t r = recvmsg(fd_, &msg, MSG_CMSG_CLOEXEC);
            for (cmsghdr* c = CMSG_FIRSTHDR(&msg); r >= 0 && c; c = CMSG_NXTHDR(&msg, c)) {
                if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
                size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
                for (size_t i = 0; i < count; i++) {
                    int fd;
                    memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof(int));
                    fds->push_back(fd);
                }
            }
            EXPECT_FALSE(msg.msg_flags & MSG_CTRUNC);
            if (r <= 0) return false;
            got += static_cast<size_t>(r);
        }
        return true;
    }
    int fd_ = -1;
};

std::string login(Local& c, const std::string& user) {
    return c.command(cmd("LOGIN", {{"VERSION", "3.0.0"}, {"USERNAME", user}, {"PASSWORD", "pw"}}));
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

int open_fds(pid_t pid) {
    DIR* d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (!d) return -1;
    int n = 0;
    while (struct dirent* e = readdir(d))
        if (e->d_name[0] != '.') n++;
    closedir(d);
    return n;
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

    Local c(sock_path(srv));
    ASSERT_TRUE(c.ok());
    EXPECT_EQ(c.command(cmd("FEATURES")), FEATURES_LOCAL);
    EXPECT_EQ(bh::json_member(login(c, "ann"), "RESULT"), "OK");
    bh::Client tcp = folders::user(srv, "lee");
    EXPECT_EQ(reply_of(tcp, cmd("FEATURES")), FEATURES_TCP);
    // The local session is an ordinary one at the board's own address.
    EXPECT_TRUE(srv.wait_for_output("CLIENT 127.0.0.1 (0)"));
    EXPECT_NE(reply_of(tcp, cmd("WHO")).find("ann"), std::string::npos);

    std::vector<int> fds;
    EXPECT_EQ(c.command(cmd("OPEN", {{"FILE", "/docs/a.bin"}}), &fds),
              "{ \"RESULT\": \"OK\", \"SIZE\": 300000 }");
    ASSERT_EQ(fds.size(), 1u);
    EXPECT_EQ(contents(fds[0]), body);
    EXPECT_EQ(fcntl(fds[0], F_GETFL) & O_ACCMODE, O_RDONLY);
    EXPECT_LT(write(fds[0], "x", 1), 0);
    EXPECT_EQ(fcntl(fds[0], F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
    close(fds[0]);
    fds.clear();
    EXPECT_EQ(c.command(cmd("OPEN", {{"FILE", "/empty"}}), &fds),
              "{ \"RESULT\": \"OK\", \"SIZE\": 0 }");
    ASSERT_EQ(fds.size(), 1u);
    close(fds[0]);
    EXPECT_TRUE(srv.wait_for_output("OPEN /docs/a.bin"));

    // The other commands keep their bytes on a local session.
    EXPECT_EQ(c.command(cmd("CHECK", {{"FILE", "/docs/a.bin"}})), folders::OK);

    c.close();
    EXPECT_EQ(folders::finish(srv, {&tcp}), 0);
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

    Local c(sock_path(srv));
    ASSERT_TRUE(c.ok());
    // Before a login, OPEN is refused like every command that needs one.
    EXPECT_EQ(c.command(cmd("OPEN", {{"FILE", "/docs/a.txt"}})), folders::FAIL);
    EXPECT_EQ(bh::json_member(login(c, "ann"), "RESULT"), "OK");
    EXPECT_EQ(c.command(cmd("OPEN", {{"FILE", "/lee/secret.txt"}})), refused("DENIED"));
    EXPECT_EQ(c.command(cmd("OPEN", {{"FILE", "/lee/none"}})), refused("DENIED"));
    for (const char* file : {"/docs/missing", "/docs", "/", "", "/docs/u", "/docs/fifo"})
        EXPECT_EQ(c.command(cmd("OPEN", {{"FILE", file}})), refused("NOTFOUND")) << file;
    for (std::string file : {std::string("/../data/users.db"), std::string("/docs/../docs/a.txt"),
                             std::string("docs/a.txt"), "/" + std::string(5000, 'a')})
        EXPECT_EQ(c.command(cmd("OPEN", {{"FILE", file}})), refused("NAME")) << file.substr(0, 40);
    EXPECT_EQ(c.command("{ \"CMD\": \"OPEN\" }"), folders::FAIL);
    EXPECT_EQ(c.command("{ \"CMD\": \"OPEN\", \"FILE\": 5 }"), folders::FAIL);

    // Over TCP, OPEN is never served, whatever the file.
    bh::Client tcp = folders::user(srv, "lee");
    EXPECT_EQ(reply_of(tcp, cmd("OPEN", {{"FILE", "/docs/a.txt"}})), refused("LOCAL"));
    EXPECT_EQ(reply_of(tcp, cmd("OPEN", {{"FILE", "/lee/secret.txt"}})), refused("LOCAL"));
    folders::expect_in_step(tcp);

    // Still in step after every refusal.
    std::vector<int> fds;
    EXPECT_EQ(c.command(cmd("OPEN", {{"FILE", "/docs/a.txt"}}), &fds),
              "{ \"RESULT\": \"OK\", \"SIZE\": 1 }");
    EXPECT_EQ(fds.size(), 1u);
    for (int fd : fds) close(fd);
    c.close();
    EXPECT_EQ(folders::finish(srv, {&tcp}), 0);
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
    const int idle = open_fds(srv.pid);
    ASSERT_GT(idle, 0);

    Local c(sock_path(srv));
    ASSERT_EQ(bh::json_member(login(c, "ann"), "RESULT"), "OK");
    const int connected = open_fds(srv.pid);
    const std::string ok = "{ \"RESULT\": \"OK\", \"SIZE\": 3 }";
    for (int i = 0; i < 3000; i++) {
        std::vector<int> fds;
        std::string file = i % 3 == 0 ? "/docs/a.txt" : i % 3 == 1 ? "/lee/b.txt" : "/docs/none";
        std::string reply = c.command(cmd("OPEN", {{"FILE", file}}), &fds);
        ASSERT_EQ(fds.size(), i % 3 == 0 ? 1u : 0u) << i << " " << reply;
        ASSERT_EQ(reply, i % 3 == 0 ? ok : refused(i % 3 == 1 ? "DENIED" : "NOTFOUND")) << i;
        for (int fd : fds) close(fd);
    }
    EXPECT_EQ(open_fds(srv.pid), connected);

    // Asked fifty times without reading: one reply waits, the rest wait for the client.
    const std::string open_a = cmd("OPEN", {{"FILE", "/docs/a.txt"}});
    for (int i = 0; i < 50; i++) ASSERT_TRUE(c.send(open_a));
    usleep(300 * 1000);
    int queued = 0;
    ASSERT_EQ(ioctl(c.fd(), FIONREAD, &queued), 0);
    EXPECT_EQ(queued, static_cast<int>(12 + ok.size()));
    for (int i = 0; i < 50; i++) {
        std::vector<int> fds;
        ASSERT_EQ(c.recv(&fds), ok) << i;
        ASSERT_EQ(fds.size(), 1u);
        close(fds[0]);
    }
    // And asked again, then gone without reading: the descriptors in flight die with it.
    for (int i = 0; i < 20; i++) ASSERT_TRUE(c.send(open_a));
    usleep(100 * 1000);
    c.close();
    bool back = false;
    for (int i = 0; i < 500 && !back; i++) {
        back = open_fds(srv.pid) == idle;
        if (!back) usleep(10000);
    }
    EXPECT_EQ(open_fds(srv.pid), idle);
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
        Local c(sock_path(srv));
        ASSERT_TRUE(c.ok());
        EXPECT_EQ(c.command(cmd("FEATURES")), FEATURES_LOCAL);
        EXPECT_EQ(srv.out().find("without its local socket"), std::string::npos) << srv.out();

        // A second server on the same path finds this one answering and leaves it be.
        e2e::TestServer second;
        ASSERT_TRUE(start_local(second, sock_path(srv)));
        EXPECT_TRUE(second.wait_for_output("the server runs without its local socket: another "
                                           "server answers on " + sock_path(srv)))
            << second.out();
        Local again(sock_path(srv));
        EXPECT_EQ(again.command(cmd("FEATURES")), FEATURES_LOCAL);
        bh::Client tcp = second.connect();
        EXPECT_EQ(reply_of(tcp, cmd("FEATURES")), FEATURES_TCP);
        tcp.close();
        EXPECT_EQ(second.stop(), 0);
        // Its shutdown did not remove the file of the first server.
        Local third(sock_path(srv));
        EXPECT_EQ(third.command(cmd("FEATURES")), FEATURES_LOCAL);
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
        if (regular) {
            EXPECT_EQ(e2e::read_file(path), "keep me");
        }
        bh::Client tcp = folders::user(srv, "ann");
        EXPECT_EQ(reply_of(tcp, cmd("FEATURES")), FEATURES_TCP);
        EXPECT_EQ(folders::finish(srv, {&tcp}), 0);
        if (regular) {
            EXPECT_EQ(e2e::read_file(path), "keep me");
        }
    }
}
