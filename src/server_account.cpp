// Accounts and messaging: HELLO, LOGIN with the rule against double logins, WHO, ID, MESSAGE,
// MOD and PASSWORD. Names and levels of the table are read and written under users_lock;
// frames for other sessions go through post_frame with the slot's generation taken during the
// same scan, so a slow or vanished peer never holds anyone up and a reused slot gets nothing.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <ctime>
#include <thread>
#include <vector>

#include "admin.h"
#include "logger.h"
#include "server.h"
#include "server_guard.h"

namespace {

// Texts of the protocol and the log.
constexpr const char* TEXT_AUTH_FAILED = "인증실패";
constexpr const char* TEXT_SUSPENDED = "사용정지";
constexpr const char* TEXT_BAD_VERSION = "사용할 수 없는 버젼";
constexpr const char* TEXT_DOUBLE_LOGIN = "동일 사용자가 로그인 되었습니다.";
constexpr const char* TEXT_ACCOUNT_SUSPENDED = "사용정지된 사용자입니다. 접속을 종료합니다.";
constexpr const char* TEXT_ACCOUNT_DELETED = "삭제된 사용자입니다. 접속을 종료합니다.";
constexpr const char* TEXT_NO_MOD = "NONE";

constexpr int LOGIN_OK = 0;
constexpr int LOGIN_AUTH = 100;
constexpr int LOGIN_SUSPENDED = 200;
constexpr int LOGIN_VERSION = 900;

constexpr int TYPE_NOTICE_MOD = 0;
constexpr int TYPE_NOTICE_DOUBLE_LOGIN = 1000;
constexpr int TYPE_NOTICE_ACCOUNT_CLOSED = 1001;

// How often the account watcher looks at users.db's data version.
constexpr int ACCOUNT_WATCH_MS = 250;

// Bumped by the account watcher each time it reads the rows of the live sessions. A LOGIN that
// read its row before such a read and named its slot after it asks for one more read
// (recheck), so a change committed meanwhile is not missed.
std::atomic<unsigned> account_reads{0};
std::atomic<bool> account_recheck{false};

// The longest password a client may set.
constexpr size_t MAX_PASSWD = PASSWORD_MAX;

// A string member whole: nullptr when missing, not a string, or holding a NUL (its C text
// would be a different, shorter value).
const char* whole_text(json_object* request, const char* key) {
    json_object* member = nullptr;
    if (!request || !json_object_is_type(request, json_type_object)) return nullptr;
    if (!json_object_object_get_ex(request, key, &member)) return nullptr;
    if (!json_object_is_type(member, json_type_string)) return nullptr;
    const char* text = json_object_get_string(member);
    if (strlen(text) != static_cast<size_t>(json_object_get_string_len(member))) return nullptr;
    return text;
}

json_object* result_object(const char* result) {
    json_object* obj = json_object_new_object();
    json_object_object_add(obj, "RESULT", json_object_new_string(result));
    return obj;
}

// The message frame: "FROM", "TYPE", "MESSAGE", in that order.
json_object* message_object(const char* from, int type, const char* text) {
    json_object* obj = json_object_new_object();
    json_object_object_add(obj, "FROM", json_object_new_string(from));
    json_object_object_add(obj, "TYPE", json_object_new_int(type));
    json_object_object_add(obj, "MESSAGE", json_object_new_string(text));
    return obj;
}

void slot_name(int slot, char (&name)[NAME_SIZE]) {
    std::lock_guard<std::mutex> g(users_lock);
    memcpy(name, users[slot].name, NAME_SIZE);
}

// Ends the session that a scan chose, unless the slot has been released since.
void remove_ref(SlotRef ref) {
    char name[NAME_SIZE];
    int sock;
    {
        std::lock_guard<std::mutex> g(users_lock);
        if (users[ref.slot].in_use != 1 || users_gen[ref.slot] != ref.gen) return;
        memcpy(name, users[ref.slot].name, NAME_SIZE);
        sock = users[ref.slot].sock;
        users[ref.slot].alive.store(0);
    }
    end_session(ref);
    logger.writef("REMOVE", LOG_INFO, "%s(%d, %d)", name, ref.slot, sock);
}

// One message while MESSAGE handles it.
struct Message {
    int type = 0;
    char to[NAME_SIZE] = {};
    char message[256] = {};
};

struct Target {
    SlotRef ref;
    char name[NAME_SIZE];
};

}  // namespace

