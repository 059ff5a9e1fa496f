// The session table, the send path of each slot, and client_handler: one thread per
// connection that claims a slot, receives frames, dispatches commands and replies.
//
// Threads and shared state
//   users[], users_gen[]  users_lock: claim, release, scans, name and level. alive is atomic.
//   out[slot].send        one frame at a time on the slot's socket; held to close it.
//   out[slot].q           the queue of frames for the slot and its bookkeeping.
//   Lock order: users_lock -> out[slot].q; out[slot].send -> out[slot].q. Nobody waits on a
//   socket while holding users_lock or a q lock. A thread that is not the slot's owner holds
//   out[slot].send only through try_lock and for at most POST_BUDGET_MS.
//
// Frames for other sessions ("21") are queued on the target slot. Whoever holds the slot's
// send lock writes the queue before and after its own frame; a queue left over (the peer is
// slow) is written by the slot's own thread as the socket drains, woken by an eventfd. A
// queue that makes no progress for SEND_STALL_SECONDS ends the session.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <deque>
#include <memory>
#include <string>

#include "logger.h"
#include "network.h"
#include "server.h"
#include "server_write.h"

UserSlot users[MAX_USERS];
std::mutex users_lock;
uint64_t users_gen[MAX_USERS];

namespace {

// A connection with this many bytes queued for it is treated as stuck.
constexpr size_t MAX_QUEUED_BYTES = 8u << 20;

struct SlotOut {
    std::mutex send;
    std::mutex q;  // guards every field below
    std::deque<std::string> pending;  // whole frames; references stay valid across push_back
    size_t front_off = 0;             // bytes of pending.front() already written
    size_t queued_bytes = 0;
    int sock = -1;
    uint64_t gen = 0;
    bool open = false;
    bool failed = false;
    int wake = -1;  // eventfd of the owning session
    std::chrono::steady_clock::time_point progress_at;
};

SlotOut out[MAX_USERS];

thread_local Session* current_session = nullptr;
// The session's JSON parser, kept between commands: a new one per command costs more than
// parsing a short command.
thread_local json_tokener* session_tokener = nullptr;

using Clock = std::chrono::steady_clock;

void mark_failed_locked(SlotOut& o) {
    // Caller holds o.q, so the socket is still open. Wakes the owner out of recv()/poll().
    if (!o.failed && o.open) shutdown(o.sock, SHUT_RDWR);
    o.failed = true;
}

// Writes queued frames. Caller holds o.send. blocking: the owner's mode, bounded by the
// socket's send time-out; otherwise writes until deadline and leaves the rest queued.
// Returns -1 when the connection failed.
int flush_queue(SlotOut& o, bool blocking, Clock::time_point deadline) {
    for (;;) {
        const std::string* frame;
        size_t off;
        int sock;
        {
            std::lock_guard<std::mutex> g(o.q);
            if (!o.open || o.failed) return -1;
            if (o.pending.empty()) return 0;
            frame = &o.pending.front();
            off = o.front_off;
            sock = o.sock;
        }
        ssize_t n;
        if (blocking) {
            n = send(sock, frame->data() + off, frame->size() - off, MSG_NOSIGNAL);
        } else {
            n = send(sock, frame->data() + off, frame->size() - off, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                                  Clock::now());
                if (left.count() <= 0) return 0;
                struct pollfd p = {sock, POLLOUT, 0};
                poll(&p, 1, static_cast<int>(left.count()));
                continue;
            }
        }
        if (n < 0 && errno == EINTR) continue;
        std::lock_guard<std::mutex> g(o.q);
        if (n <= 0) {
            mark_failed_locked(o);
            return -1;
        }
        o.progress_at = Clock::now();
        o.front_off += static_cast<size_t>(n);
        if (o.front_off == o.pending.front().size()) {
            o.queued_bytes -= o.pending.front().size();
            o.pending.pop_front();
            o.front_off = 0;
        }
    }
}

bool queue_empty(SlotOut& o) {
    std::lock_guard<std::mutex> g(o.q);
    return o.pending.empty() || !o.open || o.failed;
}

