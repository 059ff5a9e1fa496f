// Client side of the wire protocol: blocking socket with poll()-based time-outs. Once a
// connection is encrypted every read and write goes through its GnuTLS session instead.
#include "client.h"

#include <gnutls/gnutls.h>
#include <json-c/json.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

namespace bh {

namespace {

// TLS 1.3 and 1.2 only, ECDHE with AEAD ciphers, no compression.
constexpr const char* kTlsPriority =
    "NORMAL:-VERS-ALL:+VERS-TLS1.3:+VERS-TLS1.2:-CIPHER-ALL:+AES-256-GCM:+AES-128-GCM:"
    "+CHACHA20-POLY1305:-KX-ALL:+ECDHE-ECDSA:+ECDHE-RSA:-COMP-ALL:+COMP-NULL";

}  // namespace

// The GnuTLS session of an encrypted connection. It lives on the heap so that the transport
// functions' pointer stays valid when the Client moves.
struct TlsState {
    gnutls_session_t session = nullptr;
    gnutls_certificate_credentials_t cred = nullptr;
    int fd = -1;
    bool closing = false;  // close_notify is sent without waiting on a full socket
    Client::IdentityCheck check;
    std::string refused;  // the identity check's refusal, for error()

    ~TlsState() {
        if (session) gnutls_deinit(session);
        if (cred) gnutls_certificate_free_credentials(cred);
    }

    // Reads never wait here: the client waits with poll() (time-outs, the interrupt) and
    // calls again when GnuTLS says EAGAIN.
    static ssize_t pull(gnutls_transport_ptr_t ptr, void* data, size_t len) {
        auto* t = static_cast<TlsState*>(ptr);
        ssize_t n = recv(t->fd, data, len, MSG_DONTWAIT);
        if (n < 0) gnutls_transport_set_errno(t->session, errno);
        return n;
    }
    static ssize_t push(gnutls_transport_ptr_t ptr, const giovec_t* iov, int count) {
        auto* t = static_cast<TlsState*>(ptr);
        struct msghdr msg;
        memset(&msg, 0, sizeof(msg));
        msg.msg_iov = const_cast<struct iovec*>(reinterpret_cast<const struct iovec*>(iov));
        msg.msg_iovlen = static_cast<size_t>(count);
        ssize_t n = sendmsg(t->fd, &msg, MSG_NOSIGNAL | (t->closing ? MSG_DONTWAIT : 0));
        if (n < 0) gnutls_transport_set_errno(t->session, errno);
        return n;
    }
    static int verify(gnutls_session_t session) {
        auto* t = static_cast<TlsState*>(gnutls_session_get_ptr(session));
        unsigned count = 0;
        const gnutls_datum_t* certs = gnutls_certificate_get_peers(session, &count);
        if (!certs || count == 0) {
            t->refused = "the server sent no certificate";
            return GNUTLS_E_CERTIFICATE_ERROR;
        }
        std::string fp = fingerprint(certs[0].data, certs[0].size);
        if (t->check && !t->check(fp)) {
            t->refused = "the server's identity was refused";
            return GNUTLS_E_CERTIFICATE_ERROR;
        }
        return 0;
    }
};

Client::Client() = default;

Client::~Client() { close(); }

Client::Client(Client&& other) noexcept
    : messages(std::move(other.messages)), fd_(other.fd_), local_(other.local_),
      fds_(std::move(other.fds_)), interrupt_fd_(other.interrupt_fd_),
      error_(std::move(other.error_)), tls_(std::move(other.tls_)) {
    other.fd_ = -1;
    other.local_ = false;
    other.fds_.clear();
}

Client& Client::operator=(Client&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = other.fd_;
        interrupt_fd_ = other.interrupt_fd_;
        local_ = other.local_;
        fds_ = std::move(other.fds_);
        error_ = std::move(other.error_);
        messages = std::move(other.messages);
        tls_ = std::move(other.tls_);
        other.fd_ = -1;
        other.local_ = false;
        other.fds_.clear();
    }
    return *this;
}

bool Client::connect(const std::string& host, int port, int timeout_ms) {
    close();
    struct addrinfo hints;
    memset(&hints, 0, sizeof(hints));
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo* res = nullptr;
    std::string service = std::to_string(port);
    int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &res);
    if (rc != 0) {
        error_ = std::string("cannot resolve ") + host + ": " + gai_strerror(rc);
        return false;
    }
    for (struct addrinfo* ai = res; ai; ai = ai->ai_next) {
        int fd = socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
        if (fd < 0) continue;
        // The send time-out also bounds connect().
        struct timeval tv = {timeout_ms / 1000, (timeout_ms % 1000) * 1000};
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
        if (::connect(fd, ai->ai_addr, ai->ai_addrlen) == 0) {
            struct timeval none = {0, 0};
            setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &none, sizeof(none));
            int one = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
            fd_ = fd;
            break;
        }
        error_ = std::string("cannot connect: ") + strerror(errno);
        ::close(fd);
    }
    freeaddrinfo(res);
    return fd_ >= 0;
}

