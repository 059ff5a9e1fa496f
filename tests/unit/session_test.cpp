// The send path of a slot, driven through real sessions: client_handler runs in a thread on the
// server end of a loopback TCP connection, the test is the peer and posts "21" frames to it.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "server.h"

namespace {

using Clock = std::chrono::steady_clock;

namespace bh {
struct Frame {
    std::string type;
    std::string payload;
};

// The test's side of a connection: its own small frame reader, not the server's.
class Client {
public:
    ~Client() { close(); }
    bool connect(const char* host, int port, int rcvbuf = 0) {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        if (rcvbuf) setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof(rcvbuf));
        struct sockaddr_in addr;
        memset(&addr, 0, sizeof(addr));
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(port));
        inet_pton(AF_INET, host, &addr.sin_addr);
        int one = 1;
        setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
        return ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
    }
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    std::string error() const { return error_; }
    bool send_frame(const std::string& type, const std::string& payload) {
        char header[16];
        snprintf(header, sizeof(header), "%.2s%10zu", type.c_str(), payload.size());
        std::string frame = std::string(header, 12) + payload;
        return send(fd_, frame.data(), frame.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(frame.size());
    }
    bool recv_frame(Frame& f, int timeout_ms = 10000) {
        std::string header;
        if (!read_exact(header, 12, timeout_ms)) return false;
        for (size_t i = 0; i < 12; i++) {
            bool digit = header[i] >= '0' && header[i] <= '9';
            if (!digit && !(i >= 2 && header[i] == ' ')) {
                error_ = "bad header '" + header + "'";
                return false;
            }
        }
        f.type = header.substr(0, 2);
        return read_exact(f.payload, std::stoul(header.substr(2)), timeout_ms);
    }

private:
    bool read_exact(std::string& dst, size_t len, int timeout_ms) {
        dst.assign(len, '\0');
        size_t got = 0;
        while (got < len) {
            struct pollfd p = {fd_, POLLIN, 0};
            if (poll(&p, 1, timeout_ms) <= 0) {
                error_ = "timed out";
                return false;
            }
            ssize_t n = recv(fd_, &dst[got], len - got, 0);
            if (n <= 0) {
                error_ = "closed";
                return false;
            }
            got += static_cast<size_t>(n);
        }
        return true;
    }
    int fd_ = -1;
    std::string error_;
};
}  // namespace bh

