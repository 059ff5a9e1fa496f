// The two time-outs of a connection that has not logged in, told apart: login_timeout bounds
// the whole time before a login, frame_timeout only a frame that has begun. Each run sets them
// far apart, so a server that takes one for the other, or restarts the login time with every
// frame, is cut at the wrong time. Lower bounds are exact (the server may not cut earlier);
// upper bounds leave seconds for a loaded machine.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "stress.h"

using Clock = std::chrono::steady_clock;

namespace {

// A connection from another host on the LAN (127.0.0.2 and up).
class Peer {
public:
    Peer(const char* from, int port) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        struct sockaddr_in a;
        memset(&a, 0, sizeof(a));
        a.sin_family = AF_INET;
        inet_pton(AF_INET, from, &a.sin_addr);
        bool ok = bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0;
        a.sin_port = htons(static_cast<uint16_t>(port));
        inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
        ok_ = ok && connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0;
        start_ = Clock::now();
    }
    ~Peer() { close(fd_); }
    bool ok() const { return ok_; }
    bool send_raw(const std::string& bytes) {
        return send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(bytes.size());
    }
    // Sends HELLO and reads its whole reply: false when the server has closed the connection.
    bool hello() {
        const std::string json = stress::jcmd("HELLO");
        char header[13];
        snprintf(header, sizeof(header), "11%10zu", json.size());
        if (!send_raw(std::string(header, 12) + json)) return false;
        char h[13] = {0};
        if (!read_exact(h, 12)) return false;
        std::string payload(static_cast<size_t>(atol(h + 2)), '\0');
        return read_exact(payload.data(), payload.size());
    }
    // Seconds from the connect until the server closed the connection (sending nothing), or
    // -1 when it was still open after timeout_s.
    double seconds_until_closed(double timeout_s) {
        auto deadline = start_ + std::chrono::milliseconds(static_cast<long>(timeout_s * 1000));
        for (;;) {
            long left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                              Clock::now())
                            .count();
            if (left <= 0) return -1;
            struct pollfd p = {fd_, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
            char c;
            if (recv(fd_, &c, 1, 0) <= 0) break;
        }
        return std::chrono::duration<double>(Clock::now() - start_).count();
    }

private:
    bool read_exact(char* dst, size_t n) {
        size_t got = 0;
        while (got < n) {
            struct pollfd p = {fd_, POLLIN, 0};
            if (poll(&p, 1, 10000) <= 0) return false;
            ssize_t r = recv(fd_, dst + got, n - got, 0);
            if (r <= 0) return false;
            got += static_cast<size_t>(r);
        }
        return true;
    }
    int fd_ = -1;
    bool ok_ = false;
    Clock::time_point start_;
};

// The server's output holds text exactly `times` times (waits for the lines to come).
bool logged(const e2e::TestServer& srv, const std::string& text, size_t times) {
    stress::wait_until([&] { return stress::count_of(srv.out(), text) >= times; }, 5000);
    return stress::count_of(srv.out(), text) == times;
}

bool start(e2e::TestServer& srv, int login_timeout, int frame_timeout) {
    e2e::ServerOptions o;
    o.keys["login_timeout"] = std::to_string(login_timeout);
    o.keys["frame_timeout"] = std::to_string(frame_timeout);
    return srv.start(o);
}

// The login time-out much shorter than the frame time-out: a silent connection, and one that
// stopped inside a frame, are both cut at the login time-out.
TEST(Timeouts, LoginTimeoutCutsBeforeALongerFrameTimeout) {
    e2e::TestServer srv;
    ASSERT_TRUE(start(srv, 2, 30)) << srv.out() << srv.err();
    Peer silent("127.0.0.2", srv.port);
    Peer half("127.0.0.3", srv.port);
    ASSERT_TRUE(silent.ok() && half.ok());
    ASSERT_TRUE(half.send_raw("11    "));
    double silent_s = silent.seconds_until_closed(20);
    double half_s = half.seconds_until_closed(20);
    EXPECT_GE(silent_s, 1.9);
    EXPECT_LT(silent_s, 10);
    EXPECT_GE(half_s, 1.9);
    EXPECT_LT(half_s, 10);
    // The silent one is logged as a login time-out; the other one ran out of login time
    // inside its frame, and may be logged as either.
    EXPECT_TRUE(logged(srv, "login time-out", 1)) << srv.out();
    EXPECT_EQ(stress::count_of(srv.out(), " time-out"), 2u) << srv.out();
}

// The frame time-out much shorter than the login time-out: whole frames sent faster than the
// frame time-out keep a connection that never logs in only until the login time-out; a silent
// one is cut then too; one that stops inside a frame is cut at the frame time-out.
TEST(Timeouts, FrameTimeoutCutsOnlyAFrameThatStopped) {
    e2e::TestServer srv;
    ASSERT_TRUE(start(srv, 8, 1)) << srv.out() << srv.err();
    auto t0 = Clock::now();
    Peer busy("127.0.0.2", srv.port);
    Peer silent("127.0.0.3", srv.port);
    Peer half("127.0.0.4", srv.port);
    ASSERT_TRUE(busy.ok() && silent.ok() && half.ok());
    ASSERT_TRUE(half.send_raw("11    "));
    double half_s = half.seconds_until_closed(20);
    EXPECT_GE(half_s, 0.9);
    EXPECT_LT(half_s, 5) << "not the login time-out";
    // HELLOs until 6 s, far past the frame time-out and before the login time-out, all
    // answered. A login time restarted by each frame would end at 14 s at the earliest.
    int answered = 0;
    while (Clock::now() - t0 < std::chrono::milliseconds(6000)) {
        ASSERT_TRUE(busy.hello()) << "cut after " << answered << " frames";
        answered++;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    double busy_s = busy.seconds_until_closed(30);
    double silent_s = silent.seconds_until_closed(30);
    EXPECT_GE(busy_s, 7.9);
    EXPECT_LT(busy_s, 11.5) << "frames must not restart the login time";
    EXPECT_GE(silent_s, 7.9);
    EXPECT_LT(silent_s, 11.5);
    EXPECT_TRUE(logged(srv, "login time-out", 2)) << srv.out();
    EXPECT_EQ(stress::count_of(srv.out(), "frame time-out"), 1u) << srv.out();
}

}  // namespace
