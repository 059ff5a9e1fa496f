// boardhub-bench: measures the server against what a user would run instead (nginx for files,
// Redis for round trips and fan-out), with one client for all of them: the same 64 KiB receive
// buffer, the same request loops, only the request and reply formats differ.
//
//   boardhub-bench world DIR [--big-mib N] [--port P] [--socket PATH] [--camera-port P --camera-device DEV]
//   boardhub-bench run --world DIR --ours PORT:PID [--camera PORT:PID] [--nginx PORT:PID]
//                      [--nginx-nopush-off PORT:PID] [--nginx-tls PORT:PID] [--redis PORT:PID]
//                      [--repeats N]
//                      [--json FILE] [--cases 1,2,..]
//                      [--note KEY=VALUE]...
//   boardhub-bench --smoke --server BIN [--fake LIB]   (LIB: the stand-in camera library)
#include <fcntl.h>
#include <poll.h>
#include <link.h>
#include <signal.h>
#include <sys/epoll.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_net.h"
#include "bench_world.h"

namespace fs = std::filesystem;
using namespace bench;

namespace {

// ---------------------------------------------------------------------------------------------
// Settings and targets.

struct Sizes {
    uint64_t big_bytes = 256ull << 20;
    int pieces64 = 4096;     // 64 KiB pieces per sample (the whole 256 MiB file)
    int pieces4 = 16384;     // 4 KiB pieces per sample
    double rt_seconds = 3;   // per round-trip sample
    int sessions = 200;      // idle sessions, fan-out receivers + 1
    int fanout_iters = 300;
    int stuck_iters = 100;
    int stuck_prefill_max = 40000;
    double camera_seconds = 3;
    int churn = 10000;
    int list_iters = 200;
    int tls_connects = 1000;  // new TLS connections per sample
};

Sizes smoke_sizes() {
    Sizes s;
    s.big_bytes = 4ull << 20;
    s.pieces64 = 64;
    s.pieces4 = 256;
    s.rt_seconds = 0.3;
    s.sessions = 20;
    s.fanout_iters = 5;
    s.stuck_iters = 5;
    s.stuck_prefill_max = 100;
    s.camera_seconds = 0.3;
    s.churn = 100;
    s.list_iters = 3;
    s.tls_connects = 5;
    return s;
}

struct Target {
    int port = 0;
    int pid = 0;
    std::vector<int> pids;  // the process and, for nginx, its workers
    bool on() const { return port > 0; }
};

struct Env {
    // nginx: tcp_nopush on; nginx_off: the same with tcp_nopush off. Each nginx case runs on
    // both and keeps the better of the two, so that neither setting flatters us.
    Target ours, camera, nginx, nginx_off, redis;
    Target nginx_tls;    // nginx's HTTPS server block (sendfile off), the peer of the TLS cases
    Target web, webcam;  // boardhub-web in front of ours and of the camera server
    Sizes sz;
    bool smoke = false;
};

// A case fails with a reason; "not served" when the server answers the command as unknown
// (a subsystem that is not there), which the smoke run reports without failing.
struct CaseError {
    std::string what;
    bool not_served = false;
};

using Metrics = std::map<std::string, double>;
using CaseFn = std::function<void(const Env&, Metrics&)>;

[[noreturn]] void fail(const std::string& what, bool not_served = false) {
    throw CaseError{what, not_served};
}

// ---------------------------------------------------------------------------------------------
// Helpers shared by the cases.

std::string json_cmd(const std::string& word, const std::string& rest = "") {
    return our_cmd("{\"CMD\":\"" + word + "\"" + rest + "}");
}

std::string login_cmd(int user) {
    return json_cmd("LOGIN", ",\"VERSION\":\"3.0.0\",\"USERNAME\":\"" + user_name(user) +
                                 "\",\"PASSWORD\":\"" + USER_PASSWORD + "\"");
}

[[noreturn]] void check_reply(const Conn& c, const char* what) {
    if (!c.parser.error()) fail(std::string(what) + ": no reply");
    const std::string& t = c.parser.text();
    bool unknown = t.find("FAIL") != std::string::npos || t.find("NONE") != std::string::npos;
    fail(std::string(what) + ": " + (t.empty() ? "error" : t.substr(0, 80)), unknown);
}

std::unique_ptr<Conn> open_conn(const Target& t, int rcvbuf = 0) {
    auto c = std::make_unique<Conn>();
    c->fd = connect_loopback(t.port, rcvbuf);
    if (c->fd < 0) fail("connect to port " + std::to_string(t.port) + ": " + strerror(errno));
    return c;
}

// What each side negotiated on its TLS sessions (printed under the table).
std::map<std::string, std::string> tls_seen;

// Upgrades a fresh connection to TLS: ours asks STARTTLS first (a server without it answers
// FAIL: "not served"); nginx's HTTPS port speaks TLS from the first byte.
void start_tls(Conn& c, bool ours) {
    if (ours) {
        c.parser.reset(Proto::Ours, 1);
        if (!c.exchange(json_cmd("STARTTLS"))) fail("STARTTLS: connection failed");
        if (c.parser.text().find("\"OK\"") == std::string::npos) {
            // Not served only where the server does not offer it.
            std::string reply = c.parser.text().substr(0, 80);
            c.parser.reset(Proto::Ours, 1);
            bool offered = c.exchange(json_cmd("FEATURES")) &&
                           c.parser.text().find("\"tls\"") != std::string::npos;
            fail("STARTTLS: " + reply, !offered);
        }
        if (c.have != 0) fail("STARTTLS: bytes after the reply");
    }
    std::string err;
    if (!tls_start(c, err)) fail(err);
    tls_seen[ours ? "ours" : "nginx"] = tls_description(c);
}

std::unique_ptr<Conn> open_session(const Target& t, bool ours, bool tls, int rcvbuf = 0) {
    auto c = open_conn(t, rcvbuf);
    if (tls) start_tls(*c, ours);
    return c;
}

// Logs a connection in; a server without accounts answers FAIL, which the cases accept (their
// commands then run as a session that has not logged in).
void login(Conn& c, int user) {
    c.parser.reset(Proto::Ours, 1);
    if (!c.exchange(login_cmd(user))) fail("LOGIN: connection failed");
}

double percentile(std::vector<double> v, double p) {
    if (v.empty()) return NAN;
    std::sort(v.begin(), v.end());
    size_t i = static_cast<size_t>(std::ceil(p / 100.0 * static_cast<double>(v.size()))) ;
    if (i > 0) i--;
    return v[std::min(i, v.size() - 1)];
}

void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Waits until the server has let go of closed connections: its thread and descriptor counts
// are back to base (or the time-out passed).
void settle(const Target& t, const ProcStats& base, int timeout_ms = 3000) {
    int64_t end = now_ns() + int64_t{timeout_ms} * 1000000;
    while (now_ns() < end) {
        ProcStats s = proc_stats(t.pids);
        if (s.threads <= base.threads && s.fds <= base.fds) return;
        sleep_ms(5);
    }
}

// The closed loop of the round-trip cases: every connection has one request in flight; a
// reply is timed and the next request sent at once. Latencies in microseconds.
struct LoopResult {
    uint64_t done = 0;   // replies in the measured time
    uint64_t total = 0;  // replies, warm-up included
    double seconds = 0;
    std::vector<double> lat_us;
};

LoopResult closed_loop(std::vector<std::unique_ptr<Conn>>& conns, Proto proto, int frames,
                       const std::string& request, double seconds) {
    int ep = epoll_create1(EPOLL_CLOEXEC);
    for (size_t i = 0; i < conns.size(); i++) {
        struct epoll_event ev = {};
        ev.events = EPOLLIN;
        ev.data.u64 = i;
        epoll_ctl(ep, EPOLL_CTL_ADD, conns[i]->fd, &ev);
    }
    LoopResult r;
    r.lat_us.reserve(1 << 20);
    int64_t start = now_ns();
    int64_t warm = start + static_cast<int64_t>(seconds * 0.1e9);
    int64_t end = warm + static_cast<int64_t>(seconds * 1e9);
    int64_t measured_from = 0;
    for (auto& c : conns) {
        c->parser.reset(proto, frames);
        c->sent_at = now_ns();
        if (!c->send(request)) fail("send failed");
        c->pending = 1;
    }
    size_t in_flight = conns.size();
    struct epoll_event evs[256];
    while (in_flight > 0) {
        int n = epoll_wait(ep, evs, 256, 10000);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            close(ep);
            fail("no reply within 10 s");
        }
        int64_t now = now_ns();
        if (measured_from == 0 && now >= warm) {
            measured_from = now;
            r.lat_us.clear();
            r.done = 0;
        }
        for (int i = 0; i < n; i++) {
            Conn& c = *conns[evs[i].data.u64];
            if (c.read_some() <= 0) {
                close(ep);
                fail("connection closed during the loop");
            }
            while (c.pending && c.consume()) {
                if (c.parser.error()) {
                    close(ep);
                    check_reply(c, "reply");
                }
                now = now_ns();
                r.lat_us.push_back(static_cast<double>(now - c.sent_at) / 1000.0);
                r.done++;
                r.total++;
                c.pending = 0;
                in_flight--;
                if (now < end) {
                    c.parser.reset(proto, frames);
                    c.sent_at = now;
                    if (!c.send(request)) fail("send failed");
                    c.pending = 1;
                    in_flight++;
                }
            }
        }
    }
    r.seconds = static_cast<double>(now_ns() - (measured_from ? measured_from : start)) / 1e9;
    close(ep);
    return r;
}