// Releases o.send. A frame queued after the holder's last look at the queue, while the holder
// still had the lock, would otherwise wait: so look again after unlocking, and take the lock
// back when nobody else did. A thread that is not the owner does so only within its deadline:
// a peer that takes nothing would keep it here for ever, and the owner, woken by post_frame,
// writes what is left.
void release_send(SlotOut& o, bool blocking, Clock::time_point deadline) {
    for (;;) {
        o.send.unlock();
        if (queue_empty(o)) return;
        if (!blocking && Clock::now() >= deadline) return;
        if (!o.send.try_lock()) return;  // the new holder writes the queue
        flush_queue(o, blocking, deadline);
    }
}

void wake_owner(SlotOut& o) {
    std::lock_guard<std::mutex> g(o.q);
    if (o.open && o.wake >= 0) {
        uint64_t one = 1;
        ssize_t r = write(o.wake, &one, sizeof(one));
        (void)r;
    }
}

// Claims the first free slot; -1 when all are in use.
int claim_slot(int sock, int wake, uint64_t* gen) {
    std::lock_guard<std::mutex> g(users_lock);
    for (int i = 0; i < MAX_USERS; i++) {
        if (users[i].in_use != 0) continue;
        users[i].in_use = 1;
        users[i].sock = sock;
        users[i].name[0] = '\0';
        users[i].level = 0;
        users[i].alive.store(1);
        *gen = ++users_gen[i];
        std::lock_guard<std::mutex> gq(out[i].q);
        out[i].pending.clear();
        out[i].front_off = 0;
        out[i].queued_bytes = 0;
        out[i].sock = sock;
        out[i].gen = *gen;
        out[i].open = true;
        out[i].failed = false;
        out[i].wake = wake;
        return i;
    }
    return -1;
}

// Closes the socket under the send lock (no frame of another thread is cut or sent to a
// reused descriptor), then frees the slot.
void release_slot(int slot, int sock) {
    SlotOut& o = out[slot];
    {
        std::lock_guard<std::mutex> s(o.send);
        std::lock_guard<std::mutex> g(o.q);
        o.open = false;
        o.pending.clear();
        o.front_off = 0;
        o.queued_bytes = 0;
        o.wake = -1;
        close(sock);
    }
    std::lock_guard<std::mutex> g(users_lock);
    users[slot].sock = 0;
    users[slot].name[0] = '\0';
    users[slot].level = 0;
    users[slot].in_use = 0;
}

// Waits until the client has sent something, meanwhile writing frames queued for this
// connection as the socket drains. -1 when the connection must end.
int wait_readable(Session* s, int wake) {
    SlotOut& o = out[s->slot];
    bool backoff = false;
    for (;;) {
        bool pending;
        Clock::time_point progress;
        {
            std::lock_guard<std::mutex> g(o.q);
            if (o.failed) return -1;
            pending = !o.pending.empty();
            progress = o.progress_at;
        }
        int timeout = -1;
        if (pending) {
            auto stalled = Clock::now() - progress;
            if (stalled > std::chrono::seconds(SEND_STALL_SECONDS)) {
                logger.writef("CLIENT", LOG_WARNING, "slot %d takes no data, disconnecting",
                              s->slot);
                return -1;
            }
            timeout = backoff ? 10 : 1000;
        }
        struct pollfd p[2] = {{s->sock, static_cast<short>(POLLIN | (pending && !backoff ? POLLOUT : 0)), 0},
                              {wake, POLLIN, 0}};
        int n = poll(p, 2, timeout);
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (p[1].revents & POLLIN) {
            uint64_t v;
            ssize_t r = read(wake, &v, sizeof(v));
            (void)r;
        }
        if (p[0].revents & (POLLIN | POLLHUP | POLLERR)) return 0;
        backoff = false;
        if (pending && (p[0].revents & POLLOUT)) {
            if (o.send.try_lock()) {
                auto now = Clock::now();
                flush_queue(o, false, now);
                release_send(o, false, now);
            } else {
                backoff = true;  // another thread is writing; look again shortly
            }
        }
    }
}

