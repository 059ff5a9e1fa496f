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
#include <thread>

#include "logger.h"
#include "network.h"
#include "server.h"
#include "server_guard.h"
#include "server_tls.h"
#include "server_write.h"

UserSlot users[MAX_USERS];
std::mutex users_lock;
uint64_t users_gen[MAX_USERS];
int send_stall_seconds = SEND_STALL_SECONDS;

int send_tick_ms() { return send_stall_seconds > 1 ? 1000 : 500; }

namespace {

// A command longer than this gets a new parser after it (see handle_command).
constexpr size_t LONG_COMMAND = 4096;

// The most members a command may have; no command uses more than a handful.
constexpr size_t MAX_COMMAND_MEMBERS = 32;

// Frames waiting for a slot ("21" messages and notices of at most a few KiB each): a slot
// may have this many bytes queued, and all slots together MAX_QUEUED_TOTAL. A connection over
// its cap, or one with a backlog when the total is reached, ends as after a failed send.
constexpr size_t MAX_QUEUED_BYTES = 256u << 10;
constexpr size_t MAX_QUEUED_TOTAL = 8u << 20;
std::atomic<size_t> queued_total{0};

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
    bool hold = false;  // slot_hold: the queue is not written
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
    int first_sock;
    {
        std::lock_guard<std::mutex> g(o.q);
        first_sock = o.sock;
    }
    SendWatch watch(first_sock, send_stall_seconds * 1000);
    for (;;) {
        const std::string* frame;
        size_t off;
        int sock;
        {
            std::lock_guard<std::mutex> g(o.q);
            if (!o.open || o.failed) return -1;
            if (o.pending.empty() || o.hold) return 0;
            frame = &o.pending.front();
            off = o.front_off;
            sock = o.sock;
        }
        ssize_t n;
        if (blocking) {
            n = transport_send(sock, frame->data() + off, frame->size() - off, false);
            // The socket's send time-out is one tick of the stall rule.
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && watch.waited()) continue;
            if (watch.stalled())
                logger.writef("CLIENT", LOG_WARNING, "slot %d takes no data, disconnecting",
                              static_cast<int>(&o - out));
            if (n > 0) watch.took();
        } else {
            n = transport_send(sock, frame->data() + off, frame->size() - off, true);
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
            queued_total -= o.pending.front().size();
            o.pending.pop_front();
            o.front_off = 0;
        }
    }
}