// ---------------------------------------------------------------------------------------------
// Case 1: whole download.

void whole_download(const Target& t, bool ours, const Env& env, Metrics& m,
                    const std::string& key = "1", bool tls = false) {
    auto c = open_session(t, ours, tls);
    if (ours) login(*c, 0);
    double cpu0 = cpu_seconds(t.pids);
    int64_t t0 = now_ns();
    if (ours) {
        c->parser.reset(Proto::Ours, 2);
        if (!c->exchange(json_cmd("FILE", ",\"FILE\":\"" + std::string(BIG_FILE) + "\"")))
            check_reply(*c, "FILE");
    } else {
        c->parser.reset(Proto::Http);
        if (!c->exchange(http_get(BIG_FILE))) fail("GET failed");
    }
    int64_t t1 = now_ns();
    double cpu = cpu_seconds(t.pids) - cpu0;
    uint64_t bytes = c->parser.body_bytes();
    if (bytes != env.sz.big_bytes) fail("got " + std::to_string(bytes) + " bytes");
    double secs = static_cast<double>(t1 - t0) / 1e9;
    m[key + ".mbps"] = static_cast<double>(bytes) / 1e6 / secs;
    m[key + ".cpu_gib"] = cpu / (static_cast<double>(bytes) / (1u << 30));
}

// Case 2: pieces of one file, one request each.

void pieces(const Target& t, bool ours, const Env& env, Metrics& m, size_t piece, int count,
            const std::string& key, bool tls = false) {
    count = static_cast<int>(std::min<uint64_t>(static_cast<uint64_t>(count),
                                                 env.sz.big_bytes / piece));
    auto c = open_session(t, ours, tls);
    if (ours) login(*c, 0);
    std::vector<double> lat;
    lat.reserve(static_cast<size_t>(count));
    double cpu0 = cpu_seconds(t.pids);
    int64_t t0 = now_ns();
    std::string size = std::to_string(piece);
    std::string next = json_cmd("NEXT", ",\"SIZE\":" + size);
    for (int i = 0; i < count; i++) {
        bool ok;
        if (ours) {
            c->parser.reset(Proto::Ours, 2);
            ok = c->exchange(i == 0 ? json_cmd("SEND", ",\"FILE\":\"" + std::string(BIG_FILE) +
                                                           "\",\"SIZE\":" + size)
                                    : next);
            if (!ok) check_reply(*c, i == 0 ? "SEND" : "NEXT");
        } else {
            c->parser.reset(Proto::Http);
            int64_t from = static_cast<int64_t>(piece) * i;
            ok = c->exchange(http_get(BIG_FILE, from, from + static_cast<int64_t>(piece) - 1));
            if (!ok) fail("GET with Range failed");
        }
        if (c->parser.body_bytes() != piece) fail("short piece");
        lat.push_back(static_cast<double>(now_ns() - c->sent_at) / 1000.0);
    }
    double secs = static_cast<double>(now_ns() - t0) / 1e9;
    double cpu = cpu_seconds(t.pids) - cpu0;
    m[key + ".mbps"] = static_cast<double>(piece) * count / 1e6 / secs;
    m[key + ".us_p50"] = percentile(lat, 50);
    m[key + ".us_p99"] = percentile(lat, 99);
    m[key + ".cpu_us"] = cpu * 1e6 / count;
}

// Case 3: round trips at a number of connections.

void round_trips(const Target& t, bool ours, const Env& env, Metrics& m, int conns,
                 const std::string& key, bool tls = false) {
    std::vector<std::unique_ptr<Conn>> cs;
    std::string request = ours ? json_cmd("HELLO") : std::string("PING\r\n");
    Proto proto = ours ? Proto::Ours : Proto::Redis;
    // One round trip on each connection first: the loop measures requests, not connection
    // set-up (a burst of connects beyond a server's listen backlog waits for the kernel to
    // retransmit the handshake, a second and more).
    for (int i = 0; i < conns; i++) {
        cs.push_back(open_session(t, ours, tls));
        cs.back()->parser.reset(proto);
        if (!cs.back()->exchange(request)) fail("first round trip failed");
    }
    LoopResult r = closed_loop(cs, proto, 1, request, env.sz.rt_seconds);
    m[key + ".rps"] = static_cast<double>(r.done) / r.seconds;
    m[key + ".p50_us"] = percentile(r.lat_us, 50);
    m[key + ".p99_us"] = percentile(r.lat_us, 99);
    m[key + ".max_us"] = percentile(r.lat_us, 100);
}

// Case 4: idle sessions.

void idle_sessions(const Target& t, bool ours, const Env& env, Metrics& m,
                   const std::string& key = "4", bool tls = false) {
    ProcStats base = proc_stats(t.pids);
    std::vector<std::unique_ptr<Conn>> cs;
    for (int i = 0; i < env.sz.sessions; i++) {
        cs.push_back(open_session(t, ours, tls));
        Conn& c = *cs.back();
        if (ours) {
            login(c, i);
        } else {
            c.parser.reset(Proto::Redis);
            if (!c.exchange("PING\r\n")) fail("PING failed");
        }
    }
    sleep_ms(300);
    ProcStats s = proc_stats(t.pids);
    m[key + ".rss_per_kib"] = static_cast<double>(s.rss_kib - base.rss_kib) / env.sz.sessions;
    m[key + ".vsize_mib"] = static_cast<double>(s.vsize_kib) / 1024.0;
    m[key + ".threads"] = static_cast<double>(s.threads);
    m[key + ".fds"] = static_cast<double>(s.fds);
    cs.clear();
    settle(t, base);
}

// Case 5: a notice to every other session (ours: MOD; Redis: PUBLISH to subscribers).
//
// The stuck variant first fills the kernel's queue towards the stuck receiver, the state in
// which a sender could wait on it: notices go out in batches, each batch in one write, until
// that queue stops growing. Then single notices are timed as in the first variant.

