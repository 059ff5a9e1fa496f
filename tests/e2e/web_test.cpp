// The web gateway end to end: the real server and the real boardhub-web, driven over HTTP
// with raw sockets (HTTP/1.0, so every response ends with its connection).
#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "../fakes/fake_v4l2.h"
#include "web_harness.h"

using e2e::cmd;
using namespace web_e2e;

TEST(Web, SignInBrowseAndDownloadWithRanges) {
    Gateway g;
    // A local socket that is not there: sessions go over TCP, and the files in pieces.
    ASSERT_TRUE(g.start("server_socket = " + g.srv.dir.path + "/none.sock\n")) << g.output();
    const std::string big = pattern(300000, 3);  // several protocol pieces
    e2e::make_dirs(g.srv.share + "/media");
    e2e::write_file(g.srv.share + "/media/clip.mp4", big);
    e2e::write_file(g.srv.share + "/media/노래 1.txt", "가나다");
    e2e::write_file(g.srv.share + "/media/empty.bin", "");

    std::string cookie, csrf;
    Reply r = g.login("bob", "bob", &cookie, &csrf);
    ASSERT_EQ(r.status, 200) << r.body;
    std::string set = r.header("set-cookie");
    EXPECT_NE(set.find("HttpOnly"), std::string::npos) << set;
    EXPECT_NE(set.find("SameSite=Strict"), std::string::npos) << set;
    EXPECT_EQ(set.find("Secure"), std::string::npos) << "plain HTTP: " << set;
    EXPECT_EQ(csrf.size(), 64u);
    EXPECT_NE(r.header("content-security-policy").find("script-src 'self'"), std::string::npos);
    // Over TCP the session is encrypted, and the server's identity recorded on first contact.
    EXPECT_NE(g.output().find("new server 127.0.0.1:" + std::to_string(g.srv.port) + ", identity SHA256:"),
              std::string::npos) << g.output();

    // Folders first, the closed folder shown closed.
    r = http(g.port, "GET", "/api/list?path=/", {cookie});
    ASSERT_EQ(r.status, 200) << r.body;
    EXPECT_LT(r.body.find("\"media\""), r.body.find("\"private\""));
    EXPECT_NE(r.body.find("{\"name\":\"private\",\"dir\":true,\"closed\":true"), std::string::npos)
        << r.body;
    EXPECT_EQ(http(g.port, "GET", "/api/list?path=/private", {cookie}).status, 403);
    EXPECT_EQ(http(g.port, "GET", "/files/private/secret.txt", {cookie}).status, 403);
    EXPECT_EQ(http(g.port, "GET", "/files/media/nothing.bin", {cookie}).status, 404);
    EXPECT_EQ(http(g.port, "GET", "/api/list?path=/", {}).status, 401);
    EXPECT_EQ(http(g.port, "GET", "/files/media/clip.mp4", {}).status, 401);

    r = http(g.port, "GET", "/files/media/clip.mp4", {cookie});
    ASSERT_EQ(r.status, 200);
    EXPECT_TRUE(r.body == big) << "whole file differs, " << r.body.size() << " bytes";
    EXPECT_EQ(r.header("content-length"), std::to_string(big.size()));
    EXPECT_EQ(r.header("content-type"), "video/mp4");
    EXPECT_EQ(r.header("content-disposition"),
              "attachment; filename=\"clip.mp4\"; filename*=UTF-8''clip.mp4");
    EXPECT_EQ(r.header("accept-ranges"), "bytes");

    // Ranges: across pieces, backwards (a new stream), open-ended, the tail, past the end.
    struct {
        const char* range;
        size_t first, last;
    } ranges[] = {{"bytes=65530-131100", 65530, 131100},
                  {"bytes=10-19", 10, 19},
                  {"bytes=299990-", 299990, 299999},
                  {"bytes=-5", 299995, 299999},
                  {"bytes=200000-999999", 200000, 299999}};
    for (auto& x : ranges) {
        r = http(g.port, "GET", "/files/media/clip.mp4", {cookie, std::string("Range: ") + x.range});
        ASSERT_EQ(r.status, 206) << x.range;
        EXPECT_TRUE(r.body == big.substr(x.first, x.last - x.first + 1)) << x.range;
        EXPECT_EQ(r.header("content-range"), "bytes " + std::to_string(x.first) + "-" +
                                                 std::to_string(x.last) + "/300000");
    }
    EXPECT_EQ(count(g.output(), "local socket cannot be reached"), 1u) << g.output();
    // No validators over TCP: a range under any If-Range is the whole file.
    r = http(g.port, "GET", "/files/media/clip.mp4",
             {cookie, "Range: bytes=10-19", "If-Range: \"1-2-3\""});
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body.size(), big.size());
    EXPECT_EQ(r.header("etag"), "");
    r = http(g.port, "GET", "/files/media/clip.mp4", {cookie, "Range: bytes=300000-"});
    EXPECT_EQ(r.status, 416);
    EXPECT_EQ(r.header("content-range"), "bytes */300000");

    r = http(g.port, "GET", "/files/media/%EB%85%B8%EB%9E%98%201.txt?inline=1", {cookie});
    ASSERT_EQ(r.status, 200) << r.body;
    EXPECT_EQ(r.body, "가나다");
    EXPECT_EQ(r.header("content-disposition"),
              "inline; filename=\"______ 1.txt\"; "
              "filename*=UTF-8''%EB%85%B8%EB%9E%98%201.txt");
    r = http(g.port, "GET", "/files/media/empty.bin", {cookie});
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.header("content-length"), "0");

    // Signing out ends the protocol session: bob is no longer on the server.
    EXPECT_EQ(http(g.port, "POST", "/api/logout",
                   {cookie, "X-CSRF-Token: " + csrf, "Content-Type: application/json"}, "{}")
                  .status,
              200);
    EXPECT_EQ(http(g.port, "GET", "/api/list?path=/", {cookie}).status, 401);
    bh::Client c = g.srv.connect();
    e2e::login(c, "alice", "alice");
    bh::Frame f;
    ASSERT_TRUE(c.command(cmd("WHO"), f));
    EXPECT_EQ(f.payload.find("\"bob\""), std::string::npos) << f.payload;
}

