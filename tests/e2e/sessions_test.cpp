// Sessions that answer to their account and to their reader: a session replaced by a new login
// of its name ends at once, a change of the account's row reaches its live sessions, and a
// connection that takes nothing of what is sent to it is cut. Each test plays the attack from
// loopback (source addresses 127.0.0.2 and up stand for other hosts) against the real binary.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "client.h"
#include "stress.h"

using stress::jcmd;
using Clock = std::chrono::steady_clock;

namespace {

double ms_since(Clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

// A raw connection from a chosen loopback address, optionally with a small receive buffer.
class Raw {
public:
    Raw(const char* from, int port, int rcvbuf = 0) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (rcvbuf) setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof(rcvbuf));
        struct sockaddr_in a;
        memset(&a, 0, sizeof(a));
        a.sin_family = AF_INET;
        inet_pton(AF_INET, from, &a.sin_addr);
        ok_ = bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0;
        a.sin_port = htons(static_cast<uint16_t>(port));
        inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
        ok_ = ok_ && connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0;
        int one = 1;
        setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    }
    ~Raw() {
        if (fd_ >= 0) close(fd_);
    }
    Raw(Raw&& o) noexcept : fd_(o.fd_), ok_(o.ok_) { o.fd_ = -1; }
    Raw(const Raw&) = delete;
    bool ok() const { return ok_; }

    bool send_frame(const char* type, const std::string& payload) {
        char header[13];
        snprintf(header, sizeof(header), "%s%10zu", type, payload.size());
        std::string bytes = std::string(header, 12) + payload;
        return send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(bytes.size());
    }
    bool frame(std::string& type, std::string& payload, int timeout_ms = 10000) {
        std::string h;
        if (!read_exact(h, 12, timeout_ms)) return false;
        type = h.substr(0, 2);
        return read_exact(payload, static_cast<size_t>(atol(h.c_str() + 2)), timeout_ms);
    }
    std::string ask(const std::string& json) {
        std::string type, payload;
        if (!send_frame("11", json)) return "";
        while (frame(type, payload))
            if (type == "11") return payload;
        return "";
    }
    // Reads whatever arrives until the server closes (true) or timeout_ms passes (false);
    // what was read is appended to got.
    bool drain_to_close(int timeout_ms, std::string* got = nullptr) {
        auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
        char buf[65536];
        for (;;) {
            int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                            deadline - Clock::now())
                                            .count());
            if (left <= 0) return false;
            struct pollfd p = {fd_, POLLIN, 0};
            if (poll(&p, 1, left) <= 0) return false;
            ssize_t r = recv(fd_, buf, sizeof(buf), 0);
            if (r <= 0) return true;
            if (got) got->append(buf, static_cast<size_t>(r));
        }
    }

private:
    bool read_exact(std::string& dst, size_t n, int timeout_ms) {
        dst.assign(n, '\0');
        size_t got = 0;
        while (got < n) {
            struct pollfd p = {fd_, POLLIN, 0};
            if (poll(&p, 1, timeout_ms) <= 0) return false;
            ssize_t r = recv(fd_, dst.data() + got, n - got, 0);
            if (r <= 0) return false;
            got += static_cast<size_t>(r);
        }
        return true;
    }
    int fd_ = -1;
    bool ok_ = false;
};

std::string login_cmd(const std::string& user, const std::string& pass) {
    return jcmd("LOGIN", {{"VERSION", "3.0.0"}, {"USERNAME", user}, {"PASSWORD", pass}});
}

bool logged_in(const std::string& reply) { return reply.rfind("{ \"RESULT\": \"OK\"", 0) == 0; }

const std::string kReplaced = "\"TYPE\": 1000";

int admin_tool(const std::string& data, const std::string& args) {
    std::string line = std::string(BOARDHUB_ADMIN) + " -d " + data + " " + args + " >/dev/null";
    return std::system(line.c_str());
}

}  // namespace