void cmd_hello(Data* reply, json_object** pair) {
    pair[0] = result_object("OK");
    json_object_object_add(pair[0], "SERVER", json_object_new_string(server.name));
    json_object_object_add(pair[0], "VERSION", json_object_new_string(PROTOCOL_VERSION));
    json_reply(reply->text, pair[0]);
    pair[0] = nullptr;
    logger.write("cmd_hello", LOG_DEBUG, reply->text);
}

namespace {

// Slows password guessing (server_guard.h): a LOGIN from a peer waits for that peer's turn
// before its password is checked, and a wrong name or password is answered after a delay that
// grows with the peer's failures; a real login forgets them. A suspended account (200) does not
// reset the delay, and a refused version (900) checked no password. Trusted peers (root and the
// gateway on the local socket) are never slowed; their failures are still logged. No lock is
// held while waiting.
bool throttled(const Session* s) { return s && !s->trusted && s->peer[0] != '\0'; }

}  // namespace

int cmd_login(Data* reply, json_object** pair, int slot) {
    json_object* request = pair[1];
    const char* version = whole_text(request, "VERSION");
    const char* given = json_text(request, "USERNAME");  // for the log line, as given
    const char* username = whole_text(request, "USERNAME");
    const char* password = whole_text(request, "PASSWORD");
    Session* session = Session::current();
    const bool slowed = throttled(session);
    int level = 0;

    int code = LOGIN_OK;
    if (!version || strncmp(version, PROTOCOL_VERSION, 4) != 0) {
        code = LOGIN_VERSION;
    } else if (slowed && !login_turn(session->peer, session->sock)) {
        return LOGIN_HUNG_UP;  // gave up while its address waited: nothing was checked
    } else if (!username || !password || strlen(username) >= NAME_SIZE ||
               strcmp(username, USER_ADMIN) == 0) {
        // A name that does not fit is refused, never cut into another user's name; the
        // server's own sender name is nobody's. Refused at the cost of any refusal.
        dummy_password_check(password);
        code = LOGIN_AUTH;
    } else {
        UserInfo info;
        copy_text(info.name, username);
        info.passwd[0] = '\0';
        const unsigned reads_before = account_reads.load();
        // A failed lookup, or a name without a row, is nobody: no password matches it. Every
        // refusal costs a hash check, so its time does not tell whether the name has a row,
        // or which form its password has.
        bool found = admin.get_user_info(&info) == 0 && info.found;
        if (!found) {
            dummy_password_check(password);
            code = LOGIN_AUTH;
        } else if (!password_matches(info, password)) {
            if (!is_password_hash(info.passwd)) dummy_password_check(password);
            code = LOGIN_AUTH;
        } else {
            level = info.level;
            {
                std::lock_guard<std::mutex> g(users_lock);
                copy_text(users[slot].name, username);
                users[slot].level = level;
                users[slot].login_time = time(nullptr);
            }
            if (account_reads.load() != reads_before) account_recheck = true;
            if (level <= 0) code = LOGIN_SUSPENDED;
        }
    }

    if (code == LOGIN_OK) {
        char mod[MOD_SIZE];
        {
            std::lock_guard<std::mutex> g(mod_lock);
            memcpy(mod, STR_MOD, sizeof(mod));
        }
        pair[0] = result_object("OK");
        json_object_object_add(pair[0], "SERVER", json_object_new_string(server.name));
        json_object_object_add(pair[0], "VERSION", json_object_new_string(PROTOCOL_VERSION));
        json_object_object_add(pair[0], "LEVEL", json_object_new_int(level));
        json_object_object_add(pair[0], "MOD",
                               json_object_new_string(mod[0] ? mod : TEXT_NO_MOD));
    } else {
        pair[0] = result_object("FAIL");
        json_object_object_add(pair[0], "ERROR", json_object_new_int(code));
    }

    const char* who = given ? given : "";
    switch (code) {
        case LOGIN_OK:
            logger.writef("LOGIN", LOG_NOTICE, "%s(%d) %s", who, slot, "OK");
            break;
        case LOGIN_AUTH:
            logger.writef("LOGIN", LOG_NOTICE, "%s(%d) %s:%s", who, slot, "FAIL",
                          TEXT_AUTH_FAILED);
            break;
        case LOGIN_SUSPENDED:
            logger.writef("LOGIN", LOG_NOTICE, "%s(%d) %s:%s", who, slot, "FAIL", TEXT_SUSPENDED);
            break;
        default:
            logger.writef("LOGIN", LOG_NOTICE, "%s(%d) %s:%s", who, slot, "FAIL",
                          TEXT_BAD_VERSION);
            break;
    }

    if (code == LOGIN_AUTH && session && session->peer[0] != '\0') {
        int wait_ms = login_failed(session->peer);  // logs the line that fail2ban matches
        // A client that hangs up during its delay gets no answer; the failure counts.
        if (slowed && !login_wait(session->sock, wait_ms)) {
            json_object_put(pair[0]);
            pair[0] = nullptr;
            return LOGIN_HUNG_UP;
        }
    } else if (code == LOGIN_OK && session && session->peer[0] != '\0') {
        login_succeeded(session->peer);
    } else if (slowed && code == LOGIN_SUSPENDED) {
        login_release(session->peer);
    }

    json_reply(reply->text, pair[0]);
    pair[0] = nullptr;
    logger.write("cmd_login", LOG_DEBUG, reply->text);
    return code;
}

