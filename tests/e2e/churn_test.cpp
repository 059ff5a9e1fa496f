// Churn: BOARDHUB_CHURN_CYCLES connect/disconnect cycles (default 10000, in every build) from
// several threads at once. Half of them end cleanly, half are cut mid-frame, mid-download or
// mid-camera-frame. Afterwards the server's descriptors are back exactly at their baseline, its
// memory has levelled off, every slot is free, and it is alive: no SIGPIPE death, and SIGINT
// still stops it with status 0.
#include <signal.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <iostream>
#include <mutex>
#include <thread>
#include <vector>

#include "stress.h"

using namespace stress;

namespace {

const std::string kHello = R"({ "RESULT": "OK", "SERVER": "testhub", "VERSION": "3.0.0" })";
const std::string kOk = R"({ "RESULT": "OK" })";
const std::string kFail = R"({ "RESULT": "FAIL" })";

// Closes with a reset instead of an orderly shutdown (unread data, SO_LINGER 0).
void slam(bh::Client& c) {
    struct linger l = {1, 0};
    setsockopt(c.fd(), SOL_SOCKET, SO_LINGER, &l, sizeof(l));
    c.close();
}

class Churn : public ::testing::Test {
protected:
    void SetUp() override {
        for (int w = 0; w < kWorkers; w++) e2e::add_user(srv_.data, "w" + std::to_string(w), "pw", 5);
        big_ = pattern(1 << 20, 3);
        e2e::write_file(srv_.share + "/pub/big.bin", big_);
        e2e::ServerOptions o;
        camera_options(srv_.dir.path, "fmt=YUYV:d640x480;interval=10", &o);
        ASSERT_TRUE(srv_.start(o)) << srv_.out() << srv_.err();
        ASSERT_TRUE(srv_.wait_for_output("Server started at", 20000)) << srv_.out();
        bh::Client c;
        ASSERT_TRUE(connect_retry(c, srv_.port));
        bh::Frame f;
        accounts_ = c.command(jcmd("HELLO"), f) && f.payload == kHello;
        camera_ = c.command(jcmd("CAMINFO"), f) && f.payload.rfind(R"({ "RESULT": "OK")", 0) == 0;
        if (accounts_) {
            c.command(jcmd("LOGIN", {{"VERSION", "3.0.0"}, {"USERNAME", "w0"}, {"PASSWORD", "pw"}}), f);
            folders_ = c.command(jcmd("CHECK", {{"FILE", "/pub/big.bin"}}), f) && f.payload == kOk;
        }
    }

    bool all_closed() {
        return sessions_open(srv_.out()) == 0;
    }

    // One cycle; false (with why) when the server answered wrongly.
    bool cycle(int worker, long n, std::string* why) {
        bh::Client c;
        if (!connect_retry(c, srv_.port)) return *why = "connect: " + c.error(), false;
        bh::Frame f;
        auto expect = [&](const std::string& cmd, const std::string& want) {
            if (!c.command(cmd, f)) return *why = cmd + ": " + c.error(), false;
            if (f.payload != want) return *why = cmd + ": got " + f.payload, false;
            return true;
        };
        switch (n % 4) {
            case 0:  // clean: a round trip, LOGOUT
                if (!expect(jcmd("NOPE"), kFail)) return false;
                if (!c.command(jcmd("LOGOUT"), f) || f.payload != "BYE\n")
                    return *why = "LOGOUT", false;
                return true;
            case 1:  // clean round trip, then the client just goes away
                if (!c.send_frame("20", "ping") || !c.recv_frame(f) || f.payload != "ping")
                    return *why = "echo", false;
                if (n % 8 == 1) slam(c);
                return true;
            case 2: {  // cut mid-frame: inside the header, or inside the payload
                std::string frame = "11       100{\"CMD\": \"HELLO\"";
                size_t cut = (n / 4) % 2 ? 5 : frame.size();
                c.send_raw(frame.data(), cut);
                if (n % 8 == 6) slam(c);
                return true;
            }
            default: {  // cut mid-download or mid-camera-frame
                if (camera_ && (n / 4) % 3 == 0) {
                    // The camera needs a login.
                    std::string user = "w" + std::to_string(worker);
                    if (!c.command(jcmd("LOGIN", {{"VERSION", "3.0.0"}, {"USERNAME", user},
                                                  {"PASSWORD", "pw"}}),
                                   f))
                        return *why = "LOGIN", false;
                    if (!expect(jcmd("CAMERA"), kOk)) return false;
                    char some[100];
                    recv(c.fd(), some, sizeof(some), 0);
                } else if (folders_) {
                    std::string user = "w" + std::to_string(worker);
                    if (!c.command(jcmd("LOGIN", {{"VERSION", "3.0.0"}, {"USERNAME", user},
                                                  {"PASSWORD", "pw"}}),
                                   f))
                        return *why = "LOGIN", false;
                    bool whole = (n / 4) % 2;
                    std::string cmd = whole ? jcmd("FILE", {{"FILE", "/pub/big.bin"}})
                                            : jcmd("SEND", {{"FILE", "/pub/big.bin"}, {"SIZE", 65536LL}});
                    if (!expect(cmd, kOk)) return false;
                    // Take a little of the data frame, then leave with the rest unread.
                    char some[100];
                    recv(c.fd(), some, sizeof(some), 0);
                } else {
                    // Without the share: a long echo that the server is still sending when the
                    // client goes away.
                    std::string payload(60000, 'e');
                    c.send_frame("20", payload);
                    char some[100];
                    recv(c.fd(), some, sizeof(some), 0);
                }
                slam(c);
                return true;
            }
        }
    }

