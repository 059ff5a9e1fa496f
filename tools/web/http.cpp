// The HTTP layer: libmicrohttpd with a thread per connection (a download or an event stream
// may wait on the board's server without holding up anyone else), bounded in connections,
// connections per address, header memory, body size, the time a request takes to arrive and
// the rate at which an upload's body arrives. It turns each request into a Request, hands it
// to the Gateway and sends the Response back.
//
// Threads: libmicrohttpd's (one per connection, and its listener) call on_request,
// on_completed and on_connection; the watchdog thread ends connections whose request is late
// or whose upload falls behind.
// Watchdog::lock guards the set of connections; a connection leaves it (on_connection, closed)
// before libmicrohttpd closes its socket, so the watchdog never shuts a descriptor down that
// has been reused.
#include <arpa/inet.h>
#include <microhttpd.h>
#include <netdb.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>

#include "web.h"

namespace web {

namespace {

constexpr size_t MAX_BODY = 16 * 1024;          // JSON requests of the page
constexpr size_t HEADER_MEMORY = 32 * 1024;     // request line and headers of one request
constexpr unsigned CONNECTION_TIMEOUT_S = 120;  // an idle connection is closed

constexpr int REFUSAL_LINES_PER_SECOND = 20;  // log lines of refused or late connections

int64_t now_ms() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Lines about refused and late connections: at most REFUSAL_LINES_PER_SECOND a second; the
// rest are counted and reported in one line once the second is over, so a flood of
// connections cannot flood the log.
class RefusalLog {
public:
    void line(const std::string& text) {
        std::lock_guard<std::mutex> g(lock_);
        roll();
        if (lines_ < REFUSAL_LINES_PER_SECOND) {
            lines_++;
            log_line("WARNING", "WEB", text);
        } else {
            dropped_++;
        }
    }
    void tick() {
        std::lock_guard<std::mutex> g(lock_);
        roll();
    }

private:
    void roll() {
        int64_t now = now_seconds();
        if (now == second_) return;
        if (dropped_)
            log_line("WARNING", "WEB",
                     std::to_string(dropped_) + " more refused or timed-out connections not logged");
        second_ = now;
        lines_ = 0;
        dropped_ = 0;
    }
    std::mutex lock_;
    int64_t second_ = -1;
    int lines_ = 0;
    unsigned long dropped_ = 0;
};

RefusalLog refusals;

// libmicrohttpd's messages (connection limits reached, connections cut) go to the same
// bounded lines.
void library_log(void*, const char* format, va_list ap) {
    char text[512];
    vsnprintf(text, sizeof(text), format, ap);
    std::string line = text;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    refusals.line(line);
}

struct Context {
    std::string body;
    std::unique_ptr<Upload> upload;  // a file on its way to the board
    std::function<void()> done;      // a file response's end, when the request ends
    ~Context() {
        if (done) done();
    }
};

struct StreamCls {
    Response r;
};

ssize_t read_stream(void* cls, uint64_t pos, char* buf, size_t max) {
    auto* s = static_cast<StreamCls*>(cls);
    long n = s->r.stream(pos, buf, max);
    if (n == 0) return MHD_CONTENT_READER_END_OF_STREAM;
    if (n < 0) return MHD_CONTENT_READER_END_WITH_ERROR;
    return n;
}

void free_stream(void* cls) {
    auto* s = static_cast<StreamCls*>(cls);
    if (s->r.done) s->r.done();
    delete s;
}

MHD_Result collect(void* cls, MHD_ValueKind, const char* key, const char* value) {
    auto* m = static_cast<std::map<std::string, std::string>*>(cls);
    if (!key) return MHD_YES;
    std::string k = key;
    for (auto& c : k) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    (*m)[k] = value ? value : "";
    return MHD_YES;
}

MHD_Result collect_args(void* cls, MHD_ValueKind, const char* key, const char* value) {
    auto* m = static_cast<std::map<std::string, std::string>*>(cls);
    if (key) (*m)[key] = value ? value : "";
    return MHD_YES;
}

std::string peer_of(MHD_Connection* c) {
    const MHD_ConnectionInfo* info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    if (!info || !info->client_addr) return "?";
    char text[INET6_ADDRSTRLEN] = "?";
    const sockaddr* sa = info->client_addr;
    if (sa->sa_family == AF_INET) {
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(sa)->sin_addr, text, sizeof(text));
    } else if (sa->sa_family == AF_INET6) {
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(sa)->sin6_addr, text,
                  sizeof(text));
        if (strncmp(text, "::ffff:", 7) == 0 && strchr(text + 7, '.')) return text + 7;
    }
    return text;
}

