// Encrypted sessions: STARTTLS and every frame after it through TLS, seen from a GnuTLS client
// that is not the server's code; the refusals; and what a hostile peer can make the server hold
// during and after the handshake.
#include <gnutls/gnutls.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "raw_conn.h"
#include "stress.h"

namespace {

const std::string OK = "{ \"RESULT\": \"OK\" }";
const std::string FAIL = "{ \"RESULT\": \"FAIL\" }";
const std::string STATE = "{ \"RESULT\": \"FAIL\", \"REASON\": \"STATE\" }";
const std::string NEED_TLS = "{ \"RESULT\": \"FAIL\", \"REASON\": \"TLS\" }";
const std::string STARTTLS = "{\"CMD\": \"STARTTLS\"}";

std::string header(const std::string& type, size_t len) {
    char h[16];
    snprintf(h, sizeof(h), "%2s%10zu", type.c_str(), len);
    return std::string(h, 12);
}

// A connection that upgrades with GnuTLS as a client would, trusting any certificate (pinning
// is the client's business) but remembering its fingerprint.
class TlsConn {
public:
    TlsConn() = default;
    TlsConn(const TlsConn&) = delete;
    ~TlsConn() {
        if (s_) gnutls_deinit(s_);
        if (cred_) gnutls_certificate_free_credentials(cred_);
    }

    bool tcp(const char* from, int port) { return raw.tcp(from, port); }

    // STARTTLS, then the handshake. blocking false: only the ClientHello is sent, and the
    // handshake is left where the server has to wait for the client.
    bool upgrade(bool blocking = true) { return raw.command(STARTTLS) == OK && handshake(blocking); }

    bool handshake(bool blocking = true) {
        gnutls_certificate_allocate_credentials(&cred_);
        gnutls_init(&s_, GNUTLS_CLIENT);
        gnutls_set_default_priority(s_);
        gnutls_credentials_set(s_, GNUTLS_CRD_CERTIFICATE, cred_);
        gnutls_transport_set_int(s_, raw.fd());
        gnutls_handshake_set_timeout(s_, 20000);
        gnutls_record_set_timeout(s_, 20000);
        if (!blocking) {
            // Nothing the server answers is ever read: the ClientHello goes out and the
            // handshake stops there.
            gnutls_transport_set_pull_function(s_, [](gnutls_transport_ptr_t, void*, size_t) {
                errno = EAGAIN;
                return static_cast<ssize_t>(-1);
            });
            gnutls_handshake_set_timeout(s_, 0);
            return gnutls_handshake(s_) == GNUTLS_E_AGAIN;
        }
        int rc;
        do {
            rc = gnutls_handshake(s_);
        } while (rc < 0 && !gnutls_error_is_fatal(rc));
        return rc == 0;
    }

    std::string fingerprint() const {
        unsigned n = 0;
        const gnutls_datum_t* der = gnutls_certificate_get_peers(s_, &n);
        unsigned char digest[32];
        size_t size = sizeof(digest);
        if (!der || n == 0 || gnutls_fingerprint(GNUTLS_DIG_SHA256, der, digest, &size) < 0)
            return "";
        std::string text = "SHA256";
        for (unsigned char c : digest) {
            char pair[4];
            snprintf(pair, sizeof(pair), ":%02X", c);
            text += pair;
        }
        return text;
    }

    bool send_bytes(const std::string& bytes) {
        for (size_t off = 0; off < bytes.size();) {
            ssize_t n = gnutls_record_send(s_, bytes.data() + off, bytes.size() - off);
            if (n == GNUTLS_E_AGAIN || n == GNUTLS_E_INTERRUPTED) continue;
            if (n <= 0) return false;
            off += static_cast<size_t>(n);
        }
        return true;
    }
    bool send_frame(const std::string& type, const std::string& payload) {
        return send_bytes(header(type, payload.size()) + payload);
    }

    // The next frame's payload; *type its type. False when the connection ended.
    bool read_frame(std::string* type, std::string* payload) {
        std::string h;
        if (!read_exact(&h, 12)) return false;
        *type = h.substr(0, 2);
        return read_exact(payload, static_cast<size_t>(atol(h.c_str() + 2)));
    }

    // Sends a command; returns its "11" reply, keeping the "21" messages met on the way.
    std::string command(const std::string& json) {
        if (!send_frame("11", json)) return "";
        std::string type, payload;
        while (read_frame(&type, &payload)) {
            if (type != "21") return payload;
            messages.push_back(payload);
        }
        return "";
    }