    // Runs cycles [from, to) spread over the workers; returns the failures.
    std::vector<std::string> run(long from, long to) {
        std::atomic<long> next{from};
        std::mutex lock;
        std::vector<std::string> errors;
        std::vector<std::thread> threads;
        for (int w = 0; w < kWorkers; w++) {
            threads.emplace_back([&, w] {
                for (long n; (n = next++) < to;) {
                    std::string why;
                    if (!cycle(w, n, &why)) {
                        std::lock_guard<std::mutex> g(lock);
                        if (errors.size() < 10) errors.push_back("cycle " + std::to_string(n) + ": " + why);
                    }
                }
            });
        }
        for (auto& t : threads) t.join();
        return errors;
    }

    static constexpr int kWorkers = 8;
    e2e::TestServer srv_;
    std::string big_;
    bool accounts_ = false;
    bool folders_ = false;
    bool camera_ = false;
};

TEST_F(Churn, DescriptorsAndMemoryComeBackAfterManyCutConnections) {
    const long cycles = env_long("BOARDHUB_CHURN_CYCLES", 10000);
    ASSERT_TRUE(wait_until([&] { return all_closed(); }, 5000));
    const int baseline = fd_count(srv_.pid);

    // A first fifth brings the allocator and the thread stack cache to their working size.
    auto t0 = std::chrono::steady_clock::now();
    for (const auto& e : run(0, cycles / 5)) ADD_FAILURE() << e;
    ASSERT_TRUE(wait_until([&] { return all_closed(); }, 30000)) << "sessions did not all end";
    EXPECT_EQ(wait_fds(srv_.pid, baseline), baseline);
    long rss_warm = rss_kb(srv_.pid);

    for (const auto& e : run(cycles / 5, cycles)) ADD_FAILURE() << e;
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    ASSERT_TRUE(srv_.running()) << "the server died (SIGPIPE?)\n" << srv_.err();
    ASSERT_TRUE(wait_until([&] { return all_closed(); }, 30000)) << "sessions did not all end";
    int fds = wait_fds(srv_.pid, baseline);
    EXPECT_EQ(fds, baseline) << "descriptors leaked";
    long rss_end = rss_kb(srv_.pid);
    std::cout << "[ churn ] " << cycles << " cycles in " << secs << " s (accounts " << accounts_
              << ", folders " << folders_ << ", camera " << camera_ << "); fds " << fds << " (baseline " << baseline
              << "); VmRSS " << rss_warm << " kB after " << cycles / 5 << ", " << rss_end
              << " kB at the end" << std::endl;
    if (!kSanitized) {
        EXPECT_LE(rss_end, rss_warm + std::max(rss_warm / 10, 8192L)) << "memory grows";
    }

    // Every slot is free: a new connection gets slot 0.
    size_t seen = count_of(srv_.out(), "CLIENT 127.0.0.1 (0)");
    {
        bh::Client c;
        ASSERT_TRUE(connect_retry(c, srv_.port));
        bh::Frame f;
        EXPECT_TRUE(c.command(jcmd("NOPE"), f));
        EXPECT_EQ(f.payload, kFail);
    }
    EXPECT_EQ(count_of(srv_.out(), "CLIENT 127.0.0.1 (0)"), seen + 1);
    EXPECT_EQ(srv_.stop(SIGINT), 0);
}

}  // namespace
