// Start-up, shutdown, framing and the session loop over the wire.
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <iterator>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "harness.h"

using e2e::cmd;

namespace {

const std::string kFail = "{ \"RESULT\": \"FAIL\" }";

// Today's date as the start and stop lines give it: "2026년 12월 6일".
std::string korean_date() {
    time_t now = time(nullptr);
    struct tm t;
    localtime_r(&now, &t);
    char text[64];
    snprintf(text, sizeof(text), "%d년 %d월 %d일", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday);
    return text;
}

std::string day_file_name() {
    time_t now = time(nullptr);
    struct tm t;
    localtime_r(&now, &t);
    char name[32];
    snprintf(name, sizeof(name), "%d%02d%02d.log", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday);
    return name;
}

e2e::ServerOptions keys(std::map<std::string, std::string> values) {
    e2e::ServerOptions options;
    options.keys = std::move(values);
    return options;
}

size_t count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1)) n++;
    return n;
}

// The session still answers: an echo comes back.
void expect_echo(bh::Client& c, const std::string& text) {
    bh::Frame f;
    ASSERT_TRUE(c.send_frame("20", text)) << c.error();
    ASSERT_TRUE(c.recv_frame(f)) << c.error();
    EXPECT_EQ(f.type, "10");
    EXPECT_EQ(f.payload, text);
}

// The server closed this connection (no frame arrives).
void expect_closed(bh::Client& c) {
    bh::Frame f;
    EXPECT_FALSE(c.recv_frame(f, 5000));
    EXPECT_NE(c.error(), "timed out");
}

// A configuration file of its own for runs that are meant to fail at start-up.
int run_with_config(e2e::TempDir& dir, const std::string& text, std::string* out,
                    std::string* err) {
    std::string path = dir.path + "/server.ini";
    e2e::write_file(path, text);
    return e2e::run_server({path}, out, err);
}

std::string server_section(const std::string& key, const std::string& value,
                           const std::string& data) {
    std::map<std::string, std::string> keys = {{"name", "testhub"},
                                               {"port", std::to_string(e2e::free_port())},
                                               {"share", data},
                                               {"data", data},
                                               {"camera", "NONE"},
                                               {"log", "no"}};
    keys[key] = value;
    std::string text = "[server]\n";
    for (const auto& kv : keys) text += kv.first + " = " + kv.second + "\n";
    return text;
}

}  // namespace

TEST(CoreStart, UsageLineAndStatus) {
    std::string out, err;
    EXPECT_EQ(e2e::run_server({}, &out, &err), 1);
    EXPECT_EQ(out, std::string("usage: ") + BOARDHUB_BIN + " <config file>\n");
    EXPECT_EQ(e2e::run_server({"a.ini", "b.ini"}, &out, &err), 1);
    EXPECT_EQ(out, std::string("usage: ") + BOARDHUB_BIN + " <config file>\n");
}

TEST(CoreStart, HelpAndVersion) {
    std::string out, err;
    EXPECT_EQ(e2e::run_server({"--version"}, &out, &err), 0);
    EXPECT_TRUE(std::regex_match(out, std::regex("boardhub \\d+\\.\\d+\\.\\d+\n"))) << out;
    EXPECT_EQ(e2e::run_server({"--help"}, &out, &err), 0);
    EXPECT_EQ(out.rfind(std::string("usage: ") + BOARDHUB_BIN + " <config file>\n", 0), 0u) << out;
    EXPECT_EQ(err, "");
}

// A data folder that is not there: the server starts (it may appear later) but says why every
// login would fail.
TEST(CoreStart, MissingDataFolderIsNamedAtStartUp) {
    e2e::TestServer srv;
    std::string missing = srv.dir.path + "/nowhere";
    ASSERT_TRUE(srv.start(keys({{"data", missing}}))) << srv.out() << srv.err();
    EXPECT_NE(srv.err().find("\"" + missing + "\" cannot be used (No such file or directory)"),
              std::string::npos)
        << srv.err();
    EXPECT_EQ(srv.stop(SIGINT), 0);
}

TEST(CoreStart, UnopenableConfiguration) {
    std::string out, err;
    EXPECT_EQ(e2e::run_server({"/nonexistent/boardhub.ini"}, &out, &err), 1);
    EXPECT_NE(err.find("/nonexistent/boardhub.ini could not be opened"), std::string::npos) << err;
    EXPECT_EQ(out.find("Server started"), std::string::npos);
}