void reply_fail(Data* reply) {
    json_object* obj = json_object_new_object();
    json_object_object_add(obj, "RESULT", json_object_new_string("FAIL"));
    json_reply(reply->text, obj);
    logger.write("client_handler", LOG_DEBUG, reply->text);
}

// One entry of the command table. Returns -1 when the session must end. A handler that sends
// its own frames leaves reply.text empty (or the entry clears it).
using Command = int (*)(Session* s, json_object** pair);

int do_hello(Session* s, json_object** pair) {
    cmd_hello(&s->reply, pair);
    return 0;
}
int do_login(Session* s, json_object** pair) {
    if (cmd_login(&s->reply, pair, s->slot) == 0) double_login(&s->reply, s->slot);
    return 0;
}
int do_logout(Session* s, json_object**) {
    strcpy(s->reply.text, "BYE\n");
    slot_send_text(s->slot, TYPE_TEXT, s->reply.text);
    s->reply.text[0] = '\0';
    return -1;
}
int do_id(Session* s, json_object** pair) {
    cmd_id(&s->reply, pair, s->slot);
    return 0;
}
int do_who(Session* s, json_object** pair) {
    cmd_who(&s->reply, pair, s->slot);
    return 0;
}
int do_password(Session* s, json_object** pair) {
    cmd_password(&s->reply, pair, s->slot);
    return 0;
}
int do_message(Session* s, json_object** pair) {
    cmd_message(&s->reply, pair, s->slot);
    s->reply.text[0] = '\0';
    return 0;
}
int do_mod(Session* s, json_object** pair) {
    cmd_mod(&s->reply, pair, s->slot);
    s->reply.text[0] = '\0';
    return 0;
}
int do_list(Session* s, json_object** pair) {
    int r = dispatch_list(s, pair[1], false);
    s->reply.text[0] = '\0';
    return r;
}
int do_listall(Session* s, json_object** pair) {
    int r = dispatch_list(s, pair[1], true);
    s->reply.text[0] = '\0';
    return r;
}
int do_check(Session* s, json_object** pair) {
    cmd_check(&s->reply, pair, s->slot);
    return 0;
}
int do_data(Session* s, json_object** pair) {
    int r = dispatch_file(s, pair[1], true);
    s->reply.text[0] = '\0';
    return r;
}
int do_file(Session* s, json_object** pair) {
    int r = dispatch_file(s, pair[1], false);
    s->reply.text[0] = '\0';
    return r;
}
int do_send(Session* s, json_object** pair) {
    int r = dispatch_send(s, pair[1]);
    s->reply.text[0] = '\0';
    return r;
}
int do_next(Session* s, json_object** pair) {
    int r = dispatch_next(s, pair[1]);
    s->reply.text[0] = '\0';
    return r;
}
int do_camera(Session* s, json_object** pair) {
    cmd_camera(&s->reply, pair, s->slot);
    s->reply.text[0] = '\0';
    return 0;
}
int do_caminfo(Session* s, json_object** pair) {
    cmd_caminfo(&s->reply, pair, s->slot);
    return 0;
}
int do_viewport(Session* s, json_object** pair) {
    cmd_viewport(&s->reply, pair, s->slot);
    s->reply.text[0] = '\0';
    return 0;
}
int do_relay(Session* s, json_object** pair) {
    cmd_relay(&s->reply, pair, s->slot);
    s->reply.text[0] = '\0';
    return 0;
}

int do_features(Session* s, json_object** pair) {
    int r = dispatch_features(s, pair[1]);
    s->reply.text[0] = '\0';
    return r;
}
int do_put(Session* s, json_object** pair) {
    int r = dispatch_put(s, pair[1]);
    s->reply.text[0] = '\0';
    return r;
}
int do_mkdir(Session* s, json_object** pair) {
    int r = dispatch_mkdir(s, pair[1]);
    s->reply.text[0] = '\0';
    return r;
}
int do_rename(Session* s, json_object** pair) {
    int r = dispatch_rename(s, pair[1]);
    s->reply.text[0] = '\0';
    return r;
}
int do_delete(Session* s, json_object** pair) {
    int r = dispatch_delete(s, pair[1]);
    s->reply.text[0] = '\0';
    return r;
}