    rawconn::Conn raw;
    std::vector<std::string> messages;

private:
    bool read_exact(std::string* dst, size_t n) {
        dst->assign(n, '\0');
        for (size_t got = 0; got < n;) {
            ssize_t r = gnutls_record_recv(s_, dst->data() + got, n - got);
            if (r == GNUTLS_E_AGAIN || r == GNUTLS_E_INTERRUPTED) continue;
            if (r <= 0) return false;
            got += static_cast<size_t>(r);
        }
        return true;
    }

    gnutls_session_t s_ = nullptr;
    gnutls_certificate_credentials_t cred_ = nullptr;
};

// The peer closed the plain connection (nothing more arrives) within timeout_ms.
bool closed_by_server(rawconn::Conn& c, int timeout_ms) {
    char buf[4096];
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < end) {
        struct pollfd p = {c.fd(), POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        ssize_t n = recv(c.fd(), buf, sizeof(buf), MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) return true;
    }
    return false;
}

std::string login_json(const std::string& user, const std::string& pass = "pw") {
    return rawconn::login_json(user, pass);
}

bool starts_with(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

// Upgrade, then log in, list, download whole and in pieces, upload and receive a message while
// a download runs: every byte compared. The fingerprint the client sees is the one the server
// logs and prints with --identity.
TEST(Tls, EverythingAfterTheUpgradeGoesThroughTls) {
    e2e::TestServer srv;
    const std::string big = stress::pattern(3 * 1024 * 1024 + 11, 7);
    e2e::write_file(srv.share + "/pub/big.bin", big);
    e2e::add_user(srv.data, "ann", "pw", 5);
    e2e::add_user(srv.data, "bob", "pw", 5);
    ASSERT_TRUE(srv.start()) << srv.out() << srv.err();

    rawconn::Conn bob;
    ASSERT_TRUE(bob.tcp("127.0.0.1", srv.port));
    ASSERT_TRUE(starts_with(bob.command(login_json("bob")), "{ \"RESULT\": \"OK\""));

    // A notice sent between the STARTTLS OK and the handshake waits for the handshake, then
    // comes through TLS.
    TlsConn c;
    ASSERT_TRUE(c.tcp("127.0.0.1", srv.port));
    EXPECT_NE(c.raw.command(e2e::cmd("FEATURES")).find("\"tls\" ]"), std::string::npos);
    ASSERT_EQ(c.raw.command(STARTTLS), OK);
    EXPECT_EQ(bob.command(e2e::cmd("MOD", {{"MOD", "notice"}})), OK);
    ASSERT_TRUE(c.handshake());
    EXPECT_EQ(c.command(e2e::cmd("HELLO")).find("\"RESULT\": \"OK\""), 2u);
    ASSERT_EQ(c.messages.size(), 1u);
    EXPECT_NE(c.messages[0].find("notice"), std::string::npos);
    std::string out, err;
    ASSERT_EQ(e2e::run_server({"--identity", "-c", srv.config}, &out, &err), 0) << err;
    EXPECT_EQ(out, c.fingerprint() + "\n");
    std::string admin;
    if (FILE* p = popen((std::string(BOARDHUB_ADMIN) + " -c " + srv.config + " fingerprint").c_str(),
                        "r")) {
        char line[256];
        while (fgets(line, sizeof(line), p)) admin += line;
        EXPECT_EQ(pclose(p), 0);
    }
    EXPECT_EQ(admin, out);
    EXPECT_TRUE(srv.wait_for_output("TLS identity " + c.fingerprint())) << srv.out();
    struct stat key;
    ASSERT_EQ(stat((srv.data + "/tls-key.pem").c_str(), &key), 0);
    EXPECT_EQ(key.st_mode & 0777, 0600u);

    EXPECT_EQ(c.command(e2e::cmd("FEATURES")).find("tls"), std::string::npos);
    EXPECT_EQ(c.command(STARTTLS), STATE);
    EXPECT_TRUE(starts_with(c.command(login_json("ann")), "{ \"RESULT\": \"OK\""));
    ASSERT_TRUE(c.send_frame("11", "{\"CMD\": \"LIST\", \"PATH\": \"/pub\"}"));
    std::string type, payload;
    ASSERT_TRUE(c.read_frame(&type, &payload));
    EXPECT_EQ(type + payload, "10FN,0," + std::to_string(big.size()) + ",big.bin\n");

    // A message to ann while her download is on its way arrives whole, after the file.
    ASSERT_TRUE(c.send_frame("11", "{\"CMD\": \"FILE\", \"FILE\": \"/pub/big.bin\"}"));
    EXPECT_EQ(bob.command(stress::jcmd("MESSAGE", {{"TO", std::string("ann")}, {"TYPE", 0LL},
                                                   {"MESSAGE", std::string("안녕")}})),
              OK);
    // The message comes before the reply or after the file, never inside the pair.
    std::vector<std::string> frames;
    for (int i = 0; i < 3 && c.read_frame(&type, &payload); i++) frames.push_back(type + payload);
    ASSERT_EQ(frames.size(), 3u);
    size_t reply = frames[0].compare(0, 2, "21") == 0 ? 1 : 0;
    EXPECT_EQ(frames[reply], "11" + OK);
    EXPECT_TRUE(frames[reply + 1] == "88" + big) << frames[reply + 1].size();
    const std::string& message = frames[reply == 1 ? 0 : 2];
    EXPECT_EQ(message.compare(0, 2, "21"), 0);
    EXPECT_NE(message.find("안녕"), std::string::npos) << message;

    // SEND from an offset, then NEXT.
    ASSERT_TRUE(c.send_frame("11", "{\"CMD\": \"SEND\", \"FILE\": \"/pub/big.bin\", \"SIZE\": "
                                   "65536, \"OFFSET\": 1000}"));
    ASSERT_TRUE(c.read_frame(&type, &payload));
    EXPECT_EQ(payload, OK);
    ASSERT_TRUE(c.read_frame(&type, &payload));
    EXPECT_EQ(type, "89");
    EXPECT_TRUE(payload == big.substr(1000, 65536));
    ASSERT_TRUE(c.send_frame("11", "{\"CMD\": \"NEXT\", \"SIZE\": 30000}"));
    ASSERT_TRUE(c.read_frame(&type, &payload));
    ASSERT_TRUE(c.read_frame(&type, &payload));
    EXPECT_TRUE(payload == big.substr(1000 + 65536, 30000));

    // An upload in content frames of every size up to the largest.
    const std::string up = stress::pattern(200000, 9);
    EXPECT_EQ(c.command("{\"CMD\": \"PUT\", \"FILE\": \"/pub/up.bin\", \"SIZE\": 200000}"), OK);
    std::string content;
    for (size_t off = 0, n = 1; off < up.size(); off += n, n = n * 7 % 65536 + 1) {
        n = std::min(n, up.size() - off);
        content += header("87", n) + up.substr(off, n);
    }
    ASSERT_TRUE(c.send_bytes(content));
    ASSERT_TRUE(c.read_frame(&type, &payload));
    EXPECT_EQ(payload, OK);
    EXPECT_TRUE(e2e::read_file(srv.share + "/pub/up.bin") == up);

    // An echo, and the session is still in step.
    ASSERT_TRUE(c.send_frame("10", "echo"));
    ASSERT_TRUE(c.read_frame(&type, &payload));
    EXPECT_EQ(type + payload, "10echo");
    EXPECT_EQ(bh::json_member(c.command(e2e::cmd("ID")), "NAME"), "ann");
    EXPECT_EQ(srv.stop(), 0);
}

// Each refusal leaves the session plain and usable: after LOGIN (STATE), with tls off and on
// the local socket (as an unknown command). The key is never served, by DATA nor a share link.
TEST(Tls, RefusalsLeaveThePlainSessionUsable) {
    e2e::TestServer srv;
    e2e::add_user(srv.data, "ann", "pw", 9);
    e2e::ServerOptions o;
    o.keys["socket"] = srv.dir.path + "/local.sock";
    ASSERT_TRUE(srv.start(o)) << srv.out() << srv.err();
    ASSERT_EQ(link((srv.data + "/tls-key.pem").c_str(), (srv.share + "/key.pem").c_str()), 0);

    rawconn::Conn c;
    ASSERT_TRUE(c.tcp("127.0.0.1", srv.port));
    ASSERT_TRUE(starts_with(c.command(login_json("ann")), "{ \"RESULT\": \"OK\""));
    EXPECT_EQ(c.command(STARTTLS), STATE);
    EXPECT_EQ(bh::json_member(c.command(e2e::cmd("ID")), "NAME"), "ann");
    EXPECT_EQ(c.command(e2e::cmd("DATA", {{"FILE", "/tls-key.pem"}})), "{ \"RESULT\": \"NONE\" }");
    EXPECT_EQ(c.command(e2e::cmd("FILE", {{"FILE", "/key.pem"}})), "{ \"RESULT\": \"NONE\" }");
    EXPECT_EQ(c.command(e2e::cmd("DATA", {{"FILE", "/tls-cert.pem"}})), OK);

    rawconn::Conn local;
    ASSERT_TRUE(local.local(srv.dir.path + "/local.sock"));
    EXPECT_EQ(local.command(e2e::cmd("FEATURES")).find("tls"), std::string::npos);
    EXPECT_EQ(local.command(STARTTLS), FAIL);
    EXPECT_TRUE(starts_with(local.command(e2e::cmd("HELLO")), "{ \"RESULT\": \"OK\""));
    EXPECT_EQ(srv.stop(), 0);

    e2e::TestServer off;
    o.keys = {{"tls", "off"}};
    ASSERT_TRUE(off.start(o)) << off.err();
    rawconn::Conn p;
    ASSERT_TRUE(p.tcp("127.0.0.1", off.port));
    EXPECT_EQ(p.command(e2e::cmd("FEATURES")).find("tls"), std::string::npos);
    EXPECT_EQ(p.command(STARTTLS), FAIL);
    EXPECT_TRUE(starts_with(p.command(e2e::cmd("HELLO")), "{ \"RESULT\": \"OK\""));
    struct stat st;
    EXPECT_NE(stat((off.data + "/tls-key.pem").c_str(), &st), 0) << "tls off makes no identity";
    EXPECT_EQ(off.stop(), 0);
}

// A garbage handshake closes the connection and frees its slot; a handshake that stops half
// way is cut at frame_timeout, and until then counts against its address's pre-login limit.
TEST(Tls, BrokenAndStalledHandshakesAreCut) {
    e2e::TestServer srv;
    e2e::ServerOptions o;
    o.keys = {{"frame_timeout", "2"}, {"prelogin_per_address", "2"}};
    ASSERT_TRUE(srv.start(o)) << srv.out() << srv.err();

    rawconn::Conn garbage;
    ASSERT_TRUE(garbage.tcp("127.0.0.5", srv.port));
    ASSERT_EQ(garbage.command(STARTTLS), OK);
    ASSERT_TRUE(garbage.send_frame("11", e2e::cmd("HELLO")));
    EXPECT_TRUE(closed_by_server(garbage, 10000));

    // Half a record of a ClientHello, then nothing.
    rawconn::Conn half, third;
    std::unique_ptr<rawconn::Conn> second;
    ASSERT_TRUE(half.tcp("127.0.0.5", srv.port));
    ASSERT_EQ(half.command(STARTTLS), OK);
    auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(send(half.fd(), "\x16\x03\x01\x02\x00\x01", 6, MSG_NOSIGNAL), 6);
    // The garbage connection's slot is freed: this address holds two again, the half handshake
    // and this one, and a third is refused.
    EXPECT_TRUE(stress::wait_until([&] {
        auto c = std::make_unique<rawconn::Conn>();
        if (!c->tcp("127.0.0.5", srv.port) ||
            !starts_with(c->command(e2e::cmd("HELLO")), "{ \"RESULT\": \"OK\""))
            return false;
        second = std::move(c);
        return true;
    }, 10000));
    ASSERT_TRUE(third.tcp("127.0.0.5", srv.port));
    EXPECT_TRUE(closed_by_server(third, 10000));

    EXPECT_TRUE(closed_by_server(half, 20000));
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_GE(s, 1.5);
    EXPECT_LT(s, 15.0);
    EXPECT_TRUE(srv.wait_for_output("TLS handshake time-out")) << srv.out();
    EXPECT_EQ(srv.stop(), 0);
}

// tls = require: a plain LOGIN or PASSWORD is refused before any password is looked at (no
// auth failure is recorded, however wrong it is); over TLS the login works.
TEST(Tls, RequireRefusesPasswordsInTheClear) {
    e2e::TestServer srv;
    e2e::add_user(srv.data, "ann", "pw", 5);
    e2e::ServerOptions o;
    o.keys = {{"tls", "require"}};
    ASSERT_TRUE(srv.start(o)) << srv.out() << srv.err();

    rawconn::Conn plain;
    ASSERT_TRUE(plain.tcp("127.0.0.1", srv.port));
    EXPECT_EQ(plain.command(login_json("ann", "wrong")), NEED_TLS);
    EXPECT_EQ(plain.command(login_json("ann")), NEED_TLS);
    EXPECT_EQ(plain.command("{\"CMD\": \"PASSWORD\", \"CURRENT\": \"pw\", \"NEW\": \"x\"}"),
              NEED_TLS);

    TlsConn c;
    ASSERT_TRUE(c.tcp("127.0.0.1", srv.port));
    ASSERT_TRUE(c.upgrade());
    EXPECT_TRUE(starts_with(c.command(login_json("ann")), "{ \"RESULT\": \"OK\""));
    EXPECT_TRUE(srv.wait_for_output("LOGIN refused: TLS is required")) << srv.out();
    EXPECT_EQ(srv.out().find("auth failure"), std::string::npos) << srv.out();
    EXPECT_EQ(srv.stop(), 0);
}

// What a hostile crowd can make the server hold: connections stopped in the middle of their
// handshakes and idle sessions logged in through TLS, all slots but one, within the 64 MiB the
// server is given. Prints the memory of one idle TLS session.
TEST(TlsMemory, HandshakesAndIdleSessionsStayInsideTheBudget) {
    const int kHalf = stress::kSanitized ? 20 : 100;
    const int kIdle = stress::kSanitized ? 20 : 99;
    e2e::TestServer srv;
    for (int i = 0; i < kIdle; i++) e2e::add_user(srv.data, "u" + std::to_string(i), "pw", 5);
    e2e::ServerOptions o;
    o.keys = {{"prelogin_slots", "200"}, {"prelogin_per_address", "200"}};
    ASSERT_TRUE(srv.start(o)) << srv.out() << srv.err();
    const long idle_kb = e2e::proc_status(srv.pid, "VmRSS");

    std::vector<std::unique_ptr<TlsConn>> idle;
    for (int i = 0; i < kIdle; i++) {
        idle.push_back(std::make_unique<TlsConn>());
        TlsConn& c = *idle.back();
        ASSERT_TRUE(c.tcp(("127.0.0." + std::to_string(2 + i % 50)).c_str(), srv.port)) << i;
        ASSERT_TRUE(c.upgrade()) << i;
        ASSERT_TRUE(starts_with(c.command(login_json("u" + std::to_string(i))),
                                "{ \"RESULT\": \"OK\"")) << i;
    }
    const long logged_kb = e2e::proc_status(srv.pid, "VmRSS");
    std::vector<std::unique_ptr<TlsConn>> half;
    for (int i = 0; i < kHalf; i++) {
        half.push_back(std::make_unique<TlsConn>());
        TlsConn& c = *half.back();
        ASSERT_TRUE(c.tcp(("127.0.1." + std::to_string(2 + i % 50)).c_str(), srv.port)) << i;
        ASSERT_TRUE(c.upgrade(false)) << i;
    }
    // Every half handshake has been answered: the server holds its state for each.
    EXPECT_TRUE(stress::wait_until([&] {
        for (auto& c : half) {
            struct pollfd p = {c->raw.fd(), POLLIN, 0};
            if (poll(&p, 1, 0) != 1) return false;
        }
        return true;
    }, 30000));
    const long peak_kb = e2e::proc_status(srv.pid, "VmHWM");
    const long all_kb = e2e::proc_status(srv.pid, "VmRSS");
    printf("[ figures  ] VmRSS idle %ld kB; %d idle TLS sessions %ld kB (%ld kB each); with %d "
           "half handshakes %ld kB (%ld kB each); VmHWM %ld kB\n",
           idle_kb, kIdle, logged_kb, (logged_kb - idle_kb) / kIdle, kHalf, all_kb,
           (all_kb - logged_kb) / kHalf, peak_kb);
    if (!stress::kSanitized) {
        EXPECT_LT(peak_kb, 64 * 1024);
    }
    EXPECT_TRUE(starts_with(idle[0]->command(e2e::cmd("HELLO")), "{ \"RESULT\": \"OK\""));
    EXPECT_EQ(srv.stop(), 0);
}