bool Client::connect_local(const std::string& path, int timeout_ms) {
    close();
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof(addr));
    addr.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof(addr.sun_path)) {
        error_ = "cannot connect: the socket path is empty or too long";
        return false;
    }
    memcpy(addr.sun_path, path.data(), path.size());
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error_ = std::string("socket: ") + strerror(errno);
        return false;
    }
    struct timeval tv = {timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
    if (::connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) != 0) {
        error_ = "cannot connect to " + path + ": " + strerror(errno);
        ::close(fd);
        return false;
    }
    struct timeval none = {0, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &none, sizeof(none));
    fd_ = fd;
    local_ = true;
    return true;
}

void Client::drop_fds() {
    for (int d : fds_) ::close(d);
    fds_.clear();
}

int Client::take_fd() {
    if (fds_.empty()) return -1;
    int d = fds_.front();
    fds_.pop_front();
    return d;
}

void Client::close() {
    drop_fds();
    if (tls_) {
        // A close_notify if the socket takes it now; the peer handles a plain close too.
        tls_->closing = true;
        if (fd_ >= 0) gnutls_bye(tls_->session, GNUTLS_SHUT_WR);
        tls_.reset();
    }
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    local_ = false;
}

bool Client::send_raw(const void* data, size_t len) {
    drop_fds();  // a descriptor not claimed by now belongs to no one
    const char* p = static_cast<const char*>(data);
    while (tls_ && len > 0) {
        ssize_t n = gnutls_record_send(tls_->session, p, len);
        if (n == GNUTLS_E_AGAIN || n == GNUTLS_E_INTERRUPTED) continue;  // same bytes again
        if (n < 0) {
            error_ = std::string("send: ") + gnutls_strerror(static_cast<int>(n));
            return false;
        }
        p += n;
        len -= static_cast<size_t>(n);
    }
    while (len > 0) {
        ssize_t n = send(fd_, p, len, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            error_ = std::string("send: ") + strerror(errno);
            return false;
        }
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

bool Client::send_parts(const struct iovec* iov, int count) {
    if (tls_) {
        // Each piece in its own records: GnuTLS would copy them to join them.
        for (int i = 0; i < count; i++)
            if (!send_raw(iov[i].iov_base, iov[i].iov_len)) return false;
        return true;
    }
    drop_fds();
    std::vector<struct iovec> left(iov, iov + count);
    struct iovec* at = left.data();
    while (count > 0) {
        struct msghdr msg;
        memset(&msg, 0, sizeof(msg));
        msg.msg_iov = at;
        msg.msg_iovlen = static_cast<size_t>(count);
        ssize_t n = sendmsg(fd_, &msg, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            error_ = std::string("send: ") + strerror(errno);
            return false;
        }
        size_t done = static_cast<size_t>(n);
        while (count > 0 && done >= at->iov_len) {
            done -= at->iov_len;
            at++;
            count--;
        }
        if (count > 0) {
            at->iov_base = static_cast<char*>(at->iov_base) + done;
            at->iov_len -= done;
        }
    }
    return true;
}

bool Client::send_frame(const std::string& type, const std::string& payload) {
    char header[32];
    snprintf(header, sizeof(header), "%.2s%10zu", type.c_str(), payload.size());
    std::string frame(header, 12);
    frame += payload;
    return send_raw(frame.data(), frame.size());
}

bool Client::pending() const {
    return tls_ && gnutls_record_check_pending(tls_->session) > 0;
}

bool Client::wait_readable(int timeout_ms) {
    interrupted_ = false;
    // A plain socket is then read with a blocking recv; GnuTLS reads never block.
    if (timeout_ms < 0 && interrupt_fd_ < 0 && !tls_) return true;
    // Bytes decrypted already are there to read; only the interrupt is looked at.
    bool ready = pending();
    if (ready && interrupt_fd_ < 0) return true;
    struct pollfd p[2] = {{fd_, POLLIN, 0}, {interrupt_fd_, POLLIN, 0}};
    for (;;) {
        int n = ready ? poll(p + 1, 1, 0) : poll(p, interrupt_fd_ >= 0 ? 2 : 1, timeout_ms);
        if (ready && n >= 0) {
            if (n == 0) return true;
            error_ = "interrupted";
            interrupted_ = true;
            return false;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error_ = "timed out";
            return false;
        }
        if (interrupt_fd_ >= 0 && (p[1].revents & POLLIN)) {
            error_ = "interrupted";
            interrupted_ = true;
            return false;
        }
        return true;
    }
}

// One recv, or on a local connection one recvmsg that also takes the descriptors passed with
// the bytes. A truncated set of descriptors (more than there was room for) fails the read
// after closing those that came.
ssize_t Client::receive(char* dst, size_t len, int flags) {
    if (!local_) return recv(fd_, dst, len, flags);
    constexpr size_t ROOM = 8;
    alignas(struct cmsghdr) char control[CMSG_SPACE(sizeof(int) * ROOM)];
    struct iovec iov = {dst, len};
    struct msghdr msg;
    memset(&msg, 0, sizeof(msg));
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof(control);
    ssize_t n = recvmsg(fd_, &msg, flags | MSG_CMSG_CLOEXEC);
    if (n < 0) return n;
    std::vector<int> came;
    for (struct cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
        size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (size_t i = 0; i < count; i++) {
            int d;
            memcpy(&d, CMSG_DATA(c) + i * sizeof(int), sizeof(int));
            came.push_back(d);
        }
    }
    if (msg.msg_flags & MSG_CTRUNC) {
        for (int d : came) ::close(d);
        errno = EPROTO;
        return -1;
    }
    fds_.insert(fds_.end(), came.begin(), came.end());
    return n;
}

ssize_t Client::read_tls(char* dst, size_t len, int timeout_ms) {
    // With an interrupt to watch, look at it before every read, as on a plain connection.
    if (interrupt_fd_ >= 0 && !wait_readable(timeout_ms)) return -1;
    size_t got = 0;
    while (got < len) {
        ssize_t n = gnutls_record_recv(tls_->session, dst + got, len - got);
        if (n > 0) {
            // More records may be there already: take them too, without waiting, so that a
            // caller's buffer fills as on a plain socket.
            got += static_cast<size_t>(n);
            continue;
        }
        if (n == GNUTLS_E_AGAIN || n == GNUTLS_E_INTERRUPTED) {
            if (got > 0) break;
            if (!wait_readable(timeout_ms)) return -1;
            continue;
        }
        if (got > 0) break;  // the failure comes again at the next read
        if (n == 0 || n == GNUTLS_E_PREMATURE_TERMINATION) {
            error_ = "connection closed";
        } else if (!gnutls_error_is_fatal(static_cast<int>(n))) {
            continue;
        } else {
            error_ = std::string("recv: ") + gnutls_strerror(static_cast<int>(n));
        }
        return -1;
    }
    return static_cast<ssize_t>(got);
}

ssize_t Client::read_some(char* dst, size_t len, int timeout_ms) {
    if (tls_) return read_tls(dst, len, timeout_ms);
    for (;;) {
        ssize_t n = -1;
        // Without an interrupt to watch, try first and wait only when nothing is there.
        if (interrupt_fd_ < 0) {
            n = receive(dst, len, MSG_DONTWAIT);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) break;
        }
        if (n < 0) {
            if (!wait_readable(timeout_ms)) return -1;
            n = receive(dst, len, 0);
            if (n < 0 && errno == EINTR) continue;
        }
        if (n == 0) {
            error_ = "connection closed";
            return -1;
        }
        if (n > 0) return n;
        break;
    }
    error_ = std::string("recv: ") + strerror(errno);
    return -1;
}

bool Client::read_exact(char* dst, size_t len, int timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (len > 0) {
        int left = -1;
        if (timeout_ms >= 0) {
            left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        deadline - std::chrono::steady_clock::now())
                                        .count());
            if (left < 0) left = 0;
        }
        ssize_t n = read_some(dst, len, left);
        if (n < 0) return false;
        dst += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

bool Client::recv_header(std::string& type, uint64_t& length, int timeout_ms) {
    char header[13];
    if (!read_exact(header, 12, timeout_ms)) return false;
    header[12] = '\0';
    for (int i = 0; i < 2; i++) {
        if (header[i] < '0' || header[i] > '9') {
            error_ = "bad frame header";
            return false;
        }
    }
    const char* p = header + 2;
    while (*p == ' ') p++;
    if (*p == '\0') {
        error_ = "bad frame header";
        return false;
    }
    length = 0;
    for (; *p; p++) {
        if (*p < '0' || *p > '9') {
            error_ = "bad frame header";
            return false;
        }
        length = length * 10 + static_cast<uint64_t>(*p - '0');
    }
    type.assign(header, 2);
    return true;
}

bool Client::recv_payload(char* dst, size_t len, int timeout_ms) {
    return read_exact(dst, len, timeout_ms);
}

bool Client::recv_frame_to(std::string& type, uint64_t& length,
                           const std::function<bool(const char*, size_t)>& sink, int timeout_ms) {
    if (!recv_header(type, length, timeout_ms)) return false;
    if (buffer_.empty()) buffer_.resize(64 * 1024);
    uint64_t left = length;
    while (left > 0) {
        size_t want = left < buffer_.size() ? static_cast<size_t>(left) : buffer_.size();
        // Take what has arrived (at least one byte), without waiting for a full buffer.
        ssize_t n = read_some(buffer_.data(), want, timeout_ms);
        if (n < 0) return false;
        if (!sink(buffer_.data(), static_cast<size_t>(n))) {
            error_ = "receiver stopped";
            return false;
        }
        left -= static_cast<uint64_t>(n);
    }
    return true;
}

bool Client::recv_frame(Frame& frame, int timeout_ms) {
    frame.payload.clear();
    uint64_t length = 0;
    if (!recv_header(frame.type, length, timeout_ms)) return false;
    // Straight into the payload, grown as bytes arrive (the announced length is not trusted
    // with an allocation of its own).
    while (frame.payload.size() < length) {
        size_t at = frame.payload.size();
        size_t want = static_cast<size_t>(std::min<uint64_t>(length - at, 64 * 1024));
        frame.payload.resize(at + want);
        ssize_t n = read_some(frame.payload.data() + at, want, timeout_ms);
        if (n < 0) {
            frame.payload.resize(at);
            return false;
        }
        frame.payload.resize(at + static_cast<size_t>(n));
    }
    return true;
}

bool Client::handshake(const IdentityCheck& check, int timeout_ms) {
    if (fd_ < 0 || local_ || tls_) {
        error_ = "cannot encrypt this connection";
        return false;
    }
    auto t = std::make_unique<TlsState>();
    t->fd = fd_;
    t->check = check;
    const char* where = nullptr;
    int rc = gnutls_certificate_allocate_credentials(&t->cred);
    if (rc == 0) rc = gnutls_init(&t->session, GNUTLS_CLIENT | GNUTLS_NONBLOCK);
    if (rc == 0) rc = gnutls_priority_set_direct(t->session, kTlsPriority, &where);
    if (rc == 0) rc = gnutls_credentials_set(t->session, GNUTLS_CRD_CERTIFICATE, t->cred);
    if (rc != 0) {
        error_ = std::string("TLS set-up: ") + gnutls_strerror(rc);
        close();
        return false;
    }
    gnutls_session_set_ptr(t->session, t.get());
    gnutls_session_set_verify_function(t->session, &TlsState::verify);
    gnutls_transport_set_ptr(t->session, t.get());
    gnutls_transport_set_pull_function(t->session, &TlsState::pull);
    gnutls_transport_set_vec_push_function(t->session, &TlsState::push);
    tls_ = std::move(t);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        rc = gnutls_handshake(tls_->session);
        if (rc == 0) return true;
        if (rc == GNUTLS_E_AGAIN || rc == GNUTLS_E_INTERRUPTED) {
            int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                            deadline - std::chrono::steady_clock::now())
                                            .count());
            if (!wait_readable(left < 0 ? 0 : left)) break;
            continue;
        }
        if (gnutls_error_is_fatal(rc)) {
            error_ = !tls_->refused.empty() ? tls_->refused
                     : rc == GNUTLS_E_PREMATURE_TERMINATION
                         ? "the server closed the connection during the TLS handshake"
                         : std::string("TLS handshake: ") + gnutls_strerror(rc);
            break;
        }
    }
    if (error_ == "timed out") error_ = "the TLS handshake timed out";
    std::string why = error_;
    // No close_notify into a handshake that did not finish.
    tls_.reset();
    close();
    error_ = why;
    return false;
}

bool Client::command(const std::string& json, Frame& reply, int timeout_ms) {
    if (!send_frame("11", json)) return false;
    for (;;) {
        if (!recv_frame(reply, timeout_ms)) return false;
        if (reply.type != "21") return true;
        messages.push_back(reply);
    }
}

std::string json_command(const std::string& cmd,
                         std::initializer_list<std::pair<std::string, std::string>> members) {
    json_object* obj = json_object_new_object();
    json_object_object_add(obj, "CMD", json_object_new_string(cmd.c_str()));
    for (const auto& m : members)
        json_object_object_add(obj, m.first.c_str(), json_object_new_string(m.second.c_str()));
    std::string text = json_object_to_json_string(obj);
    json_object_put(obj);
    return text;
}

std::string json_member(const std::string& json, const std::string& key) {
    json_object* obj = json_tokener_parse(json.c_str());
    if (!obj) return "";
    std::string value;
    json_object* member = nullptr;
    if (json_object_is_type(obj, json_type_object) &&
        json_object_object_get_ex(obj, key.c_str(), &member) && member)
        value = json_object_get_string(member);
    json_object_put(obj);
    return value;
}

}  // namespace bh