void fan_out(const Target& t, bool ours, const Env& env, Metrics& m, bool stuck,
             const std::string& key) {
    ProcStats base = proc_stats(t.pids);
    int total = env.sz.sessions;
    std::vector<std::unique_ptr<Conn>> cs;
    const std::string channel = "bh";
    auto redis_array = [](std::initializer_list<std::string> items, const std::string& tail) {
        std::string s = "*" + std::to_string(items.size() + (tail.empty() ? 0 : 1)) + "\r\n";
        for (const auto& it : items) s += "$" + std::to_string(it.size()) + "\r\n" + it + "\r\n";
        return s + tail;
    };
    // The stuck receiver takes almost nothing and never reads. It connects second, so it
    // comes before every other receiver in the server's slot order.
    const int stuck_idx = stuck ? 1 : -1;
    for (int i = 0; i < total; i++) {
        bool is_stuck = i == stuck_idx;
        cs.push_back(open_conn(t, is_stuck ? 2048 : 0));
        Conn& c = *cs.back();
        if (ours) {
            login(c, i);
        } else if (i > 0) {
            c.parser.reset(Proto::Fixed, 1, redis_array({"subscribe", channel}, ":1\r\n").size());
            if (!c.exchange("SUBSCRIBE " + channel + "\r\n")) fail("SUBSCRIBE failed");
        }
    }
    int stuck_port = stuck ? local_port(cs[1]->fd) : -1;
    int ep = epoll_create1(EPOLL_CLOEXEC);
    for (size_t i = 0; i < cs.size(); i++) {
        if (static_cast<int>(i) == stuck_idx) continue;
        struct epoll_event ev = {};
        ev.events = EPOLLIN;
        ev.data.u64 = i;
        epoll_ctl(ep, EPOLL_CTL_ADD, cs[i]->fd, &ev);
    }
    struct EpollCloser {
        int fd;
        ~EpollCloser() { close(fd); }
    } ep_closer{ep};

    // Sends count notices in one write and waits for every delivery; t_first/t_last: the
    // first and the last completed receiver (the sender's own replies do not count).
    int serial = 0;
    auto batch = [&](int count, int64_t& t_first, int64_t& t_last) {
        std::string request;
        std::string msg;
        for (int k = 0; k < count; k++) {
            char text[160];
            snprintf(text, sizeof(text), "bench-notice-%08d-%0120d", serial++, 0);
            msg = text;  // every notice of a run has the same length
            request += ours ? json_cmd("MOD", ",\"MOD\":\"" + msg + "\"")
                            : "PUBLISH " + channel + " " + msg + "\r\n";
        }
        size_t waiting = 0;
        for (size_t i = 0; i < cs.size(); i++) {
            if (static_cast<int>(i) == stuck_idx) continue;
            Conn& c = *cs[i];
            if (i == 0 && ours)
                c.parser.reset(Proto::Ours, 2 * count);  // its replies and its own notices
            else if (i == 0)
                c.parser.reset(Proto::Fixed, 1,
                               count * (":" + std::to_string(total - 1) + "\r\n").size());
            else if (ours)
                c.parser.reset(Proto::Ours, count);
            else
                c.parser.reset(Proto::Fixed, 1,
                               count * redis_array({"message", channel, msg}, "").size());
            c.pending = 1;
            waiting++;
        }
        int64_t t0 = now_ns();
        t_first = t_last = 0;
        if (!send_all(cs[0]->fd, request.data(), request.size())) fail("send failed");
        struct epoll_event evs[256];
        while (waiting > 0) {
            int n = epoll_wait(ep, evs, 256, 10000);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) fail("a notice did not arrive within 10 s");
            for (int e = 0; e < n; e++) {
                size_t i = evs[e].data.u64;
                Conn& c = *cs[i];
                ssize_t got = recv(c.fd, c.buf.data() + c.have, c.buf.size() - c.have, 0);
                if (got <= 0) fail("connection closed during fan-out");
                c.have += static_cast<size_t>(got);
                if (c.pending && c.consume()) {
                    if (c.parser.error()) check_reply(c, "MOD");
                    c.pending = 0;
                    waiting--;
                    if (i == 0) continue;  // the sender's own reply is not a delivery
                    int64_t now = now_ns();
                    if (t_first == 0) t_first = now;
                    t_last = now;
                }
            }
        }
        t_first -= t0;
        t_last -= t0;
    };

    int64_t t_first, t_last;
    int prefill = 0;
    if (stuck) {
        long seen = -1;
        int flat = 0;
        int64_t until = now_ns() + 60 * 1000000000LL;
        while (flat < 3 && prefill < env.sz.stuck_prefill_max && now_ns() < until) {
            batch(50, t_first, t_last);
            prefill += 50;
            long q = server_send_queue(t.port, stuck_port);
            flat = q <= seen ? flat + 1 : 0;
            seen = std::max(seen, q);
        }
        m[key + ".queue_kib"] = static_cast<double>(seen) / 1024.0;
    }
    std::vector<double> first, last;
    int iters = stuck ? env.sz.stuck_iters : env.sz.fanout_iters;
    for (int it = 0; it < iters; it++) {
        batch(1, t_first, t_last);
        first.push_back(static_cast<double>(t_first) / 1000.0);
        last.push_back(static_cast<double>(t_last) / 1000.0);
    }
    if (!stuck) m[key + ".first_p50_us"] = percentile(first, 50);
    m[key + ".last_p50_us"] = percentile(last, 50);
    m[key + ".last_p99_us"] = percentile(last, 99);
    m[key + ".last_max_us"] = percentile(last, 100);
    if (stuck) m[key + ".prefill"] = prefill;
    if (ours) {
        // Leave no notice behind for later logins.
        Conn& c = *cs[0];
        c.parser.reset(Proto::Ours, 1);
        c.exchange(json_cmd("MOD", ",\"MOD\":\"\""));
    }
    cs.clear();
    settle(t, base);
}

// Case 6: camera frames at a number of clients.

void camera_frames(const Target& t, const Env& env, Metrics& m, int clients,
                   const std::string& key) {
    std::vector<std::unique_ptr<Conn>> cs;
    for (int i = 0; i < clients; i++) {
        cs.push_back(open_conn(t));
        login(*cs.back(), i);
    }
    double cpu0 = cpu_seconds(t.pids);
    LoopResult r = closed_loop(cs, Proto::Ours, 2, json_cmd("CAMERA"), env.sz.camera_seconds);
    double cpu = cpu_seconds(t.pids) - cpu0;
    m[key + ".fps"] = static_cast<double>(r.done) / r.seconds;
    m[key + ".ms_frame"] = cpu * 1000.0 / static_cast<double>(std::max<uint64_t>(r.total, 1));
    m[key + ".p50_ms"] = percentile(r.lat_us, 50) / 1000.0;
}

// Case 7: connect, one round trip, close.

void churn(const Target& t, bool ours, const Env& env, Metrics& m) {
    ProcStats base = proc_stats(t.pids);
    std::string request = ours ? json_cmd("HELLO") : std::string("PING\r\n");
    Conn c;
    double busy = 0;
    ProcStats mid;
    double cpu0 = process_cpu_seconds(t.pids);
    for (int half = 0; half < 2; half++) {
        int64_t t0 = now_ns();
        for (int i = 0; i < env.sz.churn / 2; i++) {
            c.fd = connect_loopback(t.port);
            if (c.fd < 0) fail(std::string("connect: ") + strerror(errno));
            c.have = 0;
            c.parser.reset(ours ? Proto::Ours : Proto::Redis);
            if (!c.exchange(request)) fail("round trip failed");
            c.close();
        }
        busy += static_cast<double>(now_ns() - t0) / 1e9;
        settle(t, base);
        if (half == 0) mid = proc_stats(t.pids);
    }
    ProcStats end = proc_stats(t.pids);
    m["7.cps"] = env.sz.churn / busy;
    m["7.cpu_us"] = (process_cpu_seconds(t.pids) - cpu0) * 1e6 / env.sz.churn;
    m["7.fd_delta"] = static_cast<double>(end.fds - base.fds);
    m["7.rss_base_kib"] = static_cast<double>(base.rss_kib);
    m["7.rss_mid_kib"] = static_cast<double>(mid.rss_kib);
    m["7.rss_end_kib"] = static_cast<double>(end.rss_kib);
}

// Case 15: a new TLS connection each time, handshake included, up to the first answer: ours
// connects, asks STARTTLS, shakes hands and logs in; nginx shakes hands on its HTTPS port and
// answers a GET of a small file. The client ends each with close_notify and closes.

void tls_connects(const Target& t, bool ours, const Env& env, Metrics& m) {
    ProcStats base = proc_stats(t.pids);
    const std::string get = http_get(std::string(MANY_FOLDER) + "/file_0000.dat");
    std::vector<double> lat;
    lat.reserve(static_cast<size_t>(env.sz.tls_connects));
    double cpu0 = process_cpu_seconds(t.pids);
    int64_t t0 = now_ns();
    for (int i = 0; i < env.sz.tls_connects; i++) {
        int64_t start = now_ns();
        auto c = open_session(t, ours, true);
        if (ours) {
            c->parser.reset(Proto::Ours, 1);
            if (!c->exchange(login_cmd(0)) || c->parser.text().find("\"OK\"") == std::string::npos)
                fail("LOGIN over TLS: " + c->parser.text().substr(0, 80));
        } else {
            c->parser.reset(Proto::Http);
            if (!c->exchange(get)) fail("GET over TLS failed");
        }
        lat.push_back(static_cast<double>(now_ns() - start) / 1e6);
    }
    double secs = static_cast<double>(now_ns() - t0) / 1e9;
    settle(t, base);
    m["15.cps"] = env.sz.tls_connects / secs;
    m["15.ms_p50"] = percentile(lat, 50);
    m["15.ms_p99"] = percentile(lat, 99);
    m["15.cpu_us"] = (process_cpu_seconds(t.pids) - cpu0) * 1e6 / env.sz.tls_connects;
}

// Case 8: a listing of a large folder (nginx: its autoindex page of the same folder).

void listing(const Target& t, bool ours, const Env& env, Metrics& m) {
    auto c = open_conn(t);
    if (ours) login(*c, 0);
    // A share at rest: both sides list untimed for REST_SECONDS first, so that the world made
    // just before is older than 2 s, the age under which the server caches nothing of a folder
    // or an access file. BENCH_LIST_COLD=1 in the environment skips this: the listings are then
    // of a folder just made, as of a share being written.
    auto one = [&]() {
        if (ours) {
            c->parser.reset(Proto::Ours, 1);
            if (!c->exchange(json_cmd("LIST", ",\"PATH\":\"" + std::string(MANY_FOLDER) + "\"")))
                fail("LIST failed");
        } else {
            c->parser.reset(Proto::Http);
            if (!c->exchange(http_get(std::string(MANY_FOLDER) + "/"))) fail("autoindex failed");
        }
    };
    constexpr int64_t REST_SECONDS = 3;
    if (!env.smoke && !getenv("BENCH_LIST_COLD"))
        for (int64_t until = now_ns() + REST_SECONDS * 1000000000; now_ns() < until;) one();
    std::vector<double> lat;
    for (int i = 0; i < env.sz.list_iters; i++) {
        if (ours) {
            c->parser.reset(Proto::Ours, 1);
            if (!c->exchange(json_cmd("LIST", ",\"PATH\":\"" + std::string(MANY_FOLDER) + "\"")))
                fail("LIST failed");
            const std::string& text = c->parser.text();
            if (c->parser.type() != "10" || text.size() < 3 || text[2] != ',')
                fail("LIST: " + text.substr(0, 40), text.find("FAIL") != std::string::npos);
        } else {
            c->parser.reset(Proto::Http);
            if (!c->exchange(http_get(std::string(MANY_FOLDER) + "/"))) fail("autoindex failed");
        }
        lat.push_back(static_cast<double>(now_ns() - c->sent_at) / 1000.0);
    }
    m["8.ms_p50"] = percentile(lat, 50) / 1000.0;
    m["8.ms_max"] = percentile(lat, 100) / 1000.0;
}

