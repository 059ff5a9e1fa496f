// Wire framing. A frame is a 12-byte ASCII header, a two-digit type code and the payload
// length right-aligned in ten characters ("%2s%10d"), followed by the payload. Any number of
// threads may call these on different sockets; callers serialise whole frames on one socket.
#pragma once

#include <gnutls/gnutls.h>
#include <sys/types.h>

#include <cstddef>

constexpr size_t HEADER_SIZE = 12;         // frame header: 2-digit type, %10d length
constexpr size_t TEXT_SIZE = 65536;        // a receive buffer: a frame payload and its NUL
constexpr size_t MAX_PAYLOAD = TEXT_SIZE - 1;

// Sends text (up to its NUL) as one frame of the given type: header and payload together.
// Returns the number of payload bytes sent, or -1 with errno set. Nothing is printed: a peer
// that vanishes is an everyday event, and a line per failed frame would let anyone flood the
// server's standard error.
int safe_send(int sock, const char* type, const char* text);
// The same for a payload of len bytes that may hold NULs.
int safe_send_bytes(int sock, const char* type, const void* payload, size_t len);

// The same on a Unix-domain socket, with the descriptor fd passed beside the frame's first byte
// (SCM_RIGHTS): header, payload and descriptor leave in one sendmsg; should the kernel take
// only part, the rest follows without it. The caller keeps its own copy of fd. 0 or -1.
int send_frame_with_fd(int sock, const char* type, const void* payload, size_t len, int fd);

// Receives one frame: type gets the two-digit code and a NUL (3 bytes), buffer (65536 bytes)
// the payload and a NUL. Returns the payload length, or -1 when the peer closed, a receive
// failed, or the header is invalid or announces more than 65535 bytes. With timeout_ms of 0 or
// more, the whole frame must arrive within that many milliseconds of the call, else -2
// (RECV_TIMED_OUT): a peer that stops mid-header or mid-payload cannot hold the caller.
constexpr int RECV_TIMED_OUT = -2;
int safe_recv(int sock, char* type, char* buffer, int timeout_ms = -1);

// header: 12 bytes (and a NUL). True for two digits, then spaces, then at least one digit,
// filling all 12 bytes.
bool is_valid(const char* header);

// Whether a peer still takes what is sent to it. The socket has a short send time-out
// (SO_SNDTIMEO), so a blocking send returns EAGAIN after each tick without room; the peer has
// stalled once it has taken no byte for stall_ms: no send was accepted (on a TLS socket: no
// record was taken by TLS), and the bytes the socket holds unsent or unacknowledged (SIOCOUTQ)
// did not fall.
class SendWatch {
public:
    SendWatch(int sock, int stall_ms);
    // A send accepted bytes.
    void took();
    // A send found no room for a tick: false once the peer has stalled.
    bool waited();
    // waited() has said so.
    bool stalled() const { return stalled_; }

private:
    int sock_;
    int stall_ms_;
    int queued_ = -1;         // SIOCOUTQ at the last look, -1 before one
    long long progress_ms_;   // monotonic milliseconds of the last progress
    bool stalled_ = false;
};

// Sends all len bytes of the iovec-style pieces, looping on short writes and EINTR, with
// MSG_NOSIGNAL so a vanished peer gives EPIPE, never SIGPIPE. With a watch, a send that finds
// no room (EAGAIN) is retried until the watch says the peer has stalled. 0 or -1 (errno kept).
// On a TLS socket flags are ignored; a frame of up to 16 KiB leaves as one record.
int send_pieces(int sock, const void* a, size_t alen, const void* b, size_t blen, int flags = 0,
                SendWatch* watch = nullptr);

// ---------------------------------------------------------------------------------------------
// Transport. A socket is plain until tls_attach puts a TLS session under it; from then on every
// send and receive of this unit on that socket (safe_send*, send_pieces, safe_recv,
// transport_send, transport_recv) goes through TLS, so the framing above never knows which.
// The session is looked up by descriptor in a table of this unit. One thread may send while
// another receives on the same socket; each TLS call runs under a lock of its own, so a
// record the peer makes TLS answer (a key update) never crosses a frame being sent.

// Takes the session (initialised, credentials and priorities set) for sock, setting its
// transport to sock. False (the session not taken) when sock cannot hold one.
bool tls_attach(int sock, gnutls_session_t session);
// Whether sock has a TLS session.
bool tls_active(int sock);
// Runs the handshake within timeout_ms. 0; -1 when it failed (garbage, a refused peer, the
// connection closed); RECV_TIMED_OUT.
int tls_handshake(int sock, int timeout_ms);
// Whether the TLS session holds received bytes not yet read (poll cannot see those).
bool tls_pending(int sock);
// Ends the session of sock, if any: a close_notify when the socket takes it at once, never a
// wait; the session's memory is freed. Call it before closing sock.
void tls_detach(int sock);

// One send or receive as send()/recv() would do it, through TLS when sock has it. dontwait:
// MSG_DONTWAIT. Over TLS a send that found no room (-1, EAGAIN) must be repeated with the same
// bytes: TLS has already sealed them. transport_recv returns 0 when the peer closed.
ssize_t transport_send(int sock, const void* data, size_t len, bool dontwait);
ssize_t transport_recv(int sock, void* data, size_t len, bool dontwait);
