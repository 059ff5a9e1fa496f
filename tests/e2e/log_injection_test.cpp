// Client texts in the day's log: a name or a path carrying line breaks or terminal escapes
// stays inside its own line, so no client can forge a line that ban tools or readers trust.
#include <signal.h>

#include <ctime>
#include <regex>
#include <sstream>
#include <string>

#include "harness.h"

namespace {

std::string day_file_name() {
    time_t now = time(nullptr);
    struct tm t;
    localtime_r(&now, &t);
    char name[32];
    snprintf(name, sizeof(name), "%d%02d%02d.log", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday);
    return name;
}

TEST(LogInjection, ClientTextsCannotForgeLines) {
    e2e::TestServer srv;
    e2e::add_user(srv.data, "alice", "pw", 1);
    e2e::make_dirs(srv.data + "/logs");
    e2e::ServerOptions options;
    options.file_log = true;
    ASSERT_TRUE(srv.start(options)) << srv.out() << srv.err();

    const std::string forged_login = "x\n12:00:00[WARNING] LOGIN auth failure from 10.9.9.9";
    const std::string forged_path = "/a\r\n12:00:00[SYSTEM] SERVER STOP\x1b]0;t\x07\x7f";
    {
        bh::Client c = srv.connect();
        e2e::login(c, forged_login, "guess");
        EXPECT_NE(e2e::login(c, "alice", "pw").find("\"OK\""), std::string::npos);
        bh::Frame f;
        ASSERT_TRUE(c.command(e2e::cmd("LIST", {{"PATH", forged_path}}), f)) << c.error();
        ASSERT_TRUE(c.command(e2e::cmd("SEND", {{"FILE", forged_path}, {"SIZE", "1"}}), f))
            << c.error();
    }
    EXPECT_EQ(srv.stop(SIGINT), 0) << srv.err();

    std::string log = e2e::read_file(srv.data + "/logs/" + day_file_name());
    EXPECT_EQ(log.find("10.9.9.9\n"), std::string::npos) << log;
    EXPECT_EQ(log.find('\x1b'), std::string::npos);
    EXPECT_EQ(log.find('\r'), std::string::npos);
    // Every line has the logger's own form, and the only SERVER STOP is the real one.
    std::istringstream lines(log);
    std::string line;
    int stops = 0;
    while (std::getline(lines, line)) {
        EXPECT_TRUE(std::regex_search(line, std::regex("^\\d\\d:\\d\\d:\\d\\d\\[[A-Z]+\\] ")))
            << line;
        if (std::regex_search(line, std::regex("^\\d\\d:\\d\\d:\\d\\d\\[SYSTEM\\] SERVER STOP")))
            stops++;
    }
    EXPECT_EQ(stops, 1) << log;
    // The escaped texts are still there to read.
    EXPECT_NE(log.find("x\\n12:00:00[WARNING] LOGIN auth failure from 10.9.9.9(0) FAIL"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("LIST /a\\r\\n12:00:00[SYSTEM] SERVER STOP\\e]0;t\\x07\\x7f"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("SEND /a\\r\\n12:00:00"), std::string::npos) << log;
}

}  // namespace
