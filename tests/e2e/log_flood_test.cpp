// Log floods: a client that never logs in sending long paths frame after frame, a logged-in
// MOD flood, and peers that vanish before their replies. The day's log and standard error are
// read back and measured.
#include <signal.h>
#include <sys/socket.h>

#include <chrono>
#include <filesystem>
#include <iostream>

#include "raw_conn.h"
#include "stress.h"

using rawconn::Conn;
using stress::count_of;
using Clock = std::chrono::steady_clock;

namespace {

// Bytes of every file in the log folder.
long long log_bytes(const e2e::TestServer& srv) {
    long long total = 0;
    std::error_code ec;
    for (const auto& f : std::filesystem::directory_iterator(srv.data + "/logs", ec))
        total += static_cast<long long>(f.file_size(ec));
    return total;
}

std::string log_text(const e2e::TestServer& srv) {
    std::string all;
    std::error_code ec;
    for (const auto& f : std::filesystem::directory_iterator(srv.data + "/logs", ec))
        all += e2e::read_file(f.path().string());
    return all;
}

bool start_logging(e2e::TestServer& srv) {
    e2e::add_user(srv.data, "bob", "pw", 5);
    e2e::make_dirs(srv.data + "/logs");
    e2e::ServerOptions o;
    o.file_log = true;
    return srv.start(o);
}

std::string long_path_command(const char* word, const char* key, size_t len) {
    return std::string("{\"CMD\":\"") + word + "\",\"" + key + "\":\"/" + std::string(len, 'p') +
           "\"}";
}

}  // namespace

TEST(LogFlood, LongPathsBeforeLoginGrowTheLogByLittle) {
    e2e::TestServer srv;
    ASSERT_TRUE(start_logging(srv)) << srv.out() << srv.err();
    long long before = log_bytes(srv);
    {
        Conn c;
        ASSERT_TRUE(c.tcp("127.0.0.2", srv.port));
        const std::string list = long_path_command("LIST", "PATH", 65000);
        const std::string send = long_path_command("SEND", "FILE", 65000);
        for (int i = 0; i < 1000; i++)
            ASSERT_FALSE(c.command(i % 2 ? list : send).empty()) << "frame " << i;
    }
    // The connection's lines left out are reported when it ends.
    EXPECT_TRUE(stress::wait_until(
        [&] { return log_text(srv).find("more lines about 127.0.0.2 not logged") != std::string::npos; },
        5000));
    long long grown = log_bytes(srv) - before;
    std::cout << "log grew by " << grown << " bytes for 1000 frames of 65 KB paths\n";
    EXPECT_LT(grown, 256 * 1024);
    // A long text is cut with a mark of what was left out.
    EXPECT_NE(log_text(srv).find("\u2026(+"), std::string::npos);
    EXPECT_EQ(srv.stop(SIGINT), 0);
}

TEST(LogFlood, ModFloodOfALoggedInUserIsBoundedPerSecond) {
    e2e::TestServer srv;
    ASSERT_TRUE(start_logging(srv)) << srv.out() << srv.err();
    Conn c;
    ASSERT_TRUE(c.tcp("127.0.0.3", srv.port));
    ASSERT_NE(c.command(rawconn::login_json("bob", "pw")).find("\"OK\""), std::string::npos);
    auto t0 = Clock::now();
    double seconds = 0;
    int mods = 0;
    for (; seconds < 2.5; mods++) {
        ASSERT_FALSE(c.command("{\"CMD\":\"MOD\",\"MOD\":\"m" + std::to_string(mods) + "\"}").empty());
        seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    }
    size_t lines = count_of(log_text(srv), "MOD bob(");
    std::cout << lines << " MOD lines for " << mods << " MODs in " << seconds << " s\n";
    // The burst, then the rate, with a second of margin.
    EXPECT_LE(lines, 100 + 10 * (seconds + 1));
    EXPECT_GE(lines, 90u);
}

TEST(LogFlood, PeersThatVanishLeaveNoLinePerFrame) {
    e2e::TestServer srv;
    ASSERT_TRUE(start_logging(srv)) << srv.out() << srv.err();
    const std::string list = long_path_command("LIST", "PATH", 60000);
    for (int i = 0; i < 300; i++) {
        Conn c;
        std::string from = "127.0.1." + std::to_string(1 + i % 50);
        if (!c.tcp(from.c_str(), srv.port)) continue;
        c.send_frame("11", list);
        struct linger reset = {1, 0};
        setsockopt(c.fd(), SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
    }
    // Every session has ended (the server answers a new one), then standard error is read.
    EXPECT_TRUE(stress::wait_until([&] { return stress::sessions_open(log_text(srv)) <= 0; }, 10000));
    std::string err = srv.err();
    EXPECT_EQ(count_of(err, "[safe_send]") + count_of(err, "[safe_recv]"), 0u) << err.substr(0, 500);
    EXPECT_EQ(srv.stop(SIGINT), 0);
}
