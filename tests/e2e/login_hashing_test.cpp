// Logins against a hashed row cost tens of milliseconds and about 16 MiB each while they hash:
// many connections sending LOGIN at once must not multiply that memory.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "admin.h"
#include "harness.h"

namespace {

TEST(LoginHashing, ConcurrentLoginsOfAHashedRowStayBoundedInMemory) {
    e2e::TestServer srv;
    e2e::add_user(srv.data, "hashed", hash_password("right"), 5);
    ASSERT_TRUE(srv.start()) << srv.out() << srv.err();
    {
        bh::Client warm = srv.connect();  // one check, so the baseline holds what one costs
        EXPECT_NE(e2e::login(warm, "hashed", "right").find("\"OK\""), std::string::npos);
    }
    long before = e2e::proc_status(srv.pid, "VmHWM");
    ASSERT_GT(before, 0);

    constexpr int kClients = 12;
    std::vector<bh::Client> clients;
    for (int i = 0; i < kClients; i++) clients.push_back(srv.connect());
    const std::string wrong = e2e::cmd(
        "LOGIN", {{"VERSION", "3.0.0"}, {"USERNAME", "hashed"}, {"PASSWORD", "wrong"}});
    auto start = std::chrono::steady_clock::now();
    for (auto& c : clients) ASSERT_TRUE(c.send_frame("11", wrong)) << c.error();
    for (auto& c : clients) {
        bh::Frame f;
        ASSERT_TRUE(c.recv_frame(f, 120000)) << c.error();
        EXPECT_EQ(f.payload, "{ \"RESULT\": \"FAIL\", \"ERROR\": 100 }");
    }
    long after = e2e::proc_status(srv.pid, "VmHWM");
    long ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::steady_clock::now() - start).count();
    printf("%d logins of a hashed row at once: %ld ms, VmHWM %ld -> %ld kB\n", kClients, ms,
           before, after);
    // Unbounded, twelve checks at once would take about 190 MiB; two at a time about 32 MiB.
    EXPECT_LT(after - before, 64 * 1024) << "VmHWM " << before << " kB -> " << after << " kB";
    clients.clear();
    EXPECT_EQ(srv.stop(), 0) << srv.err();
}

// The time of a refusal must not tell whether the name has a row, nor the form of its
// password. Measured from 127.0.0.1, which the tests' server trusts: no delay is added.
TEST(LoginHashing, RefusalsCostTheSameWhateverTheRow) {
    e2e::TestServer srv;
    e2e::add_user(srv.data, "hashed", hash_password("right"), 5);
    e2e::add_user(srv.data, "plain", "right", 5);
    ASSERT_TRUE(srv.start()) << srv.out() << srv.err();
    bh::Client c = srv.connect();
    // Taken in turns, so a burst of load on the machine falls on all three alike.
    const std::vector<std::string> names = {"hashed", "nosuchuser", "plain"};
    std::vector<std::vector<double>> times(names.size());
    for (int i = 0; i < 9; i++) {
        for (size_t n = 0; n < names.size(); n++) {
            auto t0 = std::chrono::steady_clock::now();
            EXPECT_NE(e2e::login(c, names[n], "wrong").find("\"ERROR\": 100"), std::string::npos);
            times[n].push_back(std::chrono::duration<double, std::milli>(
                                   std::chrono::steady_clock::now() - t0).count());
        }
    }
    auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    double hashed = median(times[0]), missing = median(times[1]), plain = median(times[2]);
    printf("refusal of a hashed row %.2f ms, of a missing name %.2f ms, of a plain row %.2f ms\n",
           hashed, missing, plain);
    EXPECT_GT(missing, hashed / 2);
    EXPECT_GT(plain, hashed / 2);
    EXPECT_EQ(srv.stop(), 0) << srv.err();
}

}  // namespace
