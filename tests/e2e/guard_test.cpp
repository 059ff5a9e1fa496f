// Login brute force over the wire: failures from one address are answered later and later,
// a success resets that address, other addresses are never slowed, a correct password is never
// delayed, and every failure leaves one fail2ban-friendly line. Clients bind distinct loopback
// addresses (127.0.0.x) so the server sees several peers.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "stress.h"

using namespace stress;
using Clock = std::chrono::steady_clock;

namespace {

const std::string kFail100 = R"({ "RESULT": "FAIL", "ERROR": 100 })";
const std::string kLogin5 =
    R"({ "RESULT": "OK", "SERVER": "testhub", "VERSION": "3.0.0", "LEVEL": 5, "MOD": "NONE" })";

// A connection from the given loopback address; one command and its reply at a time.
class Peer {
public:
    Peer(const char* from, int port) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
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
        struct timeval limit = {30, 0};  // a reply that never comes fails the test, not hangs it
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
    }
    ~Peer() { close(fd_); }
    bool ok() const { return ok_; }

    // Sends a "11" command; returns the reply payload ("" on failure) and how long it took.
    // after: bytes sent in the same write, behind the command.
    std::string command(const std::string& json, double* ms, const std::string& after = "") {
        char header[13];
        snprintf(header, sizeof(header), "11%10zu", json.size());
        std::string frame = std::string(header, 12) + json + after;
        auto t0 = Clock::now();
        if (send(fd_, frame.data(), frame.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(frame.size()))
            return "";
        return next(ms, t0);
    }
    // The next frame's payload ("" on failure); *ms from t0.
    std::string next(double* ms, Clock::time_point t0 = Clock::now()) {
        char h[13] = {0};
        if (!read_exact(h, 12)) return "";
        std::string payload(static_cast<size_t>(atol(h + 2)), '\0');
        if (!read_exact(payload.data(), payload.size())) return "";
        *ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
        return payload;
    }

private:
    bool read_exact(char* p, size_t n) {
        while (n > 0) {
            ssize_t r = recv(fd_, p, n, 0);
            if (r <= 0) return false;
            p += r;
            n -= static_cast<size_t>(r);
        }
        return true;
    }
    int fd_ = -1;
    bool ok_ = false;
};

std::string login(const std::string& pass) {
    return jcmd("LOGIN", {{"VERSION", "3.0.0"}, {"USERNAME", "ann"}, {"PASSWORD", pass}});
}

TEST(LoginGuardWire, FailuresAreSlowedPerAddressAndSuccessIsNever) {
    e2e::TestServer srv;
    e2e::add_user(srv.data, "ann", "secret", 5);
    ASSERT_TRUE(srv.start()) << srv.out();
    double ms = 0;
    Peer a("127.0.0.2", srv.port), b("127.0.0.3", srv.port);
    ASSERT_TRUE(a.ok() && b.ok()) << "cannot bind loopback addresses";

    std::string first = a.command(login("wrong"), &ms);
    if (first != kFail100) GTEST_SKIP() << "LOGIN not available in this build yet";
    if (!srv.wait_for_output("LOGIN auth failure from 127.0.0.2", 2000))
        GTEST_SKIP() << "the login guard is not wired into LOGIN yet";
    EXPECT_GE(ms, 900) << "the first failure waits about 1 s";
    EXPECT_EQ(a.command(login("wrong"), &ms), kFail100);
    EXPECT_GE(ms, 1900) << "the second waits about 2 s";

    // Another address: neither its success nor its first failure is slowed by a's failures.
    EXPECT_EQ(b.command(login("secret"), &ms), kLogin5);
    EXPECT_LT(ms, 900);
    EXPECT_EQ(b.command(login("wrong"), &ms), kFail100);
    EXPECT_GE(ms, 900);
    EXPECT_LT(ms, 1900);

    // The right password from the slowed address: at once, and it resets the address.
    EXPECT_EQ(a.command(login("secret"), &ms), kLogin5);
    EXPECT_LT(ms, 900);
    EXPECT_EQ(a.command(login("wrong"), &ms), kFail100);
    EXPECT_LT(ms, 1900);

    std::string out = srv.out();
    EXPECT_EQ(count_of(out, "[WARNING] LOGIN auth failure from 127.0.0.2\n"), 3u);
    EXPECT_EQ(count_of(out, "[WARNING] LOGIN auth failure from 127.0.0.3\n"), 1u);
    EXPECT_EQ(srv.stop(SIGINT), 0);
}

// One password check at a time per address: two guesses that wait out the same earned delay
// on two connections are checked one after the other, the second only after the delay that
// the first one's failure earned; the failure lines show when each check ran.
TEST(LoginGuardWire, OneCheckAtATimePerAddress) {
    e2e::TestServer srv;
    e2e::add_user(srv.data, "ann", "secret", 5);
    ASSERT_TRUE(srv.start()) << srv.out();
    const std::string failure = "[WARNING] LOGIN auth failure from 127.0.0.2\n";
    double ms = 0;
    Peer first("127.0.0.2", srv.port), a("127.0.0.2", srv.port), b("127.0.0.2", srv.port);
    ASSERT_TRUE(first.ok() && a.ok() && b.ok()) << "cannot bind loopback addresses";
    ASSERT_EQ(first.command(login("wrong"), &ms), kFail100);  // earns a delay of 1 s

    std::string ra, rb;
    double ma = 0, mb = 0;
    std::thread ta([&] { ra = a.command(login("wrong"), &ma); });
    std::thread tb([&] { rb = b.command(login("wrong"), &mb); });
    // When the second and the third check ran: the third must wait for the second's failure
    // and then the 2 s it earned.
    Clock::time_point second, third;
    EXPECT_TRUE(wait_until([&] { return count_of(srv.out(), failure) >= 2; }, 20000));
    second = Clock::now();
    EXPECT_TRUE(wait_until([&] { return count_of(srv.out(), failure) >= 3; }, 30000));
    third = Clock::now();
    ta.join();
    tb.join();
    EXPECT_EQ(ra, kFail100);
    EXPECT_EQ(rb, kFail100);
    const double gap = std::chrono::duration<double, std::milli>(third - second).count();
    printf("[ figures  ] two guesses of one address at once: checked %.0f ms apart\n", gap);
    EXPECT_GE(gap, 1500) << "the checks of one address overlapped";
    EXPECT_GE(std::max(ma, mb), 5900) << "the later guess is answered after 2 s and 4 s";
}

// A LOGIN followed at once by more frames on the same connection: its FAIL still comes only
// after the address's delay, and the next frame is answered after it, in order.
TEST(LoginGuardWire, PipelinedFramesDoNotHurryAFailure) {
    e2e::TestServer srv;
    e2e::add_user(srv.data, "ann", "secret", 5);
    ASSERT_TRUE(srv.start()) << srv.out();
    Peer p("127.0.0.2", srv.port);
    ASSERT_TRUE(p.ok()) << "cannot bind loopback addresses";
    const std::string hello = jcmd("HELLO");
    char header[13];
    snprintf(header, sizeof(header), "11%10zu", hello.size());
    double ms = 0;
    // The LOGIN goes out with a HELLO right behind it in the same segment.
    std::string reply = p.command(login("wrong"), &ms, std::string(header, 12) + hello);
    EXPECT_EQ(reply, kFail100);
    EXPECT_GE(ms, 900) << "the failure waits about 1 s however much follows it";
    std::string second = p.next(&ms);
    EXPECT_NE(second.find("\"RESULT\""), std::string::npos) << second;
    EXPECT_EQ(second.find("\"ERROR\": 100"), std::string::npos) << second;
    EXPECT_EQ(count_of(srv.out(), "LOGIN auth failure from 127.0.0.2\n"), 1u);
}

}  // namespace