// bob logs in 200 times from eight addresses and never reads again: every replaced session is
// told and closed at once, so alice still logs in at once, each address keeps its room for
// connections not logged in, and a replaced session runs nothing more, even mid-download.
TEST(Sessions, ReplacedSessionsEndAtOnceAndFreeTheirSlots) {
    e2e::TestServer srv;
    e2e::add_user(srv.data, "bob", "pw", 5);
    e2e::add_user(srv.data, "alice", "pw", 5);
    e2e::write_file(srv.share + "/big.bin", std::string(8 << 20, 'x'));
    ASSERT_TRUE(srv.start()) << srv.out();

    std::vector<Raw> bobs;
    int logins = 0;
    for (int i = 0; i < 200; i++) {
        std::string from = "127.0.0." + std::to_string(2 + i % 8);
        bobs.emplace_back(from.c_str(), srv.port);
        if (logged_in(bobs.back().ask(login_cmd("bob", "pw")))) logins++;
    }
    EXPECT_EQ(logins, 200);
    auto t0 = Clock::now();
    Raw alice("127.0.0.30", srv.port);
    ASSERT_TRUE(logged_in(alice.ask(login_cmd("alice", "pw"))));
    double alice_ms = ms_since(t0);
    printf("[ figures  ] alice's login after 200 logins of bob: %.1f ms\n", alice_ms);
    EXPECT_LT(alice_ms, 1000);

    // Every replaced session got its notice and was closed; the last one lives on.
    int ended = 0;
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    for (int i = 0; i < 199; i++) {
        std::string got;
        int left = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
        if (bobs[i].drain_to_close(std::max(left, 1), &got) &&
            got.find(kReplaced) != std::string::npos)
            ended++;
    }
    EXPECT_EQ(ended, 199);
    // Their slots are freed a moment after their connections close.
    std::string who;
    EXPECT_TRUE(stress::wait_until(
        [&] { return stress::count_of(who = alice.ask(jcmd("WHO")), "\"bob\"") == 1; }, 3000))
        << who;
    // Each address still has its five connections that have not logged in.
    std::vector<Raw> fresh;
    for (int i = 0; i < 5; i++) {
        fresh.emplace_back("127.0.0.2", srv.port);
        EXPECT_TRUE(logged_in(fresh.back().ask(jcmd("HELLO")))) << i;
    }

    // A replaced session's next command is not run: its ID gets no answer.
    Raw& last = bobs[199];
    Raw next("127.0.0.31", srv.port);
    ASSERT_TRUE(logged_in(next.ask(login_cmd("bob", "pw"))));
    last.send_frame("11", jcmd("ID"));
    std::string got;
    EXPECT_TRUE(last.drain_to_close(5000, &got));
    EXPECT_EQ(got.find("\"NAME\""), std::string::npos) << got;

    // A session in the middle of a download, its reader stalled, is cut when replaced.
    Raw loader("127.0.0.32", srv.port, 4096);
    ASSERT_TRUE(logged_in(loader.ask(login_cmd("bob", "pw"))));
    loader.send_frame("11", jcmd("FILE", {{"FILE", "/big.bin"}}));
    usleep(300 * 1000);  // the server is now blocked writing the file
    Raw again("127.0.0.33", srv.port);
    ASSERT_TRUE(logged_in(again.ask(login_cmd("bob", "pw"))));
    got.clear();
    EXPECT_TRUE(loader.drain_to_close(5000, &got));
    EXPECT_LT(got.size(), 8u << 20);
}

// The admin tool changes rows while their sessions are live: a level change applies to the
// next command (ID shows it), a suspended or deleted account's session is told and ends.
TEST(Sessions, AccountChangesReachLiveSessions) {
    e2e::TestServer srv;
    e2e::add_user(srv.data, "tmpp", "pw", 5);
    e2e::add_user(srv.data, "gone", "pw", 5);
    e2e::add_user(srv.data, "lev", "pw", 5);
    e2e::make_dirs(srv.share + "/up");
    ASSERT_TRUE(srv.start()) << srv.out();

    Raw lev("127.0.0.2", srv.port);
    ASSERT_TRUE(logged_in(lev.ask(login_cmd("lev", "pw"))));
    EXPECT_EQ(bh::json_member(lev.ask(jcmd("ID")), "LEVEL"), "5");
    ASSERT_EQ(admin_tool(srv.data, "user level lev 9"), 0);
    auto t0 = Clock::now();
    EXPECT_TRUE(stress::wait_until(
        [&] { return bh::json_member(lev.ask(jcmd("ID")), "LEVEL") == "9"; }, 3000));
    double level_ms = ms_since(t0);

    struct Case {
        const char* name;
        const char* from;
        std::string change;
    };
    for (const Case& c : {Case{"tmpp", "127.0.0.3", "user level tmpp 0"},
                          Case{"gone", "127.0.0.4", "user del gone"}}) {
        Raw s(c.from, srv.port);
        ASSERT_TRUE(logged_in(s.ask(login_cmd(c.name, "pw"))));
        ASSERT_EQ(admin_tool(srv.data, c.change), 0) << c.change;
        auto t1 = Clock::now();
        std::string got;
        EXPECT_TRUE(s.drain_to_close(3000, &got)) << c.change;
        double end_ms = ms_since(t1);
        EXPECT_NE(got.find("\"TYPE\": 1001"), std::string::npos) << got;
        EXPECT_EQ(got.find("\"11\""), std::string::npos) << got;
        printf("[ figures  ] level change seen after %.0f ms; '%s' ended its session after %.0f ms\n",
               level_ms, c.change.c_str(), end_ms);
        EXPECT_LT(end_ms, 1500);
    }
    // The other sessions go on.
    EXPECT_EQ(bh::json_member(lev.ask(jcmd("ID")), "NAME"), "lev");
}