// Cases 9 to 11: the web gateway. A browser signs in with a POST and carries the cookie.

std::string web_login(const Target& t, int user) {
    auto c = open_conn(t);
    std::string body = "{\"user\":\"" + user_name(user) + "\",\"password\":\"" + USER_PASSWORD + "\"}";
    c->parser.reset(Proto::Http);
    if (!c->exchange("POST /api/login HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
                     "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body) ||
        c->parser.status() != 200)
        fail("sign-in through the gateway: " + c->parser.text().substr(0, 80));
    const std::string& h = c->parser.text();
    size_t at = h.find("bh_session=");
    if (at == std::string::npos) fail("sign-in: no cookie");
    return h.substr(at, h.find(';', at) - at);
}

std::string web_get(const std::string& path, const std::string& cookie, const char* version = "1.1") {
    return "GET " + path + " HTTP/" + version + "\r\nHost: 127.0.0.1\r\nCookie: " + cookie + "\r\n\r\n";
}

void web_download(const Target& t, bool ours, const Env& env, Metrics& m) {
    std::string cookie = ours ? web_login(t, 0) : "";
    auto c = open_conn(t);
    double cpu0 = process_cpu_seconds(t.pids), srv0 = cpu_seconds(env.ours.pids);
    int64_t t0 = now_ns();
    c->parser.reset(Proto::Http);
    if (!c->exchange(ours ? web_get(std::string("/files") + BIG_FILE, cookie) : http_get(BIG_FILE)))
        fail("GET failed");
    int64_t t1 = now_ns();
    double cpu = process_cpu_seconds(t.pids) - cpu0;
    uint64_t bytes = c->parser.body_bytes();
    if (bytes != env.sz.big_bytes) fail("got " + std::to_string(bytes) + " bytes");
    double gib = static_cast<double>(bytes) / (1u << 30);
    m["9.mbps"] = static_cast<double>(bytes) / 1e6 / (static_cast<double>(t1 - t0) / 1e9);
    m["9.cpu_gib"] = cpu / gib;
    if (ours) m["9.srv_cpu_gib"] = (cpu_seconds(env.ours.pids) - srv0) / gib;
}

void web_browsers(const Target& t, const Env& env, Metrics& m) {
    int n = std::min(100, env.sz.sessions);
    ProcStats base = proc_stats(t.pids);
    std::vector<std::unique_ptr<Conn>> streams;
    for (int i = 0; i < n; i++) {
        std::string cookie = web_login(t, 1 + i);
        auto c = open_conn(t);
        std::string req = web_get("/api/events", cookie);
        if (!send_all(c->fd, req.data(), req.size())) fail("send failed");
        // The headers and the first event: the stream is open.
        std::string got;
        while (got.find("retry:") == std::string::npos) {
            char b[4096];
            ssize_t r = recv(c->fd, b, sizeof(b), 0);
            if (r <= 0) fail("event stream " + std::to_string(i) + " closed: " + got.substr(0, 60));
            got.append(b, static_cast<size_t>(r));
        }
        streams.push_back(std::move(c));
    }
    sleep_ms(500);
    ProcStats all = proc_stats(t.pids);
    m["10.rss_mib"] = static_cast<double>(all.rss_kib - base.rss_kib) / 1024.0;
    m["10.rss_total_mib"] = static_cast<double>(all.rss_kib) / 1024.0;
    m["10.threads"] = static_cast<double>(all.threads);
    streams.clear();
}

void web_live(const Target& t, const Env& env, Metrics& m) {
    const int viewers = 10;
    std::vector<std::unique_ptr<Conn>> cs;
    for (int i = 0; i < viewers; i++) {
        std::string cookie = web_login(t, 120 + i);
        cs.push_back(open_conn(t));
        // HTTP/1.0: the multipart stream comes without chunks.
        std::string req = web_get("/camera/live", cookie, "1.0");
        if (!send_all(cs.back()->fd, req.data(), req.size())) fail("send failed");
    }
    std::vector<uint64_t> frames(viewers, 0);
    std::vector<std::string> tail(viewers);
    const std::string boundary = "--frame\r\n";
    auto pump = [&](int64_t until, bool count) {
        std::vector<struct pollfd> p(viewers);
        while (now_ns() < until) {
            for (int i = 0; i < viewers; i++) p[i] = {cs[i]->fd, POLLIN, 0};
            if (poll(p.data(), p.size(), 100) < 0) fail("poll");
            for (int i = 0; i < viewers; i++) {
                if (!(p[i].revents & (POLLIN | POLLHUP))) continue;
                char b[65536];
                ssize_t r = recv(cs[i]->fd, b, sizeof(b), 0);
                if (r <= 0) fail("live view " + std::to_string(i) + " ended");
                std::string s = tail[i] + std::string(b, static_cast<size_t>(r));
                for (size_t at = s.find(boundary); at != std::string::npos; at = s.find(boundary, at + 1))
                    if (count) frames[i]++;
                tail[i] = s.substr(s.size() > boundary.size() ? s.size() - boundary.size() + 1 : 0);
            }
        }
    };
    pump(now_ns() + 1000000000, false);  // the loop has started, every viewer is served
    double seconds = std::max(2.0, env.sz.camera_seconds * 2);
    double cpu0 = process_cpu_seconds(t.pids), srv0 = cpu_seconds(env.camera.pids);
    int64_t t0 = now_ns();
    pump(t0 + static_cast<int64_t>(seconds * 1e9), true);
    double secs = static_cast<double>(now_ns() - t0) / 1e9;
    m["11.fps_min"] = static_cast<double>(*std::min_element(frames.begin(), frames.end())) / secs;
    m["11.cpu_pct"] = (process_cpu_seconds(t.pids) - cpu0) / secs * 100.0;
    m["11.srv_cpu_pct"] = (cpu_seconds(env.camera.pids) - srv0) / secs * 100.0;
}

// ---------------------------------------------------------------------------------------------
// Case 12: an upload of the big file's size (PUT in "87" frames / HTTP PUT to nginx's WebDAV),
// from memory, into the share root, replacing the previous one.

const std::string& upload_body(uint64_t size) {
    static std::string body;
    if (body.size() != size) {
        body.assign(size, '\0');
        uint64_t x = 88172645463325252ULL;
        for (size_t i = 0; i + 8 <= body.size(); i += 8) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            memcpy(&body[i], &x, 8);
        }
    }
    return body;
}

constexpr const char* UPLOAD_FILE = "/upload.bin";