MHD_Result send_response(MHD_Connection* c, Response&& r, Context* ctx = nullptr) {
    MHD_Response* resp;
    if (r.file.get() >= 0 && r.total > 0) {
        // From the descriptor, which the response then owns and closes.
        resp = MHD_create_response_from_fd_at_offset64(static_cast<uint64_t>(r.total), r.file.get(),
                                                       r.file_offset);
        if (resp) r.file.release();
        if (ctx) {
            ctx->done = std::move(r.done);
        } else if (r.done) {
            r.done();
        }
        if (!resp) return MHD_NO;
        for (auto& [k, v] : r.headers) MHD_add_response_header(resp, k.c_str(), v.c_str());
        MHD_Result ret = MHD_queue_response(c, static_cast<unsigned>(r.status), resp);
        MHD_destroy_response(resp);
        return ret;
    }
    if (r.stream) {
        auto* cls = new StreamCls{std::move(r)};
        uint64_t total = cls->r.total < 0 ? MHD_SIZE_UNKNOWN : static_cast<uint64_t>(cls->r.total);
        resp = MHD_create_response_from_callback(total, cls->r.block, read_stream, cls, free_stream);
        if (!resp) {
            free_stream(cls);
            return MHD_NO;
        }
        for (auto& [k, v] : cls->r.headers) MHD_add_response_header(resp, k.c_str(), v.c_str());
        int status = cls->r.status;
        MHD_Result ret = MHD_queue_response(c, static_cast<unsigned>(status), resp);
        MHD_destroy_response(resp);
        return ret;
    }
    if (r.total > 0 && r.body.empty()) {
        // HEAD of a file: the length without the bytes.
        resp = MHD_create_response_from_callback(
            static_cast<uint64_t>(r.total), 4096,
            [](void*, uint64_t, char*, size_t) -> ssize_t { return MHD_CONTENT_READER_END_WITH_ERROR; },
            nullptr, nullptr);
    } else {
        resp = MHD_create_response_from_buffer(r.body.size(), r.body.data(), MHD_RESPMEM_MUST_COPY);
    }
    if (r.done) r.done();
    if (!resp) return MHD_NO;
    for (auto& [k, v] : r.headers) MHD_add_response_header(resp, k.c_str(), v.c_str());
    MHD_Result ret = MHD_queue_response(c, static_cast<unsigned>(r.status), resp);
    MHD_destroy_response(resp);
    return ret;
}

}  // namespace

// One connection as the watchdog sees it: waiting while a request is on its way, or
// uploading while an upload's body is (since then counts from the upload's start).
struct Watch {
    int fd = -1;
    std::string peer;
    std::atomic<int64_t> since{0};  // ms: when the request being waited for began
    std::atomic<bool> waiting{true};
    std::atomic<bool> uploading{false};
    std::atomic<uint64_t> upload_size{0}, received{0};  // of the upload's body
    bool cut = false;  // under Watchdog::lock
};

struct Watchdog {
    Watchdog(int seconds, int rate)
        : limit_ms(static_cast<int64_t>(seconds) * 1000), min_rate(static_cast<uint64_t>(rate)) {}
    const int64_t limit_ms;
    const uint64_t min_rate;  // bytes a second an upload keeps up once limit_ms is over
    std::mutex lock;
    std::condition_variable cv;
    std::set<Watch*> all;
    bool stopping = false;
    std::thread thread;

    void run() {
        std::unique_lock<std::mutex> g(lock);
        while (!stopping) {
            cv.wait_for(g, std::chrono::milliseconds(250));
            int64_t now = now_ms();
            for (Watch* w : all) {
                if (w->cut) continue;
                int64_t age = now - w->since;
                std::string why;
                if (w->waiting && age >= limit_ms) {
                    why = " request time-out: not whole after " + std::to_string(limit_ms / 1000) + " s";
                } else if (!w->waiting && w->uploading && age > limit_ms) {
                    // By now min_rate for every second past the first limit_ms, or all of it.
                    uint64_t due = min_rate * static_cast<uint64_t>(age - limit_ms) / 1000;
                    uint64_t got = w->received;
                    if (got < std::min<uint64_t>(due, w->upload_size))
                        why = " upload too slow: " + std::to_string(got) + " of " +
                              std::to_string(w->upload_size) + " bytes after " +
                              std::to_string(age / 1000) + " s";
                }
                if (why.empty()) continue;
                // The connection's thread sees the end of its socket and closes it (an
                // upload is cancelled with it).
                w->cut = true;
                shutdown(w->fd, SHUT_RDWR);
                refusals.line(w->peer + why);
            }
            refusals.tick();
        }
    }
};