// A value longer than its field stops start-up: a silently cut path would serve another folder.
TEST(CoreStart, OverlongValuesStopStartUp) {
    e2e::TempDir dir;
    const std::pair<std::string, size_t> fields[] = {
        {"name", 64}, {"camera", 64}, {"share", 256}, {"data", 256}};
    for (const auto& [key, size] : fields) {
        std::string value = "/" + std::string(size - 1, 'x');  // one byte over
        std::string out, err;
        EXPECT_EQ(run_with_config(dir, server_section(key, value, dir.path), &out, &err), 1) << key;
        EXPECT_NE(err.find("\"" + key + "\""), std::string::npos) << key << ": " << err;
        EXPECT_EQ(out.find("Server started"), std::string::npos) << key;
    }
}

TEST(CoreStart, LongestNameFits) {
    e2e::TestServer srv;
    std::string name(63, 'n');
    ASSERT_TRUE(srv.start(keys({{"name", name}}))) << srv.out() << srv.err();
    EXPECT_NE(srv.out().find("\n[*] " + name + " Server started at "), std::string::npos);
    EXPECT_EQ(srv.stop(SIGINT), 0) << srv.err();
}

// A port that is not a whole number from 1 to 65535 (cut to 16 bits, read up to a typing
// error, or left to the system) would listen somewhere else: start-up stops, naming the value.
TEST(CoreStart, PortMustBeAWholeNumberFrom1To65535) {
    e2e::TempDir dir;
    for (const char* port : {"188x1", "70000", "-1", "0", "+80", "80 80", "99999999999999999999"}) {
        std::string out, err;
        EXPECT_EQ(run_with_config(dir, server_section("port", port, dir.path), &out, &err), 1)
            << port;
        EXPECT_EQ(err, std::string("configuration: \"port\" must be a whole number from 1 to "
                                   "65535, not \"") +
                           port + "\"\n")
            << port;
        EXPECT_EQ(out.find("Server started"), std::string::npos) << port;
    }
    // Missing (a misspelt key): the key is named with what the file has instead.
    std::string text = server_section("port", "", dir.path) + "prot = 18801\n";
    std::string out, err;
    EXPECT_EQ(run_with_config(dir, text, &out, &err), 1);
    EXPECT_EQ(err, "configuration: \"port\" is missing or empty in [server] (the file has "
                   "unknown settings [server] prot)\n");
}

TEST(CoreStart, PortInUse) {
    e2e::TestServer first;
    ASSERT_TRUE(first.start()) << first.out() << first.err();
    int port = first.port;

    e2e::TempDir dir;
    std::string out, err;
    EXPECT_EQ(run_with_config(dir, server_section("port", std::to_string(port), dir.path), &out,
                              &err),
              1);
    EXPECT_EQ(out, "[main] ERROR on binding\n");
    EXPECT_NE(err.find("cannot listen on port " + std::to_string(port) + ": Address already in use"),
              std::string::npos)
        << err;
    bh::Client c = first.connect();
    expect_echo(c, "still here");
    EXPECT_EQ(first.stop(SIGINT), 0) << first.err();
}

// Yes/no settings take what a person means, in any case; anything else stops start-up.
TEST(CoreStart, YesNoSettings) {
    for (const char* value : {"Yes", "on", "TRUE"}) {
        e2e::TestServer srv;
        e2e::make_dirs(srv.data + "/logs");
        ASSERT_TRUE(srv.start(keys({{"log", value}}))) << srv.out() << srv.err();
        EXPECT_EQ(srv.stop(SIGINT), 0) << srv.err();
        EXPECT_NE(e2e::read_file(srv.data + "/logs/" + day_file_name()).find("SERVER START"),
                  std::string::npos)
            << value;
    }
    e2e::TempDir dir;
    for (const char* key : {"log", "upload_sync"}) {
        for (const char* value : {"yes please", "1", "y"}) {
            std::string out, err;
            EXPECT_EQ(run_with_config(dir, server_section(key, value, dir.path), &out, &err), 1);
            EXPECT_EQ(err, "configuration: \"" + std::string(key) + "\" must be yes or no, not \"" +
                               value + "\"\n");
        }
    }
}

