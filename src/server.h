// The server unit: its records, globals and sizes, the lock beside each shared thing, and the
// command handlers of every subsystem. server.cpp holds start-up and shutdown,
// server_session.cpp the session table and loop, the other server_*.cpp one subsystem each.
#pragma once

#include <json-c/json.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

#include "config.h"
#include "logger.h"
#include "network.h"
#include "utils.h"

// ---------------------------------------------------------------------------------------------
// Sizes. Every text buffer holds at most SIZE-1 bytes and a NUL. The framing sizes
// (HEADER_SIZE, TEXT_SIZE, MAX_PAYLOAD) live in network.h, LOG_TEXT_SIZE in logger.h.
constexpr int MAX_USERS = 200;             // slots of the session table
constexpr size_t NAME_SIZE = 64;           // user, server and device names
constexpr size_t CONF_PATH_SIZE = 256;     // share and data directories
constexpr size_t FILE_PATH_SIZE = 4096;    // a client file name, a share path joined to it
constexpr size_t CMD_SIZE = 32;            // the "CMD" word
constexpr size_t MOD_SIZE = 256;           // STR_MOD, the server notice

// Threads are created with an explicit stack: 200 sessions must fit a 32-bit address space.
// Handlers keep large buffers in their Session (heap), never on the stack.
constexpr size_t SESSION_STACK_SIZE = 256 * 1024;

// A connection that takes no byte of a pending frame for this long is disconnected, whatever
// is being sent (a reply, a whole file, a piece, a camera frame, queued notices): the default
// of the "stall_timeout" setting, kept in send_stall_seconds.
constexpr int SEND_STALL_SECONDS = 30;
extern int send_stall_seconds;
// How long another session's thread may spend delivering a "21" frame before it leaves the
// rest queued for the connection's owner.
constexpr int POST_BUDGET_MS = 100;

constexpr const char* PROTOCOL_VERSION = "3.0.0";

// Frame type codes sent by the server.
constexpr const char* TYPE_TEXT = "10";
constexpr const char* TYPE_REPLY = "11";
constexpr const char* TYPE_MESSAGE = "21";
constexpr const char* TYPE_CAMERA = "85";
constexpr const char* TYPE_FILE = "88";
constexpr const char* TYPE_PIECE = "89";

// Sender of every notice the server itself sends: "관리자".
extern const char* const USER_ADMIN;

// ---------------------------------------------------------------------------------------------
// Records.
struct ServerInfo {
    char name[NAME_SIZE];
    int port;
    int sock;
    char share[CONF_PATH_SIZE];
    char data[CONF_PATH_SIZE];
    char socket_path[SOCKET_PATH_SIZE];  // "" without a local socket
    int local_sock;                       // the local socket listening, or -1
};

struct UserSlot {
    char name[NAME_SIZE];
    int sock;
    int in_use;
    int level;
    std::atomic<unsigned char> alive;
    time_t login_time;
};

struct Data {
    char type[3];
    char text[TEXT_SIZE];
};

// ---------------------------------------------------------------------------------------------
// Globals. Constant after start-up (written by the main thread before the first accept):
extern ServerInfo server;
extern char device_video[NAME_SIZE];
extern bool camera;
extern int client_sockfd;  // last accepted connection; read only by close_all

// The session table. users_lock serialises claim, release, every scan, and the changes of
// name and level; alive is atomic and read without it. Never wait on a socket while holding
// users_lock. Lock order: users_lock may be taken before a slot's queue lock, never after.
extern UserSlot users[MAX_USERS];
extern std::mutex users_lock;
// Bumped at every claim of a slot (under users_lock), so a frame posted to a slot cannot reach
// the next session that claims it.
extern uint64_t users_gen[MAX_USERS];

// Set by each session that ends: the main thread then gives the heap memory freed back to the
// system (malloc_trim) within about a second, once for any number of sessions ending together.
extern std::atomic<bool> memory_to_trim;

// The server notice. mod_lock: STR_MOD is never read half-written.
extern char STR_MOD[MOD_SIZE];
extern std::mutex mod_lock;

// ---------------------------------------------------------------------------------------------
// Fixed-size text helpers.

