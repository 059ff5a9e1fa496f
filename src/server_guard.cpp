// The login guard's table: a fixed array scanned under one short-held lock. Nothing here waits
// on a socket or sleeps with the lock held; the delay itself is login_wait, run by the session
// thread with no lock at all. Also who a peer is (identify_peer) and whether it is trusted.
#include "server_guard.h"

#include <arpa/inet.h>
#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "config.h"
#include "logger.h"
#include "server.h"

namespace {

struct Entry {
    char addr[48];  // dotted IPv4 or IPv6 text; empty when the entry is free
    unsigned failures;
    long long last;      // seconds on the guard's clock of the latest failure
    long long next_ms;   // milliseconds on the guard's clock before which no check may start
    bool busy;           // a password check of this address is in progress
};

std::mutex guard_lock;  // guards table
Entry table[LOGIN_GUARD_ENTRIES];
std::atomic<long long> clock_offset{0};

long long now_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count() +
           clock_offset.load() * 1000;
}

long long now_seconds() { return now_ms() / 1000; }

int delay_for(unsigned failures) {
    if (failures == 0) return 0;
    long long ms = LOGIN_DELAY_FIRST_MS;
    for (unsigned i = 1; i < failures && ms < LOGIN_DELAY_MAX_MS; i++) ms *= 2;
    return ms > LOGIN_DELAY_MAX_MS ? LOGIN_DELAY_MAX_MS : static_cast<int>(ms);
}

bool expired(const Entry& e, long long now) {
    return e.addr[0] != '\0' && !e.busy && now - e.last >= LOGIN_GUARD_FORGET_SECONDS;
}

// Caller holds guard_lock. The live entry of addr, or nullptr.
Entry* find_locked(const char* addr, long long now) {
    for (auto& e : table) {
        if (e.addr[0] == '\0' || strcmp(e.addr, addr) != 0) continue;
        if (expired(e, now)) {
            e.addr[0] = '\0';
            return nullptr;
        }
        return &e;
    }
    return nullptr;
}

// Caller holds guard_lock. A free or expired entry, else the one idle longest; never one with
// a check in progress. nullptr only when every entry has one.
Entry* take_locked(long long now) {
    Entry* oldest = nullptr;
    for (auto& e : table) {
        if (e.addr[0] == '\0' || expired(e, now)) return &e;
        if (!e.busy && (!oldest || e.last < oldest->last)) oldest = &e;
    }
    return oldest;
}

// Caller holds guard_lock. The entry of addr, made when missing (nullptr when none is free).
Entry* entry_locked(const char* addr, long long now) {
    Entry* e = find_locked(addr, now);
    if (e) return e;
    e = take_locked(now);
    if (!e) return nullptr;
    copy_text(e->addr, addr);
    e->failures = 0;
    e->last = now;
    e->next_ms = 0;
    e->busy = false;
    return e;
}

}  // namespace

int login_failed(const char* addr) {
    if (!addr) addr = "";
    long long now = now_seconds();
    int delay;
    {
        std::lock_guard<std::mutex> g(guard_lock);
        Entry* e = entry_locked(addr, now);
        if (e) {
            if (e->failures < 64) e->failures++;
            e->last = now;
            delay = delay_for(e->failures);
            e->next_ms = now_ms() + delay;
            e->busy = false;
        } else {
            delay = LOGIN_DELAY_MAX_MS;
        }
    }
    // Ban tools count these lines: never left out (one per delay of the peer at most).
    LogUnlimited unlimited;
    logger.writef("LOGIN", LOG_WARNING, "auth failure from %s", addr);
    return delay;
}

int login_delay_ms(const char* addr) {
    if (!addr) addr = "";
    std::lock_guard<std::mutex> g(guard_lock);
    Entry* e = find_locked(addr, now_seconds());
    return e ? delay_for(e->failures) : 0;
}

void login_succeeded(const char* addr) {
    if (!addr) addr = "";
    std::lock_guard<std::mutex> g(guard_lock);
    Entry* e = find_locked(addr, now_seconds());
    if (e) e->addr[0] = '\0';
}

