// Whom the server trusts: a local user that is neither root nor the gateway's (a child that
// became "nobody") and TCP from 127.0.0.1 are guarded like LAN hosts, each under its own key;
// root on the local socket is not slowed.
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <vector>

#include "raw_conn.h"
#include "stress.h"

using rawconn::Conn;
using rawconn::login_json;
using stress::count_of;

namespace {

const std::string kFail100 = R"({ "RESULT": "FAIL", "ERROR": 100 })";
constexpr uid_t kNobody = 65534;

// A child process running as the user nobody. It writes its findings to the parent and may
// wait, holding what it opened, until the parent lets it go.
class Nobody {
public:
    template <typename Fn>
    explicit Nobody(Fn fn) {
        int up[2], down[2];
        if (pipe(up) != 0 || pipe(down) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            close(up[0]);
            close(down[1]);
            if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0)
                _exit(2);
            std::string said = fn();
            ssize_t w = write(up[1], said.data(), said.size());
            close(up[1]);
            char c;
            while (read(down[0], &c, 1) > 0) {
            }
            _exit(w < 0 ? 3 : 0);
        }
        close(up[1]);
        close(down[0]);
        from_ = up[0];
        to_ = down[1];
    }
    // What the child wrote (it has finished its work).
    std::string said() {
        std::string text;
        char buf[256];
        ssize_t n;
        while ((n = read(from_, buf, sizeof(buf))) > 0) text.append(buf, static_cast<size_t>(n));
        return text;
    }
    ~Nobody() {
        close(to_);
        close(from_);
        int status;
        if (pid_ > 0) waitpid(pid_, &status, 0);
    }

private:
    pid_t pid_ = -1;
    int from_ = -1, to_ = -1;
};

// A server with its local socket where nobody can reach it, trusting no TCP address.
bool start_guarded(e2e::TestServer& srv, const std::string& sock) {
    e2e::add_user(srv.data, "ann", "pw", 5);
    chmod(srv.dir.path.c_str(), 0755);
    e2e::ServerOptions o;
    o.keys["socket"] = sock;
    o.keys["trusted_addresses"] = "";
    return srv.start(o);
}

}  // namespace

TEST(PeerTrust, LocalUsersAndLoopbackTcpAreSlowedRootIsNot) {
    e2e::TestServer srv;
    const std::string sock = srv.dir.path + "/hub.sock";
    ASSERT_TRUE(start_guarded(srv, sock)) << srv.out() << srv.err();

    // Two guesses of a local user: 1 s, then 2 s, like any LAN host.
    Nobody guesser([&] {
        Conn c;
        if (!c.local(sock)) return std::string("no connection");
        double first = 0, second = 0;
        std::string r1 = c.command(login_json("ann", "x1"), &first);
        std::string r2 = c.command(login_json("ann", "x2"), &second);
        return r1 + "|" + r2 + "|" + std::to_string(static_cast<long>(first)) + " " +
               std::to_string(static_cast<long>(second));
    });
    std::string said = guesser.said();
    EXPECT_EQ(said.substr(0, 2 * kFail100.size() + 2), kFail100 + "|" + kFail100 + "|") << said;
    long first = 0, second = 0;
    sscanf(said.c_str() + std::min(said.size(), 2 * kFail100.size() + 2), "%ld %ld", &first,
           &second);
    EXPECT_GE(first, 900) << said;
    EXPECT_GE(second, 1900) << said;
    EXPECT_TRUE(srv.wait_for_output("LOGIN auth failure from local:65534"));

    // Root on the local socket: answered at once, however often.
    Conn root;
    ASSERT_TRUE(root.local(sock));
    for (int i = 0; i < 3; i++) {
        double ms = 0;
        EXPECT_EQ(root.command(login_json("ann", "nope"), &ms), kFail100);
        EXPECT_LT(ms, 900);
    }
    // TCP from 127.0.0.1 cannot tell a local user from root: it is slowed.
    Conn loop;
    ASSERT_TRUE(loop.tcp("127.0.0.1", srv.port));
    double ms = 0;
    EXPECT_EQ(loop.command(login_json("ann", "nope"), &ms), kFail100);
    EXPECT_GE(ms, 900);
    EXPECT_TRUE(srv.wait_for_output("LOGIN auth failure from 127.0.0.1"));
}

TEST(PeerTrust, AnonymousLocalConnectionsCannotLockOutTheLan) {
    e2e::TestServer srv;
    const std::string sock = srv.dir.path + "/hub.sock";
    ASSERT_TRUE(start_guarded(srv, sock)) << srv.out() << srv.err();

    // A local user opens every connection it can and holds them, never logging in.
    std::vector<Conn> held;
    Nobody hog([&] {
        for (int i = 0; i < 200; i++) {
            Conn c;
            if (!c.local(sock)) break;
            held.push_back(std::move(c));
        }
        // Each connection has been taken or refused once it answers HELLO or ends.
        int kept = 0;
        for (auto& c : held) kept += !c.command("{\"CMD\":\"HELLO\"}").empty();
        return std::to_string(kept);
    });
    long kept = atol(hog.said().c_str());
    EXPECT_EQ(kept, 5) << "connections of one local user held before a login";
    EXPECT_TRUE(srv.wait_for_output("CLIENT local:65534 refused: 5 connections of this address"));

    // A LAN host logs in at once meanwhile.
    Conn lan;
    ASSERT_TRUE(lan.tcp("127.0.0.2", srv.port));
    double ms = 0;
    std::string reply = lan.command(login_json("ann", "pw"), &ms);
    EXPECT_NE(reply.find("\"RESULT\": \"OK\""), std::string::npos) << reply;
    EXPECT_LT(ms, 1000);
    EXPECT_EQ(count_of(srv.out(), "CLIENT local:65534 ("), 5u);
}

TEST(PeerTrust, SettingsAreChecked) {
    e2e::TestServer bad;
    e2e::ServerOptions o;
    o.keys["trusted_addresses"] = "127.0.0.1, 10.0.0.300";
    EXPECT_FALSE(bad.start(o));
    EXPECT_NE(bad.err().find("\"10.0.0.300\" in \"trusted_addresses\" is no IPv4 address"),
              std::string::npos)
        << bad.err();

    // A trusted local user, named or by its group, is not slowed; an unknown name is said once.
    for (const char* trusted : {"root, @no-such-group, nobody", "@nogroup"}) {
        e2e::TestServer srv;
        e2e::add_user(srv.data, "ann", "pw", 5);
        chmod(srv.dir.path.c_str(), 0755);
        const std::string sock = srv.dir.path + "/hub.sock";
        o.keys["trusted_addresses"] = "";
        o.keys["socket"] = sock;
        o.keys["local_trusted"] = trusted;
        ASSERT_TRUE(srv.start(o)) << srv.out() << srv.err();
        Nobody guesser([&] {
            Conn c;
            double ms = 0;
            if (!c.local(sock) || c.command(login_json("ann", "x"), &ms) != kFail100)
                return std::string("-1");
            return std::to_string(static_cast<long>(ms));
        });
        long ms = atol(guesser.said().c_str());
        EXPECT_GE(ms, 0) << trusted;
        EXPECT_LT(ms, 900) << trusted;
        EXPECT_EQ(count_of(srv.out(), "no such user or group"),
                  std::string(trusted).find("no-such") != std::string::npos ? 1u : 0u);
    }
}