// Copies src into dst with a NUL; false (and dst cut at a UTF-8 boundary) when it did not fit.
template <size_t N>
bool copy_text(char (&dst)[N], const char* src) {
    size_t len = strnlen(src, N);
    if (len < N) {
        memcpy(dst, src, len + 1);
        return true;
    }
    size_t cut = N - 1;
    while (cut > 0 && (static_cast<unsigned char>(src[cut]) & 0xC0) == 0x80) cut--;
    memcpy(dst, src, cut);
    dst[cut] = '\0';
    return false;
}

// Serialises obj into dst (json-c's default form), releases obj, returns dst.
char* json_reply(char* dst, size_t size, json_object* obj);
template <size_t N>
char* json_reply(char (&dst)[N], json_object* obj) {
    return json_reply(dst, N, obj);
}

// The text of a string member, or nullptr when the member is missing or not a string.
const char* json_text(json_object* obj, const char* key);

// The key of a peer: "local:" and a user id, or a dotted IPv4 address, and a NUL.
constexpr size_t PEER_KEY_SIZE = 24;

// ---------------------------------------------------------------------------------------------
// Session. One per connection, on the heap, owned by its thread (server_session.cpp).
struct Session {
    int slot;
    int sock;
    uint64_t gen;
    char peer[PEER_KEY_SIZE];       // the peer as the login guard keys it (server_guard.h):
                                    // its IPv4 address, or "local:UID" on the local socket
    bool local;                     // the connection came through the local socket
    bool trusted;                   // exempt from the login delay and per-address limits
    Data reply;
    Data request;
    char path[FILE_PATH_SIZE];      // LIST/LISTALL "PATH" (a longer one names no folder)
    char file[FILE_PATH_SIZE];      // FILE/DATA/SEND "FILE"
    char full_path[FILE_PATH_SIZE];
    FILE* send_stream;              // opened by SEND, read by NEXT; closed exactly once
    bool logged_in;                 // a LOGIN of this session succeeded (and was not replaced
                                    // by a suspended account's)
    bool logged_in_once;            // a LOGIN of this session has ever succeeded: the limits on
                                    // connections that have not logged in are behind it
    bool counted;                   // its address is subject to those limits (not exempt)
    std::chrono::steady_clock::time_point login_deadline;  // the end of its login time-out
    // The session whose handler is running on this thread (nullptr outside a session).
    static Session* current();
};

// ---------------------------------------------------------------------------------------------
// The send path of a slot (server_session.cpp).
//
// Frames on one connection never interleave: every frame is written under the slot's send
// lock. Frames for another session ("21") are queued on that slot and written by whichever
// thread holds its send lock; nobody waits on another session's socket for more than
// POST_BUDGET_MS.

// Sends one whole frame (header and payload in one call where possible) on the slot's own
// connection, first writing any frames queued for it. 0 on success, -1 on failure (the
// session must end). Called by the slot's own session thread.
int slot_send(int slot, const char* type, const void* payload, size_t len);
int slot_send_text(int slot, const char* type, const char* text);

// Holds a slot's send lock for a frame written by the caller itself (binary transfers).
// On construction, queued frames are written first; on destruction, frames queued meanwhile
// are flushed and the lock is released. ok() is false when the connection already failed.
class FrameLock {
public:
    explicit FrameLock(int slot);
    ~FrameLock();
    FrameLock(const FrameLock&) = delete;
    FrameLock& operator=(const FrameLock&) = delete;
    bool ok() const { return ok_; }
    int sock() const { return sock_; }
    // For every send of the caller on sock(): the stall rule (see SEND_STALL_SECONDS).
    SendWatch* watch() { return &watch_; }
    // Marks the connection failed (a write of the caller failed).
    void fail();

private:
    int slot_;
    int sock_;
    bool ok_;
    SendWatch watch_;
};

// Writes all len bytes to a session's socket (blocking, retrying EINTR and short writes, under
// the stall rule). 0 or -1.
int write_all(int sock, const void* data, size_t len);
// Writes a 12-byte header followed by len bytes of payload with one call where possible.
int write_frame(int sock, const char* type, const void* payload, size_t len);
// The send time-out given to every session's socket: a tick of the stall rule.
int send_tick_ms();
// Forms a header: "%s%10zu". dst must hold 13 bytes.
void form_header(char* dst, const char* type, size_t len);