// Compared one after another, in this order.
const struct {
    const char* word;
    Command run;
} kCommands[] = {
    {"HELLO", do_hello},       {"LOGIN", do_login},     {"LOGOUT", do_logout},
    {"ID", do_id},             {"WHO", do_who},         {"PASSWORD", do_password},
    {"MESSAGE", do_message},   {"MOD", do_mod},         {"LIST", do_list},
    {"LISTALL", do_listall},   {"CHECK", do_check},     {"DATA", do_data},
    {"FILE", do_file},         {"SEND", do_send},       {"NEXT", do_next},
    {"CAMERA", do_camera},     {"CAMINFO", do_caminfo}, {"VIEWPORT", do_viewport},
    {"RELAY", do_relay},       {"FEATURES", do_features}, {"PUT", do_put},
    {"MKDIR", do_mkdir},       {"RENAME", do_rename},   {"DELETE", do_delete},
};

// Handles one command frame. -1 when the session must end.
int handle_command(Session* s) {
    // What json_tokener_parse does, on the session's parser.
    json_tokener_reset(session_tokener);
    json_object* request = json_tokener_parse_ex(session_tokener, s->request.text, -1);
    if (json_tokener_get_error(session_tokener) != json_tokener_success) {
        if (request) json_object_put(request);
        request = nullptr;
    }
    json_object* pair[2] = {nullptr, request};
    s->reply.text[0] = '\0';

    Command run = nullptr;
    const char* word = json_text(request, "CMD");
    if (word && strlen(word) < CMD_SIZE) {
        char cmd[CMD_SIZE];
        strcpy(cmd, word);
        for (const auto& c : kCommands) {
            if (strcmp(cmd, c.word) == 0) {
                run = c.run;
                break;
            }
        }
    }
    int result = 0;
    if (run)
        result = run(s, pair);
    else
        reply_fail(&s->reply);
    if (request) json_object_put(request);
    if (result < 0) return -1;
    if (s->reply.text[0] != '\0' && slot_send_text(s->slot, TYPE_REPLY, s->reply.text) < 0)
        return -1;
    return 0;
}

void session_loop(Session* s, int wake) {
    UserSlot& me = users[s->slot];
    while (me.alive.load() == 1) {
        if (wait_readable(s, wake) < 0) break;
        if (safe_recv(s->sock, s->request.type, s->request.text) < 0) break;
        if (logger.enabled(LOG_DEBUG)) {
            logger.writef("client_handler", LOG_DEBUG, "Type:%s, Buffer:%s", s->request.type,
                          s->request.text);
        }
        char kind = s->request.type[1];
        if (kind == '1') {
            if (handle_command(s) < 0) break;
        } else if (kind == '0') {
            slot_send_text(s->slot, TYPE_TEXT, s->request.text);
        }
    }
}

}  // namespace

Session* Session::current() { return current_session; }

int write_all(int sock, const void* data, size_t len) {
    return send_pieces(sock, data, len, nullptr, 0);
}

int write_frame(int sock, const char* type, const void* payload, size_t len) {
    char header[HEADER_SIZE + 1];
    form_header(header, type, len);
    return send_pieces(sock, header, HEADER_SIZE, payload, len);
}

FrameLock::FrameLock(int slot) : slot_(slot), sock_(-1), ok_(false) {
    SlotOut& o = out[slot];
    o.send.lock();
    {
        std::lock_guard<std::mutex> g(o.q);
        sock_ = o.sock;
        if (!o.open || o.failed) return;
    }
    ok_ = flush_queue(o, true, Clock::now()) == 0;
}

FrameLock::~FrameLock() { release_send(out[slot_], true, Clock::now()); }

void FrameLock::fail() {
    SlotOut& o = out[slot_];
    std::lock_guard<std::mutex> g(o.q);
    mark_failed_locked(o);
    ok_ = false;
}

int slot_send(int slot, const char* type, const void* payload, size_t len) {
    FrameLock lock(slot);
    if (!lock.ok()) return -1;
    char header[HEADER_SIZE + 1];
    form_header(header, type, len);
    if (send_pieces(lock.sock(), header, HEADER_SIZE, payload, len) < 0) {
        fprintf(stderr, "[safe_send] Error: %s\n", strerror(errno));
        lock.fail();
        return -1;
    }
    return 0;
}