void double_login(int slot) {
    char notice[512];
    json_reply(notice, message_object(USER_ADMIN, TYPE_NOTICE_DOUBLE_LOGIN, TEXT_DOUBLE_LOGIN));
    struct Removed {
        SlotRef ref;
        int sock;
    };
    std::vector<Removed> removed;
    char name[NAME_SIZE];
    {
        // Every other live session of the name is chosen, marked and told in one scan: logins
        // of one name that race leave exactly one session (the last to scan), and a removed
        // session cannot end before its notice is queued.
        std::lock_guard<std::mutex> g(users_lock);
        memcpy(name, users[slot].name, sizeof(name));
        // A session that has not logged in has no name to share with anyone; one that was
        // removed itself ends after this frame and displaces nobody.
        if (name[0] != '\0' && users[slot].alive.load() == 1) {
            for (int i = 0; i < MAX_USERS; i++) {
                if (i == slot || users[i].in_use != 1) continue;
                // A session already removed is ending: the live one of that name goes.
                if (users[i].alive.load() == 0) continue;
                if (strcmp(users[i].name, name) != 0) continue;
                users[i].alive.store(0);
                queue_frame(i, users_gen[i], TYPE_MESSAGE, notice);
                removed.push_back({{i, users_gen[i]}, users[i].sock});
            }
        }
    }
    // Each removed session is told and cut off now, whatever its thread is doing; the session
    // loop then sends the caller's reply.
    for (const Removed& r : removed) {
        end_session(r.ref);
        logger.writef("REMOVE", LOG_INFO, "%s(%d, %d)", name, r.ref.slot, r.sock);
    }
}

void remove_user(int slot) {
    if (slot < 0 || slot >= MAX_USERS) return;
    uint64_t gen;
    {
        std::lock_guard<std::mutex> g(users_lock);
        gen = users_gen[slot];
    }
    remove_ref({slot, gen});
}

void cmd_id(Data* reply, json_object** pair, int slot) {
    char name[NAME_SIZE];
    int level;
    time_t login_time;
    {
        std::lock_guard<std::mutex> g(users_lock);
        memcpy(name, users[slot].name, sizeof(name));
        level = users[slot].level;
        login_time = users[slot].login_time;
    }
    pair[0] = result_object("OK");
    json_object_object_add(pair[0], "NAME", json_object_new_string(name));
    json_object_object_add(pair[0], "LEVEL", json_object_new_int(level));
    // The low 32 bits of the count of seconds, as a signed integer.
    json_object_object_add(
        pair[0], "LOGIN",
        json_object_new_int(static_cast<int32_t>(static_cast<uint32_t>(login_time))));
    json_reply(reply->text, pair[0]);
    pair[0] = nullptr;
    logger.write("cmd_id", LOG_DEBUG, reply->text);
}

void cmd_who(Data* reply, json_object** pair, int) {
    pair[0] = result_object("OK");
    json_object* names = json_object_new_array();
    {
        // Only memory is touched under the lock.
        std::lock_guard<std::mutex> g(users_lock);
        for (int i = 0; i < MAX_USERS; i++) {
            if (users[i].in_use == 1)
                json_object_array_add(names, json_object_new_string(users[i].name));
        }
    }
    json_object_object_add(pair[0], "USERS", names);
    json_reply(reply->text, pair[0]);
    pair[0] = nullptr;
    logger.write("cmd_who", LOG_DEBUG, reply->text);
}

