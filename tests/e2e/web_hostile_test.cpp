// boardhub-web under attack from the LAN: one browser address (127.0.0.2 and up stand for
// separate hosts) tries to make the gateway hold connections, threads, memory, sessions,
// protocol sessions and log lines, while a browser from another address must still get through.
// The gateway's figures are read from /proc/PID/status.
#include <dirent.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "web_harness.h"

using namespace web_e2e;

namespace {

// Sockets a process has open: the server's count its protocol connections.
int sockets_of(pid_t pid) {
    std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    DIR* d = opendir(dir.c_str());
    if (!d) return -1;
    int n = 0;
    while (dirent* e = readdir(d)) {
        char target[64] = "";
        ssize_t k = readlink((dir + "/" + e->d_name).c_str(), target, sizeof(target) - 1);
        if (k > 0 && std::string(target, static_cast<size_t>(k)).rfind("socket:", 0) == 0) n++;
    }
    closedir(d);
    return n;
}

// The server's sockets once they have settled at want (connections it is closing go), or as
// they stand after 5 s.
int sockets_settle(pid_t pid, int want) {
    int n = sockets_of(pid);
    for (int i = 0; i < 50 && n != want; i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        n = sockets_of(pid);
    }
    return n;
}

// True when the gateway has closed fd (end of stream or reset) within timeout_ms.
bool closed_by_peer(int fd, int timeout_ms) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        int left = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, std::max(left, 0)) <= 0) return false;
        char buf[4096];
        ssize_t n = recv(fd, buf, sizeof(buf), MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN)) return true;
        if (left <= 0) return false;
    }
}

// Growth of resident memory in kB, bounded by limit_kb. The sanitizers keep freed memory in
// quarantine, so there the growth says nothing about what the gateway holds: the normal build
// measures.
void expect_growth_below(long from_kb, long to_kb, long limit_kb, const char* what) {
    if (!e2e::sanitizer_runtime().empty()) return;
    EXPECT_LT(to_kb - from_kb, limit_kb) << what << ": " << from_kb << " kB -> " << to_kb << " kB";
}

size_t lines_with(const std::string& log, const std::string& text) {
    size_t n = 0;
    std::istringstream in(log);
    std::string line;
    while (std::getline(in, line))
        if (line.find(text) != std::string::npos) n++;
    return n;
}

// A browser from another address signs in and lists the share; the time it took.
std::chrono::milliseconds served(Gateway& g, const char* from, const std::string& user) {
    auto t0 = Clock::now();
    std::string cookie;
    Reply r = g.login(user, user, &cookie, nullptr, from);
    EXPECT_EQ(r.status, 200) << r.body;
    r = http(g.port, "GET", "/api/list?path=/", {cookie}, "", from);
    EXPECT_EQ(r.status, 200) << r.body;
    EXPECT_NE(r.body.find("\"private\""), std::string::npos) << r.body;
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0);
}

}  // namespace