// Queues a frame for another session's connection and delivers as much as POST_BUDGET_MS
// allows. gen is users_gen[slot] as read under users_lock during the scan that chose the slot;
// a slot that has been released or reclaimed since gets nothing. 0 queued/sent, -1 dropped.
// budget_ms: how long to wait for a peer whose queue was empty (a broadcast passes what is left
// of one budget for all its targets).
int post_frame(int slot, uint64_t gen, const char* type, const char* text,
               int budget_ms = POST_BUDGET_MS);
// While held (STARTTLS until its handshake is done), frames queued for the slot stay queued:
// nobody writes them. Called by the slot's own session thread.
void slot_hold(int slot, bool hold);
// Only queues the frame and wakes the slot's owner, which writes it; safe under users_lock.
int queue_frame(int slot, uint64_t gen, const char* type, const char* text);

// A target chosen by a scan of the table.
struct SlotRef {
    int slot;
    uint64_t gen;
};

// Ends a session that a scan has marked (alive cleared, its notice queued, under users_lock):
// writes what is queued for it within POST_BUDGET_MS, then shuts its connection down, whatever
// its thread is doing (waiting for a frame, sending, receiving, in a delay), so the slot is
// freed at once. A slot released or reclaimed since the scan is left alone. Call it without
// users_lock.
void end_session(SlotRef ref);

// ---------------------------------------------------------------------------------------------
// Start-up and shutdown (server.cpp).
[[noreturn]] void close_all();
void INThandler(int sig);
int server_main(int argc, char** argv);

// Session loop (server_session.cpp).
void* client_handler(void* arg);

// ---------------------------------------------------------------------------------------------
// Command handlers. An entry of the session's command table (server_session.cpp) runs a
// CommandHandler: it reads request (nullptr when the payload was not JSON), leaves its reply in
// s->reply.text or sends its own frames, and returns -1 when the session must end. The table
// says, per command, whether a login is needed and whether the handler sends its own frames.
using CommandHandler = int (*)(Session* s, json_object* request);

// Older handlers: pair[0] is the reply object the handler creates, fills, serialises into
// reply->text and releases; pair[1] is the parsed request, read only.

// Accounts and messaging (server_account.cpp).
void cmd_hello(Data* reply, json_object** pair);
// Returns the LOGIN code (0, 100, 200, 900), or LOGIN_HUNG_UP when the client hung up while its
// answer was delayed: no answer is sent, and the session ends.
constexpr int LOGIN_HUNG_UP = -1;
int cmd_login(Data* reply, json_object** pair, int slot);
// Run by the session loop after a LOGIN that returned 0: removes another live session of the
// same name, queueing the notice that tells it why (the caller's reply goes out as usual).
void double_login(int slot);
void remove_user(int slot);
// Starts the account watcher: about every 250 ms it looks whether users.db has changed (its
// SQLite data version) and, when it has, reads the rows of the names with live sessions: a
// changed level applies to their next command, a suspended or deleted account's sessions end
// with a "21" notice (TYPE 1001) that says why. False when the thread could not start.
bool start_account_watch();
// Starts a detached thread with the sessions' stack size and SIGINT blocked (server.cpp).
int start_thread(void* (*fn)(void*), void* arg);
void cmd_id(Data* reply, json_object** pair, int slot);
void cmd_who(Data* reply, json_object** pair, int slot);
void cmd_message(Data* reply, json_object** pair, int slot);
void cmd_mod(Data* reply, json_object** pair, int slot);
void cmd_password(Data* reply, json_object** pair, int slot);

// Folders and transfer (server_folder.cpp, server_transfer.cpp). The session loop calls these
// dispatch entries with the session; each returns -1 when the session must end.
int dispatch_list(Session* s, json_object* request, bool all);
int dispatch_file(Session* s, json_object* request, bool data);
int dispatch_send(Session* s, json_object* request);
int dispatch_next(Session* s, json_object* request);
// OPEN: on a local connection, the file read-only as a descriptor beside the "11" reply.
int dispatch_open(Session* s, json_object* request);
void cmd_check(Data* reply, json_object** pair, int slot);

// Camera and relay (server_camera.cpp, server_relay.cpp).
bool init_camera();
void cmd_camera(Data* reply, json_object** pair, int slot);
void cmd_caminfo(Data* reply, json_object** pair, int slot);
void cmd_viewport(Data* reply, json_object** pair, int slot);
void cmd_relay(Data* reply, json_object** pair, int slot);