void cmd_message(Data* reply, json_object** pair, int slot) {
    json_object* request = pair[1];
    const char* to = whole_text(request, "TO");
    const char* text = json_text(request, "MESSAGE");
    json_object* type_member = nullptr;
    if (request && json_object_is_type(request, json_type_object))
        json_object_object_get_ex(request, "TYPE", &type_member);
    Message m;
    m.type = json_object_get_int(type_member);  // missing: 0

    bool sent = false;
    // A "TO" longer than any name matches nobody; it is never cut into another name.
    if (to && text && copy_text(m.to, to)) {
        copy_text(m.message, text);  // cut at a character boundary within 255 bytes
        char from[NAME_SIZE];
        char target_name[NAME_SIZE];
        SlotRef target = {-1, 0};
        {
            std::lock_guard<std::mutex> g(users_lock);
            memcpy(from, users[slot].name, sizeof(from));
            // A session removed by a later login of its user is ending: the message goes
            // to the user's live session.
            for (int i = 0; i < MAX_USERS; i++) {
                if (users[i].in_use == 1 && users[i].alive.load() == 1 &&
                    strcmp(users[i].name, m.to) == 0) {
                    target = {i, users_gen[i]};
                    memcpy(target_name, users[i].name, sizeof(target_name));
                    break;
                }
            }
        }
        if (target.slot >= 0) {
            logger.write("cmd_message", LOG_DEBUG, target_name);
            json_reply(reply->text, message_object(from, m.type, m.message));
            post_frame(target.slot, target.gen, TYPE_MESSAGE, reply->text);
            logger.write("cmd_message", LOG_DEBUG, reply->text);
            sent = true;
        }
    }

    pair[0] = result_object(sent ? "OK" : "FAIL");
    json_reply(reply->text, pair[0]);
    pair[0] = nullptr;
    logger.write("cmd_message", LOG_DEBUG, reply->text);
    // A message to oneself was queued first, and the queue is written before this frame.
    slot_send_text(slot, TYPE_REPLY, reply->text);
}

void cmd_mod(Data* reply, json_object** pair, int slot) {
    const char* text = json_text(pair[1], "MOD");
    if (!text) {
        // Without "MOD" the notice stays as it is.
        pair[0] = result_object("FAIL");
        json_reply(reply->text, pair[0]);
        pair[0] = nullptr;
        logger.write("cmd_mod", LOG_DEBUG, reply->text);
        slot_send_text(slot, TYPE_REPLY, reply->text);
        return;
    }
    char notice[MOD_SIZE];
    {
        std::lock_guard<std::mutex> g(mod_lock);
        copy_text(STR_MOD, text);  // cut at a character boundary within 255 bytes
        memcpy(notice, STR_MOD, sizeof(notice));
    }
    char who[NAME_SIZE];
    slot_name(slot, who);
    logger.writef("MOD", LOG_NOTICE, "%s(%d) %s", who, slot, notice);

    pair[0] = result_object("OK");
    json_reply(reply->text, pair[0]);
    pair[0] = nullptr;
    logger.write("cmd_mod", LOG_DEBUG, reply->text);
    slot_send_text(slot, TYPE_REPLY, reply->text);

    if (notice[0] == '\0') return;

    std::vector<Target> targets;
    targets.reserve(MAX_USERS);
    {
        std::lock_guard<std::mutex> g(users_lock);
        for (int i = 0; i < MAX_USERS; i++) {
            if (users[i].in_use != 1) continue;
            targets.push_back({{i, users_gen[i]}, {}});
            memcpy(targets.back().name, users[i].name, NAME_SIZE);
        }
    }
    json_reply(reply->text, message_object(USER_ADMIN, TYPE_NOTICE_MOD, notice));
    // One budget for the whole broadcast: however many peers are stuck, the caller's next
    // command waits at most POST_BUDGET_MS for them.
    using Clock = std::chrono::steady_clock;
    auto deadline = Clock::now() + std::chrono::milliseconds(POST_BUDGET_MS);
    for (const Target& t : targets) {
        logger.write("cmd_mod", LOG_DEBUG, t.name);
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        post_frame(t.ref.slot, t.ref.gen, TYPE_MESSAGE, reply->text,
                   left.count() > 0 ? static_cast<int>(left.count()) : 0);
        logger.write("cmd_mod", LOG_DEBUG, reply->text);
    }
}