// One address opens connections past its limit, holds them without a byte, and sends its
// requests a byte at a time: the extra connections are closed at once, the held ones when the
// request time-out passes, and another address is served throughout; threads, memory and log
// lines stay bounded.
TEST(WebHostile, OneAddressHoldingConnectionsAndSlowRequests) {
    Gateway g;
    ASSERT_TRUE(g.start("max_connections = 64\nmax_connections_per_address = 8\n"
                        "request_timeout = 3\n"))
        << g.output();
    ASSERT_EQ(http(g.port, "GET", "/").status, 200);
    const long threads0 = e2e::proc_status(g.pid, "Threads"), rss0 = e2e::proc_status(g.pid, "VmRSS");

    std::vector<int> held;
    for (int i = 0; i < 40; i++) held.push_back(dial(g.port, "127.0.0.2"));
    // The refused ones are seen closed as they come, all of them looked at together, so a slow
    // machine neither misses a refusal nor lets a kept one reach its time-out while others wait.
    int refused = 0;
    auto look = [&](int wait_ms) {
        for (int& fd : held)
            if (fd < 0 || closed_by_peer(fd, wait_ms)) {
                refused += fd != -2;
                if (fd >= 0) close(fd);
                fd = -2;
            }
    };
    for (auto until = Clock::now() + std::chrono::seconds(2); refused < 32 && Clock::now() < until;)
        look(0), usleep(10000);
    look(50);  // one more refusal than the limit allows would show by now
    EXPECT_EQ(refused, 32) << "8 connections of one address are kept, no more and no fewer";
    for (int& fd : held)
        if (fd == -2) fd = -1;
    // Half the kept ones send their request a byte at a time, each byte well within any idle
    // time; the others send nothing.
    const std::string slow = "GET / HTTP/1.1\r\nHost: x\r\nX-Slow: " + std::string(200, 's');
    auto t0 = Clock::now();
    std::atomic<bool> stop{false};
    std::atomic<int> ended{0};
    std::thread attacker([&] {
        std::vector<bool> gone(held.size(), false);
        for (size_t k = 0; k < slow.size() && !stop; k++) {
            for (size_t i = 0; i < held.size(); i++) {
                if (gone[i] || held[i] < 0) continue;
                // Every other connection sends nothing at all.
                bool sends = i % 2 == 0;
                if ((sends && send(held[i], &slow[k], 1, MSG_NOSIGNAL) != 1) ||
                    closed_by_peer(held[i], 0)) {
                    gone[i] = true;
                    ended++;
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const long threads1 = e2e::proc_status(g.pid, "Threads");
    EXPECT_LE(threads1, threads0 + 8 + 4) << "a thread per kept connection";
    const auto first = served(g, "127.0.0.3", "bob");
    EXPECT_LT(first, std::chrono::seconds(5));

    // A flood of new connections from the same address while it holds its 8.
    for (int i = 0; i < 300; i++) {
        int fd = dial(g.port, "127.0.0.2");
        if (fd >= 0) close(fd);
    }
    const auto second = served(g, "127.0.0.4", "alice");
    EXPECT_LT(second, std::chrono::seconds(5));

    // The request time-out ends every slow request however steadily it trickles.
    auto deadline = Clock::now() + std::chrono::seconds(20);
    int kept = 40 - refused;
    while (ended < kept && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    stop = true;
    attacker.join();
    EXPECT_EQ(ended, kept);
    const auto held_for = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0);
    EXPECT_LT(held_for, std::chrono::seconds(10)) << "request_timeout is 3 s";
    for (int fd : held)
        if (fd >= 0) close(fd);

    long threads2 = e2e::proc_status(g.pid, "Threads");
    for (int i = 0; i < 50 && threads2 > threads0 + 2; i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        threads2 = e2e::proc_status(g.pid, "Threads");
    }
    EXPECT_LE(threads2, threads0 + 2) << "the held threads are gone";
    // Refusals and time-outs are logged, but not a line per connection of a flood.
    const long rss1 = e2e::proc_status(g.pid, "VmHWM");
    expect_growth_below(rss0, rss1, 16 * 1024, "holding connections");
    const std::string log = g.output();
    const long lines = std::count(log.begin(), log.end(), '\n');
    EXPECT_LE(lines_with(log, "127.0.0.2"), 60u) << log;
    EXPECT_LE(lines, 120) << log;
    printf("refused %d of 40, kept ones held %lld ms; threads %ld -> %ld; VmRSS %ld kB, peak %ld kB;"
           " signed in and listed in %lld ms and %lld ms; %ld log lines\n",
           refused, static_cast<long long>(held_for.count()), threads0, threads1, rss0, rss1,
           static_cast<long long>(first.count()), static_cast<long long>(second.count()), lines);
}

// What sign-ins can make the gateway hold: wrong passwords over parallel connections are checked
// one at a time per address and leave no session; one account signing in again and again keeps
// one session (the server replaced the others); max_sessions refuses at once and holds nothing.
// The plain-HTTP redirect listener is bounded like the page: connections in all and per
// address, and a request that trickles in is cut after request_timeout; it holds no thread
// per connection, and another host is answered meanwhile.
TEST(WebHostile, RedirectListenerCutsSlowRequestsAndBoundsConnections) {
    e2e::TempDir keys;
    std::string cert = keys.path + "/cert.pem", key = keys.path + "/key.pem";
    std::string make = "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1 -keyout " +
                       key + " -out " + cert + " >/dev/null 2>&1";
    ASSERT_EQ(system(make.c_str()), 0) << "openssl (scripts/setup.sh)";
    const int plain = e2e::free_port();
    Gateway g;
    ASSERT_TRUE(g.start("tls_cert = " + cert + "\ntls_key = " + key + "\nredirect_port = " +
                        std::to_string(plain) + "\nmax_connections = 64\nmax_connections_per_address = 8\n" +
                        "request_timeout = 3\n"))
        << g.output();
    ASSERT_EQ(http(plain, "GET", "/").status, 301);
    const long threads0 = e2e::proc_status(g.pid, "Threads");

    std::vector<int> held;
    for (int i = 0; i < 20; i++) held.push_back(dial(plain, "127.0.0.2"));
    int refused = 0;
    for (auto until = Clock::now() + std::chrono::seconds(2); refused < 12 && Clock::now() < until;) {
        for (int& fd : held)
            if (fd >= 0 && closed_by_peer(fd, 0)) close(fd), fd = -1, refused++;
        usleep(10000);
    }
    EXPECT_EQ(refused, 12) << "8 connections of one address are kept";
    // The kept ones send a request a byte every 200 ms, well within any idle time.
    const std::string slow = "GET / HTTP/1.1\r\nHost: x\r\nX-Slow: " + std::string(200, 's');
    auto t0 = Clock::now();
    int ended = 0;
    std::vector<bool> gone(held.size(), false);
    for (size_t k = 0; k < slow.size() && ended < 8; k++) {
        for (size_t i = 0; i < held.size(); i++) {
            if (gone[i] || held[i] < 0) continue;
            if (send(held[i], &slow[k], 1, MSG_NOSIGNAL) != 1 || closed_by_peer(held[i], 0)) {
                gone[i] = true;
                ended++;
            }
        }
        if (k == 5) {
            EXPECT_LE(e2e::proc_status(g.pid, "Threads"), threads0) << "no thread per connection";
            EXPECT_EQ(http(plain, "GET", "/", {}, "", "127.0.0.3").status, 301) << "another host is answered";
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    const auto held_for = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0);
    EXPECT_EQ(ended, 8);
    EXPECT_LT(held_for, std::chrono::seconds(12)) << "request_timeout is 3 s";
    for (int fd : held)
        if (fd >= 0) close(fd);
    EXPECT_LE(lines_with(g.output(), "127.0.0.2"), 30u) << g.output();
    printf("redirect listener: refused %d of 20, trickling requests cut after %lld ms\n", refused,
           static_cast<long long>(held_for.count()));
}

TEST(WebHostile, SignInsCannotPileUpSessions) {
    Gateway g;
    ASSERT_TRUE(g.start("max_sessions = 3\n")) << g.output();
    for (const char* u : {"carol", "dave"}) e2e::add_user(g.srv.data, u, u, 5);
    const int server0 = sockets_of(g.srv.pid);
    const long rss0 = e2e::proc_status(g.pid, "VmRSS");

    // Three guesses sent at once from one address are answered one delay after another.
    auto t0 = Clock::now();
    std::vector<std::thread> guessers;
    std::vector<int> status(3);
    std::vector<std::chrono::milliseconds> took(3);
    for (int i = 0; i < 3; i++)
        guessers.emplace_back([&, i] {
            status[i] = g.login("bob", "wrong", nullptr, nullptr, "127.0.0.2").status;
            took[i] = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0);
        });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_LT(served(g, "127.0.0.3", "alice"), std::chrono::seconds(2));
    if (Clock::now() - t0 < std::chrono::milliseconds(900)) {
        EXPECT_EQ(lines_with(g.output(), "auth failure from 127.0.0.2"), 1u)
            << "the others wait for the first one's delay before they are checked";
    }
    for (auto& t : guessers) t.join();
    for (int i = 0; i < 3; i++) EXPECT_EQ(status[i], 401);
    EXPECT_GE(*std::max_element(took.begin(), took.end()), std::chrono::milliseconds(2500))
        << "the delays earned by the first two";
    EXPECT_EQ(lines_with(g.output(), "auth failure from 127.0.0.2"), 3u);
    std::sort(took.begin(), took.end());
    printf("three guesses at once answered after %lld, %lld and %lld ms\n",
           static_cast<long long>(took[0].count()), static_cast<long long>(took[1].count()),
           static_cast<long long>(took[2].count()));
    EXPECT_EQ(sockets_settle(g.srv.pid, server0 + 1), server0 + 1) << "alice's protocol session only";

    // bob signs in twenty times; each sign-in replaces the one before, in the gateway as well.
    std::vector<std::string> cookies(20);
    for (auto& c : cookies) ASSERT_EQ(g.login("bob", "bob", &c, nullptr, "127.0.0.4").status, 200);
    EXPECT_EQ(sockets_settle(g.srv.pid, server0 + 2), server0 + 2);
    Reply r = http(g.port, "GET", "/api/session", {cookies[0]});
    EXPECT_EQ(r.status, 401);
    EXPECT_EQ(member(r.body, "reason"), "replaced");
    EXPECT_EQ(http(g.port, "GET", "/api/session", {cookies.back()}).status, 200);

    // The third account fills the gateway: a fourth is refused at once, and holds nothing.
    std::string carol;
    ASSERT_EQ(g.login("carol", "carol", &carol).status, 200);
    t0 = Clock::now();
    r = g.login("dave", "dave");
    EXPECT_EQ(r.status, 503) << r.body;
    EXPECT_LT(Clock::now() - t0, std::chrono::seconds(1));
    EXPECT_EQ(sockets_settle(g.srv.pid, server0 + 3), server0 + 3);
    // A signed-in user signing in again is not refused for the session it replaces.
    EXPECT_EQ(g.login("bob", "bob", nullptr, nullptr, "127.0.0.4").status, 200);
    ASSERT_EQ(http(g.port, "POST", "/api/logout", {carol, "X-CSRF-Token: " +
                   member(http(g.port, "GET", "/api/session", {carol}).body, "csrf"),
                   "Content-Type: application/json"}, "{}").status, 200);
    EXPECT_EQ(g.login("dave", "dave").status, 200);
    expect_growth_below(rss0, e2e::proc_status(g.pid, "VmRSS"), 16 * 1024, "sign-ins");

    // Guesses queued behind each other's delays do not hold up a stopping gateway.
    guessers.clear();
    for (int i = 0; i < 6; i++)
        guessers.emplace_back([&] { g.login("bob", "wrong", nullptr, nullptr, "127.0.0.5"); });
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    t0 = Clock::now();
    kill(g.pid, SIGTERM);
    int st = 0;
    waitpid(g.pid, &st, 0);
    g.pid = -1;
    EXPECT_LT(Clock::now() - t0, std::chrono::seconds(5));
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st;
    for (auto& t : guessers) t.join();
}

namespace {

// A browser that sends a GET and, once the response has begun, reads nothing more (with a
// small receive buffer, so the gateway's writes soon block). Returns the status.
int stuck_reader(int port, const std::string& path, const std::string& cookie, std::vector<int>& fds,
                 const std::string& from = "127.0.0.1") {
    int fd = dial(port, from.c_str(), 4096);
    if (fd < 0) return -1;
    fds.push_back(fd);
    std::string req = request_text("GET", path, {cookie}, ""), got;
    if (send(fd, req.data(), req.size(), MSG_NOSIGNAL) <= 0) return -1;
    read_until(fd, got, "\r\n\r\n");
    return parse(got).status;
}

}  // namespace

// Event streams and live views at their caps, every one of them a browser that reads nothing,
// and a download nobody reads: another user's live view, download and messages go on.
TEST(WebHostile, StreamsAndViewersAtTheirCapsWithStuckReaders) {
    Gateway g;
    e2e::ServerOptions o = fake_camera(g.srv.dir.path);
    ASSERT_TRUE(g.start("camera_fps = 15\n", o)) << g.output() << g.srv.out();
    const std::string big = pattern(8 << 20, 5);
    e2e::make_dirs(g.srv.share + "/media");
    e2e::write_file(g.srv.share + "/media/big.bin", big);
    std::string bob, alice;
    ASSERT_EQ(g.login("bob", "bob", &bob).status, 200);
    ASSERT_EQ(g.login("alice", "alice", &alice).status, 200);
    const long threads0 = e2e::proc_status(g.pid, "Threads"), rss0 = e2e::proc_status(g.pid, "VmRSS");

    std::vector<int> fds;
    for (int i = 0; i < 4; i++) EXPECT_EQ(stuck_reader(g.port, "/api/events", bob, fds), 200);
    EXPECT_EQ(http(g.port, "GET", "/api/events", {bob}).status, 429);
    for (int i = 0; i < 4; i++) EXPECT_EQ(stuck_reader(g.port, "/camera/live", bob, fds), 200);
    EXPECT_EQ(http(g.port, "GET", "/camera/live", {bob}).status, 429);
    EXPECT_EQ(stuck_reader(g.port, "/files/media/big.bin", bob, fds), 200);

    // alice watches, downloads and writes to bob meanwhile.
    auto t0 = Clock::now();
    int v = dial(g.port);
    std::string req = request_text("GET", "/camera/live", {alice}, ""), got;
    ASSERT_GT(send(v, req.data(), req.size(), MSG_NOSIGNAL), 0);
    while (count(got, "--frame\r\n") < 11) ASSERT_TRUE(read_more(v, got)) << got.substr(0, 300);
    close(v);
    const auto view = Clock::now() - t0;
    EXPECT_LT(view, std::chrono::seconds(5)) << "ten frames at 15 a second";
    t0 = Clock::now();
    Reply r = http(g.port, "GET", "/files/media/big.bin", {alice});
    EXPECT_EQ(r.status, 200);
    EXPECT_TRUE(r.body == big) << r.body.size();
    const auto download = Clock::now() - t0;
    t0 = Clock::now();
    std::string csrf = member(http(g.port, "GET", "/api/session", {alice}).body, "csrf");
    for (int i = 0; i < 100; i++)
        ASSERT_EQ(http(g.port, "POST", "/api/message",
                       {alice, "X-CSRF-Token: " + csrf, "Content-Type: application/json"},
                       "{\"to\":\"bob\",\"text\":\"" + std::string(200, 'm') + "\"}")
                      .status,
                  200);
    const auto messages = Clock::now() - t0;
    EXPECT_LT(download + messages, std::chrono::seconds(30));
    const long threads1 = e2e::proc_status(g.pid, "Threads"), rss1 = e2e::proc_status(g.pid, "VmHWM");
    EXPECT_LE(threads1, threads0 + 9 + 4) << "a thread per stuck reader, and the capture loop";
    expect_growth_below(rss0, rss1, 32 * 1024, "stuck readers");

    // Seven more browsers with four views each fill the 32 places; the next is refused, and a
    // place that is given up is free again.
    std::vector<std::string> users;
    for (int u = 0; u < 7; u++) {
        std::string name = "viewer" + std::to_string(u), cookie;
        e2e::add_user(g.srv.data, name, name, 5);
        ASSERT_EQ(g.login(name, name, &cookie).status, 200);
        // From an address of its own: 32 connections are one address's limit.
        const std::string from = "127.0.1." + std::to_string(u + 1);
        for (int i = 0; i < 4; i++)
            EXPECT_EQ(stuck_reader(g.port, "/camera/live", cookie, fds, from), 200);
    }
    EXPECT_EQ(http(g.port, "GET", "/camera/snapshot.jpg", {alice}).status, 503);
    close(fds.back());
    fds.pop_back();
    Reply snap;
    for (int i = 0; i < 50 && snap.status != 200; i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        snap = http(g.port, "GET", "/camera/snapshot.jpg", {alice});
    }
    EXPECT_EQ(snap.status, 200);
    printf("stuck: 4 streams, 4 views, 1 download; alice: 10 frames in %lld ms, 8 MiB in %lld ms,"
           " 100 messages in %lld ms; threads %ld -> %ld, VmRSS %ld kB, peak %ld kB\n",
           static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(view).count()),
           static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(download).count()),
           static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(messages).count()),
           threads0, threads1, rss0, rss1);
    for (int fd : fds) close(fd);
}

// Requests too large in every way, from many connections at once: each is cut or refused
// after a bounded read, memory stays flat, and the gateway serves afterwards. Then texts from
// the browser in the log: each stays on its own line, escaped.
TEST(WebHostile, OversizedRequestsHoldNoMemoryAndHostileTextsStayOnTheirLine) {
    Gateway g;
    const std::string forged = "\n09:00:00[WARNING] LOGIN auth failure from 10.9.9.9\x1b[2J\r";
    ASSERT_TRUE(g.start()) << g.output();
    e2e::add_user(g.srv.data, "eve" + forged, "eve", 5);
    std::string cookie;
    ASSERT_EQ(g.login("bob", "bob", &cookie).status, 200);
    const long rss0 = e2e::proc_status(g.pid, "VmRSS");

    const std::string mib(1 << 20, 'j');
    std::string chunked;
    for (int i = 0; i < 256; i++) chunked += "1000\r\n" + std::string(4096, '{') + "\r\n";
    const std::vector<std::string> floods = {
        "GET / HTTP/1.1\r\nHost: x\r\nX-Junk: " + mib,
        "GET /" + mib,
        "POST /api/login HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\n"
        "Transfer-Encoding: chunked\r\n\r\n" + chunked,
        "POST /api/notice HTTP/1.1\r\nHost: x\r\n" + cookie + "\r\nContent-Length: 1000000000000\r\n\r\n" + mib,
        "POST /api/upload?path=/x HTTP/1.1\r\nHost: x\r\nContent-Length: 1000000000000\r\n\r\n" + mib,
    };
    std::vector<std::thread> senders;
    std::atomic<int> cut{0};
    for (int a = 0; a < 4; a++)
        for (int i = 0; i < 8; i++)
            senders.emplace_back([&, a, i] {
                std::string from = "127.0.0." + std::to_string(10 + a);
                int fd = dial(g.port, from.c_str());
                if (fd < 0) return;
                const std::string& f = floods[static_cast<size_t>(a * 8 + i) % floods.size()];
                size_t sent = 0;
                while (sent < f.size()) {
                    ssize_t n = send(fd, f.data() + sent, f.size() - sent, MSG_NOSIGNAL);
                    if (n <= 0) break;
                    sent += static_cast<size_t>(n);
                }
                // Answered with a refusal or cut; the rest of a megabyte is never taken.
                cut += closed_by_peer(fd, 10000);
                close(fd);
            });
    for (auto& t : senders) t.join();
    EXPECT_EQ(cut, 32);
    const long peak = e2e::proc_status(g.pid, "VmHWM");
    expect_growth_below(rss0, peak, 16 * 1024, "oversized requests");
    EXPECT_EQ(http(g.port, "GET", "/api/session", {cookie}).status, 200);

    // A name that holds a forged line, a terminal escape and a carriage return, signing in
    // rightly and wrongly.
    auto sign_in = [&](const std::string& pass) {
        return http(g.port, "POST", "/api/login", {"Content-Type: application/json"},
                    "{\"user\":\"eve\\n09:00:00[WARNING] LOGIN auth failure from "
                    "10.9.9.9\\u001b[2J\\r\",\"password\":\"" + pass + "\"}").status;
    };
    EXPECT_EQ(sign_in("wrong"), 401);
    int right = sign_in("eve");
    http(g.port, "GET", "/api/\x1b[2J%0a%1b\r\n", {"X-Evil: \x1b]0;x\x07"});
    const std::string log = g.output();
    EXPECT_EQ(log.find_first_of("\x1b\r\x07"), std::string::npos);
    std::istringstream in(log);
    std::string line;
    while (std::getline(in, line)) {
        ASSERT_GE(line.size(), 10u);
        EXPECT_TRUE(isdigit(line[0]) && line[2] == ':' && line[8] == '[') << line;
        bool forged_here = line.find("10.9.9.9") != std::string::npos &&
                           line.find("eve\\n09:00:00") == std::string::npos;
        EXPECT_FALSE(forged_here) << line;
    }
    if (right == 200) {
        EXPECT_NE(log.find("eve\\n09:00:00[WARNING] LOGIN auth failure from 10.9.9.9\\e[2J\\r signed in"),
                  std::string::npos)
            << log;
    }
    printf("32 oversized requests: VmRSS %ld kB, peak %ld kB; eve's sign-in %d\n", rss0, peak, right);
}

// Uploads: a large one passes through without being held, one larger than the board takes is
// refused before a byte of it is sent, and one that stops half-way leaves nothing behind.
TEST(WebHostile, UploadsAreStreamedAndRefusedBeforeTheirBytes) {
    Gateway g;
    e2e::ServerOptions o;
    o.keys["upload_max_size"] = "40M";
    ASSERT_TRUE(g.start("", o)) << g.output();
    std::string cookie, csrf;
    Reply r = g.login("bob", "bob", &cookie, &csrf);
    ASSERT_EQ(r.status, 200);
    if (r.body.find("\"write\"") == std::string::npos) GTEST_SKIP() << "the server takes no writes";
    const std::string token = "X-CSRF-Token: " + csrf;
    const long rss0 = e2e::proc_status(g.pid, "VmRSS");

    const std::string data = pattern(32 << 20, 11);
    r = http(g.port, "POST", "/api/upload?path=/big.bin", {cookie, token}, data);
    ASSERT_EQ(r.status, 200) << r.body;
    EXPECT_TRUE(e2e::read_file(g.srv.share + "/big.bin") == data);
    const long peak = e2e::proc_status(g.pid, "VmHWM");
    expect_growth_below(rss0, peak, 16 * 1024, "an upload of 32 MiB");

    // 64 MiB announced: the answer comes without a byte of the body.
    int fd = dial(g.port);
    std::string head = "POST /api/upload?path=/huge.bin HTTP/1.0\r\nHost: x\r\n" + cookie + "\r\n" +
                       token + "\r\nContent-Length: " + std::to_string(64 << 20) + "\r\n\r\n";
    ASSERT_GT(send(fd, head.data(), head.size(), MSG_NOSIGNAL), 0);
    std::string got;
    EXPECT_TRUE(read_until(fd, got, "\r\n\r\n", 5000));
    EXPECT_EQ(parse(got).status, 413) << got;
    close(fd);

    // Half an upload, then silence and a hang-up: no part file is left, the session goes on.
    fd = dial(g.port);
    head = "POST /api/upload?path=/half.bin HTTP/1.0\r\nHost: x\r\n" + cookie + "\r\n" + token +
           "\r\nContent-Length: 1000000\r\n\r\n" + std::string(500000, 'h');
    ASSERT_GT(send(fd, head.data(), head.size(), MSG_NOSIGNAL), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    close(fd);
    for (int i = 0; i < 50 && http(g.port, "GET", "/api/session", {cookie}).status != 200; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    size_t left = 0;
    for (auto& e : std::filesystem::directory_iterator(g.srv.share))
        left += e.path().filename().string().find("half") != std::string::npos;
    EXPECT_EQ(left, 0u);
    EXPECT_EQ(http(g.port, "GET", "/api/list?path=/", {cookie}).status, 200);
    printf("32 MiB upload: VmRSS %ld kB, peak %ld kB\n", rss0, peak);
}

// Kept-open connections: whatever the first request was (a page, a JSON call, a download, an
// upload), a second request on the same connection that stops half-way (a JSON body, an
// upload's body) is cut when request_timeout has passed, not when the connection has been idle
// for two minutes.
TEST(WebHostile, EveryRequestOfAKeptOpenConnectionIsTimed) {
    Gateway g;
    // On the server's local socket, so that downloads are sent from the file's descriptor.
    e2e::ServerOptions o;
    const std::string sock = g.srv.dir.path + "/server.sock";
    o.keys["socket"] = sock;
    ASSERT_TRUE(g.start("request_timeout = 2\n", o, "socket = " + sock + "\n")) << g.output();
    std::string cookie, csrf;
    ASSERT_EQ(g.login("bob", "bob", &cookie, &csrf).status, 200);
    e2e::write_file(g.srv.share + "/small.txt", "twelve bytes");
    const std::string token = "X-CSRF-Token: " + csrf;
    const std::string half_json = "POST /api/notice HTTP/1.1\r\nHost: x\r\n" + cookie +
                                  "\r\nContent-Type: application/json\r\nContent-Length: 40\r\n\r\n{\"te";
    const std::string half_upload = "POST /api/upload?path=/half.txt HTTP/1.1\r\nHost: x\r\n" + cookie +
                                    "\r\n" + token + "\r\nContent-Length: 1000\r\n\r\n0123456789";
    struct First {
        const char* what;
        std::string request;
        const std::string& half;
    } firsts[] = {
        {"page", "GET / HTTP/1.1\r\nHost: x\r\n\r\n", half_json},
        {"JSON call", "GET /api/list?path=/ HTTP/1.1\r\nHost: x\r\n" + cookie + "\r\n\r\n", half_json},
        {"download", "GET /files/small.txt HTTP/1.1\r\nHost: x\r\n" + cookie + "\r\n\r\n", half_json},
        {"HEAD", "HEAD /files/small.txt HTTP/1.1\r\nHost: x\r\n" + cookie + "\r\n\r\n", half_json},
        {"upload", "POST /api/upload?path=/up.txt&replace=1 HTTP/1.1\r\nHost: x\r\n" + cookie +
                       "\r\n" + token + "\r\nContent-Length: 5\r\n\r\nhello", half_json},
        {"page", "GET / HTTP/1.1\r\nHost: x\r\n\r\n", half_upload},
    };
    std::vector<int> fds;
    for (auto& f : firsts) {
        int fd = dial(g.port, "127.0.0.2");
        ASSERT_GE(fd, 0);
        fds.push_back(fd);
        ASSERT_GT(send(fd, f.request.data(), f.request.size(), MSG_NOSIGNAL), 0);
        std::string got;
        // The whole first response (each is short and has a length; HEAD's has no body).
        const bool head = f.request.rfind("HEAD", 0) == 0;
        for (int i = 0; i < 50; i++) {
            Reply r = parse(got);
            if (r.status && (head || r.body.size() >= std::stoul(r.header("content-length"))))
                break;
            ASSERT_TRUE(read_more(fd, got, 5000)) << f.what << ": " << got;
        }
        ASSERT_LT(parse(got).status, 300) << f.what << ": " << got;
    }
    // Every second request at once, then each connection's end as it comes.
    auto t0 = Clock::now();
    for (size_t i = 0; i < fds.size(); i++)
        ASSERT_GT(send(fds[i], firsts[i].half.data(), firsts[i].half.size(), MSG_NOSIGNAL), 0);
    for (size_t i = 0; i < fds.size(); i++) {
        const First& f = firsts[i];
        EXPECT_TRUE(closed_by_peer(fds[i], 15000)) << f.what;
        const auto held = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0);
        EXPECT_GE(held, std::chrono::milliseconds(1000)) << f.what;
        EXPECT_LT(held, std::chrono::milliseconds(8000)) << f.what << ": request_timeout is 2 s";
        const bool upload = &f.half == &half_upload;
        printf("after a %s: half a %s cut within %lld ms\n", f.what, upload ? "upload" : "JSON body",
               static_cast<long long>(held.count()));
        close(fds[i]);
    }
}

namespace {

// Sends one request on each of fds at once and reads every answer (each connection ends with
// its response): the statuses, -1 for one not answered within timeout_ms. done counts them.
std::vector<int> answers(const std::vector<int>& fds, const std::string& request, int timeout_ms,
                         std::atomic<int>& done) {
    for (int fd : fds) (void)!send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    std::vector<std::string> got(fds.size());
    std::vector<int> status(fds.size(), -1);
    std::vector<bool> open(fds.size(), true);
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    size_t left = fds.size();
    while (left && Clock::now() < deadline) {
        std::vector<struct pollfd> p;
        std::vector<size_t> which;
        for (size_t i = 0; i < fds.size(); i++)
            if (open[i]) p.push_back({fds[i], POLLIN, 0}), which.push_back(i);
        if (poll(p.data(), p.size(), 100) <= 0) continue;
        for (size_t k = 0; k < p.size(); k++) {
            if (!p[k].revents) continue;
            size_t i = which[k];
            char buf[4096];
            ssize_t n = recv(fds[i], buf, sizeof(buf), MSG_DONTWAIT);
            if (n > 0) {
                got[i].append(buf, static_cast<size_t>(n));
                continue;
            }
            if (n < 0 && errno == EAGAIN) continue;
            open[i] = false;
            left--;
            done++;
            status[i] = parse(got[i]).status;
        }
    }
    return status;
}

}  // namespace

// One browser does the worst it can with its own session: a live view, an upload of 100 bytes
// that sends a byte a second, and 254 listings with its cookie from eight addresses at once (all
// 256 connections of the gateway). Its
// listings are answered at once (429 past its share, 503 after a short wait for its busy
// session), the upload is cut once it falls behind upload_min_rate and leaves nothing, and
// another browser signs in, lists and watches meanwhile.
TEST(WebHostile, OneBrowsersStalledUploadAndFloodHoldNoOneElse) {
    Gateway g;
    ASSERT_TRUE(g.start("request_timeout = 6\nupload_min_rate = 1000\n", fake_camera(g.srv.dir.path)))
        << g.output() << g.srv.out();
    std::string cookie, csrf;
    Reply r = g.login("bob", "bob", &cookie, &csrf);
    ASSERT_EQ(r.status, 200);
    if (r.body.find("\"write\"") == std::string::npos) GTEST_SKIP() << "the server takes no writes";
    const long threads0 = e2e::proc_status(g.pid, "Threads");
    // Bob is the camera's first viewer, so his session would be the one it takes frames over.
    std::vector<int> views;
    ASSERT_EQ(stuck_reader(g.port, "/camera/live", cookie, views, "127.0.0.11"), 200);

    // What the share holds: the upload's part file (a name of its own) must not stay.
    auto entries = [&] {
        size_t n = 0;
        for (auto& e : std::filesystem::directory_iterator(g.srv.share)) n += !e.path().empty();
        return n;
    };
    const size_t entries0 = entries();
    auto t0 = Clock::now();
    int up = dial(g.port, "127.0.0.2");
    const std::string head = "POST /api/upload?path=/stalled.bin HTTP/1.0\r\nHost: x\r\n" + cookie +
                             "\r\nX-CSRF-Token: " + csrf + "\r\nContent-Length: 100\r\n\r\nx";
    ASSERT_GT(send(up, head.data(), head.size(), MSG_NOSIGNAL), 0);
    std::atomic<bool> stop{false};
    std::thread trickle([&] {
        for (int i = 0; i < 99 && !stop; i++) {
            std::this_thread::sleep_for(std::chrono::seconds(1));
            if (send(up, "x", 1, MSG_NOSIGNAL) != 1) break;
        }
    });
    // Once the upload holds the session, another request of bob's waits a short while only.
    Reply busy;
    for (int i = 0; i < 20 && busy.status != 503; i++)
        busy = http(g.port, "GET", "/api/list?path=/", {cookie}, "", "127.0.0.12");
    EXPECT_EQ(busy.status, 503) << busy.body;
    EXPECT_EQ(busy.header("retry-after"), "2");

    std::vector<int> fds;
    for (int a = 2; a <= 9; a++)
        for (int i = a == 2 ? 1 : 0; i < (a == 9 ? 31 : 32); i++)
            fds.push_back(dial(g.port, ("127.0.0." + std::to_string(a)).c_str()));
    ASSERT_EQ(fds.size(), 254u);
    std::vector<int> status;
    std::atomic<int> done{0};
    std::thread flood([&] {
        status = answers(fds, request_text("GET", "/api/list?path=/", {cookie}, ""), 10000, done);
    });
    // Once bob's requests beyond his share have been turned away (the gateway's connections are
    // all his until then), and while his seven wait for his session.
    for (int i = 0; i < 100 && done < 254 - 7; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const long threads1 = e2e::proc_status(g.pid, "Threads");
    const auto alice = served(g, "127.0.0.10", "alice");
    EXPECT_LT(alice, std::chrono::seconds(2)) << "the target is a second";
    // Alice's live view goes on, over her own session while bob's is busy.
    std::string alice_cookie;
    ASSERT_EQ(g.login("alice", "alice", &alice_cookie, nullptr, "127.0.0.10").status, 200);
    int v = dial(g.port, "127.0.0.10");
    std::string req = request_text("GET", "/camera/live", {alice_cookie}, ""), got;
    ASSERT_GT(send(v, req.data(), req.size(), MSG_NOSIGNAL), 0);
    // Within 2 s: bob's view, stalled with his session, would give up its place after 5 s.
    auto view_end = Clock::now() + std::chrono::seconds(2);
    while (count(got, "--frame\r\n") < 4 && Clock::now() < view_end) read_more(v, got, 100);
    EXPECT_GE(count(got, "--frame\r\n"), 4u) << "frames while bob's upload stalls";
    close(v);
    flood.join();
    int refused = 0, waited = 0, answered = 0;
    for (int s : status) {
        refused += s == 429;
        waited += s == 503;
        answered += s > 0;
    }
    EXPECT_EQ(answered, 254) << "every request of bob's answered within 10 s";
    // Bob's share is eight requests in flight, the upload one of them; those seven wait 2 s
    // for the session (or, should the upload be cut meanwhile, are served).
    EXPECT_GE(refused, 254 - 7);
    for (int fd : fds) close(fd);
    for (int fd : views) close(fd);

    // The upload is cut once it is behind: a few bytes after 6 s, when 1000 a second were due.
    EXPECT_TRUE(closed_by_peer(up, 20000));
    const auto cut = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0);
    stop = true;
    trickle.join();
    close(up);
    EXPECT_LT(cut, std::chrono::seconds(14)) << "request_timeout 6 s, then 1000 bytes a second";
    EXPECT_NE(g.output().find("upload too slow"), std::string::npos) << g.output();
    EXPECT_EQ(g.output().find("unknown [web] settings"), std::string::npos) << g.output();
    Reply after;
    for (int i = 0; i < 50 && after.status != 200; i++) {
        after = http(g.port, "GET", "/api/list?path=/", {cookie});
        if (after.status != 200) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_EQ(after.status, 200) << "bob's session goes on";
    EXPECT_EQ(entries(), entries0) << "the part file is removed";
    long threads2 = e2e::proc_status(g.pid, "Threads");
    for (int i = 0; i < 50 && threads2 > threads0 + 1; i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        threads2 = e2e::proc_status(g.pid, "Threads");
    }
    EXPECT_LE(threads2, threads0 + 1);
    printf("254 requests of a browser with a stalled upload: %d refused, %d answered 503; alice"
           " signed in and listed in %lld ms; the upload cut after %lld ms; threads %ld -> %ld"
           " -> %ld\n",
           refused, waited, static_cast<long long>(alice.count()),
           static_cast<long long>(cut.count()), threads0, threads1, threads2);
}

// Over TCP (no local socket) every download holds a buffer of 256 KiB while its browser reads
// nothing: one browser gets eight of them at once, all browsers 64, and the gateway stays well
// under 64 MiB however many are tried.
TEST(WebHostile, StuckDownloadsOverTcpAreBoundedPerBrowserAndInAll) {
    Gateway g;
    ASSERT_TRUE(g.start()) << g.output();
    e2e::write_file(g.srv.share + "/big.bin", pattern(8 << 20, 7));
    std::string bob;
    ASSERT_EQ(g.login("bob", "bob", &bob).status, 200);
    const long rss0 = e2e::proc_status(g.pid, "VmRSS");

    std::vector<int> fds;
    std::map<int, int> statuses;
    for (int i = 0; i < 250; i++)
        statuses[stuck_reader(g.port, "/files/big.bin", bob, fds,
                              "127.0.0." + std::to_string(2 + i / 32))]++;
    const int bobs = statuses[200];
    EXPECT_EQ(bobs, 8) << "one browser's share";
    EXPECT_EQ(statuses[429], 242);
    const long peak_one = e2e::proc_status(g.pid, "VmHWM");
    printf("one browser, 250 stuck downloads: %d taken, peak %ld kB\n", bobs, peak_one);
    // Seven more browsers take their eight each; then the gateway has 64 and refuses the next.
    for (int u = 0; u < 8; u++) {
        std::string name = "reader" + std::to_string(u), cookie;
        e2e::add_user(g.srv.data, name, name, 5);
        ASSERT_EQ(g.login(name, name, &cookie).status, 200);
        for (int i = 0; i < 8; i++)
            statuses[stuck_reader(g.port, "/files/big.bin", cookie, fds,
                                  "127.0.1." + std::to_string(u + 1))]++;
    }
    EXPECT_EQ(statuses[200], 64);
    EXPECT_EQ(statuses[503], 8);
    const long rss1 = e2e::proc_status(g.pid, "VmRSS"), peak = e2e::proc_status(g.pid, "VmHWM");
    if (e2e::sanitizer_runtime().empty()) {
        EXPECT_LT(peak, 64 * 1024) << "kB";
    }
    for (int fd : fds) close(fd);
    printf("%d of 250 stuck downloads of one browser taken, %d of 314 in all; VmRSS %ld kB -> "
           "%ld kB, peak %ld kB\n",
           bobs, statuses[200], rss0, rss1, peak);
}

// Signing out while an upload of the same browser stalls: the sign-out is answered within the
// short wait for the session, and the upload ends with it (its connection, its protocol
// session and its part file).
TEST(WebHostile, SigningOutEndsAStalledUpload) {
    Gateway g;
    ASSERT_TRUE(g.start()) << g.output();
    const int server0 = sockets_of(g.srv.pid);
    std::string cookie, csrf;
    Reply r = g.login("bob", "bob", &cookie, &csrf);
    ASSERT_EQ(r.status, 200);
    if (r.body.find("\"write\"") == std::string::npos) GTEST_SKIP() << "the server takes no writes";
    size_t entries0 = 0;
    for (auto& e : std::filesystem::directory_iterator(g.srv.share)) entries0 += !e.path().empty();
    int up = dial(g.port);
    const std::string head = "POST /api/upload?path=/out.bin HTTP/1.0\r\nHost: x\r\n" + cookie +
                             "\r\nX-CSRF-Token: " + csrf + "\r\nContent-Length: 1000\r\n\r\n0123456789";
    ASSERT_GT(send(up, head.data(), head.size(), MSG_NOSIGNAL), 0);
    // Once the upload holds the session, a listing is told so within a few seconds.
    // (Listings answered before the upload's request reached the gateway are asked again.)
    Reply busy;
    for (auto until = Clock::now() + std::chrono::seconds(15);
         busy.status != 503 && Clock::now() < until;) {
        int fd = dial(g.port);
        std::string req = request_text("GET", "/api/list?path=/", {cookie}, ""), got;
        (void)!send(fd, req.data(), req.size(), MSG_NOSIGNAL);
        read_until(fd, got, "\x01never", 5000);
        close(fd);
        busy = parse(got);
    }
    ASSERT_EQ(busy.status, 503) << "the upload holds the session";

    auto t0 = Clock::now();
    r = http(g.port, "POST", "/api/logout",
             {cookie, "X-CSRF-Token: " + csrf, "Content-Type: application/json"}, "{}");
    EXPECT_EQ(r.status, 200);
    EXPECT_LT(Clock::now() - t0, std::chrono::seconds(5));
    // The upload's next bytes find its session ended.
    (void)!send(up, "x", 1, MSG_NOSIGNAL);
    EXPECT_TRUE(closed_by_peer(up, 5000));
    close(up);
    EXPECT_EQ(sockets_settle(g.srv.pid, server0), server0) << "bob's protocol session is gone";
    size_t entries = 0;
    for (int i = 0; i < 50; i++) {
        entries = 0;
        for (auto& e : std::filesystem::directory_iterator(g.srv.share)) entries += !e.path().empty();
        if (entries == entries0) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_EQ(entries, entries0) << "the part file is removed";
    EXPECT_EQ(http(g.port, "GET", "/api/session", {cookie}).status, 401);
}
