// The web gateway's request handling. The first byte chooses:
//   even: the input as raw bytes on a connection to the gateway's HTTP layer (libmicrohttpd
//         and the adapter), the reply read until the connection ends or goes quiet;
//   odd:  the input as a request record handed straight to the router: method, path and
//         query lines, header lines, an empty line, the body. The Range header, the cookie
//         and the body also go to the parsers, whose results are checked.
// No board server listens behind the gateway: sign-ins fail as "the server does not answer".
#include <cerrno>
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "web.h"

namespace {

struct World {
    web::Settings settings;
    web::Gateway* gateway;
    web::HttpServer* http;
    int port = 0;
    World() {
        settings.listen = "127.0.0.1";
        settings.port = 0;
        settings.server_port = 9;  // discard: nothing answers there
        settings.www = BOARDHUB_WEB_WWW;
        gateway = new web::Gateway(settings);
        std::string err;
        if (!gateway->load_pages(err)) abort();
        http = new web::HttpServer(*gateway, settings);
        if (!http->start(err)) abort();
        port = http->port();
    }
};

World& world() {
    static World* w = new World;
    return *w;
}

void raw(const std::string& bytes) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(world().port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
        // Thousands of connections a second use up the local ports (EADDRNOTAVAIL, EAGAIN,
        // EADDRINUSE) for a while: the harness's own limit, not the gateway's. A refusal means
        // the gateway stopped listening.
        if (errno == ECONNREFUSED) {
            perror("fuzz_web: connect");
            abort();
        }
        close(fd);
        return;
    }
    // Closed with a reset, so the harness leaves no TIME_WAIT port behind.
    struct linger hard = {1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof(hard));
    (void)!send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    shutdown(fd, SHUT_WR);
    char buf[4096];
    for (int i = 0; i < 64; i++) {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) break;
        if (recv(fd, buf, sizeof(buf), 0) <= 0) break;
    }
    close(fd);
}

std::string line(const std::string& text, size_t& at) {
    if (at >= text.size()) return "";
    size_t e = text.find('\n', at);
    if (e == std::string::npos) e = text.size();
    std::string out = text.substr(at, e - at);
    at = e + 1;
    return out;
}

void routed(const std::string& text) {
    web::Request r;
    size_t at = 0;
    r.method = line(text, at);
    r.path = line(text, at);
    std::string query = line(text, at);
    for (size_t i = 0; i < query.size();) {
        size_t e = query.find('&', i);
        if (e == std::string::npos) e = query.size();
        std::string kv = query.substr(i, e - i);
        size_t eq = kv.find('=');
        r.query[kv.substr(0, eq)] = eq == std::string::npos ? "" : kv.substr(eq + 1);
        i = e + 1;
    }
    while (at < text.size()) {
        std::string h = line(text, at);
        if (h.empty()) break;
        size_t colon = h.find(':');
        r.headers[h.substr(0, colon)] = colon == std::string::npos ? "" : h.substr(colon + 1);
    }
    if (at < text.size()) r.body = text.substr(at);
    r.peer = "192.0.2.1";

    uint64_t size = r.body.size() * 977;
    uint64_t first = 0, last = 0;
    int range = web::parse_range(r.header("range"), size, first, last);
    if (range == 1 && !(first <= last && last < size)) abort();
    std::vector<web::Entry> entries;
    std::string status = web::parse_listing(r.body, entries);
    if (status != "ok" && !entries.empty() && status != "bad") abort();
    (void)web::cookie_value(r.header("cookie"), "bh_session");
    // Conditional requests: a date read back from its own text is the same date.
    int64_t since = web::parse_http_date(r.header("if-modified-since"));
    if (since >= 0 && web::parse_http_date(web::http_date(since)) != since) abort();
    const std::string tag = "\"4000-17f1a2b3c4d5e6f7-2a\"";
    if (web::etag_listed(r.header("if-none-match"), tag) &&
        r.header("if-none-match").find('*') == std::string::npos &&
        r.header("if-none-match").find(tag) == std::string::npos)
        abort();
    if (web::if_range_holds(r.header("if-range"), tag, since) && r.header("if-range") != tag &&
        (since < 0 || web::parse_http_date(r.header("if-range")) != since))
        abort();
    for (unsigned char ch : web::escape_log(r.body))
        if (ch < 0x20 || ch == 0x7f) abort();  // one log call, one line

    // Login would wait for a server that is not there; everything else is answered at once.
    if (r.path == "/api/login") return;
    web::Response out = world().gateway->handle(r);
    if (out.status < 200 || out.status > 599) abort();
    bool csp = false;
    for (auto& [k, v] : out.headers) csp |= k == "Content-Security-Policy";
    if (!csp) abort();
    // Without a session nothing is served but the page's own files and refusals.
    if (out.stream) abort();
    if (out.status == 200 && r.path.rfind("/api/", 0) == 0) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
    if (data[0] % 2 == 0) raw(text);
    else routed(text);
    return 0;
}