TEST(Web, DownloadsFromTheServersDescriptorWithValidators) {
    Gateway g;
    std::string sock = g.srv.dir.path + "/hub.sock";
    e2e::ServerOptions o;
    o.keys["socket"] = sock;
    // The gateway finds the socket in [server], as in the packaged configuration.
    ASSERT_TRUE(g.start("", o, "socket = " + sock + "\n")) << g.output();
    const std::string big = pattern(8 << 20, 5);  // more than the sockets' buffers hold
    e2e::write_file(g.srv.share + "/media/big.bin", big);
    e2e::write_file(g.srv.share + "/media/empty.bin", "");
    std::string cookie;
    ASSERT_EQ(g.login("bob", "bob", &cookie).status, 200);
    Reply r = http(g.port, "GET", "/api/session", {cookie});
    ASSERT_NE(r.body.find("\"open\""), std::string::npos) << "not on the local socket: " << r.body;
    int before = g.descriptors();
    for (int i = 0; i < 10; i++) {  // a connection just ended may take a moment to close
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        before = std::min(before, g.descriptors());
    }

    r = http(g.port, "GET", "/files/media/big.bin", {cookie});
    ASSERT_EQ(r.status, 200);
    EXPECT_TRUE(r.body == big) << "whole file differs, " << r.body.size() << " bytes";
    EXPECT_EQ(r.header("content-type"), "application/octet-stream");
    const std::string etag = r.header("etag"), modified = r.header("last-modified");
    ASSERT_EQ(etag.front(), '"') << etag;
    ASSERT_EQ(modified.size(), 29u) << modified;
    for (auto& x : std::vector<std::pair<size_t, size_t>>{{65530, 131100}, {8388000, 8388607}, {0, 0}}) {
        std::string range = std::to_string(x.first) + "-" + std::to_string(x.second);
        r = http(g.port, "GET", "/files/media/big.bin", {cookie, "Range: bytes=" + range});
        ASSERT_EQ(r.status, 206) << range;
        EXPECT_TRUE(r.body == big.substr(x.first, x.second - x.first + 1)) << range;
        EXPECT_EQ(r.header("content-range"), "bytes " + range + "/8388608");
    }
    r = http(g.port, "HEAD", "/files/media/big.bin", {cookie});
    EXPECT_EQ(r.header("content-length"), "8388608");
    EXPECT_EQ(http(g.port, "GET", "/files/media/empty.bin", {cookie}).header("content-length"), "0");

    // If-Range: the current tag or date gives the range, a stale one the whole file.
    EXPECT_EQ(http(g.port, "GET", "/files/media/big.bin",
                   {cookie, "Range: bytes=1-2", "If-Range: " + etag}).body,
              big.substr(1, 2));
    EXPECT_EQ(http(g.port, "GET", "/files/media/big.bin",
                   {cookie, "Range: bytes=1-2", "If-Range: " + modified}).status,
              206);
    for (std::string stale : {std::string("\"1-2-3\""), "W/" + etag, std::string("Sun, 06 Nov 1994 08:49:37 GMT")}) {
        r = http(g.port, "GET", "/files/media/big.bin", {cookie, "Range: bytes=1-2", "If-Range: " + stale});
        EXPECT_EQ(r.status, 200) << stale;
        EXPECT_EQ(r.body.size(), big.size()) << stale;
    }
    // Unchanged copies: 304 without a body; If-None-Match decides over If-Modified-Since.
    for (std::string h : {"If-None-Match: \"x\", W/" + etag, "If-Modified-Since: " + modified,
                          std::string("If-None-Match: *")}) {
        r = http(g.port, "GET", "/files/media/big.bin", {cookie, h});
        EXPECT_EQ(r.status, 304) << h;
        EXPECT_EQ(r.body, "") << h;
        EXPECT_EQ(r.header("etag"), etag) << h;
    }
    EXPECT_EQ(http(g.port, "GET", "/files/media/big.bin",
                   {cookie, "If-None-Match: \"x\"", "If-Modified-Since: " + modified}).status,
              200);

    // Refusals come from the server's OPEN.
    EXPECT_EQ(http(g.port, "GET", "/files/private/secret.txt", {cookie}).status, 403);
    EXPECT_EQ(http(g.port, "GET", "/files/media/nothing.bin", {cookie}).status, 404);
    EXPECT_EQ(http(g.port, "GET", "/files/media", {cookie}).status, 404);

    // A changed file has a new tag: the old one no longer answers 304.
    e2e::write_file(g.srv.share + "/media/big.bin", "changed");
    r = http(g.port, "GET", "/files/media/big.bin", {cookie, "If-None-Match: " + etag});
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "changed");
    EXPECT_NE(r.header("etag"), etag);

    // A download the browser cuts short gives its descriptor back too.
    e2e::write_file(g.srv.share + "/media/big.bin", big);
    int fd = dial(g.port);
    std::string req = request_text("GET", "/files/media/big.bin", {cookie}, "");
    ASSERT_EQ(send(fd, req.data(), req.size(), MSG_NOSIGNAL), static_cast<ssize_t>(req.size()));
    std::string got;
    ASSERT_TRUE(read_until(fd, got, "\r\n\r\n"));
    close(fd);
    auto deadline = Clock::now() + std::chrono::seconds(10);
    while (g.descriptors() != before && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(g.descriptors(), before) << "descriptors left open in the gateway";
}