TEST(CoreStart, BannerStartAndStopLines) {
    e2e::TestServer srv;
    ASSERT_TRUE(srv.start()) << srv.out() << srv.err();
    std::string date = korean_date();
    std::string out = srv.out();
    EXPECT_EQ(out.find("\n[*] testhub Server started at " + std::to_string(srv.port) + "\n\n"), 0u)
        << out;
    EXPECT_NE(out.find("[SYSTEM] SERVER START " + date + "\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(srv.stop(SIGINT), 0) << srv.err();
    out = srv.out();
    EXPECT_NE(out.find("[SYSTEM] SERVER STOP " + date + "\n"),
              std::string::npos)
        << out;
    // Through a pipe the lines are plain: no colour codes.
    EXPECT_EQ(out.find('\x1b'), std::string::npos) << out;
    EXPECT_EQ(srv.err(), "");
}

// Without a share (no [server] section, a misspelt header or key, an empty value) or with a
// share that is not a readable folder, the server would serve from the root of the file
// system: start-up stops naming the key. Unknown keys and sections are only named.
TEST(CoreStart, ShareAndDataAreRequired) {
    e2e::TempDir dir;
    e2e::write_file(dir.path + "/plain", "x");
    const std::string port = "port = " + std::to_string(e2e::free_port()) + "\n";
    const std::string data = "data = " + dir.path + "\n";
    const std::pair<std::string, std::string> refused[] = {
        {"[other]\nname = x\n" + port, "\"share\""},
        {"[srever]\nshare = " + dir.path + "\n" + data + port, "\"share\""},
        {"[server]\nshre = " + dir.path + "\n" + data + port, "\"share\""},
        {"[server]\nshare =\n" + data + port, "\"share\""},
        {"[server]\nshare = " + dir.path + "/missing\n" + data + port, "\"share\""},
        {"[server]\nshare = " + dir.path + "/plain\n" + data + port, "\"share\""},
        {"[server]\nshare = " + dir.path + "\ndata = \n" + port, "\"data\""},
        {"[sever]\nshare = " + dir.path + "\n" + data + port,
         "\"share\" is missing or empty in [server] (the file has an unknown section [sever])"},
        {"[server]\nname = x\n[a]\n[b\x1b]\n" + data + port,
         "\"share\" is missing or empty in [server] (the file has unknown sections [a], [b\\e])"},
    };
    for (const auto& [text, key] : refused) {
        std::string out, err;
        EXPECT_EQ(run_with_config(dir, text, &out, &err), 1) << text;
        EXPECT_NE(err.find(key), std::string::npos) << text << err;
        EXPECT_EQ(out.find("Server started"), std::string::npos) << text;
    }
}

TEST(CoreStart, UnknownSettingsGiveOneWarning) {
    e2e::TestServer srv;
    e2e::ServerOptions options;
    options.keys = {{"lgo", "yes"}, {"shre", "/"}};
    ASSERT_TRUE(srv.start(options)) << srv.out() << srv.err();
    std::string out = srv.out();
    EXPECT_NE(out.find("[WARNING] configuration unknown settings ignored: [server] lgo, "
                       "[server] shre\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(srv.stop(SIGINT), 0) << srv.err();
}

TEST(CoreStart, FileLogging) {
    e2e::TestServer srv;
    e2e::make_dirs(srv.data + "/logs");
    e2e::ServerOptions options;
    options.file_log = true;
    ASSERT_TRUE(srv.start(options)) << srv.out() << srv.err();
    {
        bh::Client c = srv.connect();
        expect_echo(c, "x");
    }
    EXPECT_EQ(srv.stop(SIGINT), 0) << srv.err();
    std::string log = e2e::read_file(srv.data + "/logs/" + day_file_name());
    std::string date = korean_date();
    EXPECT_NE(log.find("[SYSTEM] SERVER START " + date + "\n"), std::string::npos) << log;
    EXPECT_NE(log.find("[NOTICE] CLIENT 127.0.0.1 (0)\n"), std::string::npos) << log;
    EXPECT_NE(log.find("[SYSTEM] SERVER STOP " + date + "\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("\x1b"), std::string::npos);  // no colour in the file
    std::string out = srv.out();
    EXPECT_NE(out.find("Server started at"), std::string::npos);
    EXPECT_EQ(out.find("SERVER START"), std::string::npos) << out;  // not on the console
}

// File logging into a fresh data folder without "logs": the logger makes the folder.
TEST(CoreStart, FileLoggingWithoutTheFolder) {
    e2e::TestServer srv;
    e2e::ServerOptions options;
    options.file_log = true;
    ASSERT_TRUE(srv.start(options)) << srv.out() << srv.err();
    EXPECT_EQ(srv.stop(SIGINT), 0) << srv.err();
    std::string log = e2e::read_file(srv.data + "/logs/" + day_file_name());
    EXPECT_NE(log.find("SERVER STOP"), std::string::npos) << log;
    EXPECT_EQ(srv.out(), "\n[*] testhub Server started at " + std::to_string(srv.port) + "\n\n");
}

TEST(CoreStop, SigintWithClientsConnected) {
    e2e::TestServer srv;
    ASSERT_TRUE(srv.start()) << srv.out() << srv.err();
    std::vector<bh::Client> clients;
    for (int i = 0; i < 3; i++) {
        clients.push_back(srv.connect());
        expect_echo(clients.back(), "c" + std::to_string(i));
    }
    ASSERT_TRUE(clients[1].send_raw("11     ", 7));  // one session waits mid-header
    EXPECT_EQ(srv.stop(SIGINT), 0) << srv.err();
    EXPECT_NE(srv.out().find("SERVER STOP"), std::string::npos);
    for (auto& c : clients) expect_closed(c);
}

TEST(Core, EchoUnknownCommandAndLogout) {
    e2e::TestServer srv;
    ASSERT_TRUE(srv.start()) << srv.out() << srv.err();
    bh::Client c = srv.connect();
    bh::Frame f;
    ASSERT_TRUE(c.send_frame("20", "hello"));
    ASSERT_TRUE(c.recv_frame(f));
    EXPECT_EQ(f.type, "10");
    EXPECT_EQ(f.payload, "hello");
    ASSERT_TRUE(c.command(cmd("hello"), f));
    EXPECT_EQ(f.type, "11");
    EXPECT_EQ(f.payload, kFail);
    ASSERT_TRUE(c.command(cmd("LOGOUT"), f));
    EXPECT_EQ(f.type, "10");
    EXPECT_EQ(f.payload, "BYE\n");
    EXPECT_FALSE(c.recv_frame(f, 2000));
    EXPECT_TRUE(srv.wait_for_output("CLIENT CLOSE (0)"));
    EXPECT_EQ(srv.stop(SIGINT), 0) << srv.err();
    EXPECT_NE(srv.out().find("SERVER STOP"), std::string::npos);
}

TEST(Core, TextFramesEchoedOthersIgnored) {
    e2e::TestServer srv;
    ASSERT_TRUE(srv.start()) << srv.out() << srv.err();
    bh::Client c = srv.connect();
    bh::Frame f;
    // "12" and "15" get no answer: the next frame is the echo that follows them.
    ASSERT_TRUE(c.send_frame("12", "{\"CMD\": \"HELLO\"}"));
    ASSERT_TRUE(c.send_frame("15", "ignored"));
    expect_echo(c, "after");
    // Any first digit; an empty text; the largest payload; UTF-8.
    ASSERT_TRUE(c.send_frame("00", ""));
    ASSERT_TRUE(c.recv_frame(f));
    EXPECT_EQ(f.type, "10");
    EXPECT_EQ(f.payload, "");
    std::string big(65535, 'z');
    big[100] = 'a';
    expect_echo(c, big);
    expect_echo(c, "안녕하세요");
    // A NUL inside the payload: the echo is cut there.
    ASSERT_TRUE(c.send_frame("20", std::string("ab\0cd", 5)));
    ASSERT_TRUE(c.recv_frame(f));
    EXPECT_EQ(f.type, "10");
    EXPECT_EQ(f.payload, "ab");
    // Any first digit of a command type.
    ASSERT_TRUE(c.send_frame("91", cmd("NOPE")));
    ASSERT_TRUE(c.recv_frame(f));
    EXPECT_EQ(f.type, "11");
    EXPECT_EQ(f.payload, kFail);
}

// Payloads that give no command word answer like an unknown command; the session goes on.
TEST(Core, BadCommandPayloadsFail) {
    e2e::TestServer srv;
    ASSERT_TRUE(srv.start()) << srv.out() << srv.err();
    bh::Client c = srv.connect();
    const std::string payloads[] = {
        "",
        "not json",
        "[\"LOGOUT\"]",
        "\"LOGOUT\"",
        "42",
        "{}",
        "{\"cmd\": \"LOGOUT\"}",
        "{\"CMD\": 5}",
        "{\"CMD\": null}",
        "{\"CMD\": [\"LOGOUT\"]}",
        "{\"CMD\": {\"CMD\": \"LOGOUT\"}}",
        "{\"CMD\": \"" + std::string(31, 'A') + "\"}",
        "{\"CMD\": \"LOGOUT" + std::string(26, ' ') + "\"}",  // 32 characters
        "{\"CMD\": \"" + std::string(5000, 'A') + "\"}",
        "{\"CMD\": \"LOGOUT\"",  // unterminated
    };
    for (const auto& p : payloads) {
        bh::Frame f;
        ASSERT_TRUE(c.command(p, f)) << p << ": " << c.error();
        EXPECT_EQ(f.type, "11") << p;
        EXPECT_EQ(f.payload, kFail) << p;
    }
    expect_echo(c, "alive");
    EXPECT_EQ(count(srv.out(), "CLOSE"), 0u);
}

// A command is one flat object: a member that is an array is refused like one that is an
// object, and so is a command of more than 32 members; brackets inside strings are text. Each
// refusal answers FAIL and the session goes on.
TEST(Core, CommandsAreFlatObjectsOfAtMost32Members) {
    e2e::TestServer srv;
    ASSERT_TRUE(srv.start()) << srv.out() << srv.err();
    bh::Client c = srv.connect();
    auto answer = [&](const std::string& payload) {
        bh::Frame f;
        if (!c.command(payload, f)) return "<" + c.error() + ">";
        return f.payload;
    };
    auto with_members = [](int n) {  // HELLO and n - 1 more members
        std::string p = "{\"CMD\":\"HELLO\"";
        for (int i = 1; i < n; i++) p += ",\"k" + std::to_string(i) + "\":" + std::to_string(i);
        return p + "}";
    };
    const std::string hello = "{ \"RESULT\": \"OK\", \"SERVER\": \"testhub\"";
    for (const std::string& p : {std::string("{\"CMD\":\"HELLO\",\"x\":[]}"),
                                 std::string("{\"CMD\":\"HELLO\",\"x\":[1,\"a\"]}"),
                                 std::string("{\"CMD\":\"HELLO\",\"x\":{}}"),
                                 std::string("{\"x\":[\"y\"],\"CMD\":\"HELLO\"}"),
                                 with_members(33)})
        EXPECT_EQ(answer(p), kFail) << p;
    for (const std::string& p : {std::string("{\"CMD\":\"HELLO\",\"x\":\"[{\\\"]}\"}"),
                                 with_members(32)})
        EXPECT_EQ(answer(p).substr(0, hello.size()), hello) << p;
}

// Each invalid header ends its own session at once; the server serves the others.
TEST(Core, InvalidHeadersEndTheSession) {
    e2e::TestServer srv;
    ASSERT_TRUE(srv.start()) << srv.out() << srv.err();
    bh::Client other = srv.connect();
    expect_echo(other, "first");
    const std::string bad[] = {
        "11          ", "1a        17", "x1        17", "11       +17", "11\t       17",
        "11       1x7", "11       17 ", std::string("11\0\0\0\0\0\0\0\0\0\0", 12),
        "11     65536",  // more than 65535
        "119999999999",
    };
    size_t closes = 0;
    for (const auto& h : bad) {
        bh::Client c = srv.connect();
        expect_echo(c, "before");
        ASSERT_TRUE(c.send_raw(h.data(), h.size()));
        ASSERT_TRUE(c.send_raw("{\"CMD\": \"NOPE\"}", 15));
        expect_closed(c);
        closes++;
        for (int i = 0; i < 500 && count(srv.out(), "CLIENT CLOSE (") < closes; i++) usleep(10000);
        expect_echo(other, "still served");
    }
    EXPECT_EQ(srv.stop(SIGINT), 0) << srv.err();
    EXPECT_EQ(count(srv.out(), "CLIENT CLOSE ("), std::size(bad));
    EXPECT_EQ(srv.err(), "");
}

TEST(Core, PeerLeavingMidFrame) {
    e2e::TestServer srv;
    ASSERT_TRUE(srv.start()) << srv.out() << srv.err();
    {
        bh::Client c = srv.connect();
        expect_echo(c, "x");
        ASSERT_TRUE(c.send_raw("11     ", 7));
    }
    {
        bh::Client c = srv.connect();
        expect_echo(c, "y");
        ASSERT_TRUE(c.send_raw("11        50{\"CMD\"", 18));
    }
    {
        // Echoes of large frames to a client that has gone: the sends fail (EPIPE or reset),
        // never killing the process with SIGPIPE.
        bh::Client c = srv.connect();
        std::string big(60000, 'q');
        for (int i = 0; i < 20; i++) ASSERT_TRUE(c.send_frame("20", big));
        struct linger hard = {1, 0};
        setsockopt(c.fd(), SOL_SOCKET, SO_LINGER, &hard, sizeof(hard));  // close with a reset
    }
    for (int i = 0; i < 500 && count(srv.out(), "CLIENT CLOSE (") < 3; i++) usleep(10000);
    EXPECT_EQ(count(srv.out(), "CLIENT CLOSE ("), 3u);
    EXPECT_TRUE(srv.running());
    bh::Client c = srv.connect();
    expect_echo(c, "served");
    EXPECT_EQ(srv.stop(SIGINT), 0) << srv.err();
}

// Replies and echoes leave header and payload together, with Nagle off: no round trip waits
// for the client's delayed ACK (about 40 ms each otherwise).
TEST(Core, RoundTripsAreFast) {
    e2e::TestServer srv;
    ASSERT_TRUE(srv.start()) << srv.out() << srv.err();
    bh::Client c = srv.connect();
    using Clock = std::chrono::steady_clock;
    auto t0 = Clock::now();
    for (int i = 0; i < 100; i++) {
        bh::Frame f;
        ASSERT_TRUE(c.command(cmd("NOPE"), f));
        ASSERT_EQ(f.payload, kFail);
    }
    auto commands = Clock::now() - t0;
    t0 = Clock::now();
    for (int i = 0; i < 100; i++) expect_echo(c, "ping " + std::to_string(i));
    auto echoes = Clock::now() - t0;
    EXPECT_LT(commands, std::chrono::seconds(3));
    EXPECT_LT(echoes, std::chrono::seconds(3));
}

TEST(Core, SlotsAreReusedInIndexOrder) {
    e2e::TestServer srv;
    ASSERT_TRUE(srv.start()) << srv.out() << srv.err();
    bh::Client a = srv.connect();
    expect_echo(a, "a");
    bh::Client b = srv.connect();
    expect_echo(b, "b");
    EXPECT_EQ(count(srv.out(), "CLIENT 127.0.0.1 (0)\n"), 1u);
    EXPECT_EQ(count(srv.out(), "CLIENT 127.0.0.1 (1)\n"), 1u);
    a.close();
    ASSERT_TRUE(srv.wait_for_output("CLIENT CLOSE (0)"));
    // The slot is freed just after its close line: a connection in between takes slot 2 and
    // is let go again.
    bool reused = false;
    for (int attempt = 0; attempt < 50 && !reused; attempt++) {
        bh::Client c = srv.connect();
        expect_echo(c, "c");
        reused = count(srv.out(), "CLIENT 127.0.0.1 (0)\n") == 2;
        if (!reused) {
            c.close();
            ASSERT_TRUE(srv.wait_for_output("CLIENT CLOSE (2)"));
            usleep(20000);
        } else {
            expect_echo(b, "b again");
        }
    }
    EXPECT_TRUE(reused) << srv.out();
}

TEST(Core, TwoHundredSessionsAndARefusedOne) {
    e2e::TestServer srv;
    ASSERT_TRUE(srv.start()) << srv.out() << srv.err();
    std::vector<bh::Client> clients;
    for (int i = 0; i < 200; i++) {
        clients.push_back(srv.connect());
        expect_echo(clients.back(), "session " + std::to_string(i));
    }
    bh::Client extra = srv.connect();
    expect_closed(extra);
    EXPECT_TRUE(srv.wait_for_output("slots in use"));
    std::string out = srv.out();
    EXPECT_NE(out.find("[WARNING] CLIENT "), std::string::npos) << out;
    EXPECT_EQ(count(out, "CLIENT 127.0.0.1 ("), 200u);
    for (int i = 0; i < 200; i++) expect_echo(clients[i], "again " + std::to_string(i));
    // A freed slot is taken again.
    clients[57].close();
    ASSERT_TRUE(srv.wait_for_output("CLIENT CLOSE (57)"));
    bool served = false;
    for (int attempt = 0; attempt < 50 && !served; attempt++) {
        bh::Client c = srv.connect();
        bh::Frame f;
        served = c.send_frame("20", "late") && c.recv_frame(f, 5000) && f.payload == "late";
        if (!served) usleep(20000);
    }
    EXPECT_TRUE(served);
    EXPECT_EQ(srv.stop(SIGINT), 0) << srv.err();
}