int slot_send_text(int slot, const char* type, const char* text) {
    return slot_send(slot, type, text, strlen(text));
}

int post_frame(int slot, uint64_t gen, const char* type, const char* text) {
    if (slot < 0 || slot >= MAX_USERS) return -1;
    SlotOut& o = out[slot];
    size_t len = strlen(text);
    std::string frame(HEADER_SIZE, '\0');
    char header[HEADER_SIZE + 1];
    form_header(header, type, len);
    frame.assign(header, HEADER_SIZE);
    frame.append(text, len);
    bool backlog;
    {
        std::lock_guard<std::mutex> g(o.q);
        if (!o.open || o.failed || o.gen != gen) return -1;
        if (o.queued_bytes + frame.size() > MAX_QUEUED_BYTES) {
            // The peer has taken nothing for a long while; its session ends. Holding o.q is
            // enough: the socket is closed only under it.
            mark_failed_locked(o);
            return -1;
        }
        backlog = !o.pending.empty();
        if (!backlog) o.progress_at = Clock::now();
        o.queued_bytes += frame.size();
        o.pending.push_back(std::move(frame));
    }
    if (o.send.try_lock()) {
        // With frames already waiting the peer is slow: write what it takes now, do not wait
        // for it again (a message to many slow peers would add up the waits).
        auto deadline = Clock::now();
        if (!backlog) deadline += std::chrono::milliseconds(POST_BUDGET_MS);
        flush_queue(o, false, deadline);
        release_send(o, false, deadline);
    }
    if (!queue_empty(o)) wake_owner(o);
    return 0;
}

void* client_handler(void* arg) {
    int sock = static_cast<int>(reinterpret_cast<intptr_t>(arg));

    int one = 1;
    setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    struct timeval stall = {SEND_STALL_SECONDS, 0};
    setsockopt(sock, SOL_SOCKET, SO_SNDTIMEO, &stall, sizeof(stall));

    char addr[INET_ADDRSTRLEN] = "0.0.0.0";
    bool known_peer = false;  // an IPv4 peer whose address we could read
    struct sockaddr_in peer;
    socklen_t peer_len = sizeof(peer);
    if (getpeername(sock, reinterpret_cast<sockaddr*>(&peer), &peer_len) == 0 &&
        peer.sin_family == AF_INET)
        known_peer = inet_ntop(AF_INET, &peer.sin_addr, addr, sizeof(addr)) != nullptr;

    int wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    uint64_t gen = 0;
    int slot = wake < 0 ? -1 : claim_slot(sock, wake, &gen);
    if (slot < 0) {
        logger.writef("CLIENT", LOG_WARNING, "%s refused: all %d slots in use", addr, MAX_USERS);
        if (wake >= 0) close(wake);
        close(sock);
        return nullptr;
    }
    logger.writef("CLIENT", LOG_NOTICE, "%s (%d)", addr, slot);

    // Session buffers are not zeroed: untouched pages of an idle session stay unresident.
    std::unique_ptr<Session> s(new Session);
    s->slot = slot;
    s->sock = sock;
    s->gen = gen;
    copy_text(s->peer, known_peer ? addr : "");
    s->send_stream = nullptr;
    s->reply.text[0] = '\0';
    current_session = s.get();
    session_tokener = json_tokener_new();

    if (session_tokener) session_loop(s.get(), wake);
    if (session_tokener) json_tokener_free(session_tokener);
    session_tokener = nullptr;

    char name[NAME_SIZE];
    {
        std::lock_guard<std::mutex> g(users_lock);
        memcpy(name, users[slot].name, sizeof(name));
    }
    logger.writef("CLIENT", LOG_NOTICE, "CLOSE %s(%d)", name, slot);
    if (s->send_stream) {
        fclose(s->send_stream);
        s->send_stream = nullptr;
    }
    release_slot(slot, sock);
    close(wake);
    current_session = nullptr;
    return nullptr;
}