TEST(Web, RefusesStateChangesWithoutTheTokenAndBoundsRequests) {
    Gateway g;
    ASSERT_TRUE(g.start()) << g.output();
    std::string cookie, csrf;
    ASSERT_EQ(g.login("bob", "bob", &cookie, &csrf).status, 200);
    const std::string body = "{\"text\":\"lunch\"}";
    EXPECT_EQ(http(g.port, "POST", "/api/notice", {cookie, "Content-Type: application/json"}, body)
                  .status,
              403);
    EXPECT_EQ(http(g.port, "POST", "/api/notice",
                   {cookie, "X-CSRF-Token: " + std::string(64, '0'), "Content-Type: application/json"},
                   body)
                  .status,
              403);
    // A form post from another site cannot carry JSON.
    EXPECT_EQ(http(g.port, "POST", "/api/notice",
                   {cookie, "X-CSRF-Token: " + csrf, "Content-Type: text/plain"}, body)
                  .status,
              415);
    bh::Client c = g.srv.connect();
    EXPECT_NE(e2e::login(c, "alice", "alice").find("\"MOD\": \"NONE\""), std::string::npos)
        << "a refused request changed the notice";
    EXPECT_EQ(http(g.port, "POST", "/api/notice",
                   {cookie, "X-CSRF-Token: " + csrf, "Content-Type: application/json"}, body)
                  .status,
              200);

    // Too large a body, too large a header block: refused, and the gateway still serves.
    EXPECT_EQ(http(g.port, "POST", "/api/notice",
                   {cookie, "X-CSRF-Token: " + csrf, "Content-Type: application/json"},
                   "{\"text\":\"" + std::string(20000, 'x') + "\"}")
                  .status,
              413);
    Reply big = http(g.port, "GET", "/api/session", {cookie, "X-Junk: " + std::string(40000, 'j')});
    EXPECT_TRUE(big.status == 431 || big.status == 413 || big.status == 0) << big.status;
    EXPECT_EQ(http(g.port, "GET", "/api/session", {cookie}).status, 200);
}