namespace {

Watch* watch_of(MHD_Connection* c) {
    const MHD_ConnectionInfo* i = MHD_get_connection_info(c, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    return i ? static_cast<Watch*>(i->socket_context) : nullptr;
}

// The request has arrived whole (or is answered): no longer the watchdog's to end.
void arrived(MHD_Connection* c) {
    if (Watch* w = watch_of(c)) w->waiting = false;
}

// An upload's body of size bytes is on its way: the watchdog checks its rate from now.
void uploading(MHD_Connection* c, uint64_t size) {
    if (Watch* w = watch_of(c)) {
        w->received = 0;
        w->upload_size = size;
        w->since = now_ms();
        w->uploading = true;
        w->waiting = false;
    }
}

void on_connection(void* cls, MHD_Connection* c, void** socket_context,
                   MHD_ConnectionNotificationCode code) {
    auto* dog = static_cast<Watchdog*>(cls);
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
        auto* w = new Watch;
        const MHD_ConnectionInfo* i = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CONNECTION_FD);
        w->fd = i ? i->connect_fd : -1;
        w->peer = peer_of(c);
        w->since = now_ms();
        *socket_context = w;
        if (w->fd < 0) return;
        std::lock_guard<std::mutex> g(dog->lock);
        dog->all.insert(w);
    } else if (*socket_context) {
        auto* w = static_cast<Watch*>(*socket_context);
        {
            std::lock_guard<std::mutex> g(dog->lock);
            dog->all.erase(w);
        }
        delete w;
        *socket_context = nullptr;
    }
}

Response refusal(int status, const char* text) {
    Response r;
    r.status = status;
    r.body = std::string("{\"error\":\"") + text + "\"}";
    r.header("Content-Type", "application/json; charset=utf-8");
    return r;
}

struct Daemon {
    Gateway* gateway;
    bool tls;
};

Request request_of(MHD_Connection* c, const char* url, const char* method, bool tls) {
    Request r;
    r.method = method ? method : "";
    r.path = url ? url : "";
    r.peer = peer_of(c);
    r.tls = tls;
    MHD_get_connection_values(c, MHD_HEADER_KIND, collect, &r.headers);
    MHD_get_connection_values(c, MHD_GET_ARGUMENT_KIND, collect_args, &r.query);
    return r;
}

MHD_Result on_request(void* cls, MHD_Connection* c, const char* url, const char* method,
                      const char*, const char* upload, size_t* upload_size, void** con_cls) {
    auto* d = static_cast<Daemon*>(cls);
    if (!*con_cls) {
        auto* ctx = new Context;
        *con_cls = ctx;
        if (url && method && !strcmp(url, "/api/upload") && !strcmp(method, "POST")) {
            // A file goes to the board as it arrives, never whole in memory.
            Response no;
            arrived(c);
            ctx->upload = d->gateway->begin_upload(request_of(c, url, method, d->tls), no);
            if (!ctx->upload) return send_response(c, std::move(no));
            // It takes its time, at upload_min_rate at least (its size was checked above).
            const char* length = MHD_lookup_connection_value(c, MHD_HEADER_KIND, "Content-Length");
            uploading(c, length ? strtoull(length, nullptr, 10) : 0);
            return MHD_YES;
        }
        const char* length = MHD_lookup_connection_value(c, MHD_HEADER_KIND, "Content-Length");
        if (length && strtoull(length, nullptr, 10) > MAX_BODY) {
            arrived(c);
            return send_response(c, refusal(413, "request too large"));
        }
        return MHD_YES;
    }
    auto* ctx = static_cast<Context*>(*con_cls);
    if (*upload_size) {
        if (ctx->upload) {
            if (!ctx->upload->write(upload, *upload_size)) return MHD_NO;
            if (Watch* w = watch_of(c)) w->received += *upload_size;
        } else {
            if (ctx->body.size() + *upload_size > MAX_BODY) return MHD_NO;  // a chunked body too large
            ctx->body.append(upload, *upload_size);
        }
        *upload_size = 0;
        return MHD_YES;
    }
    if (ctx->upload) {
        Response out = ctx->upload->finish();
        ctx->upload.reset();
        out.header("Content-Security-Policy", "default-src 'none'");
        out.header("X-Content-Type-Options", "nosniff");
        return send_response(c, std::move(out));
    }
    arrived(c);
    Request r = request_of(c, url, method, d->tls);
    r.body = std::move(ctx->body);
    return send_response(c, d->gateway->handle(r), ctx);
}