// Sends the content as frames of 65535 bytes, 16 frames per sendmsg.
bool send_upload_frames(int fd, const std::string& body) {
    constexpr size_t piece = 65535, batch = 16;
    char headers[batch][16];
    struct iovec iov[2 * batch];
    size_t off = 0;
    while (off < body.size()) {
        int count = 0;
        for (size_t i = 0; i < batch && off < body.size(); i++) {
            size_t len = std::min(piece, body.size() - off);
            snprintf(headers[i], sizeof(headers[i]), "87%10zu", len);
            iov[count++] = {headers[i], 12};
            iov[count++] = {const_cast<char*>(body.data() + off), len};
            off += len;
        }
        struct iovec* cur = iov;
        while (count > 0) {
            struct msghdr msg = {};
            msg.msg_iov = cur;
            msg.msg_iovlen = static_cast<size_t>(count);
            ssize_t n = sendmsg(fd, &msg, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return false;
            size_t left = static_cast<size_t>(n);
            while (count > 0 && left >= cur->iov_len) {
                left -= cur->iov_len;
                cur++;
                count--;
            }
            if (count > 0) {
                cur->iov_base = static_cast<char*>(cur->iov_base) + left;
                cur->iov_len -= left;
            }
        }
    }
    return true;
}

void upload(const Target& t, bool ours, const Env& env, Metrics& m) {
    const std::string& body = upload_body(env.sz.big_bytes);
    auto c = open_conn(t);
    if (ours) login(*c, 0);
    double cpu0 = cpu_seconds(t.pids);
    int64_t t0 = now_ns();
    if (ours) {
        c->parser.reset(Proto::Ours, 1);
        if (!c->exchange(json_cmd("PUT", ",\"FILE\":\"" + std::string(UPLOAD_FILE) +
                                             "\",\"SIZE\":" + std::to_string(body.size()) +
                                             ",\"REPLACE\":true")) ||
            c->parser.text().find("\"OK\"") == std::string::npos)
            fail("PUT: " + c->parser.text().substr(0, 80), true);
        if (!send_upload_frames(c->fd, body)) fail("PUT: send failed");
        c->parser.reset(Proto::Ours, 1);
        if (!c->finish() || c->parser.text().find("\"OK\"") == std::string::npos)
            fail("PUT: " + c->parser.text().substr(0, 80));
    } else {
        std::string req = "PUT " + std::string(UPLOAD_FILE) +
                          " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " +
                          std::to_string(body.size()) + "\r\n\r\n";
        c->parser.reset(Proto::Http);
        if (!send_all(c->fd, req.data(), req.size()) ||
            !send_all(c->fd, body.data(), body.size()))
            fail("PUT: send failed");
        if (!c->finish() || (c->parser.status() != 201 && c->parser.status() != 204))
            fail("PUT: HTTP status " + std::to_string(c->parser.status()));
    }
    int64_t t1 = now_ns();
    double cpu = cpu_seconds(t.pids) - cpu0;
    double secs = static_cast<double>(t1 - t0) / 1e9;
    m["12.mbps"] = static_cast<double>(body.size()) / 1e6 / secs;
    m["12.cpu_gib"] = cpu / (static_cast<double>(body.size()) / (1u << 30));
}

// ---------------------------------------------------------------------------------------------
// The cases, their peers and the rows of the table.

// Runs an nginx case on nginx with tcp_nopush on and, when it runs, with tcp_nopush off, and
// keeps the figures of the better one by key (higher is better unless lower is set). The
// figure "<case>.nopush" tells which won: 1 on, 0 off.
void better_nginx(const Env& e, Metrics& m, const std::string& key, bool lower,
                  const std::function<void(const Target&, Metrics&)>& run) {
    Metrics on;
    run(e.nginx, on);
    if (e.nginx_off.on()) {
        Metrics off;
        run(e.nginx_off, off);
        bool off_better = lower ? off[key] < on[key] : off[key] > on[key];
        if (off_better) {
            m = off;
            m[key.substr(0, key.find('.')) + ".nopush"] = 0;
            return;
        }
    }
    m = on;
    m[key.substr(0, key.find('.')) + ".nopush"] = 1;
}

struct Case {
    std::string id;
    std::string title;
    std::function<void(const Env&, Metrics&)> ours;
    std::function<void(const Env&, Metrics&)> peer;  // empty: no peer
    const Target* (*peer_target)(const Env&);
};

const Target* nginx_of(const Env& e) { return e.nginx.on() ? &e.nginx : nullptr; }
const Target* redis_of(const Env& e) { return e.redis.on() ? &e.redis : nullptr; }
const Target* none_of(const Env&) { return nullptr; }
const Target* nginx_tls_of(const Env& e) { return e.nginx_tls.on() ? &e.nginx_tls : nullptr; }
const Target* ours_of(const Env& e) { return &e.ours; }

std::vector<Case> all_cases() {
    std::vector<Case> cs;
    cs.push_back({"1", "whole download (FILE / GET)",
                  [](const Env& e, Metrics& m) { whole_download(e.ours, true, e, m); },
                  [](const Env& e, Metrics& m) {
                      better_nginx(e, m, "1.mbps", false, [&e](const Target& t, Metrics& mm) {
                          whole_download(t, false, e, mm);
                      });
                  },
                  nginx_of});
    cs.push_back({"2a", "64 KiB pieces (SEND+NEXT / Range)",
                  [](const Env& e, Metrics& m) { pieces(e.ours, true, e, m, 65536, e.sz.pieces64, "2a"); },
                  [](const Env& e, Metrics& m) {
                      better_nginx(e, m, "2a.mbps", false, [&e](const Target& t, Metrics& mm) {
                          pieces(t, false, e, mm, 65536, e.sz.pieces64, "2a");
                      });
                  },
                  nginx_of});
    cs.push_back({"2b", "4 KiB pieces (SEND+NEXT / Range)",
                  [](const Env& e, Metrics& m) { pieces(e.ours, true, e, m, 4096, e.sz.pieces4, "2b"); },
                  [](const Env& e, Metrics& m) {
                      better_nginx(e, m, "2b.mbps", false, [&e](const Target& t, Metrics& mm) {
                          pieces(t, false, e, mm, 4096, e.sz.pieces4, "2b");
                      });
                  },
                  nginx_of});
    for (int n : {1, 50, 200}) {
        std::string id = n == 1 ? "3a" : n == 50 ? "3b" : "3c";
        cs.push_back({id, "HELLO / PING, " + std::to_string(n) + " connections",
                      [n, id](const Env& e, Metrics& m) {
                          round_trips(e.ours, true, e, m, std::min(n, e.sz.sessions), id);
                      },
                      [n, id](const Env& e, Metrics& m) {
                          round_trips(e.redis, false, e, m, std::min(n, e.sz.sessions), id);
                      },
                      redis_of});
    }
    cs.push_back({"4", "idle logged-in sessions",
                  [](const Env& e, Metrics& m) { idle_sessions(e.ours, true, e, m); },
                  [](const Env& e, Metrics& m) { idle_sessions(e.redis, false, e, m); },
                  redis_of});
    cs.push_back({"5a", "notice fan-out (MOD / PUBLISH)",
                  [](const Env& e, Metrics& m) { fan_out(e.ours, true, e, m, false, "5a"); },
                  [](const Env& e, Metrics& m) { fan_out(e.redis, false, e, m, false, "5a"); },
                  redis_of});
    cs.push_back({"5b", "fan-out with one stuck reader",
                  [](const Env& e, Metrics& m) { fan_out(e.ours, true, e, m, true, "5b"); },
                  [](const Env& e, Metrics& m) { fan_out(e.redis, false, e, m, true, "5b"); },
                  redis_of});
    for (int n : {1, 4}) {
        std::string id = n == 1 ? "6a" : "6b";
        cs.push_back({id, "camera frames, " + std::to_string(n) + " client(s)",
                      [n, id](const Env& e, Metrics& m) {
                          if (!e.camera.on()) fail("no camera server", true);
                          camera_frames(e.camera, e, m, n, id);
                      },
                      nullptr, none_of});
    }
    cs.push_back({"7", "churn: connect, HELLO / PING, close",
                  [](const Env& e, Metrics& m) { churn(e.ours, true, e, m); },
                  [](const Env& e, Metrics& m) { churn(e.redis, false, e, m); }, redis_of});
    cs.push_back({"9", "whole download through boardhub-web / nginx GET",
                  [](const Env& e, Metrics& m) {
                      if (!e.web.on()) fail("no gateway", true);
                      web_download(e.web, true, e, m);
                  },
                  [](const Env& e, Metrics& m) {
                      better_nginx(e, m, "9.mbps", false, [&e](const Target& t, Metrics& mm) {
                          web_download(t, false, e, mm);
                      });
                  },
                  nginx_of});
    cs.push_back({"10", "100 signed-in browsers with live event streams",
                  [](const Env& e, Metrics& m) {
                      if (!e.web.on()) fail("no gateway", true);
                      web_browsers(e.web, e, m);
                  },
                  nullptr, none_of});
    cs.push_back({"11", "live view 640x480, 10 viewers, one capture loop",
                  [](const Env& e, Metrics& m) {
                      if (!e.webcam.on() || !e.camera.on()) fail("no gateway to the camera", true);
                      web_live(e.webcam, e, m);
                  },
                  nullptr, none_of});
    cs.push_back({"8", "LIST of 1,000 files + 100 folders / autoindex",
                  [](const Env& e, Metrics& m) { listing(e.ours, true, e, m); },
                  [](const Env& e, Metrics& m) {
                      better_nginx(e, m, "8.ms_p50", true, [&e](const Target& t, Metrics& mm) {
                          listing(t, false, e, mm);
                      });
                  },
                  nginx_of});
    // Over TLS. nginx serves HTTPS with sendfile off (what TLS in user space needs; tcp_nopush
    // then does nothing), so these run on its one HTTPS server block.
    cs.push_back({"13", "whole download over TLS (FILE / HTTPS GET)",
                  [](const Env& e, Metrics& m) { whole_download(e.ours, true, e, m, "13", true); },
                  [](const Env& e, Metrics& m) { whole_download(e.nginx_tls, false, e, m, "13", true); },
                  nginx_tls_of});
    cs.push_back({"14", "64 KiB pieces over TLS (SEND+NEXT / HTTPS Range)",
                  [](const Env& e, Metrics& m) {
                      pieces(e.ours, true, e, m, 65536, e.sz.pieces64, "14", true);
                  },
                  [](const Env& e, Metrics& m) {
                      pieces(e.nginx_tls, false, e, m, 65536, e.sz.pieces64, "14", true);
                  },
                  nginx_tls_of});
    cs.push_back({"15", "new TLS connection to the first answer (LOGIN / HTTPS GET)",
                  [](const Env& e, Metrics& m) { tls_connects(e.ours, true, e, m); },
                  [](const Env& e, Metrics& m) { tls_connects(e.nginx_tls, false, e, m); },
                  nginx_tls_of});
    cs.push_back({"16", "HELLO over TLS / plain HELLO, 1 connection",
                  [](const Env& e, Metrics& m) { round_trips(e.ours, true, e, m, 1, "16", true); },
                  [](const Env& e, Metrics& m) { round_trips(e.ours, true, e, m, 1, "16"); },
                  ours_of});
    cs.push_back({"17", "idle logged-in sessions, TLS / plain",
                  [](const Env& e, Metrics& m) { idle_sessions(e.ours, true, e, m, "17", true); },
                  [](const Env& e, Metrics& m) { idle_sessions(e.ours, true, e, m, "17"); },
                  ours_of});
    cs.push_back({"12", "upload (PUT / WebDAV PUT)",
                  [](const Env& e, Metrics& m) { upload(e.ours, true, e, m); },
                  [](const Env& e, Metrics& m) {
                      better_nginx(e, m, "12.mbps", false, [&e](const Target& t, Metrics& mm) {
                          upload(t, false, e, mm);
                      });
                  },
                  nginx_of});
    return cs;
}

// A row of the table: one metric with its target. check gets the medians (peer NAN when
// absent) and answers 1 met, 0 missed, -1 not judged.
struct Row {
    std::string key;
    std::string label;
    std::string target;
    std::function<int(double ours, double peer)> check;
};

int judge(bool ok) { return ok ? 1 : 0; }
std::function<int(double, double)> ratio_at_least(double r) {
    return [r](double o, double p) { return std::isnan(p) ? -1 : judge(o >= r * p); };
}
std::function<int(double, double)> ratio_at_most(double r) {
    return [r](double o, double p) { return std::isnan(p) ? -1 : judge(o <= r * p); };
}
std::function<int(double, double)> at_most(double v) {
    return [v](double o, double) { return judge(o <= v); };
}
std::function<int(double, double)> at_least(double v) {
    return [v](double o, double) { return judge(o >= v); };
}
std::function<int(double, double)> no_plateau() {
    // The 40 ms of a delayed ACK waiting on a small write.
    return [](double o, double) { return judge(o < 30000.0); };
}

std::vector<Row> all_rows() {
    return {
        {"1.mbps", "MB/s", ">= 0.9 x nginx", ratio_at_least(0.9)},
        {"1.cpu_gib", "server CPU s per GiB", "<= 1.3 x nginx", ratio_at_most(1.3)},
        {"1.nopush", "nginx tcp_nopush of the better", "", nullptr},
        {"2a.mbps", "MB/s", ">= 0.9 x nginx", ratio_at_least(0.9)},
        {"2a.us_p50", "us per piece, p50", "<= 60 us", at_most(60)},
        {"2a.us_p99", "us per piece, p99", "", nullptr},
        {"2a.cpu_us", "server CPU us per piece", "", nullptr},
        {"2a.nopush", "nginx tcp_nopush of the better", "", nullptr},
        {"2b.mbps", "MB/s", "", nullptr},
        {"2b.us_p50", "us per piece, p50", "", nullptr},
        {"2b.cpu_us", "server CPU us per piece", "", nullptr},
        {"2b.nopush", "nginx tcp_nopush of the better", "", nullptr},
        {"3a.rps", "requests/s", ">= 0.8 x Redis", ratio_at_least(0.8)},
        {"3a.p50_us", "p50 us", "", nullptr},
        {"3a.p99_us", "p99 us", "no 40 ms plateau", no_plateau()},
        {"3a.max_us", "max us", "", nullptr},
        {"3b.rps", "requests/s", ">= 0.5 x Redis", ratio_at_least(0.5)},
        {"3b.p50_us", "p50 us", "", nullptr},
        {"3b.p99_us", "p99 us", "no 40 ms plateau", no_plateau()},
        {"3b.max_us", "max us", "", nullptr},
        {"3c.rps", "requests/s", ">= 0.5 x Redis", ratio_at_least(0.5)},
        {"3c.p50_us", "p50 us", "", nullptr},
        {"3c.p99_us", "p99 us", "<= 10 ms", at_most(10000)},
        {"3c.max_us", "max us", "", nullptr},
        {"4.rss_per_kib", "resident KiB per session", "<= 64 KiB", at_most(64)},
        {"4.vsize_mib", "virtual size MiB (whole)", "<= 512 MiB", at_most(512)},
        {"4.threads", "threads", "", nullptr},
        {"4.fds", "descriptors", "", nullptr},
        {"5a.first_p50_us", "first delivery p50 us", "", nullptr},
        {"5a.last_p50_us", "last delivery p50 us", "<= 2 ms", at_most(2000)},
        {"5a.last_p99_us", "last delivery p99 us", "<= 5 ms", at_most(5000)},
        {"5a.last_max_us", "last delivery max us", "", nullptr},
        {"5b.last_p50_us", "last delivery p50 us", "", nullptr},
        {"5b.last_p99_us", "last delivery p99 us", "", nullptr},
        {"5b.last_max_us", "last delivery max us", "<= 100 ms", at_most(100000)},
        {"5b.prefill", "notices to fill the stuck one", "", nullptr},
        {"5b.queue_kib", "its kernel queue then, KiB", "", nullptr},
        {"6a.fps", "frames/s", "", nullptr},
        {"6a.ms_frame", "server ms per frame", "<= 1 ms", at_most(1.0)},
        {"6a.p50_ms", "ms per CAMERA, p50", "", nullptr},
        {"6b.fps", "frames/s", "", nullptr},
        {"6b.ms_frame", "server ms per frame", "<= 1 ms", at_most(1.0)},
        {"7.cps", "cycles/s", ">= 5000", at_least(5000)},
        {"7.cpu_us", "server CPU us per cycle", "", nullptr},
        {"7.fd_delta", "descriptors after - before", "== 0", at_most(0)},
        {"7.rss_base_kib", "RSS KiB before", "", nullptr},
        {"7.rss_mid_kib", "RSS KiB after half", "", nullptr},
        {"7.rss_end_kib", "RSS KiB after all", "", nullptr},
        {"8.ms_p50", "ms per listing, p50", "", nullptr},
        {"8.ms_max", "ms per listing, max", "", nullptr},
        {"8.nopush", "nginx tcp_nopush of the better", "", nullptr},
        {"9.mbps", "MB/s", ">= 0.8 x nginx", ratio_at_least(0.8)},
        {"9.cpu_gib", "gateway (peer: nginx) CPU s per GiB", "", nullptr},
        {"9.srv_cpu_gib", "boardhub CPU s per GiB behind it", "", nullptr},
        {"9.nopush", "nginx tcp_nopush of the better", "", nullptr},
        {"10.rss_mib", "gateway RSS growth, MiB", "<= 64 MiB", at_most(64)},
        {"10.rss_total_mib", "gateway RSS then, MiB", "", nullptr},
        {"10.threads", "gateway threads then", "", nullptr},
        {"11.fps_min", "frames/s, slowest viewer", ">= 14.5 (15 set)", at_least(14.5)},
        {"11.cpu_pct", "gateway CPU, % of one core", "", nullptr},
        {"11.srv_cpu_pct", "boardhub CPU, % of one core", "", nullptr},
        {"12.mbps", "MB/s", ">= 0.9 x nginx", ratio_at_least(0.9)},
        {"12.cpu_gib", "server CPU s per GiB", "<= 1.0 x nginx", ratio_at_most(1.0)},
        {"12.nopush", "nginx tcp_nopush of the better", "", nullptr},
        {"13.mbps", "MB/s", ">= 0.9 x nginx", ratio_at_least(0.9)},
        {"13.cpu_gib", "server CPU s per GiB", "", nullptr},
        {"14.mbps", "MB/s", ">= 0.9 x nginx", ratio_at_least(0.9)},
        {"14.us_p50", "us per piece, p50", "", nullptr},
        {"14.us_p99", "us per piece, p99", "", nullptr},
        {"14.cpu_us", "server CPU us per piece", "", nullptr},
        {"15.cps", "connections/s", "", nullptr},
        {"15.ms_p50", "ms to the answer, p50", "", nullptr},
        {"15.ms_p99", "ms to the answer, p99", "", nullptr},
        {"15.cpu_us", "server CPU us per connection", "", nullptr},
        {"16.rps", "requests/s (peer: plain)", ">= 0.8 x plain", ratio_at_least(0.8)},
        {"16.p50_us", "p50 us", "", nullptr},
        {"16.p99_us", "p99 us", "", nullptr},
        {"16.max_us", "max us", "", nullptr},
        {"17.rss_per_kib", "resident KiB per session", "<= 64 KiB", at_most(64)},
        {"17.vsize_mib", "virtual size MiB (whole)", "<= 512 MiB", at_most(512)},
        {"17.threads", "threads", "", nullptr},
        {"17.fds", "descriptors", "", nullptr},
    };
}

// ---------------------------------------------------------------------------------------------
// Running and reporting.

struct Samples {
    std::vector<double> ours, peer;
};

std::string fmt(double v) {
    if (std::isnan(v)) return "-";
    char b[32];
    double a = std::fabs(v);
    if (a >= 1000 || v == std::floor(v))
        snprintf(b, sizeof(b), "%.0f", v);
    else if (a >= 10)
        snprintf(b, sizeof(b), "%.1f", v);
    else
        snprintf(b, sizeof(b), "%.3g", v);
    return b;
}

std::string stat_text(const std::vector<double>& v) {
    if (v.empty()) return "-";
    double lo = *std::min_element(v.begin(), v.end());
    double hi = *std::max_element(v.begin(), v.end());
    if (v.size() == 1) return fmt(v[0]);
    return fmt(percentile(v, 50)) + " (" + fmt(lo) + ".." + fmt(hi) + ")";
}

std::string json_num(double v) {
    if (std::isnan(v) || std::isinf(v)) return "null";
    char b[32];
    snprintf(b, sizeof(b), "%.6g", v);
    return b;
}

std::string json_str(const std::string& s) {
    std::string r = "\"";
    for (char ch : s) {
        if (ch == '"' || ch == '\\') r += '\\';
        if (static_cast<unsigned char>(ch) < 0x20) continue;
        r += ch;
    }
    return r + "\"";
}

std::string json_list(const std::vector<double>& v) {
    std::string r = "[";
    for (size_t i = 0; i < v.size(); i++) r += (i ? "," : "") + json_num(v[i]);
    return r + "]";
}

std::string machine_text() {
    struct utsname u;
    uname(&u);
    std::string cpu = "?";
    std::ifstream f("/proc/cpuinfo");
    std::string line;
    while (std::getline(f, line))
        if (line.rfind("model name", 0) == 0) {
            cpu = line.substr(line.find(':') + 2);
            break;
        }
    long mem = 0;
    std::ifstream mi("/proc/meminfo");
    while (std::getline(mi, line))
        if (line.rfind("MemTotal:", 0) == 0) mem = atol(line.c_str() + 9);
    return cpu + ", " + std::to_string(std::thread::hardware_concurrency()) + " CPUs, " +
           std::to_string(mem / 1024 / 1024) + " GiB, " + u.sysname + " " + u.release + " " +
           u.machine;
}

struct RunOptions {
    int repeats = 3;
    std::string json_path;
    std::vector<std::string> only;  // case ids or their leading digits
    std::vector<std::pair<std::string, std::string>> notes;
};

bool selected(const RunOptions& o, const std::string& id) {
    if (o.only.empty()) return true;
    // "2" selects 2a and 2b; "1" selects 1 but not 12.
    for (const auto& s : o.only)
        if (id == s || (id.rfind(s, 0) == 0 && isalpha(static_cast<unsigned char>(id[s.size()]))))
            return true;
    return false;
}

// Runs every case repeats times, alternating which side goes first, and prints the table.
// Returns the number of cases that failed (not counting those not served in a smoke run).
int run_all(const Env& env, const RunOptions& opt) {
    std::map<std::string, Samples> samples;
    std::map<std::string, std::string> errors;
    int failures = 0;
    auto cases = all_cases();
    // Each run starts from an idle server: no session of an earlier run still ending.
    std::vector<std::pair<const Target*, ProcStats>> idle;
    for (const Target* t : {&env.ours, &env.camera, &env.nginx, &env.nginx_off, &env.redis})
        if (t->on()) idle.push_back({t, proc_stats(t->pids)});
    for (int rep = 0; rep < opt.repeats; rep++) {
        for (const auto& c : cases) {
            if (!selected(opt, c.id)) continue;
            const Target* peer = c.peer ? c.peer_target(env) : nullptr;
            for (int side = 0; side < 2; side++) {
                bool ours = (side == 0) == (rep % 2 == 0);
                if (!ours && !peer) continue;
                std::string err_key = c.id + (ours ? " ours" : " peer");
                if (errors.count(err_key)) continue;
                Metrics m;
                for (const auto& [t, base] : idle) settle(*t, base);
                fprintf(stderr, "  [%d/%d] %-3s %-5s %s ... ", rep + 1, opt.repeats,
                        c.id.c_str(), ours ? "ours" : "peer", c.title.c_str());
                try {
                    (ours ? c.ours : c.peer)(env, m);
                    fprintf(stderr, "ok\n");
                } catch (const CaseError& e) {
                    fprintf(stderr, "%s%s\n", e.not_served ? "not served: " : "FAILED: ",
                            e.what.c_str());
                    errors[err_key] = e.what;
                    if (!(env.smoke && e.not_served)) failures++;
                    continue;
                }
                for (const auto& kv : m)
                    (ours ? samples[kv.first].ours : samples[kv.first].peer).push_back(kv.second);
            }
        }
    }

    std::string machine = machine_text();
    printf("\nboardhub benchmark: %s\n", machine.c_str());
    printf("repeats per case: %d; medians with (min..max) over the repeats\n", opt.repeats);
    for (const auto& n : opt.notes) printf("%s: %s\n", n.first.c_str(), n.second.c_str());
    printf("\n%-4s %-31s %-28s %-28s %-7s %-17s %s\n", "case", "metric", "ours", "peer",
           "ratio", "target", "");
    std::string json = "{\n  \"machine\": " + json_str(machine) + ",\n  \"repeats\": " +
                       std::to_string(opt.repeats) + ",\n  \"notes\": {";
    for (size_t i = 0; i < opt.notes.size(); i++)
        json += (i ? ", " : "") + json_str(opt.notes[i].first) + ": " +
                json_str(opt.notes[i].second);
    json += "},\n  \"results\": [";
    bool first_row = true;
    std::string last_case;
    for (const auto& row : all_rows()) {
        std::string id = row.key.substr(0, row.key.find('.'));
        auto it = samples.find(row.key);
        if (it == samples.end()) continue;
        if (id != last_case) {
            for (const auto& c : cases)
                if (c.id == id) printf("%s %s\n", c.id.c_str(), c.title.c_str());
            last_case = id;
        }
        const Samples& s = it->second;
        double o = s.ours.empty() ? NAN : percentile(s.ours, 50);
        double p = s.peer.empty() ? NAN : percentile(s.peer, 50);
        double ratio = (std::isnan(o) || std::isnan(p) || p == 0) ? NAN : o / p;
        int verdict = row.check && !std::isnan(o) ? row.check(o, p) : -1;
        const char* mark = verdict == 1 ? "met" : verdict == 0 ? "MISSED" : "";
        printf("     %-31s %-28s %-28s %-7s %-17s %s\n", row.label.c_str(),
               stat_text(s.ours).c_str(), stat_text(s.peer).c_str(), fmt(ratio).c_str(),
               row.target.c_str(), mark);
        json += std::string(first_row ? "" : ",") + "\n    {\"key\": " + json_str(row.key) +
                ", \"metric\": " + json_str(row.label) + ", \"ours\": " + json_list(s.ours) +
                ", \"peer\": " + json_list(s.peer) + ", \"ours_median\": " + json_num(o) +
                ", \"peer_median\": " + json_num(p) + ", \"ratio\": " + json_num(ratio) +
                ", \"target\": " + json_str(row.target) + ", \"met\": " +
                (verdict < 0 ? "null" : verdict ? "true" : "false") + "}";
        first_row = false;
    }
    json += "\n  ],\n  \"tls\": {";
    bool first_tls = true;
    for (const auto& [side, desc] : tls_seen) {
        printf("tls %s: %s\n", side.c_str(), desc.c_str());
        json += std::string(first_tls ? "" : ", ") + json_str(side) + ": " + json_str(desc);
        first_tls = false;
    }
    json += "},\n  \"errors\": {";
    bool first_err = true;
    for (const auto& e : errors) {
        printf("%s: %s\n", e.first.c_str(), e.second.c_str());
        json += std::string(first_err ? "" : ", ") + json_str(e.first) + ": " + json_str(e.second);
        first_err = false;
    }
    json += "}\n}\n";
    if (!opt.json_path.empty()) {
        std::ofstream f(opt.json_path);
        f << json;
        printf("\nfigures: %s\n", opt.json_path.c_str());
    }
    fflush(stdout);
    return failures;
}

// ---------------------------------------------------------------------------------------------
// Command line.

bool parse_target(const char* text, Target& t) {
    if (sscanf(text, "%d:%d", &t.port, &t.pid) != 2) return false;
    t.pids = with_children(t.pid);
    return true;
}

int free_port() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    socklen_t len = sizeof(addr);
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    close(fd);
    return ntohs(addr.sin_port);
}