bool queue_empty(SlotOut& o) {
    std::lock_guard<std::mutex> g(o.q);
    return o.pending.empty() || !o.open || o.failed || o.hold;
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

// Connections that have not logged in, by slot (under users_lock): counted against the
// per-address and the overall limits unless their peer is trusted. slot_addr is the peer's key.
bool slot_counted[MAX_USERS];
char slot_addr[MAX_USERS][PEER_KEY_SIZE];

enum ClaimRefusal { CLAIM_FULL = -1, CLAIM_ADDRESS = -2, CLAIM_PRELOGIN = -3 };

// Claims the first free slot for a connection from addr; a ClaimRefusal when it may not.
int claim_slot(int sock, int wake, uint64_t* gen, const char* addr, bool counted) {
    std::lock_guard<std::mutex> g(users_lock);
    if (counted) {
        int mine = 0, all = 0;
        for (int i = 0; i < MAX_USERS; i++) {
            if (users[i].in_use == 0 || !slot_counted[i]) continue;
            all++;
            if (strcmp(slot_addr[i], addr) == 0) mine++;
        }
        if (mine >= connection_limits.prelogin_per_address) return CLAIM_ADDRESS;
        if (all >= connection_limits.prelogin_slots) return CLAIM_PRELOGIN;
    }
    for (int i = 0; i < MAX_USERS; i++) {
        if (users[i].in_use != 0) continue;
        users[i].in_use = 1;
        users[i].sock = sock;
        users[i].name[0] = '\0';
        users[i].level = 0;
        users[i].alive.store(1);
        slot_counted[i] = counted;
        copy_text(slot_addr[i], addr);
        *gen = ++users_gen[i];
        std::lock_guard<std::mutex> gq(out[i].q);
        queued_total -= out[i].queued_bytes;
        out[i].pending.clear();
        out[i].front_off = 0;
        out[i].queued_bytes = 0;
        out[i].sock = sock;
        out[i].gen = *gen;
        out[i].open = true;
        out[i].failed = false;
        out[i].hold = false;
        out[i].wake = wake;
        return i;
    }
    return CLAIM_FULL;
}

// Whether a session is counted as a connection waiting for a login: only while it has never
// logged in (or is back to that state after a suspended account's LOGIN), and only when its
// address is not exempt.
void slot_set_counted(int slot, bool counted) {
    std::lock_guard<std::mutex> g(users_lock);
    slot_counted[slot] = counted;
}

// The session is still the one its slot was claimed for and has not been removed (by a later
// login of its name, or a change of its account). Read under users_lock: a removal that has
// happened is always seen.
bool session_live(const Session* s) {
    std::lock_guard<std::mutex> g(users_lock);
    return users[s->slot].alive.load() == 1 && users_gen[s->slot] == s->gen;
}

// Closes the socket under the send lock (no frame of another thread is cut or sent to a
// reused descriptor), then frees the slot.
void release_slot(int slot, int sock) {
    SlotOut& o = out[slot];
    {
        std::lock_guard<std::mutex> s(o.send);
        std::lock_guard<std::mutex> g(o.q);
        o.open = false;
        queued_total -= o.queued_bytes;
        o.pending.clear();
        o.front_off = 0;
        o.queued_bytes = 0;
        o.wake = -1;
        tls_detach(sock);
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
int wait_readable(Session* s, int wake, Clock::time_point login_deadline) {
    SlotOut& o = out[s->slot];
    bool backoff = false;
    for (;;) {
        int login_left = -1;  // milliseconds until the login time-out, -1 without one
        if (!s->logged_in_once) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(login_deadline -
                                                                              Clock::now());
            if (left.count() <= 0) {
                log_refusal("%s(%d) login time-out: not logged in after %d s", s->peer, s->slot,
                            connection_limits.login_timeout);
                return -1;
            }
            login_left = static_cast<int>(left.count());
        }
        // Bytes TLS has already read from the socket: poll would not see them.
        if (tls_pending(s->sock)) return 0;
        bool pending;
        Clock::time_point progress;
        {
            std::lock_guard<std::mutex> g(o.q);
            if (o.failed) return -1;
            pending = !o.pending.empty() && !o.hold;
            progress = o.progress_at;
        }
        int timeout = -1;
        if (pending) {
            auto stalled = Clock::now() - progress;
            if (stalled > std::chrono::seconds(send_stall_seconds)) {
                logger.writef("CLIENT", LOG_WARNING, "slot %d takes no data, disconnecting",
                              s->slot);
                return -1;
            }
            timeout = backoff ? 10 : 1000;
        }
        if (login_left >= 0 && (timeout < 0 || login_left < timeout)) timeout = login_left;
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

// Adapters from the handlers' own signatures to a table entry. Each returns -1 when the
// session must end.
template <void (*F)(Data*, json_object**, int)>
int slot_command(Session* s, json_object* request) {
    json_object* pair[2] = {nullptr, request};
    F(&s->reply, pair, s->slot);
    return 0;
}
template <int (*F)(Session*, json_object*, bool), bool B>
int session_command(Session* s, json_object* request) {
    return F(s, request, B);
}
template <int (*F)(Session*, json_object*)>
int session_command(Session* s, json_object* request) {
    return F(s, request);
}

int do_hello(Session* s, json_object* request) {
    json_object* pair[2] = {nullptr, request};
    cmd_hello(&s->reply, pair);
    return 0;
}
int do_login(Session* s, json_object* request) {
    if (tls_refused(s, "LOGIN")) return 0;
    json_object* pair[2] = {nullptr, request};
    int code = cmd_login(&s->reply, pair, s->slot);
    if (code == LOGIN_HUNG_UP) return -1;  // nobody is left to answer
    if (code == 0) {
        s->logged_in = true;
        if (!s->logged_in_once) slot_set_counted(s->slot, false);
        s->logged_in_once = true;
        double_login(s->slot);
    } else if (code == 200) {
        // The slot now names a suspended user: the session is back to not logged in, and
        // counts as such again (its login time-out has long begun).
        s->logged_in = false;
        if (s->logged_in_once) slot_set_counted(s->slot, s->counted);
        s->logged_in_once = false;
    }
    return 0;
}
int do_password(Session* s, json_object* request) {
    if (tls_refused(s, "PASSWORD")) return 0;
    return slot_command<cmd_password>(s, request);
}
int do_logout(Session* s, json_object*) {
    slot_send_text(s->slot, TYPE_TEXT, "BYE\n");
    return -1;
}

// What differs between commands:
//   CMD_LOGIN      answered FAIL until the session has logged in;
//   CMD_OWN_FRAMES the handler sends its own frames (the loop sends no reply for it).
enum : unsigned { CMD_LOGIN = 1u, CMD_OWN_FRAMES = 2u };

// Compared one after another, in this order.
struct CommandEntry {
    const char* word;
    CommandHandler run;
    unsigned flags;
};
const CommandEntry kCommands[] = {
    {"HELLO", do_hello, 0},
    {"LOGIN", do_login, 0},
    {"LOGOUT", do_logout, CMD_OWN_FRAMES},
    {"ID", slot_command<cmd_id>, 0},
    {"WHO", slot_command<cmd_who>, CMD_LOGIN},
    {"PASSWORD", do_password, 0},
    {"MESSAGE", slot_command<cmd_message>, CMD_LOGIN | CMD_OWN_FRAMES},
    {"MOD", slot_command<cmd_mod>, CMD_LOGIN | CMD_OWN_FRAMES},
    {"LIST", session_command<dispatch_list, false>, CMD_OWN_FRAMES},
    {"LISTALL", session_command<dispatch_list, true>, CMD_OWN_FRAMES},
    {"CHECK", slot_command<cmd_check>, 0},
    {"DATA", session_command<dispatch_file, true>, CMD_OWN_FRAMES},
    {"FILE", session_command<dispatch_file, false>, CMD_OWN_FRAMES},
    {"SEND", session_command<dispatch_send>, CMD_OWN_FRAMES},
    {"NEXT", session_command<dispatch_next>, CMD_OWN_FRAMES},
    {"OPEN", session_command<dispatch_open>, CMD_LOGIN | CMD_OWN_FRAMES},
    {"CAMERA", slot_command<cmd_camera>, CMD_LOGIN | CMD_OWN_FRAMES},
    {"CAMINFO", slot_command<cmd_caminfo>, 0},
    {"VIEWPORT", slot_command<cmd_viewport>, CMD_LOGIN | CMD_OWN_FRAMES},
    {"RELAY", slot_command<cmd_relay>, CMD_LOGIN | CMD_OWN_FRAMES},
    {"FEATURES", session_command<dispatch_features>, CMD_OWN_FRAMES},
    {"ACCESS", session_command<dispatch_access>, CMD_LOGIN | CMD_OWN_FRAMES},
    {"PUT", session_command<dispatch_put>, CMD_LOGIN | CMD_OWN_FRAMES},
    {"MKDIR", session_command<dispatch_mkdir>, CMD_LOGIN | CMD_OWN_FRAMES},
    {"RENAME", session_command<dispatch_rename>, CMD_LOGIN | CMD_OWN_FRAMES},
    {"DELETE", session_command<dispatch_delete>, CMD_LOGIN | CMD_OWN_FRAMES},
    {"STARTTLS", session_command<dispatch_starttls>, CMD_OWN_FRAMES},
};

// Every command is one flat object of scalar members. Before anything is built, a payload
// that holds a second object or an array (outside strings), or more members than
// MAX_COMMAND_MEMBERS, is refused: each container costs the parser far more than its bytes,
// and a frame full of "{}" would cost megabytes. Payloads that pass are parsed as before.
bool flat_command(const char* text) {
    const char* p = text;
    while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n') p++;
    if (*p != '{') return true;  // not an object: the parser refuses it cheaply
    p++;
    size_t commas = 0;
    bool in_string = false;
    for (; *p; p++) {
        char c = *p;
        if (in_string) {
            if (c == '\\') {
                if (p[1] == '\0') break;
                p++;
            } else if (c == '"') {
                in_string = false;
            }
        } else if (c == '"') {
            in_string = true;
        } else if (c == '{' || c == '[') {
            return false;
        } else if (c == ',') {
            if (++commas >= MAX_COMMAND_MEMBERS) return false;
        }
    }
    return true;
}

// Handles one command frame. -1 when the session must end.
int handle_command(Session* s) {
    json_object* request = nullptr;
    if (flat_command(s->request.text)) {
        // What json_tokener_parse does, on the session's parser.
        json_tokener_reset(session_tokener);
        request = json_tokener_parse_ex(session_tokener, s->request.text, -1);
        if (json_tokener_get_error(session_tokener) != json_tokener_success) {
            if (request) json_object_put(request);
            request = nullptr;
        }
        // A long command grew the parser's buffer to its length (up to 128 KiB), which the
        // parser would keep for the session's life: a new parser gives it back.
        if (strlen(s->request.text) > LONG_COMMAND) {
            json_tokener_free(session_tokener);
            session_tokener = json_tokener_new_ex(2);
            if (!session_tokener) {
                if (request) json_object_put(request);
                return -1;
            }
        }
    }
    s->reply.text[0] = '\0';

    const CommandEntry* command = nullptr;
    const char* word = json_text(request, "CMD");
    if (word && strlen(word) < CMD_SIZE) {
        for (const auto& c : kCommands) {
            if (strcmp(word, c.word) == 0) {
                command = &c;
                break;
            }
        }
    }
    int result = 0;
    // A session removed while its frame arrived runs nothing more.
    if (!session_live(s)) {
        if (request) json_object_put(request);
        return -1;
    }
    if (!command || ((command->flags & CMD_LOGIN) && !s->logged_in)) {
        reply_fail(&s->reply);
    } else {
        result = command->run(s, request);
        if (command->flags & CMD_OWN_FRAMES) s->reply.text[0] = '\0';
    }
    if (request) json_object_put(request);
    if (result < 0) return -1;
    if (s->reply.text[0] != '\0' && slot_send_text(s->slot, TYPE_REPLY, s->reply.text) < 0)
        return -1;
    return 0;
}

void session_loop(Session* s, int wake) {
    UserSlot& me = users[s->slot];
    const auto login_deadline = Clock::now() + std::chrono::seconds(connection_limits.login_timeout);
    s->login_deadline = login_deadline;
    while (me.alive.load() == 1) {
        if (wait_readable(s, wake, login_deadline) < 0) break;
        // A frame that has begun must arrive whole within the frame time-out (and, before a
        // login, within the login time-out).
        long long frame_ms = connection_limits.frame_timeout * 1000LL;
        if (!s->logged_in_once) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(login_deadline -
                                                                              Clock::now());
            if (left.count() < frame_ms) frame_ms = left.count() > 0 ? left.count() : 0;
        }
        int got = safe_recv(s->sock, s->request.type, s->request.text, static_cast<int>(frame_ms));
        if (got == RECV_TIMED_OUT) {
            log_refusal("%s(%d) frame time-out: a frame stopped arriving", s->peer, s->slot);
            break;
        }
        if (got < 0) break;
        if (logger.enabled(LOG_DEBUG)) {
            logger.writef("client_handler", LOG_DEBUG, "Type:%s, Buffer:%s", s->request.type,
                          s->request.text);
        }
        char kind = s->request.type[1];
        if (kind == '1') {
            if (handle_command(s) < 0) break;
        } else if (kind == '0') {
            if (!session_live(s)) break;
            slot_send_text(s->slot, TYPE_TEXT, s->request.text);
        }
    }
}

}  // namespace

Session* Session::current() { return current_session; }

int write_all(int sock, const void* data, size_t len) {
    SendWatch watch(sock, send_stall_seconds * 1000);
    return send_pieces(sock, data, len, nullptr, 0, 0, &watch);
}

int write_frame(int sock, const char* type, const void* payload, size_t len) {
    char header[HEADER_SIZE + 1];
    form_header(header, type, len);
    SendWatch watch(sock, send_stall_seconds * 1000);
    return send_pieces(sock, header, HEADER_SIZE, payload, len, 0, &watch);
}

FrameLock::FrameLock(int slot) : slot_(slot), sock_(-1), ok_(false), watch_(-1, 0) {
    SlotOut& o = out[slot];
    o.send.lock();
    {
        std::lock_guard<std::mutex> g(o.q);
        sock_ = o.sock;
        if (!o.open || o.failed) return;
    }
    watch_ = SendWatch(sock_, send_stall_seconds * 1000);
    ok_ = flush_queue(o, true, Clock::now()) == 0;
}

FrameLock::~FrameLock() { release_send(out[slot_], true, Clock::now()); }

void FrameLock::fail() {
    if (watch_.stalled())
        logger.writef("CLIENT", LOG_WARNING, "slot %d takes no data, disconnecting", slot_);
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
    if (send_pieces(lock.sock(), header, HEADER_SIZE, payload, len, 0, lock.watch()) < 0) {
        // A peer that vanished: its session ends, with its CLOSE line; nothing per frame.
        lock.fail();
        return -1;
    }
    return 0;
}

int slot_send_text(int slot, const char* type, const char* text) {
    return slot_send(slot, type, text, strlen(text));
}

void slot_hold(int slot, bool hold) {
    SlotOut& o = out[slot];
    std::lock_guard<std::mutex> g(o.q);
    o.hold = hold;
    // The stall rule counts from the release: nobody could write while the queue was held.
    if (!hold) o.progress_at = Clock::now();
}

namespace {

// Queues a frame for a slot without writing anything; the caller may hold users_lock.
// 1 queued on an empty queue, 0 queued behind a backlog, -1 dropped (the slot is gone, or it
// went over a cap and its connection now ends).
int enqueue(int slot, uint64_t gen, const char* type, const char* text) {
    if (slot < 0 || slot >= MAX_USERS) return -1;
    SlotOut& o = out[slot];
    size_t len = strlen(text);
    std::string frame;
    char header[HEADER_SIZE + 1];
    form_header(header, type, len);
    frame.reserve(HEADER_SIZE + len);
    frame.assign(header, HEADER_SIZE);
    frame.append(text, len);
    std::lock_guard<std::mutex> g(o.q);
    if (!o.open || o.failed || o.gen != gen) return -1;
    bool backlog = !o.pending.empty();
    if (o.queued_bytes + frame.size() > MAX_QUEUED_BYTES ||
        (backlog && queued_total.load() + frame.size() > MAX_QUEUED_TOTAL)) {
        // The peer takes nothing while others keep writing to it: its session ends. Holding
        // o.q is enough: the socket is closed only under it.
        mark_failed_locked(o);
        return -1;
    }
    if (!backlog) o.progress_at = Clock::now();
    o.queued_bytes += frame.size();
    queued_total += frame.size();
    o.pending.push_back(std::move(frame));
    return backlog ? 0 : 1;
}

// Writes what a slot's queue can take before deadline, then leaves the rest to its owner.
void deliver(int slot, Clock::time_point deadline) {
    SlotOut& o = out[slot];
    if (o.send.try_lock()) {
        flush_queue(o, false, deadline);
        release_send(o, false, deadline);
    }
    if (!queue_empty(o)) wake_owner(o);
}

}  // namespace

int post_frame(int slot, uint64_t gen, const char* type, const char* text, int budget_ms) {
    int queued = enqueue(slot, gen, type, text);
    if (queued < 0) return -1;
    // With frames already waiting the peer is slow: write what it takes now, do not wait for
    // it again (a message to many slow peers would add up the waits).
    auto deadline = Clock::now();
    if (queued == 1 && budget_ms > 0) deadline += std::chrono::milliseconds(budget_ms);
    deliver(slot, deadline);
    return 0;
}

int queue_frame(int slot, uint64_t gen, const char* type, const char* text) {
    if (enqueue(slot, gen, type, text) < 0) return -1;
    wake_owner(out[slot]);
    return 0;
}

void end_session(SlotRef ref) {
    if (ref.slot < 0 || ref.slot >= MAX_USERS) return;
    SlotOut& o = out[ref.slot];
    {
        std::lock_guard<std::mutex> g(o.q);
        if (!o.open || o.gen != ref.gen) return;
    }
    // The notice goes out first, as far as the peer takes it within the budget. The session's
    // own thread may be writing it meanwhile (woken by queue_frame): wait for that too. A
    // thread that keeps the send lock for longer (a download to a slow reader) leaves it
    // queued, and the shutdown below cuts that download.
    auto deadline = Clock::now() + std::chrono::milliseconds(POST_BUDGET_MS);
    for (;;) {
        if (o.send.try_lock()) {
            flush_queue(o, false, deadline);
            release_send(o, false, deadline);
        }
        if (queue_empty(o) || Clock::now() >= deadline) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::lock_guard<std::mutex> g(o.q);
    if (o.gen == ref.gen) mark_failed_locked(o);
}

void* client_handler(void* arg) {
    int sock = static_cast<int>(reinterpret_cast<intptr_t>(arg));

    int one = 1;
    setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    // A send waits one tick for room, then its SendWatch judges whether the peer has stalled.
    struct timeval tick = {send_tick_ms() / 1000, (send_tick_ms() % 1000) * 1000};
    setsockopt(sock, SOL_SOCKET, SO_SNDTIMEO, &tick, sizeof(tick));

    const PeerId peer = identify_peer(sock);
    const char* addr = peer.key;

    int wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    uint64_t gen = 0;
    const bool counted = !exempt_peer(peer);
    int slot = wake < 0 ? CLAIM_FULL : claim_slot(sock, wake, &gen, addr, counted);
    if (slot < 0) {
        if (slot == CLAIM_ADDRESS)
            log_refusal("%s refused: %d connections of this address have not logged in", addr,
                        connection_limits.prelogin_per_address);
        else if (slot == CLAIM_PRELOGIN)
            log_refusal("%s refused: %d connections have not logged in", addr,
                        connection_limits.prelogin_slots);
        else
            log_refusal("%s refused: all %d slots in use", addr, MAX_USERS);
        if (wake >= 0) close(wake);
        close(sock);
        return nullptr;
    }
    logger.writef("CLIENT", LOG_NOTICE, "%s (%d)", addr, slot);
    // The lines this connection causes count against its peer's budget; a trusted program's
    // connections (serving many people) each against their own.
    char log_key[PEER_KEY_SIZE + 16];
    snprintf(log_key, sizeof(log_key), "%s(%d)", addr, slot);
    log_bind(peer.trusted ? log_key : addr);

    // Session buffers are not zeroed: untouched pages of an idle session stay unresident.
    std::unique_ptr<Session> s(new Session);
    s->slot = slot;
    s->sock = sock;
    s->gen = gen;
    copy_text(s->peer, peer.key);
    s->local = peer.local;
    s->trusted = peer.trusted;
    s->send_stream = nullptr;
    s->logged_in = false;
    s->logged_in_once = false;
    s->counted = counted;
    s->reply.text[0] = '\0';
    current_session = s.get();
    // Depth 2: the command object and nothing below it (flat_command has refused the rest).
    session_tokener = json_tokener_new_ex(2);

    if (session_tokener) session_loop(s.get(), wake);
    if (session_tokener) json_tokener_free(session_tokener);
    session_tokener = nullptr;

    char name[NAME_SIZE];
    {
        std::lock_guard<std::mutex> g(users_lock);
        memcpy(name, users[slot].name, sizeof(name));
    }
    log_unbind();
    logger.writef("CLIENT", LOG_NOTICE, "CLOSE %s(%d)", name, slot);
    {
        // Frames queued for the connection (the notice that removed it) go out first, within
        // the budget of a frame posted by another session.
        SlotOut& o = out[slot];
        auto deadline = Clock::now() + std::chrono::milliseconds(POST_BUDGET_MS);
        o.send.lock();
        flush_queue(o, false, deadline);
        o.send.unlock();
    }
    if (s->send_stream) {
        fclose(s->send_stream);
        s->send_stream = nullptr;
    }
    release_slot(slot, sock);
    close(wake);
    current_session = nullptr;
    memory_to_trim.store(true);
    return nullptr;
}