TEST(Web, LiveMessagesNoticesAndALoginElsewhere) {
    Gateway g;
    ASSERT_TRUE(g.start()) << g.output();
    std::string cookie, csrf;
    ASSERT_EQ(g.login("bob", "bob", &cookie, &csrf).status, 200);
    int es = dial(g.port);
    ASSERT_GE(es, 0);
    std::string req = request_text("GET", "/api/events", {cookie}, "");
    ASSERT_GT(send(es, req.data(), req.size(), MSG_NOSIGNAL), 0);
    std::string stream;
    ASSERT_TRUE(read_until(es, stream, "retry:")) << stream;
    EXPECT_NE(stream.find("text/event-stream"), std::string::npos);

    bh::Client alice = g.srv.connect();
    e2e::login(alice, "alice", "alice");
    bh::Frame f;
    ASSERT_TRUE(alice.command("{\"CMD\":\"MESSAGE\",\"TO\":\"bob\",\"TYPE\":0,\"MESSAGE\":\"점심 먹자\"}", f));
    EXPECT_EQ(member(f.payload, "RESULT"), "OK");
    // Each event carries the time it arrived (seconds since the epoch).
    EXPECT_TRUE(read_until(es, stream, ",\"from\":\"alice\",\"type\":0,\"text\":\"점심 먹자\"}"))
        << stream;
    EXPECT_NE(stream.find("event: message\ndata: {\"time\":"), std::string::npos) << stream;
    ASSERT_TRUE(alice.command(cmd("MOD", {{"MOD", "back at 3"}}), f));
    EXPECT_TRUE(read_until(es, stream, ",\"text\":\"back at 3\"}")) << stream;
    EXPECT_NE(stream.find("event: notice\ndata: {\"time\":"), std::string::npos) << stream;

    // From the browser to alice.
    Reply r = http(g.port, "POST", "/api/message",
                   {cookie, "X-CSRF-Token: " + csrf, "Content-Type: application/json"},
                   "{\"to\":\"alice\",\"text\":\"hi\"}");
    EXPECT_EQ(r.status, 200) << r.body;
    do {  // after the notice that alice set
        ASSERT_TRUE(alice.recv_frame(f));
        ASSERT_EQ(f.type, "21");
    } while (member(f.payload, "FROM") != "bob");
    EXPECT_EQ(member(f.payload, "MESSAGE"), "hi");
    EXPECT_EQ(http(g.port, "POST", "/api/message",
                   {cookie, "X-CSRF-Token: " + csrf, "Content-Type: application/json"},
                   "{\"to\":\"nobody\",\"text\":\"hi\"}")
                  .status,
              404);
    r = http(g.port, "GET", "/api/who", {cookie});
    EXPECT_NE(r.body.find("\"bob\""), std::string::npos) << r.body;

    // bob signs in with another client: the browser is told and signed out.
    bh::Client bob = g.srv.connect();
    e2e::login(bob, "bob", "bob");
    EXPECT_TRUE(read_until(es, stream, "event: ended\ndata: {\"reason\":\"replaced\"}")) << stream;
    close(es);
    r = http(g.port, "GET", "/api/session", {cookie});
    EXPECT_EQ(r.status, 401);
    EXPECT_EQ(member(r.body, "reason"), "replaced");
}

TEST(Web, IdleSessionsExpireAndEndTheirProtocolSession) {
    Gateway g;
    ASSERT_TRUE(g.start("idle_seconds = 2\n")) << g.output();
    std::string cookie;
    ASSERT_EQ(g.login("bob", "bob", &cookie).status, 200);
    EXPECT_EQ(http(g.port, "GET", "/api/session", {cookie}).status, 200);
    std::this_thread::sleep_for(std::chrono::milliseconds(4500));
    Reply r = http(g.port, "GET", "/api/session", {cookie});
    EXPECT_EQ(r.status, 401);
    EXPECT_EQ(member(r.body, "reason"), "expired");
    bh::Client c = g.srv.connect();
    e2e::login(c, "alice", "alice");
    bh::Frame f;
    ASSERT_TRUE(c.command(cmd("WHO"), f));
    EXPECT_EQ(f.payload.find("\"bob\""), std::string::npos) << f.payload;
}

TEST(Web, FailedSignInsAreDelayedPerBrowserAndLogged) {
    Gateway g;
    ASSERT_TRUE(g.start()) << g.output();
    auto t0 = Clock::now();
    Reply r = g.login("bob", "wrong");
    auto first = Clock::now() - t0;
    EXPECT_EQ(r.status, 401);
    EXPECT_GE(first, std::chrono::milliseconds(950));
    t0 = Clock::now();
    EXPECT_EQ(g.login("bob", "wrong").status, 401);
    EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(1950)) << "the delay doubles";
    EXPECT_NE(g.output().find("[WARNING] LOGIN auth failure from 127.0.0.1\n"), std::string::npos)
        << g.output();
    // The right password is never slowed, and clears the address's record.
    t0 = Clock::now();
    EXPECT_EQ(g.login("bob", "bob").status, 200);
    EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(900));
    t0 = Clock::now();
    EXPECT_EQ(g.login("bob", "wrong").status, 401);
    EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(1900));
}