// The sanitizer runtime this program runs with, which a preloaded library must follow.
std::string sanitizer_runtime() {
    std::string found;
    dl_iterate_phdr(
        [](struct dl_phdr_info* info, size_t, void* data) {
            std::string name = info->dlpi_name ? info->dlpi_name : "";
            if (name.find("libasan.so") != std::string::npos ||
                name.find("libtsan.so") != std::string::npos)
                *static_cast<std::string*>(data) = name;
            return 0;
        },
        &found);
    return found;
}

// Starts a server for the smoke run; its output goes to files in dir. With a stand-in
// device library, device becomes a capture device for it.
pid_t spawn_server(const std::string& bin, const std::string& config, const std::string& dir,
                   const std::string& fake, const std::string& device) {
    std::string preload;
    if (!fake.empty()) {
        preload = sanitizer_runtime();
        preload += (preload.empty() ? "" : " ") + fake;
    }
    pid_t pid = fork();
    if (pid == 0) {
        int out = open((dir + "/server.out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open((dir + "/server.err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out, 1);
        dup2(err, 2);
        if (!preload.empty()) {
            setenv("LD_PRELOAD", preload.c_str(), 1);
            setenv("FAKE_V4L2_DEVICE", device.c_str(), 1);
            setenv("FAKE_V4L2_CONFIG", "", 1);
        }
        execl(bin.c_str(), bin.c_str(), config.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    return pid;
}

// Waits for the server to take connections; pid becomes -1 when the server has exited.
bool wait_listening(int port, pid_t& pid) {
    for (int i = 0; i < 500; i++) {
        int fd = connect_loopback(port);
        if (fd >= 0) {
            close(fd);
            return true;
        }
        int status;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            pid = -1;
            return false;
        }
        sleep_ms(20);
    }
    return false;
}

int stop_server(pid_t pid) {
    kill(pid, SIGINT);
    for (int i = 0; i < 500; i++) {
        int status;
        if (waitpid(pid, &status, WNOHANG) == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        sleep_ms(20);
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return -1;
}

std::string print_file(const std::string& path) {
    std::ifstream f(path);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

int smoke(const std::string& bin, const std::string& fake) {
    char tmpl[] = "/tmp/boardhub-bench-XXXXXX";
    if (!mkdtemp(tmpl)) return 1;
    std::string dir = tmpl;
    Env env;
    env.smoke = true;
    env.sz = smoke_sizes();
    WorldLayout layout{dir, env.sz.big_bytes, 50, 5, env.sz.sessions};
    int rc = 1;
    pid_t server = -1, cam = -1;
    if (!make_world(layout)) {
        fprintf(stderr, "smoke: could not make the world in %s\n", dir.c_str());
    } else {
        // A port found free can be taken by another program before the server binds it: a
        // server that exits at start-up is tried again on another port.
        bool up = false;
        for (int attempt = 0; attempt < 5 && !up; attempt++) {
            if (server > 0) stop_server(server);
            env.ours.port = free_port();
            write_config(dir + "/server.ini", dir, env.ours.port, "NONE");
            server = spawn_server(bin, dir + "/server.ini", dir, "", "");
            up = wait_listening(env.ours.port, server);
        }
        if (up && !fake.empty()) {
            std::string device = dir + "/video0";
            mkdir((dir + "/camera").c_str(), 0755);
            bool cam_up = false;
            for (int attempt = 0; attempt < 5 && !cam_up; attempt++) {
                if (cam > 0) stop_server(cam);
                env.camera.port = free_port();
                write_config(dir + "/camera.ini", dir, env.camera.port, device);
                cam = spawn_server(bin, dir + "/camera.ini", dir + "/camera", fake, device);
                cam_up = wait_listening(env.camera.port, cam);
            }
            if (!cam_up) env.camera.port = 0;
            env.camera.pid = cam;
            env.camera.pids = {cam};
        }
        if (!up) {
            fprintf(stderr, "smoke: the server did not start\n%s", print_file(dir + "/server.out").c_str());
        } else {
            env.ours.pid = server;
            env.ours.pids = {server};
            RunOptions opt;
            opt.repeats = 1;
            opt.notes.push_back({"mode", "smoke (tiny sizes, no peers)"});
            int failures = run_all(env, opt);
            int status = stop_server(server);
            server = -1;
            if (status != 0) fprintf(stderr, "smoke: the server exited with %d\n", status);
            rc = failures == 0 && status == 0 ? 0 : 1;
        }
    }
    if (server > 0) stop_server(server);
    if (cam > 0) stop_server(cam);
    if (rc != 0) fprintf(stderr, "%s", print_file(dir + "/server.err").c_str());
    std::error_code ec;
    fs::remove_all(dir, ec);
    return rc;
}

void usage() {
    fprintf(stderr,
            "usage: boardhub-bench world DIR [--big-mib N] [--port P] [--socket PATH] [--camera-port P "
            "--camera-device DEV]\n"
            "       boardhub-bench run --world DIR --ours PORT:PID [--camera PORT:PID] "
            "[--nginx PORT:PID] [--nginx-nopush-off PORT:PID] [--nginx-tls PORT:PID] [--redis PORT:PID] [--repeats N] [--json FILE] [--cases 1,2a,..] "
            "[--note KEY=VALUE]...\n"
            "       boardhub-bench --smoke --server BIN [--fake LIB]\n");
}

}  // namespace

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    std::vector<std::string> args(argv + 1, argv + argc);
    auto value = [&](size_t& i) -> std::string {
        if (i + 1 >= args.size()) {
            usage();
            exit(2);
        }
        return args[++i];
    };
    if (args.empty()) {
        usage();
        return 2;
    }
    if (args[0] == "--smoke") {
        std::string bin, fake;
        for (size_t i = 1; i < args.size(); i++) {
            if (args[i] == "--server") bin = value(i);
            else if (args[i] == "--fake") fake = value(i);
            else { usage(); return 2; }
        }
        if (bin.empty()) {
            usage();
            return 2;
        }
        return smoke(bin, fake);
    }
    if (args[0] == "world") {
        if (args.size() < 2) {
            usage();
            return 2;
        }
        WorldLayout layout{args[1], 256ull << 20, 1000, 100, 200};
        int port = 0, camera_port = 0;
        std::string device = "/dev/video0", socket;
        for (size_t i = 2; i < args.size(); i++) {
            if (args[i] == "--big-mib") layout.big_bytes = std::stoull(value(i)) << 20;
            else if (args[i] == "--port") port = std::stoi(value(i));
            else if (args[i] == "--socket") socket = value(i);
            else if (args[i] == "--camera-port") camera_port = std::stoi(value(i));
            else if (args[i] == "--camera-device") device = value(i);
            else { usage(); return 2; }
        }
        if (!make_world(layout)) {
            fprintf(stderr, "could not make the world in %s\n", layout.dir.c_str());
            return 1;
        }
        if (port) write_config(layout.dir + "/server.ini", layout.dir, port, "NONE", socket);
        if (camera_port) write_config(layout.dir + "/camera.ini", layout.dir, camera_port, device);
        return 0;
    }
    if (args[0] == "run") {
        Env env;
        RunOptions opt;
        std::string world;
        for (size_t i = 1; i < args.size(); i++) {
            bool ok = true;
            if (args[i] == "--world") world = value(i);
            else if (args[i] == "--ours") ok = parse_target(value(i).c_str(), env.ours);
            else if (args[i] == "--camera") ok = parse_target(value(i).c_str(), env.camera);
            else if (args[i] == "--web") ok = parse_target(value(i).c_str(), env.web);
            else if (args[i] == "--webcam") ok = parse_target(value(i).c_str(), env.webcam);
            else if (args[i] == "--nginx") ok = parse_target(value(i).c_str(), env.nginx);
            else if (args[i] == "--nginx-nopush-off")
                ok = parse_target(value(i).c_str(), env.nginx_off);
            else if (args[i] == "--nginx-tls") ok = parse_target(value(i).c_str(), env.nginx_tls);
            else if (args[i] == "--redis") ok = parse_target(value(i).c_str(), env.redis);
            else if (args[i] == "--repeats") opt.repeats = std::stoi(value(i));
            else if (args[i] == "--json") opt.json_path = value(i);
            else if (args[i] == "--cases") {
                std::stringstream ss(value(i));
                std::string id;
                while (std::getline(ss, id, ',')) opt.only.push_back(id);
            } else if (args[i] == "--note") {
                std::string kv = value(i);
                size_t eq = kv.find('=');
                opt.notes.push_back({kv.substr(0, eq), eq == std::string::npos ? "" : kv.substr(eq + 1)});
            } else ok = false;
            if (!ok) {
                usage();
                return 2;
            }
        }
        if (!env.ours.on() || world.empty()) {
            usage();
            return 2;
        }
        struct stat st;
        std::string big = world + "/share" + BIG_FILE;
        if (stat(big.c_str(), &st) == 0) env.sz.big_bytes = static_cast<uint64_t>(st.st_size);
        // Both servers read the file from the page cache: read it once beforehand.
        if (FILE* f = fopen(big.c_str(), "rb")) {
            std::vector<char> chunk(1 << 20);
            while (fread(chunk.data(), 1, chunk.size(), f) > 0) {
            }
            fclose(f);
        }
        return run_all(env, opt) == 0 ? 0 : 1;
    }
    usage();
    return 2;
}
