// Client connections, the response parser and /proc readings of the benchmark.
#include "bench_net.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>

namespace bench {

int64_t now_ns() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

int connect_loopback(int port, int rcvbuf) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (rcvbuf > 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof(rcvbuf));
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) < 0) {
        ::close(fd);
        return -1;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    struct timeval tv = {20, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    return fd;
}

bool send_all(int fd, const void* data, size_t len) {
    const char* p = static_cast<const char*>(data);
    while (len > 0) {
        ssize_t n = send(fd, p, len, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

// ---------------------------------------------------------------------------------------------

void Parser::reset(Proto proto, int frames, uint64_t fixed) {
    proto_ = proto;
    frames_ = frames;
    frames_done_ = 0;
    in_header_ = proto != Proto::Fixed;
    header_len_ = 0;
    body_left_ = fixed;
    body_bytes_ = 0;
    raw_ = false;
    chunked_ = false;
    last_chunk_ = false;
    chunk_line_.clear();
    done_ = false;
    error_ = false;
    status_ = 0;
    type_.clear();
    text_.clear();
    if (proto == Proto::Fixed && fixed == 0) done_ = true;
}

void Parser::end_frame() {
    frames_done_++;
    in_header_ = true;
    header_len_ = 0;
    if (type_ == "11" && frames_done_ < frames_ && text_.find("\"OK\"") == std::string::npos) {
        error_ = true;
        done_ = true;
        return;
    }
    if (frames_done_ >= frames_) done_ = true;
}

size_t Parser::feed(const char* p, size_t n) {
    size_t used = 0;
    while (used < n && !done_) {
        const char* q = p + used;
        size_t left = n - used;
        switch (proto_) {
            case Proto::Ours:
                if (in_header_) {
                    size_t k = std::min(left, size_t{12} - header_len_);
                    memcpy(header_ + header_len_, q, k);
                    header_len_ += k;
                    used += k;
                    if (header_len_ < 12) break;
                    header_[12] = '\0';
                    type_.assign(header_, 2);
                    body_left_ = strtoull(header_ + 2, nullptr, 10);
                    raw_ = type_ == "85" || type_ == "88" || type_ == "89";
                    text_.clear();
                    in_header_ = false;
                    if (body_left_ == 0) end_frame();
                } else {
                    size_t k = static_cast<size_t>(std::min<uint64_t>(left, body_left_));
                    if (raw_)
                        body_bytes_ += k;
                    else if (text_.size() < 4096)
                        text_.append(q, std::min(k, 4096 - text_.size()));
                    body_left_ -= k;
                    used += k;
                    if (body_left_ == 0) end_frame();
                }
                break;
            case Proto::Http:
                if (in_header_) {
                    // Headers are small: gather them byte-exact up to the blank line.
                    size_t k = 0;
                    while (k < left) {
                        text_.push_back(q[k++]);
                        size_t s = text_.size();
                        if (s >= 4 && memcmp(text_.data() + s - 4, "\r\n\r\n", 4) == 0) break;
                    }
                    used += k;
                    size_t s = text_.size();
                    if (s < 4 || memcmp(text_.data() + s - 4, "\r\n\r\n", 4) != 0) {
                        if (s > 16384) error_ = done_ = true;
                        break;
                    }
                    status_ = text_.size() > 12 ? atoi(text_.c_str() + 9) : 0;
                    const char* cl = strcasestr(text_.c_str(), "\r\nContent-Length:");
                    body_left_ = cl ? strtoull(cl + 17, nullptr, 10) : 0;
                    chunked_ = strcasestr(text_.c_str(), "\r\nTransfer-Encoding: chunked") != nullptr;
                    in_header_ = false;
                    if (status_ != 200 && status_ != 206) error_ = true;
                    if (body_left_ == 0 && !chunked_) done_ = true;
                } else if (chunked_ && body_left_ == 0) {
                    // A chunk's size line; its data and CRLF follow. Size 0 ends the body
                    // (after its CRLF; no trailers).
                    const char* nl = static_cast<const char*>(memchr(q, '\n', left));
                    size_t k = nl ? static_cast<size_t>(nl - q) + 1 : left;
                    chunk_line_.append(q, k);
                    used += k;
                    if (!nl) break;
                    if (last_chunk_) {
                        done_ = true;
                        break;
                    }
                    uint64_t size = strtoull(chunk_line_.c_str(), nullptr, 16);
                    chunk_line_.clear();
                    if (size == 0)
                        last_chunk_ = true;
                    else
                        body_left_ = size + 2;
                } else {
                    size_t k = static_cast<size_t>(std::min<uint64_t>(left, body_left_));
                    body_bytes_ += k;
                    body_left_ -= k;
                    used += k;
                    if (body_left_ == 0 && !chunked_) done_ = true;
                }
                break;
            case Proto::Redis: {
                const char* nl = static_cast<const char*>(memchr(q, '\n', left));
                size_t k = nl ? static_cast<size_t>(nl - q) + 1 : left;
                if (text_.size() < 4096) text_.append(q, std::min(k, 4096 - text_.size()));
                used += k;
                if (nl) {
                    done_ = true;
                    if (!text_.empty() && text_[0] == '-') error_ = true;
                }
                break;
            }
            case Proto::Fixed: {
                size_t k = static_cast<size_t>(std::min<uint64_t>(left, body_left_));
                body_left_ -= k;
                used += k;
                if (body_left_ == 0) done_ = true;
                break;
            }
        }
    }
    return used;
}

// ---------------------------------------------------------------------------------------------

Conn::~Conn() { close(); }

void Conn::close() {
    if (tls) {
        if (fd >= 0) gnutls_bye(tls, GNUTLS_SHUT_WR);
        gnutls_deinit(tls);
        tls = nullptr;
    }
    if (fd >= 0) ::close(fd);
    fd = -1;
}

ssize_t Conn::read_some() {
    if (have == buf.size()) return -1;  // the parser takes bytes before asking for more
    if (!tls) {
        for (;;) {
            ssize_t n = recv(fd, buf.data() + have, buf.size() - have, 0);
            if (n < 0 && errno == EINTR) continue;
            if (n > 0) have += static_cast<size_t>(n);
            return n;
        }
    }
    ssize_t total = 0;
    for (;;) {
        ssize_t n = gnutls_record_recv(tls, buf.data() + have, buf.size() - have);
        if (n == GNUTLS_E_INTERRUPTED) continue;
        if (n <= 0) {
            if (total > 0) return total;
            // A close without close_notify ends the stream as a plain close would.
            if (n == 0 || n == GNUTLS_E_PREMATURE_TERMINATION) return 0;
            return -1;  // an error, or GNUTLS_E_AGAIN: the receive time-out
        }
        have += static_cast<size_t>(n);
        total += n;
        if (have == buf.size() || gnutls_record_check_pending(tls) == 0) return total;
    }
}

bool Conn::send(const void* data, size_t len) {
    if (!tls) return send_all(fd, data, len);
    const char* p = static_cast<const char*>(data);
    while (len > 0) {
        ssize_t n = gnutls_record_send(tls, p, len);
        if (n == GNUTLS_E_INTERRUPTED || n == GNUTLS_E_AGAIN) continue;
        if (n < 0) return false;
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

namespace {

gnutls_certificate_credentials_t client_credentials() {
    static gnutls_certificate_credentials_t creds = [] {
        gnutls_certificate_credentials_t c = nullptr;
        gnutls_global_init();
        gnutls_certificate_allocate_credentials(&c);
        return c;
    }();
    return creds;
}

}  // namespace

// The cipher and key exchange of the comparison, offered alone so that every server
// negotiates the same: TLS_AES_128_GCM_SHA256 with X25519.
constexpr const char* TLS_PRIORITY =
    "NORMAL:-VERS-ALL:+VERS-TLS1.3:-CIPHER-ALL:+AES-128-GCM:-GROUP-ALL:+GROUP-X25519";

bool tls_start(Conn& c, std::string& err) {
    gnutls_session_t s = nullptr;
    int rc = gnutls_init(&s, GNUTLS_CLIENT);
    if (rc == 0) rc = gnutls_priority_set_direct(s, TLS_PRIORITY, nullptr);
    if (rc == 0) rc = gnutls_credentials_set(s, GNUTLS_CRD_CERTIFICATE, client_credentials());
    if (rc != 0) {
        if (s) gnutls_deinit(s);
        err = gnutls_strerror(rc);
        return false;
    }
    gnutls_transport_set_int(s, c.fd);
    gnutls_handshake_set_timeout(s, 20000);
    do {
        rc = gnutls_handshake(s);
    } while (rc < 0 && !gnutls_error_is_fatal(rc));
    if (rc < 0) {
        gnutls_deinit(s);
        err = std::string("TLS handshake: ") + gnutls_strerror(rc);
        return false;
    }
    c.tls = s;
    return true;
}

std::string tls_description(const Conn& c) {
    if (!c.tls) return "";
    char* d = gnutls_session_get_desc(c.tls);
    std::string r = d ? d : "";
    gnutls_free(d);
    return r;
}

const char* tls_library_version() { return gnutls_check_version(nullptr); }

bool Conn::consume() {
    if (have == 0) return parser.done();
    size_t k = parser.feed(buf.data(), have);
    if (k < have) memmove(buf.data(), buf.data() + k, have - k);
    have -= k;
    return parser.done();
}

bool Conn::finish() {
    while (!consume())
        if (read_some() <= 0) return false;
    return true;
}

bool Conn::exchange(const std::string& request) {
    sent_at = now_ns();
    if (!send(request)) return false;
    return finish() && !parser.error();
}

std::string our_frame(const char* type, const std::string& payload) {
    char header[16];
    snprintf(header, sizeof(header), "%.2s%10zu", type, payload.size());
    return std::string(header, 12) + payload;
}

std::string our_cmd(const std::string& json) { return our_frame("11", json); }

std::string http_get(const std::string& path, int64_t from, int64_t to) {
    std::string r = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    if (from >= 0) r += "Range: bytes=" + std::to_string(from) + "-" + std::to_string(to) + "\r\n";
    return r + "\r\n";
}

// ---------------------------------------------------------------------------------------------

namespace {

std::vector<std::string> list_dir(const std::string& path) {
    std::vector<std::string> names;
    DIR* d = opendir(path.c_str());
    if (!d) return names;
    while (struct dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        names.push_back(e->d_name);
    }
    closedir(d);
    return names;
}

long status_field(const std::string& text, const char* key) {
    size_t at = text.find(key);
    if (at == std::string::npos) return 0;
    return atol(text.c_str() + at + strlen(key));
}

}  // namespace

double cpu_seconds(const std::vector<int>& pids) {
    double total = 0;
    for (int pid : pids) {
        std::string base = "/proc/" + std::to_string(pid) + "/task";
        for (const auto& tid : list_dir(base)) {
            std::ifstream f(base + "/" + tid + "/schedstat");
            unsigned long long ns = 0;
            if (f >> ns) total += static_cast<double>(ns) / 1e9;
        }
    }
    return total;
}

double process_cpu_seconds(const std::vector<int>& pids) {
    double total = 0;
    for (int pid : pids) {
        std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
        std::string line;
        std::getline(f, line);
        size_t close = line.rfind(')');
        if (close == std::string::npos) continue;
        std::istringstream in(line.substr(close + 2));
        std::string field;
        unsigned long long utime = 0, stime = 0;
        for (int i = 3; i <= 15 && in >> field; i++) {
            if (i == 14) utime = std::stoull(field);
            if (i == 15) stime = std::stoull(field);
        }
        total += static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
    }
    return total;
}

ProcStats proc_stats(const std::vector<int>& pids) {
    ProcStats s;
    for (int pid : pids) {
        std::ifstream f("/proc/" + std::to_string(pid) + "/status");
        std::stringstream ss;
        ss << f.rdbuf();
        std::string text = ss.str();
        s.rss_kib += status_field(text, "\nVmRSS:");
        s.vsize_kib += status_field(text, "\nVmSize:");
        s.threads += status_field(text, "\nThreads:");
        s.fds += static_cast<long>(list_dir("/proc/" + std::to_string(pid) + "/fd").size());
    }
    return s;
}

std::vector<int> with_children(int pid) {
    std::vector<int> pids = {pid};
    for (const auto& name : list_dir("/proc")) {
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::ifstream f("/proc/" + name + "/stat");
        std::string line;
        std::getline(f, line);
        size_t close = line.rfind(')');
        if (close == std::string::npos) continue;
        char state;
        int ppid = 0;
        if (sscanf(line.c_str() + close + 1, " %c %d", &state, &ppid) == 2 && ppid == pid)
            pids.push_back(atoi(name.c_str()));
    }
    return pids;
}

long server_send_queue(int server_port, int client_port) {
    std::ifstream f("/proc/net/tcp");
    std::string line;
    std::getline(f, line);
    while (std::getline(f, line)) {
        unsigned local_addr, local_p, rem_addr, rem_p, st;
        unsigned long tx, rx;
        if (sscanf(line.c_str(), " %*d: %x:%x %x:%x %x %lx:%lx", &local_addr, &local_p, &rem_addr,
                   &rem_p, &st, &tx, &rx) != 7)
            continue;
        if (static_cast<int>(local_p) == server_port && static_cast<int>(rem_p) == client_port)
            return static_cast<long>(tx);
    }
    return -1;
}

int local_port(int fd) {
    struct sockaddr_in addr;
    socklen_t len = sizeof(addr);
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) < 0) return -1;
    return ntohs(addr.sin_port);
}

}  // namespace bench