void cmd_password(Data* reply, json_object** pair, int slot) {
    json_object* request = pair[1];
    const char* current = whole_text(request, "CURRENT");
    const char* fresh = whole_text(request, "NEW");

    UserInfo info;
    slot_name(slot, info.name);
    info.passwd[0] = '\0';
    if (info.name[0] != '\0') admin.get_user_info(&info);

    bool changed = false;
    // A session that has not logged in has no user whose password it could change.
    // A new password that a lookup could not hold could never be used to log in.
    if (info.name[0] != '\0' && current && fresh && strlen(fresh) <= MAX_PASSWD &&
        password_matches(info, current)) {
        int rows = 0;
        // Only a password really stored in this user's row counts as changed. A hashed row
        // gets a new hash, a plain row stays plain.
        changed = admin.change_password(info, fresh, &rows) == 0 && rows > 0;
    }

    if (changed)
        logger.writef("LOGIN", LOG_INFO, "%s(%d) 암호변경:%s", info.name, slot, "OK");
    else
        logger.writef("LOGIN", LOG_INFO, "%s(%d) 암호변경:%s", info.name, slot, TEXT_AUTH_FAILED);

    pair[0] = result_object(changed ? "OK" : "FAIL");
    json_reply(reply->text, pair[0]);
    pair[0] = nullptr;
    logger.write("cmd_password", LOG_DEBUG, reply->text);
}

namespace {

// A logged-in session as the watcher found it.
struct LiveSession {
    SlotRef ref;
    char name[NAME_SIZE];
};

// Reads the rows of the names that have logged-in sessions and applies them: a new level to
// the slot (the next command is judged by it), or, for a row that is gone or suspended, the
// end of the session with a notice that says why. A lookup that fails changes nothing.
void apply_account_rows() {
    account_reads++;
    std::vector<LiveSession> live;
    live.reserve(MAX_USERS);
    {
        std::lock_guard<std::mutex> g(users_lock);
        for (int i = 0; i < MAX_USERS; i++) {
            // A suspended account's LOGIN leaves its name with a level of 0 or below: that
            // session has not logged in and keeps nothing to lose.
            if (users[i].in_use != 1 || users[i].alive.load() != 1 || users[i].name[0] == '\0' ||
                users[i].level <= 0)
                continue;
            live.push_back({{i, users_gen[i]}, {}});
            memcpy(live.back().name, users[i].name, NAME_SIZE);
        }
    }
    std::sort(live.begin(), live.end(), [](const LiveSession& a, const LiveSession& b) {
        return strcmp(a.name, b.name) < 0;
    });
    char suspended[512], deleted[512];
    json_reply(suspended,
               message_object(USER_ADMIN, TYPE_NOTICE_ACCOUNT_CLOSED, TEXT_ACCOUNT_SUSPENDED));
    json_reply(deleted,
               message_object(USER_ADMIN, TYPE_NOTICE_ACCOUNT_CLOSED, TEXT_ACCOUNT_DELETED));
    struct Ended {
        SlotRef ref;
        bool found;
        const char* name;  // in live
    };
    std::vector<Ended> ended;
    UserInfo info;
    for (size_t at = 0; at < live.size();) {
        size_t next = at;
        while (next < live.size() && strcmp(live[next].name, live[at].name) == 0) next++;
        copy_text(info.name, live[at].name);
        if (admin.get_user_info(&info) == 0) {
            std::lock_guard<std::mutex> g(users_lock);
            for (size_t k = at; k < next; k++) {
                const SlotRef& r = live[k].ref;
                UserSlot& u = users[r.slot];
                // The slot may have been released, reclaimed, removed or logged in again as
                // someone else since the scan.
                if (u.in_use != 1 || users_gen[r.slot] != r.gen || u.alive.load() != 1 ||
                    strcmp(u.name, live[k].name) != 0)
                    continue;
                if (info.found && info.level > 0) {
                    u.level = info.level;
                    continue;
                }
                u.alive.store(0);
                queue_frame(r.slot, r.gen, TYPE_MESSAGE, info.found ? suspended : deleted);
                ended.push_back({r, info.found, live[k].name});
            }
        }
        at = next;
    }
    for (const Ended& e : ended) {
        end_session(e.ref);
        logger.writef("REMOVE", LOG_NOTICE, "%s(%d) %s", e.name, e.ref.slot,
                      e.found ? "account suspended" : "account deleted");
    }
}

void* account_watch(void*) {
    long long seen = 0;
    bool first = true;
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(ACCOUNT_WATCH_MS));
        long long version = 0;
        if (admin.users_version(&version) < 0) continue;
        bool changed = first || version != seen;
        first = false;
        seen = version;
        if (account_recheck.exchange(false)) changed = true;
        if (changed) apply_account_rows();
    }
    return nullptr;
}

}  // namespace

bool start_account_watch() { return start_thread(account_watch, nullptr) == 0; }