void on_completed(void*, MHD_Connection* c, void** con_cls, MHD_RequestTerminationCode) {
    delete static_cast<Context*>(*con_cls);
    *con_cls = nullptr;
    // The next request on the connection has its own time from now.
    if (Watch* w = watch_of(c)) {
        w->uploading = false;
        w->since = now_ms();
        w->waiting = true;
    }
}

// The listener of plain HTTP beside HTTPS: every request, whatever its method, path or body,
// is answered with a redirect to the same host and path over HTTPS and the connection closed.
// It reaches no session, sets no cookie and reads no body. The host comes from the request's
// Host header when that is a plain host name or address (the browser asked for it, so sending
// it back there grants nothing), else from the address the connection came in on.
constexpr int REDIRECT_CACHE_S = 3600;  // how long a browser may remember the redirect

bool host_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '-' || c == '_';
}

// The host part of a Host header ("name", "name:port", "[v6]:port"), or "" when it is not a
// plain host name or address.
std::string host_of(const char* header) {
    if (!header) return "";
    std::string h = header;
    std::string host, rest;
    if (!h.empty() && h[0] == '[') {
        size_t e = h.find(']');
        if (e == std::string::npos || e < 3) return "";
        for (size_t i = 1; i < e; i++)
            if (!isxdigit(static_cast<unsigned char>(h[i])) && h[i] != ':' && h[i] != '.') return "";
        host = h.substr(0, e + 1);
        rest = h.substr(e + 1);
    } else {
        size_t e = h.find(':');
        host = h.substr(0, e);
        rest = e == std::string::npos ? "" : h.substr(e);
        if (host.empty() || host.size() > 253) return "";
        for (char c : host)
            if (!host_char(c)) return "";
    }
    if (!rest.empty()) {
        if (rest[0] != ':' || rest.size() > 6) return "";
        for (size_t i = 1; i < rest.size(); i++)
            if (rest[i] < '0' || rest[i] > '9') return "";
    }
    return host;
}

// The address the connection came in on, as a URL's host.
std::string local_host(MHD_Connection* c) {
    const MHD_ConnectionInfo* i = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CONNECTION_FD);
    sockaddr_storage a{};
    socklen_t len = sizeof(a);
    if (!i || getsockname(i->connect_fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) return "localhost";
    char text[INET6_ADDRSTRLEN] = "";
    if (a.ss_family == AF_INET) {
        inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(&a)->sin_addr, text, sizeof(text));
        return text;
    }
    if (a.ss_family == AF_INET6) {
        inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6*>(&a)->sin6_addr, text, sizeof(text));
        if (strncmp(text, "::ffff:", 7) == 0 && strchr(text + 7, '.')) return text + 7;
        return std::string("[") + text + "]";
    }
    return "localhost";
}

// A request target's bytes as they may stand in a Location header: what is not printable
// ASCII or not allowed in a URL is percent-encoded (an escape already there stays).
void append_url_text(std::string& out, const char* text) {
    static const char* const allowed = "-._~!$&'()*+,;=:@/?%";
    for (const char* p = text; *p; p++) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (isalnum(c) || (c < 0x80 && strchr(allowed, c))) {
            out += static_cast<char>(c);
        } else {
            char b[4];
            snprintf(b, sizeof(b), "%%%02X", c);
            out += b;
        }
    }
}

MHD_Result collect_query(void* cls, MHD_ValueKind, const char* key, const char* value) {
    auto* q = static_cast<std::string*>(cls);
    if (!key) return MHD_YES;
    *q += q->empty() ? "?" : "&";
    append_url_text(*q, key);
    if (value) {
        *q += '=';
        append_url_text(*q, value);
    }
    return MHD_YES;
}

// The redirect listener keeps the request target as sent, so that the HTTPS URL names the
// same path and query byte for byte.
size_t keep_escapes(void*, MHD_Connection*, char* s) { return strlen(s); }

