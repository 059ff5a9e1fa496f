// The login guard: delays per address, reset by success, expiry, the bounded table, threads.
#include "server_guard.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace {

class LoginGuard : public ::testing::Test {
protected:
    void SetUp() override { login_guard_reset(); }
    void TearDown() override { login_guard_reset(); }
};

TEST_F(LoginGuard, DelayDoublesFromOneSecondUpToFifteen) {
    EXPECT_EQ(login_delay_ms("10.0.0.1"), 0);
    std::vector<int> got;
    for (int i = 0; i < 7; i++) got.push_back(login_failed("10.0.0.1"));
    EXPECT_EQ(got, (std::vector<int>{1000, 2000, 4000, 8000, 15000, 15000, 15000}));
    EXPECT_EQ(login_delay_ms("10.0.0.1"), 15000);
    // Far more failures never overflow the doubling.
    for (int i = 0; i < 200; i++) login_failed("10.0.0.1");
    EXPECT_EQ(login_delay_ms("10.0.0.1"), 15000);
}

TEST_F(LoginGuard, SuccessResetsOnlyItsOwnAddress) {
    for (int i = 0; i < 3; i++) login_failed("10.0.0.1");
    for (int i = 0; i < 2; i++) login_failed("10.0.0.2");
    EXPECT_EQ(login_delay_ms("10.0.0.3"), 0);  // failures elsewhere never slow this address
    login_succeeded("10.0.0.1");
    EXPECT_EQ(login_delay_ms("10.0.0.1"), 0);
    EXPECT_EQ(login_failed("10.0.0.1"), 1000);
    EXPECT_EQ(login_delay_ms("10.0.0.2"), 2000);
    login_succeeded("10.9.9.9");  // unknown address: nothing happens
    EXPECT_EQ(login_delay_ms("10.0.0.2"), 2000);
}

TEST_F(LoginGuard, FailuresAreForgottenAfterAQuietPeriod) {
    for (int i = 0; i < 4; i++) login_failed("10.0.0.1");
    login_guard_advance(LOGIN_GUARD_FORGET_SECONDS - 5);
    EXPECT_EQ(login_delay_ms("10.0.0.1"), 8000);
    login_guard_advance(10);
    EXPECT_EQ(login_delay_ms("10.0.0.1"), 0);
    EXPECT_EQ(login_failed("10.0.0.1"), 1000);
}

TEST_F(LoginGuard, FullTableReusesTheEntryIdleLongest) {
    login_failed("victim");
    login_failed("victim");
    login_guard_advance(1);
    for (size_t i = 0; i < LOGIN_GUARD_ENTRIES - 1; i++) login_failed(("10.1." + std::to_string(i)).c_str());
    EXPECT_EQ(login_delay_ms("victim"), 2000);  // the table is exactly full
    login_guard_advance(1);
    login_failed("newcomer");  // evicts "victim", the oldest
    EXPECT_EQ(login_delay_ms("victim"), 0);
    EXPECT_EQ(login_delay_ms("newcomer"), 1000);
    EXPECT_EQ(login_delay_ms("10.1.0"), 1000);
    // A long address is cut to the entry and still counted.
    std::string longname(300, 'x');
    EXPECT_EQ(login_failed(longname.c_str()), 1000);
    EXPECT_EQ(login_delay_ms(nullptr), 0);
}

TEST_F(LoginGuard, ConcurrentFailuresAreAllCounted) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; t++) {
        threads.emplace_back([t] {
            std::string own = "10.2.0." + std::to_string(t);
            for (int i = 0; i < 200; i++) {
                login_failed("10.3.3.3");
                login_failed(own.c_str());
                login_succeeded(own.c_str());
                login_delay_ms("10.3.3.3");
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(login_delay_ms("10.3.3.3"), LOGIN_DELAY_MAX_MS);
    for (int t = 0; t < 8; t++) EXPECT_EQ(login_delay_ms(("10.2.0." + std::to_string(t)).c_str()), 0);
}

TEST_F(LoginGuard, WaitEndsEarlyWhenThePeerHangsUpButNotWhenItSendsMore) {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    using Clock = std::chrono::steady_clock;
    // The peer pipelines another frame: the wait still lasts its time.
    ASSERT_EQ(write(sv[1], "x", 1), 1);
    auto t0 = Clock::now();
    login_wait(sv[0], 200);
    EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(190));
    // The peer goes away: the wait ends at once.
    std::thread closer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        close(sv[1]);
    });
    t0 = Clock::now();
    login_wait(sv[0], 10000);
    EXPECT_LT(Clock::now() - t0, std::chrono::seconds(5));
    closer.join();
    close(sv[0]);
}

}  // namespace
