// The benchmark's client side: connections, one response parser for our frames, HTTP/1.1 and
// Redis replies over the same 64 KiB receive buffer, and readings of a server's /proc entries.
#pragma once

#include <gnutls/gnutls.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace bench {

constexpr size_t RECV_BUFFER = 64 * 1024;

int64_t now_ns();

// A blocking loopback connection with TCP_NODELAY (and a 20 s receive time-out so a broken
// server cannot hang a run). -1 on failure. rcvbuf > 0 sets SO_RCVBUF before connecting.
int connect_loopback(int port, int rcvbuf = 0);
bool send_all(int fd, const void* data, size_t len);

// What a response looks like.
enum class Proto { Ours, Http, Redis, Fixed };

// Consumes a byte stream and tells when one response is complete. Ours: `frames` frames; an
// "11" reply that is not "OK" ends a response early (as an error) when more frames were
// expected. Http: a status line and headers, then Content-Length bytes or chunks (nginx's
// autoindex). Redis: one line.
// Fixed: exactly `fixed` bytes. Bodies are counted and skipped, never held.
class Parser {
public:
    void reset(Proto proto, int frames = 1, uint64_t fixed = 0);
    // Consumes bytes of p up to the end of the current response; returns how many.
    size_t feed(const char* p, size_t n);
    bool done() const { return done_; }
    bool error() const { return error_; }
    uint64_t body_bytes() const { return body_bytes_; }  // raw data ("85", "88", "89", HTTP)
    const std::string& text() const { return text_; }    // last text payload or the headers
    const std::string& type() const { return type_; }    // last frame type (Ours)
    int status() const { return status_; }               // HTTP status

private:
    void end_frame();
    Proto proto_ = Proto::Ours;
    int frames_ = 1;
    int frames_done_ = 0;
    bool in_header_ = true;
    char header_[16];
    size_t header_len_ = 0;
    uint64_t body_left_ = 0;
    uint64_t body_bytes_ = 0;
    bool raw_ = false;
    bool chunked_ = false;   // HTTP body in chunks: chunk_line_ gathers each size line
    bool last_chunk_ = false;
    std::string chunk_line_;
    bool done_ = false;
    bool error_ = false;
    int status_ = 0;
    std::string type_;
    std::string text_;
};

// One connection with its receive buffer; after tls_start every byte goes through TLS (the
// same GnuTLS client for every server).
struct Conn {
    int fd = -1;
    gnutls_session_t tls = nullptr;
    Parser parser;
    std::vector<char> buf = std::vector<char>(RECV_BUFFER);
    size_t have = 0;  // unconsumed bytes at the start of buf
    int64_t sent_at = 0;
    int pending = 0;  // responses expected
    ~Conn();
    // Ends TLS (a close_notify when the session is up) and closes the socket.
    void close();
    // Receives what is there (at least one byte) into buf after `have`: > 0 bytes, 0 closed,
    // < 0 error or time-out. With TLS it also takes what GnuTLS holds decrypted already, so a
    // poll on fd does not miss it.
    ssize_t read_some();
    bool send(const void* data, size_t len);
    bool send(const std::string& s) { return send(s.data(), s.size()); }
    // Feeds buffered bytes to the parser; true when a response completed (the rest stays).
    bool consume();
    // Receives until the parser's response is complete. false on close/error/time-out.
    bool finish();
    // Sends a request and receives its response (reset the parser first).
    bool exchange(const std::string& request);
};

// TLS client: TLS 1.3 with TLS_AES_128_GCM_SHA256 and X25519 only (every peer has them), no session
// resumption, the server's certificate not checked (loopback, one certificate for all). The
// handshake runs on c.fd from where the stream is (after STARTTLS's OK for ours). false with
// err on failure.
bool tls_start(Conn& c, std::string& err);
// The negotiated parameters of a session, e.g. "(TLS1.3)-(ECDHE-X25519)-(...)-(AES-128-GCM)".
std::string tls_description(const Conn& c);
const char* tls_library_version();

// Requests.
std::string our_frame(const char* type, const std::string& payload);
std::string our_cmd(const std::string& json);
std::string http_get(const std::string& path, int64_t from = -1, int64_t to = -1);

// /proc readings of a server process (all its threads; pids may list several processes).
double cpu_seconds(const std::vector<int>& pids);
// The same from /proc/PID/stat: in clock ticks, but it keeps the time of threads that ended.
double process_cpu_seconds(const std::vector<int>& pids);
struct ProcStats {
    long rss_kib = 0;
    long vsize_kib = 0;
    long threads = 0;
    long fds = 0;
};
ProcStats proc_stats(const std::vector<int>& pids);
std::vector<int> with_children(int pid);  // pid and its direct children
// Bytes the kernel holds unsent on the server's side of the connection whose client end is
// the local port `client_port` (from /proc/net/tcp); -1 when not found.
long server_send_queue(int server_port, int client_port);
int local_port(int fd);

}  // namespace bench
