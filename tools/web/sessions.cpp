// Signed-in browsers and their protocol connections.
//
// Threads and shared state
//   Session::io      one exchange at a time on a session's connection (HTTP threads, the
//                    watcher, the camera loop). busy is set while it is held for an exchange.
//                    Nobody waits for it longer than BUSY_WAIT_MS but a download's stream:
//                    an upload holds it as long as its body takes to arrive.
//   watcher          polls the connections of sessions that are not busy and reads the "21"
//                    frames (messages, notices, the notice of a login elsewhere) that arrive
//                    between exchanges; it only try_locks io, so it never waits behind one.
//   reaper           ends sessions idle longer than idle_seconds.
//   Session::ev_lock the event queue and end_reason; event streams wait on ev_cv.
// Lock order: Sessions::lock_ before io (the watcher only tries it); io before ev_lock.
#include <poll.h>

#include <json-c/json.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>

#include "web.h"

namespace web {

namespace {

const char* const USER_ADMIN = "관리자";
constexpr int TYPE_REPLACED = 1000;
constexpr int PROTOCOL_TIMEOUT_MS = 15000;

std::string login_command(const std::string& user, const std::string& password) {
    json_object* o = json_object_new_object();
    json_object_object_add(o, "CMD", json_object_new_string("LOGIN"));
    json_object_object_add(o, "VERSION", json_object_new_string("3.0.0"));
    json_object_object_add(o, "USERNAME",
                           json_object_new_string_len(user.data(), static_cast<int>(user.size())));
    json_object_object_add(
        o, "PASSWORD", json_object_new_string_len(password.data(), static_cast<int>(password.size())));
    std::string text = json_object_to_json_string(o);
    json_object_put(o);
    return text;
}

}  // namespace

bool recv_data(bh::Client& c, const char* type, uint64_t& length,
               const std::function<bool(const char*, size_t)>& sink, int timeout_ms) {
    for (;;) {
        std::string t, message;
        bool ok = c.recv_frame_to(t, length,
                                  [&](const char* d, size_t n) {
                                      if (t == "21") {
                                          // Messages are short; a long one is no message.
                                          if (message.size() + n > 65536) return false;
                                          message.append(d, n);
                                          return true;
                                      }
                                      return t == type && sink(d, n);
                                  },
                                  timeout_ms);
        if (!ok) return false;
        if (t == "21") {
            c.messages.push_back(bh::Frame{t, message});
            continue;
        }
        return t == type;
    }
}

Sessions::Sessions(const Settings& s) : settings_(s) {}

Sessions::~Sessions() { stop(); }

void Sessions::start() {
    running_ = true;
    watcher_ = std::thread([this] { watch(); });
    reaper_ = std::thread([this] { reap(); });
}

void Sessions::stop() {
    if (!running_.exchange(false)) return;
    if (watcher_.joinable()) watcher_.join();
    if (reaper_.joinable()) reaper_.join();
    std::map<std::string, SessionPtr> all;
    {
        std::lock_guard<std::mutex> g(lock_);
        all.swap(sessions_);
    }
    for (auto& [id, s] : all) end(s, "signed out");
}

size_t Sessions::count() {
    std::lock_guard<std::mutex> g(lock_);
    return sessions_.size();
}

Sessions::LoginResult Sessions::login(const std::string& user, const std::string& password,
                                      const std::string& addr, SessionPtr& out) {
    {
        // A user signing in again replaces the session they have, so needs no room of its own.
        std::lock_guard<std::mutex> g(lock_);
        size_t others = 0;
        for (auto& [id, o] : sessions_) others += o->user != user;
        if (others >= static_cast<size_t>(settings_.max_sessions)) return LoginResult::full;
    }
    auto s = std::make_shared<Session>();
    if (!connect(s->conn)) return LoginResult::unavailable;
    bh::Frame reply;
    if (!s->conn.command(login_command(user, password), reply, PROTOCOL_TIMEOUT_MS) ||
        reply.type != "11")
        return LoginResult::unavailable;
    std::string result = bh::json_member(reply.payload, "RESULT");
    if (result != "OK") {
        s->conn.close();
        return bh::json_member(reply.payload, "ERROR") == "200" ? LoginResult::suspended
                                                                : LoginResult::refused;
    }
    s->user = user;
    s->addr = addr;
    s->level = atoi(bh::json_member(reply.payload, "LEVEL").c_str());
    std::string mod = bh::json_member(reply.payload, "MOD");
    s->notice = mod == "NONE" ? "" : mod;
    // What the server offers beyond the base protocol; an older one answers FAIL.
    if (s->conn.command("{\"CMD\": \"FEATURES\"}", reply, PROTOCOL_TIMEOUT_MS) && reply.type == "11" &&
        bh::json_member(reply.payload, "RESULT") == "OK") {
        json_object* o = json_tokener_parse(reply.payload.c_str());
        json_object* list = nullptr;
        if (o && json_object_object_get_ex(o, "FEATURES", &list) &&
            json_object_is_type(list, json_type_array)) {
            for (size_t i = 0; i < json_object_array_length(list) && i < 32; i++) {
                json_object* f = json_object_array_get_idx(list, i);
                if (f && json_object_is_type(f, json_type_string))
                    s->features.push_back(json_object_get_string(f));
            }
        }
        if (o) json_object_put(o);
    } else if (!s->conn.connected()) {
        return LoginResult::unavailable;
    }
    s->id = random_token(32);
    s->csrf = random_token(32);
    s->last_used = now_seconds();
    // The server has ended the user's other protocol sessions: their browsers' sessions end
    // now, not when the watcher reads the server's notice, so they never take room meanwhile.
    std::vector<SessionPtr> replaced;
    bool full;
    {
        std::lock_guard<std::mutex> g(lock_);
        for (auto& [id, o] : sessions_)
            if (o->user == user) replaced.push_back(o);
        full = sessions_.size() - replaced.size() >= static_cast<size_t>(settings_.max_sessions);
        if (!full) sessions_[s->id] = s;
    }
    for (auto& o : replaced) end(o, "replaced");
    if (full) {
        s->conn.close();
        return LoginResult::full;
    }
    // Frames that came with the reply (a message sent at once) are delivered like later ones.
    std::deque<bh::Frame> early;
    {
        std::lock_guard<TimedLock> g(s->io);
        early.swap(s->conn.messages);
    }
    for (auto& f : early) deliver(s, f);
    out = s;
    return LoginResult::ok;
}

bool Sessions::connect(bh::Client& c) {
    if (!settings_.server_socket.empty()) {
        if (c.connect_local(settings_.server_socket, 5000)) {
            local_warned_ = false;
            return true;
        }
        // Said once, and again only after the socket has worked in between.
        if (!local_warned_.exchange(true))
            log_line("WARNING", "WEB", "the server's local socket cannot be reached (" + c.error() +
                                           "): sessions use TCP");
    }
    if (!c.connect(settings_.server_host, settings_.server_port, 5000)) return false;
    return secure(c);
}

namespace {

// The servers known by identity: in the state folder systemd gives the service
// (StateDirectory=), else in $XDG_STATE_HOME/boardhub as for the CLI.
std::string known_servers_file() {
    if (const char* d = getenv("STATE_DIRECTORY"); d && *d == '/') {
        std::string dir = d;
        return dir.substr(0, dir.find(':')) + "/known_servers";
    }
    return bh::default_known_servers();
}

}  // namespace

// Over TCP: encrypted when the server offers it, before the password is sent; a server whose
// identity changed gets no login.
bool Sessions::secure(bh::Client& c) {
    std::vector<std::string> features;
    if (!bh::features(c, &features)) return false;
    std::string key = settings_.server_host + ":" + std::to_string(settings_.server_port);
    bh::KnownServers store(known_servers_file());
    bh::Secured s = bh::secure(c, bh::TlsMode::automatic, features, key, store,
                               PROTOCOL_TIMEOUT_MS);
    switch (s.kind) {
        case bh::Secured::plain: return true;
        case bh::Secured::encrypted:
            if (s.added)
                log_line("NOTICE", "WEB", "new server " + key + ", identity " + s.fingerprint +
                                              " recorded in " + store.path());
            else if (!s.warning.empty())
                log_line("WARNING", "WEB", "new server " + key + ", identity " + s.fingerprint +
                                               " not recorded: " + s.warning);
            return true;
        case bh::Secured::changed:
            log_line("WARNING", "WEB",
                     "THE IDENTITY OF SERVER " + key + " HAS CHANGED: recorded " + s.recorded +
                         ", offered " + s.fingerprint +
                         "; no login is sent. If the new identity is right, remove line " +
                         std::to_string(s.line) + " of " + store.path());
            break;
        default:
            log_line("WARNING", "WEB", "cannot encrypt the connection to " + key + ": " + s.message);
            break;
    }
    c.close();
    return false;
}

std::string Sessions::gone(const std::string& id) {
    std::lock_guard<std::mutex> g(lock_);
    for (auto& [gid, reason] : gone_)
        if (!id.empty() && gid == id) return reason;
    return "";
}

SessionPtr Sessions::find(const std::string& id) {
    if (id.empty()) return nullptr;
    std::lock_guard<std::mutex> g(lock_);
    auto it = sessions_.find(id);
    if (it == sessions_.end()) return nullptr;
    return it->second;
}

void Sessions::push_event(const SessionPtr& s, const std::string& kind, const std::string& json) {
    std::lock_guard<std::mutex> g(s->ev_lock);
    Event e;
    e.seq = ++s->ev_seq;
    e.kind = kind;
    // Stamped with the time it arrived (seconds since the epoch), so that a page loaded later
    // shows when it came.
    e.json = json;
    if (json.size() > 2 && json[0] == '{')
        e.json = "{\"time\":" + std::to_string(static_cast<long long>(time(nullptr))) + "," +
                 json.substr(1);
    s->events.push_back(std::move(e));
    while (s->events.size() > Session::MAX_EVENTS) s->events.pop_front();
    s->ev_cv.notify_all();
}

void Sessions::end(const SessionPtr& s, const std::string& reason) {
    {
        std::lock_guard<std::mutex> g(lock_);
        auto it = sessions_.find(s->id);
        if (it != sessions_.end() && it->second == s) {
            sessions_.erase(it);
            gone_.emplace_back(s->id, reason);
            while (gone_.size() > 256) gone_.pop_front();
        }
    }
    if (s->ended.exchange(true)) return;
    {
        // An exchange that holds the connection longer (an upload on its way) sees ended and
        // closes the connection itself when it lets go.
        std::unique_lock<TimedLock> g(s->io, std::defer_lock);
        if (g.try_lock_for(std::chrono::milliseconds(BUSY_WAIT_MS))) {
            if (s->conn.connected() && reason != "replaced" && reason != "closed") {
                // LOGOUT ends the protocol session; its "BYE" is not waited for long.
                bh::Frame bye;
                s->conn.command("{\"CMD\": \"LOGOUT\"}", bye, 2000);
            }
            s->conn.close();
        }
    }
    std::lock_guard<std::mutex> g(s->ev_lock);
    s->end_reason = reason;
    s->ev_cv.notify_all();
    log_line("INFO", "WEB", s->user + " " + reason + " (" + s->addr + ")");
}

void Sessions::deliver(const SessionPtr& s, const bh::Frame& f) {
    json_object* o = json_tokener_parse(f.payload.c_str());
    if (!o || !json_object_is_type(o, json_type_object)) {
        if (o) json_object_put(o);
        return;
    }
    json_object *from = nullptr, *type = nullptr, *text = nullptr;
    json_object_object_get_ex(o, "FROM", &from);
    json_object_object_get_ex(o, "TYPE", &type);
    json_object_object_get_ex(o, "MESSAGE", &text);
    std::string sender = from ? json_object_get_string(from) : "";
    int t = type ? json_object_get_int(type) : 0;
    std::string message = text ? json_object_get_string(text) : "";
    json_object_put(o);
    bool from_server = sender == USER_ADMIN;
    if (from_server && t == TYPE_REPLACED) {
        // Another login of the same user took the protocol session: the server ends it.
        push_event(s, "message",
                   "{\"from\":" + json_text(sender) + ",\"type\":" + std::to_string(t) +
                       ",\"text\":" + json_text(message) + "}");
        end(s, "replaced");
        return;
    }
    if (from_server && t == 0) {
        {
            std::lock_guard<std::mutex> g(s->ev_lock);
            s->notice = message;
        }
        push_event(s, "notice", "{\"text\":" + json_text(message) + "}");
        return;
    }
    push_event(s, "message",
               "{\"from\":" + json_text(sender) + ",\"type\":" + std::to_string(t) +
                   ",\"text\":" + json_text(message) + "}");
}

Sessions::Exchange Sessions::exchange(const SessionPtr& s,
                                      const std::function<bool(bh::Client&)>& f, int wait_ms) {
    if (s->ended) return Exchange::failed;
    std::deque<bh::Frame> arrived;
    bool ok;
    {
        std::unique_lock<TimedLock> g(s->io, std::defer_lock);
        if (!g.try_lock_for(std::chrono::milliseconds(wait_ms))) return Exchange::busy;
        s->busy = true;
        ok = !s->ended && s->conn.connected() && f(s->conn);
        arrived.swap(s->conn.messages);
        if (!ok || s->ended) s->conn.close();  // an end that could not wait for io closes here
        s->busy = false;
    }
    for (auto& m : arrived) deliver(s, m);
    if (!ok) end(s, "closed");
    return ok ? Exchange::ok : Exchange::failed;
}

void Sessions::watch() {
    std::vector<SessionPtr> list;
    std::vector<struct pollfd> fds;
    std::vector<bool> pending;  // frames decrypted already, which poll() does not see
    while (running_) {
        list.clear();
        fds.clear();
        pending.clear();
        {
            std::lock_guard<std::mutex> g(lock_);
            for (auto& [id, s] : sessions_) {
                if (s->busy || s->ended) continue;
                // The descriptor is the exchange's to change: read it only when none runs.
                std::unique_lock<TimedLock> io(s->io, std::try_to_lock);
                if (!io.owns_lock()) continue;
                int fd = s->conn.fd();
                if (fd < 0) continue;
                list.push_back(s);
                fds.push_back({fd, POLLIN, 0});
                pending.push_back(s->conn.pending());
            }
        }
        bool any_pending = std::find(pending.begin(), pending.end(), true) != pending.end();
        // A short time-out: sessions come and go, and a busy one is looked at again soon.
        int n = poll(fds.data(), fds.size(), any_pending ? 0 : 100);
        for (size_t i = 0; i < fds.size(); i++)
            if (pending[i]) fds[i].revents |= POLLIN;
        if (n <= 0 && !any_pending) continue;
        for (size_t i = 0; i < fds.size(); i++) {
            if (!fds[i].revents) continue;
            SessionPtr& s = list[i];
            std::deque<bh::Frame> arrived;
            bool failed = false;
            {
                std::unique_lock<TimedLock> g(s->io, std::try_to_lock);
                if (!g.owns_lock() || s->busy || s->conn.fd() != fds[i].fd) continue;
                // Whatever is there: whole frames, each read to its end.
                for (;;) {
                    struct pollfd p = {s->conn.fd(), POLLIN, 0};
                    if (!s->conn.pending() && poll(&p, 1, 0) <= 0) break;
                    bh::Frame f;
                    if (!s->conn.recv_frame(f, 5000) || f.payload.size() > 65536) {
                        failed = true;
                        s->conn.close();
                        break;
                    }
                    if (f.type == "21") arrived.push_back(std::move(f));
                }
                if (s->ended) s->conn.close();  // an end that could not wait for io
            }
            for (auto& m : arrived) deliver(s, m);
            if (failed) end(s, "closed");
        }
    }
}

void Sessions::reap() {
    while (running_) {
        for (int i = 0; i < 10 && running_; i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        std::vector<SessionPtr> idle;
        int64_t now = now_seconds();
        {
            std::lock_guard<std::mutex> g(lock_);
            for (auto& [id, s] : sessions_)
                if (s->inflight == 0 && now - s->last_used >= settings_.idle_seconds)
                    idle.push_back(s);
        }
        for (auto& s : idle) end(s, "expired");
    }
}

}  // namespace web