MHD_Result on_redirect(void* cls, MHD_Connection* c, const char* url, const char* method, const char*,
                       const char*, size_t*, void**) {
    int https_port = *static_cast<const int*>(cls);
    std::string host = host_of(MHD_lookup_connection_value(c, MHD_HEADER_KIND, "Host"));
    if (host.empty()) host = local_host(c);
    std::string location = "https://" + host + (https_port == 443 ? "" : ":" + std::to_string(https_port));
    if (url && url[0] == '/') {
        append_url_text(location, url);
        std::string query;
        MHD_get_connection_values(c, MHD_GET_ARGUMENT_KIND, collect_query, &query);
        location += query;
    } else {
        location += '/';  // "*", an absolute form: the page itself
    }
    arrived(c);
    // GET and HEAD: 301, which every browser follows; another method keeps itself and its
    // body with 308, for a program that follows redirects.
    bool plain = method && (!strcmp(method, "GET") || !strcmp(method, "HEAD"));
    MHD_Response* resp = MHD_create_response_from_buffer(0, nullptr, MHD_RESPMEM_PERSISTENT);
    if (!resp) return MHD_NO;
    MHD_add_response_header(resp, "Location", location.c_str());
    MHD_add_response_header(resp, "Cache-Control", ("max-age=" + std::to_string(REDIRECT_CACHE_S)).c_str());
    MHD_add_response_header(resp, "Connection", "close");
    MHD_Result ret = MHD_queue_response(c, plain ? 301u : 308u, resp);
    MHD_destroy_response(resp);
    return ret;
}

bool read_text(const std::string& path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream b;
    b << in.rdbuf();
    out = b.str();
    return true;
}

Daemon daemon_record;

}  // namespace

HttpServer::HttpServer(Gateway& g, const Settings& s)
    : gateway_(g),
      settings_(s),
      watchdog_(std::make_unique<Watchdog>(s.request_timeout, s.upload_min_rate)),
      redirect_watchdog_(std::make_unique<Watchdog>(s.request_timeout, s.upload_min_rate)) {}

HttpServer::~HttpServer() { stop(); }

bool HttpServer::start(std::string& err) {
    struct addrinfo hints;
    memset(&hints, 0, sizeof(hints));
    hints.ai_flags = AI_NUMERICHOST | AI_PASSIVE;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo* ai = nullptr;
    std::string port = std::to_string(settings_.port);
    if (getaddrinfo(settings_.listen.c_str(), port.c_str(), &hints, &ai) != 0 || !ai) {
        err = "listen: not an IP address: " + settings_.listen;
        return false;
    }
    sockaddr_storage addr;
    memcpy(&addr, ai->ai_addr, ai->ai_addrlen);
    bool v6 = ai->ai_family == AF_INET6;
    freeaddrinfo(ai);

    bool tls = !settings_.tls_cert.empty();
    if (tls && (!read_text(settings_.tls_cert, cert_) || !read_text(settings_.tls_key, key_))) {
        err = "cannot read the TLS certificate or key";
        return false;
    }
    daemon_record = {&gateway_, tls};
    unsigned flags = MHD_USE_THREAD_PER_CONNECTION | MHD_USE_AUTO_INTERNAL_THREAD | MHD_USE_ERROR_LOG;
    if (v6) flags |= MHD_USE_IPv6;
    if (tls) flags |= MHD_USE_TLS;
    std::vector<MHD_OptionItem> options = {
        {MHD_OPTION_EXTERNAL_LOGGER, reinterpret_cast<intptr_t>(library_log), nullptr},  // first
        {MHD_OPTION_SOCK_ADDR, 0, &addr},
        {MHD_OPTION_CONNECTION_LIMIT, settings_.max_connections, nullptr},
        {MHD_OPTION_PER_IP_CONNECTION_LIMIT, settings_.max_connections_per_address, nullptr},
        {MHD_OPTION_CONNECTION_TIMEOUT, CONNECTION_TIMEOUT_S, nullptr},
        {MHD_OPTION_CONNECTION_MEMORY_LIMIT, HEADER_MEMORY, nullptr},
        {MHD_OPTION_THREAD_STACK_SIZE, 512 * 1024, nullptr},
        {MHD_OPTION_NOTIFY_COMPLETED, reinterpret_cast<intptr_t>(on_completed), nullptr},
        {MHD_OPTION_NOTIFY_CONNECTION, reinterpret_cast<intptr_t>(on_connection), watchdog_.get()},
    };
    if (tls) {
        options.push_back({MHD_OPTION_HTTPS_MEM_KEY, 0, key_.data()});
        options.push_back({MHD_OPTION_HTTPS_MEM_CERT, 0, cert_.data()});
    }
    options.push_back({MHD_OPTION_END, 0, nullptr});
    MHD_Daemon* d = MHD_start_daemon(flags, static_cast<uint16_t>(settings_.port), nullptr, nullptr,
                                     on_request, &daemon_record, MHD_OPTION_ARRAY, options.data(),
                                     MHD_OPTION_END);
    if (!d) {
        err = "cannot listen on " + settings_.listen + " port " + port +
              (tls ? " (or the certificate and key were not accepted)" : "");
        return false;
    }
    daemon_ = d;
    watchdog_->stopping = false;
    watchdog_->thread = std::thread([this] { watchdog_->run(); });
    const MHD_DaemonInfo* info = MHD_get_daemon_info(d, MHD_DAEMON_INFO_BIND_PORT);
    bound_port_ = info ? info->port : settings_.port;
    return settings_.redirect_port == 0 || start_redirect(addr, err);
}

