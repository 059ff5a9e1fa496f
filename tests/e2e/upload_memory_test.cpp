// What 199 logged-in sessions can make the server hold at once: each sends a command with a
// path as long as a frame allows, has a listing that fills a whole frame and a 64 KiB echo
// frame sent back that it never reads, and holds an upload with content waiting. Resident memory is read from /proc/PID/status while they hold it and
// after they are gone.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "stress.h"

namespace {

// A logged-in connection from a chosen loopback address that never reads.
int connect_from(const std::string& from, int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int big = 512 << 10;  // room for everything the server sends back, so it never waits on us
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof(big));
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, from.c_str(), &a.sin_addr);
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
        close(fd);
        return -1;
    }
    a.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

std::string frame(const char* type, const std::string& payload) {
    char h[16];
    snprintf(h, sizeof(h), "%s%10zu", type, payload.size());
    return std::string(h, 12) + payload;
}

bool send_all(int fd, const std::string& bytes) {
    return send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

bool recv_exact(int fd, std::string& dst, size_t n) {
    dst.assign(n, '\0');
    for (size_t got = 0; got < n;) {
        ssize_t r = recv(fd, dst.data() + got, n - got, 0);
        if (r <= 0) return false;
        got += static_cast<size_t>(r);
    }
    return true;
}

// Logs in (password "pw") and reads the reply: the last thing this connection ever reads.
bool login(int fd, const std::string& user) {
    struct timeval tv = {10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    if (!send_all(fd, frame("11", e2e::cmd("LOGIN", {{"VERSION", "3.0.0"}, {"USERNAME", user},
                                                     {"PASSWORD", "pw"}}))))
        return false;
    std::string header, payload;
    if (!recv_exact(fd, header, 12)) return false;
    if (!recv_exact(fd, payload, static_cast<size_t>(atol(header.c_str() + 2)))) return false;
    return bh::json_member(payload, "RESULT") == "OK";
}

// Bytes that the server has not yet read from its connections on port (the receive queues of
// /proc/net/tcp), or -1 when the table cannot be read.
long unread_by_server(int port) {
    std::ifstream in("/proc/net/tcp");
    if (!in) return -1;
    char want[16];
    snprintf(want, sizeof(want), ":%04X", port);
    std::string line;
    std::getline(in, line);
    long total = 0;
    while (std::getline(in, line)) {
        std::istringstream f(line);
        std::string sl, local, remote, st, queues;
        f >> sl >> local >> remote >> st >> queues;
        if (local.size() < 5 || local.compare(local.size() - 5, 5, want) != 0) continue;
        total += strtol(queues.c_str() + queues.find(':') + 1, nullptr, 16);
    }
    return total;
}

}  // namespace

TEST(UploadMemory, TwoHundredSessionsAtTheirWorstStayUnder64MiB) {
    const int kSessions = stress::kSanitized ? 40 : 199;
    e2e::TestServer srv;
    e2e::make_dirs(srv.share + "/pub");
    // A folder whose listing fills a whole reply frame.
    for (int i = 0; i < 320; i++) {
        char name[16];
        snprintf(name, sizeof(name), "/big/%03d-", i);
        e2e::write_file(srv.share + name + std::string(200, 'n'), "");
    }
    for (int i = 0; i < kSessions; i++) e2e::add_user(srv.data, "u" + std::to_string(i), "pw", 5);
    ASSERT_TRUE(srv.start()) << srv.out();
    const long idle_kb = e2e::proc_status(srv.pid, "VmRSS");
    const long idle_threads = e2e::proc_status(srv.pid, "Threads");

    const std::string echo = frame("10", std::string(65535, 'e'));
    const std::string lists =
        frame("11", "{\"CMD\": \"LIST\", \"PATH\": \"/" + std::string(65000, 'p') + "\"}") +
        frame("11", "{\"CMD\": \"LIST\", \"PATH\": \"/big\"}");
    std::string content;
    for (int k = 0; k < 5; k++) content += frame("87", std::string(65535, 'c'));
    std::vector<int> conns;
    for (int i = 0; i < kSessions; i++) {
        int fd = connect_from("127.0.0." + std::to_string(2 + i % 50), srv.port);
        ASSERT_GE(fd, 0) << i;
        conns.push_back(fd);
        ASSERT_TRUE(login(fd, "u" + std::to_string(i))) << i;
        std::string put = "{\"CMD\": \"PUT\", \"FILE\": \"/pub/f" + std::to_string(i) +
                          "\", \"SIZE\": 1048576}";
        ASSERT_TRUE(send_all(fd, lists + echo + frame("11", put) + content)) << i;
    }
    // Every byte sent has been taken by the server: each upload holds its content.
    EXPECT_TRUE(stress::wait_until([&] { return unread_by_server(srv.port) == 0; }, 30000))
        << unread_by_server(srv.port) << " bytes unread";
    const long peak_kb = e2e::proc_status(srv.pid, "VmHWM");
    const long threads = e2e::proc_status(srv.pid, "Threads");
    const int fds = e2e::open_fds(srv.pid);

    for (int fd : conns) close(fd);
    EXPECT_TRUE(stress::wait_until(
        [&] { return e2e::proc_status(srv.pid, "Threads") <= idle_threads; }, 30000));
    // What ended sessions freed goes back to the system within about a second.
    long after_kb = 0;
    stress::wait_until([&] {
        after_kb = e2e::proc_status(srv.pid, "VmRSS");
        return after_kb < idle_kb + 10 * 1024;
    }, 5000);
    printf("[ figures  ] %d sessions at their worst: VmRSS idle %ld kB, VmHWM %ld kB, %ld threads,"
           " %d descriptors; VmRSS %ld kB after they closed\n",
           kSessions, idle_kb, peak_kb, threads, fds, after_kb);
    EXPECT_GE(threads, kSessions);
    if (!stress::kSanitized) {
        EXPECT_LT(peak_kb, 64 * 1024);
        EXPECT_LT(after_kb, idle_kb + 10 * 1024) << "memory of ended sessions stays resident";
    }
    EXPECT_EQ(srv.stop(), 0);
}