bool login_turn(const char* addr, int sock) {
    if (!addr) addr = "";
    for (;;) {
        long long wait;
        {
            std::lock_guard<std::mutex> g(guard_lock);
            long long ms = now_ms();
            Entry* e = entry_locked(addr, ms / 1000);
            if (!e) return true;  // every entry busy: more checks than sessions cannot happen
            if (!e->busy && ms >= e->next_ms) {
                e->busy = true;
                return true;
            }
            // The holder of the turn ends within a lookup; a delay is waited out whole.
            wait = e->busy ? 20 : e->next_ms - ms;
        }
        if (!login_wait(sock, static_cast<int>(wait < 200 ? wait : 200))) return false;
    }
}

void login_release(const char* addr) {
    if (!addr) addr = "";
    std::lock_guard<std::mutex> g(guard_lock);
    Entry* e = find_locked(addr, now_seconds());
    if (!e) return;
    e->busy = false;
    if (e->failures == 0) e->addr[0] = '\0';
}

bool login_wait(int sock, int ms) {
    using Clock = std::chrono::steady_clock;
    auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return true;
        // POLLRDHUP only: a client that already sent its next frame must still wait.
        struct pollfd p = {sock, POLLRDHUP, 0};
        int n = poll(&p, 1, static_cast<int>(left));
        if (n < 0 && errno == EINTR) continue;
        if (n != 0) return false;  // hung up, error, or a descriptor poll cannot watch
    }
}

void login_guard_reset() {
    std::lock_guard<std::mutex> g(guard_lock);
    for (auto& e : table) e.addr[0] = '\0';
}

void login_guard_advance(int seconds) { clock_offset += seconds; }

ConnectionLimits connection_limits;

void read_connection_limits() {
    struct Setting {
        const char* key;
        int* value;
        long min;
        long max;
    };
    ConnectionLimits& l = connection_limits;
    const Setting settings[] = {
        {"login_timeout", &l.login_timeout, 1, 86400},
        {"frame_timeout", &l.frame_timeout, 1, 3600},
        {"prelogin_per_address", &l.prelogin_per_address, 1, MAX_USERS},
        {"prelogin_slots", &l.prelogin_slots, 1, MAX_USERS},
    };
    for (const Setting& st : settings) {
        try {
            *st.value = static_cast<int>(
                config.get_number("server", st.key, *st.value, st.min, st.max));
        } catch (const std::invalid_argument&) {
            refuse_setting("server", st.key,
                           "a whole number from " + std::to_string(st.min) + " to " +
                               std::to_string(st.max));
        }
    }
    read_trusted_peers();
}

namespace {

// Constant after start-up (read_trusted_peers).
std::vector<uid_t> trusted_uids;
std::vector<gid_t> trusted_gids;
std::vector<in_addr_t> trusted_addrs;

std::vector<std::string> split_list(const std::string& text) {
    std::vector<std::string> items;
    std::string item;
    for (char c : text + " ") {
        if (c == ',' || c == ' ' || c == '\t') {
            if (!item.empty()) items.push_back(item);
            item.clear();
        } else {
            item += c;
        }
    }
    return items;
}

// Whether a group of the peer (its group when it connected, then its supplementary groups as
// the kernel recorded them) is trusted.
bool in_trusted_group(int sock, gid_t primary) {
    if (trusted_gids.empty()) return false;
    auto trusted = [](gid_t g) {
        return std::find(trusted_gids.begin(), trusted_gids.end(), g) != trusted_gids.end();
    };
    if (trusted(primary)) return true;
    std::vector<gid_t> groups(64);
    for (int attempt = 0; attempt < 2; attempt++) {
        socklen_t len = static_cast<socklen_t>(groups.size() * sizeof(gid_t));
        if (getsockopt(sock, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &len) == 0) {
            groups.resize(len / sizeof(gid_t));
            return std::any_of(groups.begin(), groups.end(), trusted);
        }
        if (errno != ERANGE) return false;
        groups.resize(len / sizeof(gid_t) + 1);
    }
    return false;
}

}  // namespace