TEST(Web, SnapshotAndLiveViewFromTheCamera) {
    Gateway g;
    e2e::ServerOptions o = fake_camera(g.srv.dir.path);
    ASSERT_TRUE(g.start("camera_fps = 10\n", o)) << g.output() << g.srv.out();
    std::string cookie;
    ASSERT_EQ(g.login("bob", "bob", &cookie).status, 200);
    Reply r = http(g.port, "GET", "/camera/snapshot.jpg", {cookie});
    ASSERT_EQ(r.status, 200) << r.body;
    EXPECT_EQ(r.header("content-type"), "image/jpeg");
    tjhandle tj = tjInitDecompress();
    int w = 0, h = 0, sub = 0, cs = 0;
    ASSERT_EQ(tjDecompressHeader3(tj, reinterpret_cast<const unsigned char*>(r.body.data()),
                                  r.body.size(), &w, &h, &sub, &cs),
              0);
    EXPECT_EQ(w, 320);
    EXPECT_EQ(h, 240);
    std::vector<unsigned char> pixels(static_cast<size_t>(w * h * 3));
    EXPECT_EQ(tjDecompress2(tj, reinterpret_cast<const unsigned char*>(r.body.data()), r.body.size(),
                            pixels.data(), w, 0, h, TJPF_RGB, 0),
              0)
        << tjGetErrorStr2(tj);
    tjDestroy(tj);

    // Two viewers of the live view get the same frames from the one capture loop, at the
    // configured rate or below.
    int v[2];
    std::string got[2];
    for (int i = 0; i < 2; i++) {
        v[i] = dial(g.port);
        std::string req = request_text("GET", "/camera/live", {cookie}, "");
        ASSERT_GT(send(v[i], req.data(), req.size(), MSG_NOSIGNAL), 0);
    }
    auto t0 = Clock::now();
    for (int i = 0; i < 2; i++) {
        EXPECT_TRUE(read_until(v[i], got[i], "multipart/x-mixed-replace; boundary=frame"));
        // Six whole parts: the seventh boundary ends the sixth.
        while (count(got[i], "--frame\r\n") < 7)
            ASSERT_TRUE(read_more(v[i], got[i])) << got[i].substr(0, 400);
        EXPECT_NE(got[i].find("--frame\r\nContent-Type: image/jpeg\r\nContent-Length: "),
                  std::string::npos);
    }
    // Six frames at 10 a second take half a second at least.
    EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(450));
    for (int fd : v) close(fd);
}

