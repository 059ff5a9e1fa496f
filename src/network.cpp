// Frame transport. Header and payload leave in one sendmsg() so a small reply never waits
// for the peer's delayed ACK; short writes are continued, never treated as a torn frame.
// The receive side checks the header's digits and its length before reading a payload byte.
#include "network.h"

#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>


namespace {

long long monotonic_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// ---------------------------------------------------------------------------------------------
// The TLS sessions of upgraded sockets, by descriptor. A descriptor gets its entry from its
// owner's thread (tls_attach) and loses it before it is closed (tls_detach, called where no
// other thread can be sending on it), so a lookup never finds a freed link.
// Bytes read from the socket ahead of what TLS asked for. TLS reads a record's 5-byte header
// and then its body; reading ahead saves a system call per record.
constexpr size_t READ_AHEAD = 4096;

struct TlsLink {
    gnutls_session_t session;
    int sock;
    std::mutex io;          // one TLS call at a time on the session; guards the fields below
    bool dontwait = false;  // the current call must not wait for room
    size_t ahead_off = 0, ahead_len = 0;
    char ahead[READ_AHEAD];
};

constexpr int MAX_TLS_FD = 65536;
std::atomic<TlsLink*> links[MAX_TLS_FD];

// A frame of at most this many bytes is corked into one record; longer ones go out as they
// come (a record holds at most 16 KiB anyway), so no frame-sized copy is kept per session.
constexpr size_t CORK_LIMIT = 16384;
// A frame of at most this many bytes is copied together and sent by one call.
constexpr size_t SHORT_FRAME = 1024;

TlsLink* link_of(int sock) {
    if (sock < 0 || sock >= MAX_TLS_FD) return nullptr;
    return links[sock].load(std::memory_order_acquire);
}

ssize_t link_push(gnutls_transport_ptr_t ptr, const giovec_t* iov, int count) {
    TlsLink* l = static_cast<TlsLink*>(ptr);
    struct msghdr msg;
    memset(&msg, 0, sizeof(msg));
    msg.msg_iov = const_cast<struct iovec*>(reinterpret_cast<const struct iovec*>(iov));
    msg.msg_iovlen = static_cast<size_t>(count);
    ssize_t n;
    do {
        n = sendmsg(l->sock, &msg, MSG_NOSIGNAL | (l->dontwait ? MSG_DONTWAIT : 0));
    } while (n < 0 && errno == EINTR);
    return n;
}

// Never waits: the callers poll outside the session's lock.
ssize_t link_pull(gnutls_transport_ptr_t ptr, void* data, size_t len) {
    TlsLink* l = static_cast<TlsLink*>(ptr);
    if (l->ahead_len == 0 && len < READ_AHEAD) {
        ssize_t n;
        do {
            n = recv(l->sock, l->ahead, READ_AHEAD, MSG_DONTWAIT);
        } while (n < 0 && errno == EINTR);
        if (n <= 0) return n;
        l->ahead_off = 0;
        l->ahead_len = static_cast<size_t>(n);
    }
    if (l->ahead_len > 0) {
        size_t n = len < l->ahead_len ? len : l->ahead_len;
        memcpy(data, l->ahead + l->ahead_off, n);
        l->ahead_off += n;
        l->ahead_len -= n;
        return static_cast<ssize_t>(n);
    }
    ssize_t n;
    do {
        n = recv(l->sock, data, len, MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    return n;
}

int link_pull_timeout(gnutls_transport_ptr_t ptr, unsigned int ms) {
    TlsLink* l = static_cast<TlsLink*>(ptr);
    if (l->ahead_len > 0) return 1;
    struct pollfd p = {l->sock, POLLIN, 0};
    int wait = ms == GNUTLS_INDEFINITE_TIMEOUT ? -1 : static_cast<int>(ms);
    int n;
    do {
        n = poll(&p, 1, wait);
    } while (n < 0 && errno == EINTR);
    return n;
}

// A GnuTLS result as send()/recv() give theirs: bytes, or -1 with errno.
ssize_t tls_result(ssize_t r) {
    if (r >= 0) return r;
    if (r == GNUTLS_E_AGAIN) errno = EAGAIN;
    else if (r == GNUTLS_E_INTERRUPTED) errno = EINTR;
    else errno = EPROTO;
    return -1;
}

ssize_t tls_send(TlsLink* l, const void* data, size_t len, bool dontwait) {
    std::lock_guard<std::mutex> g(l->io);
    l->dontwait = dontwait;
    ssize_t r = gnutls_record_send(l->session, data, len);
    l->dontwait = false;
    return tls_result(r);
}

ssize_t tls_recv(TlsLink* l, void* data, size_t len) {
    ssize_t r;
    {
        std::lock_guard<std::mutex> g(l->io);
        r = gnutls_record_recv(l->session, data, len);
    }
    // A peer that closes without a close_notify has closed all the same: a frame cut short
    // is refused by the framing.
    if (r == GNUTLS_E_PREMATURE_TERMINATION) return 0;
    return tls_result(r);
}

// send_pieces through TLS. A send that found no room must be repeated with the same bytes
// (TLS has sealed them already), which the loops below do. Every record TLS accepted is
// progress for the watch.
int tls_send_pieces(TlsLink* l, const char* a, size_t alen, const char* b, size_t blen,
                    SendWatch* watch) {
    auto room = [&]() { return watch && (errno == EAGAIN || errno == EWOULDBLOCK) && watch->waited(); };
    // A short frame (a reply, a notice) is one record by one call: cheaper than corking.
    char one[SHORT_FRAME];
    if (alen + blen <= sizeof(one) && blen > 0) {
        memcpy(one, a, alen);
        memcpy(one + alen, b, blen);
        a = one;
        alen += blen;
        blen = 0;
    }
    const bool cork = blen > 0 && alen + blen <= CORK_LIMIT;
    if (cork) {
        std::lock_guard<std::mutex> g(l->io);
        gnutls_record_cork(l->session);
    }
    const char* piece[2] = {a, b};
    size_t left[2] = {alen, blen};
    for (int i = 0; i < 2; i++) {
        while (left[i] > 0) {
            ssize_t n = tls_send(l, piece[i], left[i], false);
            if (n < 0) {
                if (errno == EINTR || room()) continue;
                return -1;
            }
            if (watch && !cork) watch->took();
            piece[i] += n;
            left[i] -= static_cast<size_t>(n);
        }
    }
    if (!cork) return 0;
    for (;;) {
        ssize_t r;
        {
            std::lock_guard<std::mutex> g(l->io);
            r = gnutls_record_uncork(l->session, 0);
        }
        if (r >= 0) {
            if (watch) watch->took();
            return 0;
        }
        tls_result(r);
        if (errno == EINTR || room()) continue;
        return -1;
    }
}

}  // namespace

bool tls_attach(int sock, gnutls_session_t session) {
    if (sock < 0 || sock >= MAX_TLS_FD || links[sock].load()) return false;
    TlsLink* l = new TlsLink;
    l->session = session;
    l->sock = sock;
    gnutls_transport_set_ptr(session, l);
    gnutls_transport_set_vec_push_function(session, link_push);
    gnutls_transport_set_pull_function(session, link_pull);
    gnutls_transport_set_pull_timeout_function(session, link_pull_timeout);
    links[sock].store(l, std::memory_order_release);
    return true;
}

bool tls_active(int sock) { return link_of(sock) != nullptr; }

int tls_handshake(int sock, int timeout_ms) {
    TlsLink* l = link_of(sock);
    if (!l) return -1;
    const long long deadline = monotonic_ms() + timeout_ms;
    for (;;) {
        int r;
        int direction;
        {
            // The handshake never waits inside TLS: a peer that stops answering is waited for
            // below, against the deadline.
            std::lock_guard<std::mutex> g(l->io);
            l->dontwait = true;
            r = gnutls_handshake(l->session);
            l->dontwait = false;
            direction = gnutls_record_get_direction(l->session);
        }
        if (r == GNUTLS_E_SUCCESS) return 0;
        if (r != GNUTLS_E_AGAIN && r != GNUTLS_E_INTERRUPTED && gnutls_error_is_fatal(r)) return -1;
        long long left = deadline - monotonic_ms();
        if (left <= 0) return RECV_TIMED_OUT;
        if (r != GNUTLS_E_AGAIN) continue;
        struct pollfd p = {sock, static_cast<short>(direction ? POLLOUT : POLLIN), 0};
        if (poll(&p, 1, static_cast<int>(left)) < 0 && errno != EINTR) return -1;
    }
}

bool tls_pending(int sock) {
    TlsLink* l = link_of(sock);
    if (!l) return false;
    std::lock_guard<std::mutex> g(l->io);
    return l->ahead_len > 0 || gnutls_record_check_pending(l->session) > 0;
}

void tls_detach(int sock) {
    TlsLink* l = link_of(sock);
    if (!l) return;
    links[sock].store(nullptr, std::memory_order_release);
    {
        std::lock_guard<std::mutex> g(l->io);
        l->dontwait = true;  // best effort: a peer that takes nothing gets no close_notify
        gnutls_bye(l->session, GNUTLS_SHUT_WR);
        gnutls_deinit(l->session);
    }
    delete l;
}

ssize_t transport_send(int sock, const void* data, size_t len, bool dontwait) {
    TlsLink* l = link_of(sock);
    if (l) return tls_send(l, data, len, dontwait);
    return send(sock, data, len, MSG_NOSIGNAL | (dontwait ? MSG_DONTWAIT : 0));
}

ssize_t transport_recv(int sock, void* data, size_t len, bool dontwait) {
    TlsLink* l = link_of(sock);
    if (!l) return recv(sock, data, len, dontwait ? MSG_DONTWAIT : 0);
    for (;;) {
        ssize_t r = tls_recv(l, data, len);
        if (r >= 0 || dontwait || errno != EAGAIN) return r;
        struct pollfd p = {sock, POLLIN, 0};
        poll(&p, 1, -1);
    }
}

SendWatch::SendWatch(int sock, int stall_ms)
    : sock_(sock), stall_ms_(stall_ms), progress_ms_(monotonic_ms()) {}

void SendWatch::took() {
    progress_ms_ = monotonic_ms();
    queued_ = -1;
}

bool SendWatch::waited() {
    int queued = -1;
    long long now = monotonic_ms();
    if (ioctl(sock_, SIOCOUTQ, &queued) == 0 && queued_ >= 0 && queued < queued_)
        progress_ms_ = now;
    queued_ = queued;
    stalled_ = now - progress_ms_ >= stall_ms_;
    return !stalled_;
}

int send_pieces(int sock, const void* a, size_t alen, const void* b, size_t blen, int flags,
                SendWatch* watch) {
    if (TlsLink* l = link_of(sock))
        return tls_send_pieces(l, static_cast<const char*>(a), alen, static_cast<const char*>(b),
                               blen, watch);
    struct iovec iov[2];
    iov[0].iov_base = const_cast<void*>(a);
    iov[0].iov_len = alen;
    iov[1].iov_base = const_cast<void*>(b);
    iov[1].iov_len = blen;
    struct iovec* cur = iov;
    int count = blen ? 2 : 1;
    if (alen == 0) {
        cur++;
        count--;
    }
    while (count > 0) {
        struct msghdr msg;
        memset(&msg, 0, sizeof(msg));
        msg.msg_iov = cur;
        msg.msg_iovlen = count;
        ssize_t n = sendmsg(sock, &msg, MSG_NOSIGNAL | flags);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (watch && (errno == EAGAIN || errno == EWOULDBLOCK) && watch->waited()) continue;
            return -1;
        }
        if (watch && n > 0) watch->took();
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
    return 0;
}

void form_header(char* dst, const char* type, size_t len) {
    // Every frame passes here: digits by hand cost a tenth of snprintf. The same text as
    // "%.2s%10zu" for a two-character type and a length of at most ten digits.
    if (type[0] == '\0' || type[1] == '\0' || len > 9999999999ull) {
        snprintf(dst, HEADER_SIZE + 1, "%.2s%10zu", type, len);
        return;
    }
    dst[0] = type[0];
    dst[1] = type[1];
    char* p = dst + HEADER_SIZE;
    *p = '\0';
    do {
        *--p = static_cast<char>('0' + len % 10);
        len /= 10;
    } while (len > 0);
    while (p > dst + 2) *--p = ' ';
}

int safe_send_bytes(int sock, const char* type, const void* payload, size_t len) {
    char header[HEADER_SIZE + 1];
    form_header(header, type, len);
    if (send_pieces(sock, header, HEADER_SIZE, payload, len) < 0) {
        return -1;
    }
    return static_cast<int>(len);
}

int send_frame_with_fd(int sock, const char* type, const void* payload, size_t len, int fd) {
    char header[HEADER_SIZE + 1];
    form_header(header, type, len);
    struct iovec iov[2];
    iov[0].iov_base = header;
    iov[0].iov_len = HEADER_SIZE;
    iov[1].iov_base = const_cast<void*>(payload);
    iov[1].iov_len = len;
    union {
        char buf[CMSG_SPACE(sizeof(int))];
        struct cmsghdr align;
    } control;
    memset(&control, 0, sizeof(control));
    struct msghdr msg;
    memset(&msg, 0, sizeof(msg));
    msg.msg_iov = iov;
    msg.msg_iovlen = len ? 2 : 1;
    msg.msg_control = control.buf;
    msg.msg_controllen = sizeof(control.buf);
    struct cmsghdr* c = CMSG_FIRSTHDR(&msg);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(int));
    memcpy(CMSG_DATA(c), &fd, sizeof(int));
    ssize_t n;
    do {
        n = sendmsg(sock, &msg, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        return -1;
    }
    // The descriptor went with the first byte; what is left goes as plain bytes.
    size_t sent = static_cast<size_t>(n);
    size_t head_left = sent < HEADER_SIZE ? HEADER_SIZE - sent : 0;
    size_t body_sent = sent > HEADER_SIZE ? sent - HEADER_SIZE : 0;
    if (send_pieces(sock, header + HEADER_SIZE - head_left, head_left,
                    static_cast<const char*>(payload) + body_sent, len - body_sent) < 0) {
        return -1;
    }
    return 0;
}

int safe_send(int sock, const char* type, const char* text) {
    return safe_send_bytes(sock, type, text, strlen(text));
}

bool is_valid(const char* header) {
    if (header[0] < '0' || header[0] > '9' || header[1] < '0' || header[1] > '9') return false;
    // All twelve bytes are checked: a NUL among them is neither a space nor a digit, and must
    // not end the check early (two digits and ten NULs would pass as a length of 0).
    size_t i = 2;
    while (i < HEADER_SIZE && header[i] == ' ') i++;
    if (i == HEADER_SIZE) return false;
    for (; i < HEADER_SIZE; i++)
        if (header[i] < '0' || header[i] > '9') return false;
    return true;
}

namespace {

using Clock = std::chrono::steady_clock;

// Reads exactly n bytes. Without a deadline (timed false) it blocks as long as the peer
// takes; EAGAIN is retried when retry_again. 0, -1 (closed or failed) or RECV_TIMED_OUT.
int recv_exact(int sock, char* p, size_t n, bool timed, Clock::time_point deadline,
               bool retry_again) {
    TlsLink* tls = link_of(sock);
    size_t got = 0;
    while (got < n) {
        // Through TLS the read never waits; the wait is the poll below.
        ssize_t r = tls ? tls_recv(tls, p + got, n - got)
                        : recv(sock, p + got, n - got, timed ? MSG_DONTWAIT : 0);
        if (r == 0) {
            errno = 0;  // closed: not an error to report
            return -1;
        }
        if (r < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                if (timed) {
                    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                    deadline - Clock::now())
                                    .count();
                    if (left <= 0) return RECV_TIMED_OUT;
                    struct pollfd w = {sock, POLLIN, 0};
                    poll(&w, 1, static_cast<int>(left));
                    continue;
                }
                if (tls) {
                    struct pollfd w = {sock, POLLIN, 0};
                    poll(&w, 1, -1);
                    continue;
                }
                if (retry_again) continue;
            }
            return -1;
        }
        got += static_cast<size_t>(r);
    }
    return 0;
}

}  // namespace

int safe_recv(int sock, char* type, char* buffer, int timeout_ms) {
    const bool timed = timeout_ms >= 0;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timed ? timeout_ms : 0);
    int rc = recv_exact(sock, buffer, HEADER_SIZE, timed, deadline, true);
    if (rc < 0) return rc;
    buffer[HEADER_SIZE] = '\0';
    if (!is_valid(buffer)) return -1;

    type[0] = buffer[0];
    type[1] = buffer[1];
    type[2] = '\0';

    char digits[11];
    memcpy(digits, buffer + 2, 10);
    digits[10] = '\0';
    const char* p = digits;
    while (*p == ' ') p++;
    // Ten digits may exceed 32 bits; refuse anything over the buffer before converting further.
    unsigned long long length = strtoull(p, nullptr, 10);
    if (length > MAX_PAYLOAD) return -1;

    rc = recv_exact(sock, buffer, length, timed, deadline, false);
    if (rc < 0) return rc;
    buffer[length] = '\0';
    return static_cast<int>(length);
}