void read_trusted_peers() {
    const std::string names = config.get_value("server", "local_trusted");
    const bool set = config.get_section("server") &&
                     config.get_section("server")->entries.count("local_trusted") > 0;
    std::string unknown;
    for (const std::string& name : split_list(set ? names : "boardhub-web")) {
        std::vector<char> buf(16384);
        if (name[0] == '@') {
            struct group g, *found = nullptr;
            if (getgrnam_r(name.c_str() + 1, &g, buf.data(), buf.size(), &found) == 0 && found)
                trusted_gids.push_back(found->gr_gid);
            else
                unknown += " " + name;
        } else {
            struct passwd pw, *found = nullptr;
            if (getpwnam_r(name.c_str(), &pw, buf.data(), buf.size(), &found) == 0 && found)
                trusted_uids.push_back(found->pw_uid);
            else
                unknown += " " + name;
        }
    }
    if (set && !unknown.empty())
        logger.writef("configuration", LOG_WARNING, "local_trusted: no such user or group:%s",
                      unknown.c_str());
    for (const std::string& text : split_list(config.get_value("server", "trusted_addresses"))) {
        struct in_addr a;
        if (inet_pton(AF_INET, text.c_str(), &a) != 1) {
            fprintf(stderr, "configuration: \"%s\" in \"trusted_addresses\" is no IPv4 address\n",
                    text.c_str());
            exit(1);
        }
        trusted_addrs.push_back(a.s_addr);
    }
}

PeerId identify_peer(int sock) {
    PeerId id;
    copy_text(id.key, "unknown");
    id.local = false;
    id.trusted = false;
    struct sockaddr_storage peer;
    socklen_t peer_len = sizeof(peer);
    if (getpeername(sock, reinterpret_cast<sockaddr*>(&peer), &peer_len) != 0) return id;
    if (peer.ss_family == AF_INET) {
        const in_addr& a = reinterpret_cast<sockaddr_in*>(&peer)->sin_addr;
        if (inet_ntop(AF_INET, &a, id.key, sizeof(id.key)) == nullptr) copy_text(id.key, "unknown");
        id.trusted = std::find(trusted_addrs.begin(), trusted_addrs.end(), a.s_addr) !=
                     trusted_addrs.end();
    } else if (peer.ss_family == AF_UNIX) {
        id.local = true;
        struct ucred cred;
        socklen_t len = sizeof(cred);
        if (getsockopt(sock, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) return id;
        snprintf(id.key, sizeof(id.key), "local:%u", static_cast<unsigned>(cred.uid));
        id.trusted = cred.uid == 0 ||
                     std::find(trusted_uids.begin(), trusted_uids.end(), cred.uid) !=
                         trusted_uids.end() ||
                     in_trusted_group(sock, cred.gid);
    }
    return id;
}

bool exempt_peer(const PeerId& peer) { return peer.trusted; }

namespace {
std::mutex refusal_lock;
long long refusal_second = 0;
int refusal_lines = 0;
long long refusals_unlogged = 0;
}  // namespace

void log_refusal(const char* fmt, ...) {
    long long unlogged = 0;
    LogUnlimited unlimited;  // bounded here, whoever's thread writes it
    {
        std::lock_guard<std::mutex> g(refusal_lock);
        long long now = now_seconds();
        if (now != refusal_second) {
            refusal_second = now;
            refusal_lines = 0;
            unlogged = refusals_unlogged;
            refusals_unlogged = 0;
        }
        if (refusal_lines >= REFUSAL_LINES_PER_SECOND) {
            refusals_unlogged++;
            return;
        }
        refusal_lines++;
    }
    if (unlogged > 0)
        logger.writef("CLIENT", LOG_WARNING, "%lld more refused or timed-out connections not logged",
                      unlogged);
    char text[LOG_TEXT_SIZE];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof(text), fmt, ap);
    va_end(ap);
    logger.write("CLIENT", LOG_WARNING, text);
}