// Readers that take nothing are cut after the stall limit (2 s here), whatever is being sent:
// a whole file through sendfile to a 4 KiB receive buffer, and the echo of "10" frames.
TEST(Sessions, StalledReadersAreCut) {
    e2e::TestServer srv;
    e2e::add_user(srv.data, "filer", "pw", 5);
    e2e::add_user(srv.data, "echoer", "pw", 5);
    e2e::write_file(srv.share + "/big.bin", std::string(8 << 20, 'x'));
    e2e::ServerOptions o;
    o.keys["stall_timeout"] = "2";
    ASSERT_TRUE(srv.start(o)) << srv.out();

    Raw filer("127.0.0.2", srv.port, 4096);
    ASSERT_TRUE(logged_in(filer.ask(login_cmd("filer", "pw"))));
    Raw echoer("127.0.0.3", srv.port, 4096);
    ASSERT_TRUE(logged_in(echoer.ask(login_cmd("echoer", "pw"))));
    auto t0 = Clock::now();
    filer.send_frame("11", jcmd("FILE", {{"FILE", "/big.bin"}}));
    for (int i = 0; i < 64; i++) echoer.send_frame("10", std::string(60000, 'e'));

    auto closed = [&](const char* name) {
        return srv.out().find(std::string("CLIENT CLOSE ") + name + "(") != std::string::npos;
    };
    EXPECT_TRUE(stress::wait_until([&] { return closed("filer") && closed("echoer"); }, 15000));
    double cut_ms = ms_since(t0);
    printf("[ figures  ] stalled readers cut after %.0f ms (limit 2 s)\n", cut_ms);
    EXPECT_LT(cut_ms, 8000);
    EXPECT_NE(srv.out().find("takes no data"), std::string::npos);
}

// Camera sessions that never read their frames are cut by the same rule.
TEST(Sessions, StalledCameraReadersAreCut) {
    e2e::TestServer srv;
    e2e::ServerOptions o;
    if (!stress::camera_options(srv.dir.path, "", &o)) GTEST_SKIP() << "no stand-in camera";
    o.keys["stall_timeout"] = "2";
    for (int i = 0; i < 5; i++) e2e::add_user(srv.data, "cam" + std::to_string(i), "pw", 5);
    ASSERT_TRUE(srv.start(o) && srv.wait_for_output("Server started at", 20000)) << srv.out();

    std::vector<Raw> cams;
    for (int i = 0; i < 5; i++) {
        std::string from = "127.0.0." + std::to_string(2 + i);
        cams.emplace_back(from.c_str(), srv.port, 4096);
        ASSERT_TRUE(logged_in(cams.back().ask(login_cmd("cam" + std::to_string(i), "pw"))));
        for (int k = 0; k < 20; k++) cams.back().send_frame("11", jcmd("CAMERA"));
    }
    auto t0 = Clock::now();
    EXPECT_TRUE(stress::wait_until(
        [&] { return stress::count_of(srv.out(), "CLIENT CLOSE cam") == 5; }, 15000))
        << srv.out();
    printf("[ figures  ] 5 stalled camera readers cut after %.0f ms (limit 2 s)\n", ms_since(t0));
}