TEST(Web, UploadsAndFolderChangesWhenTheServerTakesThem) {
    Gateway g;
    ASSERT_TRUE(g.start()) << g.output();
    std::string cookie, csrf;
    Reply r = g.login("bob", "bob", &cookie, &csrf);
    ASSERT_EQ(r.status, 200);
    if (r.body.find("\"write\"") == std::string::npos) GTEST_SKIP() << "the server takes no writes";
    const std::vector<std::string> json = {cookie, "X-CSRF-Token: " + csrf,
                                           "Content-Type: application/json"};
    EXPECT_EQ(http(g.port, "POST", "/api/mkdir", json, "{\"path\":\"/up\"}").status, 200);
    EXPECT_EQ(http(g.port, "POST", "/api/mkdir", json, "{\"path\":\"/up\"}").status, 409);

    const std::string data = pattern(200000, 9);
    EXPECT_EQ(http(g.port, "POST", "/api/upload?path=/up/a.bin", {cookie}, data).status, 403)
        << "an upload without the token";
    // A token that is there but wrong, or the right one cut short, is no token: refused, and
    // the share holds neither the file nor a part of it.
    for (const std::string& wrong : {std::string(64, '0'), csrf.substr(0, 63)}) {
        EXPECT_EQ(http(g.port, "POST", "/api/upload?path=/up/a.bin",
                       {cookie, "X-CSRF-Token: " + wrong}, data)
                      .status,
                  403)
            << wrong;
        std::vector<std::string> left;
        for (const auto& e : std::filesystem::directory_iterator(g.srv.share + "/up"))
            left.push_back(e.path().filename().string());
        EXPECT_TRUE(left.empty()) << left.front();
    }
    r = http(g.port, "POST", "/api/upload?path=/up/a.bin", {cookie, "X-CSRF-Token: " + csrf}, data);
    ASSERT_EQ(r.status, 200) << r.body;
    EXPECT_TRUE(e2e::read_file(g.srv.share + "/up/a.bin") == data);
    r = http(g.port, "POST", "/api/upload?path=/up/a.bin", {cookie, "X-CSRF-Token: " + csrf}, "x");
    EXPECT_EQ(r.status, 409);
    EXPECT_EQ(member(r.body, "reason"), "EXISTS");

    // A browser that goes away in the middle: nothing is left, and the session goes on.
    int fd = dial(g.port);
    std::string head = "POST /api/upload?path=/up/cut.bin HTTP/1.0\r\nHost: x\r\n" + cookie +
                       "\r\nX-CSRF-Token: " + csrf + "\r\nContent-Length: 100000\r\n\r\n" +
                       std::string(30000, 'c');
    ASSERT_GT(send(fd, head.data(), head.size(), MSG_NOSIGNAL), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    close(fd);
    Reply list;
    for (int i = 0; i < 50; i++) {
        list = http(g.port, "GET", "/api/list?path=/up&all=1", {cookie});
        if (list.status == 200) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_EQ(list.status, 200);
    EXPECT_EQ(list.body.find("cut.bin"), std::string::npos) << list.body;
    EXPECT_EQ(list.body.find(".boardhub-part-"), std::string::npos) << list.body;

    EXPECT_EQ(http(g.port, "POST", "/api/rename", json, "{\"from\":\"/up/a.bin\",\"to\":\"/up/b.bin\"}").status,
              200);
    EXPECT_EQ(http(g.port, "POST", "/api/delete", json, "{\"path\":\"/up\"}").status, 409);
    EXPECT_EQ(http(g.port, "POST", "/api/delete", json, "{\"path\":\"/up/b.bin\"}").status, 200);
    EXPECT_EQ(http(g.port, "POST", "/api/delete", json, "{\"path\":\"/up\"}").status, 200);
    EXPECT_FALSE(std::filesystem::exists(g.srv.share + "/up"));
}

TEST(Web, ServesHttpsWithTheConfiguredCertificate) {
    e2e::TempDir keys;
    std::string cert = keys.path + "/cert.pem", key = keys.path + "/key.pem";
    std::string make = "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1 -keyout " +
                       key + " -out " + cert + " >/dev/null 2>&1";
    ASSERT_EQ(system(make.c_str()), 0) << "openssl (scripts/setup.sh)";
    Gateway g;
    ASSERT_TRUE(g.start("tls_cert = " + cert + "\ntls_key = " + key + "\n")) << g.output();
    EXPECT_NE(g.output().find("(HTTPS)"), std::string::npos);
    std::string out = keys.path + "/reply.txt";
    std::string login = "curl -s -i --cacert " + cert + " -H 'Content-Type: application/json' -d " +
                        "'{\"user\":\"bob\",\"password\":\"bob\"}' https://127.0.0.1:" +
                        std::to_string(g.port) + "/api/login > " + out;
    ASSERT_EQ(system(login.c_str()), 0) << "curl (scripts/setup.sh)";
    Reply r = parse(e2e::read_file(out));
    EXPECT_EQ(r.status, 200) << r.body;
    EXPECT_NE(r.header("set-cookie").find("; Secure"), std::string::npos) << r.header("set-cookie");
    // Plain HTTP on the HTTPS port gets no page.
    EXPECT_NE(http(g.port, "GET", "/").status, 200);
}

// Plain HTTP beside HTTPS (redirect_port) answers every request with a redirect to the same
// host, path and query over HTTPS, and nothing else: no page, no cookie, no sign-in.
TEST(Web, PlainHttpOnlyRedirectsToHttps) {
    e2e::TempDir keys;
    std::string cert = keys.path + "/cert.pem", key = keys.path + "/key.pem";
    std::string make = "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1 -keyout " +
                       key + " -out " + cert + " >/dev/null 2>&1";
    ASSERT_EQ(system(make.c_str()), 0) << "openssl (scripts/setup.sh)";
    const std::string tls = "tls_cert = " + cert + "\ntls_key = " + key + "\n";
    {
        Gateway plain_only;
        EXPECT_FALSE(plain_only.start("redirect_port = " + std::to_string(e2e::free_port()) + "\n"));
        EXPECT_NE(plain_only.output().find("needs tls_cert"), std::string::npos) << plain_only.output();
    }
    const int plain = e2e::free_port();
    Gateway g;
    ASSERT_TRUE(g.start(tls + "redirect_port = " + std::to_string(plain) + "\n")) << g.output();
    const std::string https = "https://127.0.0.1:" + std::to_string(g.port);

    Reply r = http(plain, "GET", "/files/docs/a%20b.txt?x=1&y&z=%26");
    EXPECT_EQ(r.status, 301);
    EXPECT_EQ(r.header("location"), https + "/files/docs/a%20b.txt?x=1&y&z=%26");
    EXPECT_EQ(r.header("set-cookie"), "");
    EXPECT_EQ(r.body, "");
    // The host the browser asked for, with the HTTPS port; a Host that is no plain name gives
    // way to the address the connection came in on.
    auto location = [&](const std::string& host, const std::string& target = "/") {
        int fd = dial(plain);
        std::string req = "GET " + target + " HTTP/1.0\r\nHost: " + host + "\r\n\r\n", raw;
        (void)!send(fd, req.data(), req.size(), MSG_NOSIGNAL);
        read_until(fd, raw, "\x01never");
        close(fd);
        return parse(raw).header("location");
    };
    EXPECT_EQ(location("board.lan:8080"), "https://board.lan:" + std::to_string(g.port) + "/");
    EXPECT_EQ(location("[fe80::1]:8080"), "https://[fe80::1]:" + std::to_string(g.port) + "/");
    EXPECT_EQ(location("evil.example/x?"), https + "/");
    EXPECT_EQ(location("a@evil.example"), https + "/");
    EXPECT_EQ(location("127.0.0.1", "/caf\xc3\xa9\"<x>"), https + "/caf%C3%A9%22%3Cx%3E");

    // A sign-in sent in clear is not passed on: 308 (a program that follows it sends it again
    // over HTTPS), no cookie, and the server saw no login.
    r = http(plain, "POST", "/api/login", {"Content-Type: application/json"},
             "{\"user\":\"bob\",\"password\":\"bob\"}");
    EXPECT_EQ(r.status, 308);
    EXPECT_EQ(r.header("location"), https + "/api/login");
    EXPECT_EQ(r.header("set-cookie"), "");
    EXPECT_EQ(g.srv.out().find("LOGIN bob"), std::string::npos) << g.srv.out();

    // A browser following the redirect lands on the page over HTTPS.
    std::string out = keys.path + "/follow.txt";
    std::string follow = "curl -s -L --cacert " + cert + " -o /dev/null -w '%{url_effective} %{http_code}' " +
                         "http://127.0.0.1:" + std::to_string(plain) + "/ > " + out;
    ASSERT_EQ(system(follow.c_str()), 0) << "curl (scripts/setup.sh)";
    EXPECT_EQ(e2e::read_file(out), https + "/ 200");
}

// What the page needs to tell what happened: where writing can work, the password's limit, a
// server without a camera, and the messages of the session kept for a page loaded again.
TEST(Web, TellsWhatCanWorkAndKeepsRecentMessages) {
    Gateway g;
    ASSERT_TRUE(g.start()) << g.output();
    e2e::write_file(g.srv.share + "/staff/.folder/users_r", "bob\n");
    e2e::write_file(g.srv.share + "/staff/.folder/users_r", "bob\n");
    e2e::write_file(g.srv.share + "/staff/.folder/users_w", "alice\n");
    std::string cookie, csrf;
    ASSERT_EQ(g.login("bob", "bob", &cookie, &csrf).status, 200);
    const std::vector<std::string> json = {cookie, "X-CSRF-Token: " + csrf,
                                           "Content-Type: application/json"};

    Reply r = http(g.port, "GET", "/api/list?path=/", {cookie});
    EXPECT_NE(r.body.find("\"writable\":true"), std::string::npos) << r.body;
    r = http(g.port, "GET", "/api/list?path=/staff", {cookie});
    ASSERT_EQ(r.status, 200) << r.body;
    EXPECT_NE(r.body.find("\"writable\":false"), std::string::npos) << r.body;

    // 38 bytes: the limit is named and nothing reaches the server; a wrong current password
    // is still told as such.
    r = http(g.port, "POST", "/api/password", json,
             "{\"current\":\"bob\",\"new\":\"" + std::string(38, 'p') + "\"}");
    EXPECT_EQ(r.status, 400);
    EXPECT_NE(member(r.body, "error").find("at most 31 bytes"), std::string::npos) << r.body;
    r = http(g.port, "POST", "/api/password", json, "{\"current\":\"nope\",\"new\":\"short\"}");
    EXPECT_EQ(r.status, 403);
    EXPECT_NE(member(r.body, "error").find("current password is wrong"), std::string::npos);

    r = http(g.port, "GET", "/api/camera", {cookie});
    EXPECT_EQ(r.body, "{\"camera\":false}");
    r = http(g.port, "GET", "/camera/snapshot.jpg", {cookie});
    EXPECT_EQ(r.status, 503);
    EXPECT_EQ(member(r.body, "error"), "the server has no camera");

    // A message in, one out: both are kept, with their time, in order.
    bh::Client alice = g.srv.connect();
    e2e::login(alice, "alice", "alice");
    bh::Frame f;
    ASSERT_TRUE(alice.command("{\"CMD\":\"MESSAGE\",\"TO\":\"bob\",\"TYPE\":0,\"MESSAGE\":\"점심?\"}", f));
    auto deadline = Clock::now() + std::chrono::seconds(20);
    for (;;) {
        r = http(g.port, "GET", "/api/recent", {cookie});
        if (r.body.find("점심?") != std::string::npos || Clock::now() > deadline) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_NE(r.body.find("\"kind\":\"message\",\"data\":{\"time\":"), std::string::npos) << r.body;
    EXPECT_EQ(http(g.port, "POST", "/api/message", json, "{\"to\":\"alice\",\"text\":\"yes\"}").status,
              200);
    r = http(g.port, "GET", "/api/recent", {cookie});
    size_t in = r.body.find("점심?"), out = r.body.find("\"kind\":\"sent\"");
    ASSERT_NE(out, std::string::npos) << r.body;
    EXPECT_LT(in, out) << r.body;
    EXPECT_NE(r.body.find(",\"to\":\"alice\",\"text\":\"yes\"}"), std::string::npos) << r.body;
    // The stream goes on after the last event the page has shown, not from the start.
    std::string seq = r.body.substr(7, r.body.find(',') - 7);
    ASSERT_EQ(r.body.compare(0, 7, "{\"seq\":"), 0) << r.body;
    int es = dial(g.port);
    ASSERT_GE(es, 0);
    std::string req = request_text("GET", "/api/events?after=" + std::to_string(std::stoull(seq) - 1),
                                   {cookie}, "");
    ASSERT_GT(send(es, req.data(), req.size(), MSG_NOSIGNAL), 0);
    std::string stream;
    EXPECT_TRUE(read_until(es, stream, "event: sent\n")) << stream;
    EXPECT_EQ(stream.find("점심?"), std::string::npos) << stream;
    close(es);
}

// A folder of more entries than one LIST frame holds comes whole over ENTRIES, each entry with
// its time and rights; a file listed late in it downloads (over TCP the gateway finds it in
// the listing).
TEST(Web, AFolderLargerThanOneFrameIsListedWholeWithTimesAndRights) {
    Gateway g;
    ASSERT_TRUE(g.start("server_socket = " + g.srv.dir.path + "/none.sock\n")) << g.output();
    for (int i = 0; i < 2000; i++)
        e2e::write_file(g.srv.share + "/big/" + std::to_string(100000 + i) + std::string(120, 'n'),
                        "z");
    e2e::write_file(g.srv.share + "/staff/.folder/users_r", "bob\n");
    e2e::write_file(g.srv.share + "/staff/.folder/users_w", "alice\n");
    e2e::write_file(g.srv.share + "/staff/plan.txt", "p");
    std::string cookie, csrf;
    Reply r = g.login("bob", "bob", &cookie, &csrf);
    ASSERT_EQ(r.status, 200);
    if (r.body.find("\"entries\"") == std::string::npos) GTEST_SKIP() << "the server lists no ENTRIES";

    r = http(g.port, "GET", "/api/list?path=/big", {cookie});
    ASSERT_EQ(r.status, 200) << r.body.substr(0, 200);
    EXPECT_NE(r.body.find("\"complete\":true,\"changed\":false,\"incomplete\":false"), std::string::npos)
        << r.body.substr(0, 200);
    EXPECT_EQ(count(r.body, "{\"name\":"), 2000u);
    EXPECT_EQ(count(r.body, "\"mtime\":null"), 0u);
    EXPECT_EQ(count(r.body, "\"writable\":true}"), 2000u);
    std::string last = std::to_string(101999) + std::string(120, 'n');
    EXPECT_EQ(http(g.port, "GET", "/files/big/" + last, {cookie}).body, "z");
    // Read-only to bob: the folder and its files say so.
    r = http(g.port, "GET", "/api/list?path=/staff", {cookie});
    ASSERT_EQ(r.status, 200) << r.body;
    EXPECT_NE(r.body.find("\"writable\":false,\"complete\":true"), std::string::npos) << r.body;
    EXPECT_NE(r.body.find("\"name\":\"plan.txt\",\"dir\":false,\"size\":1,\"preview\":false,\"mtime\":"),
              std::string::npos)
        << r.body;
    EXPECT_NE(r.body.find(",\"writable\":false}"), std::string::npos) << r.body;
}

// A folder longer than the gateway takes is shown as incomplete with the first max_listing
// entries: a huge folder cannot make the gateway hold it whole.
TEST(Web, AFolderLongerThanTheGatewayTakesIsShownIncomplete) {
    Gateway g;
    ASSERT_TRUE(g.start("server_socket = " + g.srv.dir.path + "/none.sock\nmax_listing = 100\n"))
        << g.output();
    for (int i = 0; i < 101; i++) e2e::write_file(g.srv.share + "/big/f" + std::to_string(i), "z");
    for (int i = 0; i < 100; i++) e2e::write_file(g.srv.share + "/edge/f" + std::to_string(i), "z");
    std::string cookie, csrf;
    ASSERT_EQ(g.login("bob", "bob", &cookie, &csrf).status, 200);
    Reply r = http(g.port, "GET", "/api/list?path=/big", {cookie});
    ASSERT_EQ(r.status, 200) << r.body.substr(0, 200);
    EXPECT_NE(r.body.find("\"complete\":false"), std::string::npos) << r.body.substr(0, 300);
    EXPECT_EQ(count(r.body, "{\"name\":"), 100u);
    r = http(g.port, "GET", "/api/list?path=/edge", {cookie});
    EXPECT_NE(r.body.find("\"complete\":true"), std::string::npos) << r.body.substr(0, 300);
    EXPECT_EQ(count(r.body, "{\"name\":"), 100u);
}