// A session of the server core with the test as its client.
class LiveSession {
public:
    // small: socket buffers of a few KiB, so a peer that does not read stops taking bytes soon.
    explicit LiveSession(bool small = false) {
        int lfd = socket(AF_INET, SOCK_STREAM, 0);
        struct sockaddr_in addr;
        memset(&addr, 0, sizeof(addr));
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(bind(lfd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
        EXPECT_EQ(listen(lfd, 1), 0);
        socklen_t len = sizeof(addr);
        getsockname(lfd, reinterpret_cast<sockaddr*>(&addr), &len);
        EXPECT_TRUE(client.connect("127.0.0.1", ntohs(addr.sin_port), small ? 4096 : 0));
        server_fd = accept(lfd, nullptr, nullptr);
        int bytes = 4096;
        if (small) setsockopt(server_fd, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof(bytes));
        close(lfd);
        int fd = server_fd;
        thread = std::thread([this, fd] {
            client_handler(reinterpret_cast<void*>(static_cast<intptr_t>(fd)));
            done = true;
        });
        // An echo proves the slot is claimed; then find it.
        bh::Frame f;
        EXPECT_TRUE(client.send_frame("20", "hi") && client.recv_frame(f) && f.payload == "hi");
        std::lock_guard<std::mutex> g(users_lock);
        for (int i = 0; i < MAX_USERS; i++) {
            if (users[i].in_use && users[i].sock == server_fd) {
                slot = i;
                gen = users_gen[i];
            }
        }
        EXPECT_GE(slot, 0);
    }
    ~LiveSession() {
        client.close();
        if (thread.joinable()) thread.join();
    }
    // Waits for the session's thread to end.
    bool ended(int timeout_ms = 10000) {
        auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
        while (!done && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        if (done && thread.joinable()) thread.join();
        return done;
    }

    bh::Client client;
    int server_fd = -1;
    int slot = -1;
    uint64_t gen = 0;
    std::atomic<bool> done{false};
    std::thread thread;
};

std::string payload(int who, int i, size_t pad) {
    return "{ \"FROM\": \"p" + std::to_string(who) + "\", \"N\": " + std::to_string(i) +
           ", \"PAD\": \"" + std::string(pad, static_cast<char>('a' + who)) + "\" }";
}

// Frames posted by several threads while the owner replies to its own client: every frame
// arrives whole, each poster's frames in order, the replies in order.
TEST(SlotSend, ConcurrentPostsAndRepliesNeverInterleave) {
    LiveSession s;
    // Frames of up to 1.6 KB, the size of the longest real message after escaping.
    constexpr int kPosters = 4, kPosts = 50, kEchoes = 150;  // 160 KB: within a slot's cap
    std::atomic<int> refused{0};
    std::vector<std::thread> posters;
    for (int p = 0; p < kPosters; p++) {
        posters.emplace_back([&, p] {
            for (int i = 0; i < kPosts; i++)
                if (post_frame(s.slot, s.gen, TYPE_MESSAGE, payload(p, i, (i * 397) % 1600).c_str()) != 0)
                    refused++;
        });
    }
    std::vector<int> next(kPosters, 0);
    int echoes = 0, messages = 0;
    for (int e = 0; e < kEchoes; e++) ASSERT_TRUE(s.client.send_frame("20", "echo " + std::to_string(e)));
    while (echoes < kEchoes || messages < kPosters * kPosts) {
        bh::Frame f;
        ASSERT_TRUE(s.client.recv_frame(f, 10000)) << s.client.error() << " echoes " << echoes
                                                   << " messages " << messages;
        if (f.type == "10") {
            EXPECT_EQ(f.payload, "echo " + std::to_string(echoes));
            echoes++;
        } else {
            ASSERT_EQ(f.type, "21");
            int who = f.payload[12] - '0';
            ASSERT_GE(who, 0);
            ASSERT_LT(who, kPosters);
            int i = next[who]++;
            EXPECT_EQ(f.payload, payload(who, i, (i * 397) % 1600));
            messages++;
        }
    }
    for (auto& t : posters) t.join();
    EXPECT_EQ(refused, 0);
}

// Posting to a peer whose socket is full returns: the poster does not keep retaking the send
// lock to wait again, for as long as the peer takes nothing.
TEST(SlotSend, PostToAFullConnectionReturns) {
    LiveSession stuck(true);
    for (int i = 0; i < 20; i++) {
        auto t0 = Clock::now();
        ASSERT_EQ(post_frame(stuck.slot, stuck.gen, TYPE_MESSAGE, payload(4, i, 8000).c_str()), 0);
        EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(1000));
    }
    for (int i = 0; i < 20; i++) {
        bh::Frame f;
        ASSERT_TRUE(stuck.client.recv_frame(f, 10000)) << i << " " << stuck.client.error();
        ASSERT_EQ(f.payload, payload(4, i, 8000)) << i;
    }
}

// A peer that reads nothing: posting to it costs the poster at most about POST_BUDGET_MS, the
// frames wait in the queue, and another session is served meanwhile. Once it reads, it gets
// every frame, in order.
TEST(SlotSend, StuckPeerDelaysNobodyAndLosesNothing) {
    LiveSession stuck(true);
    LiveSession live;
    constexpr int kPosts = 300;
    const size_t pad = 650;  // 200 KB in all: more than the socket buffers take, within a slot's cap
    auto worst = Clock::duration::zero();
    for (int i = 0; i < kPosts; i++) {
        auto t0 = Clock::now();
        ASSERT_EQ(post_frame(stuck.slot, stuck.gen, TYPE_MESSAGE, payload(1, i, pad).c_str()), 0);
        ASSERT_EQ(post_frame(live.slot, live.gen, TYPE_MESSAGE, payload(2, i, 10).c_str()), 0);
        worst = std::max(worst, Clock::now() - t0);
        bh::Frame f;
        ASSERT_TRUE(live.client.recv_frame(f, 5000)) << live.client.error();
        EXPECT_EQ(f.payload, payload(2, i, 10));
    }
    // The budget is 100 ms; allow for slow sanitizer builds.
    EXPECT_LT(worst, std::chrono::milliseconds(1000));
    // The stuck session still answers its own client, after the queued frames.
    ASSERT_TRUE(stuck.client.send_frame("20", "late"));
    for (int i = 0; i < kPosts; i++) {
        bh::Frame f;
        ASSERT_TRUE(stuck.client.recv_frame(f, 10000)) << i << " " << stuck.client.error();
        ASSERT_EQ(f.type, "21");
        ASSERT_EQ(f.payload, payload(1, i, pad)) << i;
    }
    bh::Frame f;
    ASSERT_TRUE(stuck.client.recv_frame(f, 10000));
    EXPECT_EQ(f.type, "10");
    EXPECT_EQ(f.payload, "late");
}

// A frame meant for a session that has ended never reaches the next session of that slot.
TEST(SlotSend, PostToAnEndedSessionIsDropped) {
    int slot;
    uint64_t old_gen;
    {
        LiveSession first;
        slot = first.slot;
        old_gen = first.gen;
        EXPECT_EQ(post_frame(slot, old_gen + 1, TYPE_MESSAGE, "{ }"), -1);
        first.client.close();
        ASSERT_TRUE(first.ended());
    }
    EXPECT_EQ(post_frame(slot, old_gen, TYPE_MESSAGE, "{ \"old\": 1 }"), -1);
    EXPECT_EQ(post_frame(-1, 0, TYPE_MESSAGE, "x"), -1);
    EXPECT_EQ(post_frame(MAX_USERS, 0, TYPE_MESSAGE, "x"), -1);
    LiveSession second;
    ASSERT_EQ(second.slot, slot);  // the first free slot again
    EXPECT_EQ(post_frame(slot, old_gen, TYPE_MESSAGE, "{ \"old\": 2 }"), -1);
    EXPECT_EQ(post_frame(slot, second.gen, TYPE_MESSAGE, "{ \"new\": 1 }"), 0);
    bh::Frame f;
    ASSERT_TRUE(second.client.recv_frame(f, 5000));
    EXPECT_EQ(f.type, "21");
    EXPECT_EQ(f.payload, "{ \"new\": 1 }");
}

// A peer that takes nothing while hundreds of KiB are queued for it is disconnected; its slot is
// freed and the posts fail from then on.
TEST(SlotSend, OverfullQueueEndsTheSession) {
    LiveSession s(true);
    std::string big = payload(3, 0, 20000);
    int posted = 0;
    while (post_frame(s.slot, s.gen, TYPE_MESSAGE, big.c_str()) == 0) {
        posted++;
        ASSERT_LT(posted, 1000) << "the queue has no bound";
    }
    EXPECT_GT(posted, 5);
    EXPECT_LT(posted, 20) << "a slot holds a few hundred KiB at most";
    ASSERT_TRUE(s.ended());
    std::lock_guard<std::mutex> g(users_lock);
    EXPECT_EQ(users[s.slot].in_use, 0);
}

}  // namespace