// Plain HTTP that only redirects: one polling thread for all its connections (none of them
// waits on anything but its own socket), bounded in connections like the main listener, each
// request whole within request_timeout (the same watchdog) or cut.
bool HttpServer::start_redirect(const sockaddr_storage& listen_addr, std::string& err) {
    sockaddr_storage addr = listen_addr;
    uint16_t port = htons(static_cast<uint16_t>(settings_.redirect_port));
    if (addr.ss_family == AF_INET6)
        reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port = port;
    else
        reinterpret_cast<sockaddr_in*>(&addr)->sin_port = port;
    unsigned flags = MHD_USE_AUTO_INTERNAL_THREAD | MHD_USE_ERROR_LOG;
    if (addr.ss_family == AF_INET6) flags |= MHD_USE_IPv6;
    MHD_OptionItem options[] = {
        {MHD_OPTION_EXTERNAL_LOGGER, reinterpret_cast<intptr_t>(library_log), nullptr},  // first
        {MHD_OPTION_SOCK_ADDR, 0, &addr},
        {MHD_OPTION_CONNECTION_LIMIT, settings_.max_connections, nullptr},
        {MHD_OPTION_PER_IP_CONNECTION_LIMIT, settings_.max_connections_per_address, nullptr},
        {MHD_OPTION_CONNECTION_TIMEOUT, static_cast<intptr_t>(settings_.request_timeout), nullptr},
        {MHD_OPTION_CONNECTION_MEMORY_LIMIT, HEADER_MEMORY, nullptr},
        {MHD_OPTION_UNESCAPE_CALLBACK, reinterpret_cast<intptr_t>(keep_escapes), nullptr},
        {MHD_OPTION_NOTIFY_CONNECTION, reinterpret_cast<intptr_t>(on_connection), redirect_watchdog_.get()},
        {MHD_OPTION_END, 0, nullptr},
    };
    MHD_Daemon* d = MHD_start_daemon(flags, static_cast<uint16_t>(settings_.redirect_port), nullptr, nullptr,
                                     on_redirect, &bound_port_, MHD_OPTION_ARRAY, options, MHD_OPTION_END);
    if (!d) {
        err = "cannot listen on " + settings_.listen + " port " + std::to_string(settings_.redirect_port) +
              " (redirect_port)";
        return false;
    }
    redirect_ = d;
    redirect_watchdog_->stopping = false;
    redirect_watchdog_->thread = std::thread([this] { redirect_watchdog_->run(); });
    return true;
}

void HttpServer::stop() {
    for (Watchdog* dog : {watchdog_.get(), redirect_watchdog_.get()}) {
        if (!dog->thread.joinable()) continue;
        {
            std::lock_guard<std::mutex> g(dog->lock);
            dog->stopping = true;
        }
        dog->cv.notify_all();
        dog->thread.join();
    }
    if (redirect_) MHD_stop_daemon(static_cast<MHD_Daemon*>(redirect_));
    redirect_ = nullptr;
    if (daemon_) MHD_stop_daemon(static_cast<MHD_Daemon*>(daemon_));
    daemon_ = nullptr;
}

}  // namespace web
