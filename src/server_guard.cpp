// The login guard's table: a fixed array scanned under one short-held lock. Nothing here waits
// on a socket or sleeps with the lock held; the delay itself is login_wait, run by the session
// thread with no lock at all.
#include "server_guard.h"

#include <poll.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>

#include "logger.h"
#include "server.h"

namespace {

struct Entry {
    char addr[48];  // dotted IPv4 or IPv6 text; empty when the entry is free
    unsigned failures;
    long long last;  // seconds on the guard's clock of the latest failure
};

std::mutex guard_lock;  // guards table
Entry table[LOGIN_GUARD_ENTRIES];
std::atomic<long long> clock_offset{0};

long long now_seconds() {
    using namespace std::chrono;
    return duration_cast<seconds>(steady_clock::now().time_since_epoch()).count() +
           clock_offset.load();
}

int delay_for(unsigned failures) {
    if (failures == 0) return 0;
    long long ms = LOGIN_DELAY_FIRST_MS;
    for (unsigned i = 1; i < failures && ms < LOGIN_DELAY_MAX_MS; i++) ms *= 2;
    return ms > LOGIN_DELAY_MAX_MS ? LOGIN_DELAY_MAX_MS : static_cast<int>(ms);
}

bool expired(const Entry& e, long long now) {
    return e.addr[0] != '\0' && now - e.last >= LOGIN_GUARD_FORGET_SECONDS;
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

// Caller holds guard_lock. A free or expired entry, else the one idle longest.
Entry* take_locked(long long now) {
    Entry* oldest = &table[0];
    for (auto& e : table) {
        if (e.addr[0] == '\0' || expired(e, now)) return &e;
        if (e.last < oldest->last) oldest = &e;
    }
    return oldest;
}

}  // namespace

int login_failed(const char* addr) {
    if (!addr) addr = "";
    long long now = now_seconds();
    int delay;
    {
        std::lock_guard<std::mutex> g(guard_lock);
        Entry* e = find_locked(addr, now);
        if (!e) {
            e = take_locked(now);
            copy_text(e->addr, addr);
            e->failures = 0;
        }
        if (e->failures < 64) e->failures++;
        e->last = now;
        delay = delay_for(e->failures);
    }
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

void login_wait(int sock, int ms) {
    using Clock = std::chrono::steady_clock;
    auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return;
        // POLLRDHUP only: a client that already sent its next frame must still wait.
        struct pollfd p = {sock, POLLRDHUP, 0};
        int n = poll(&p, 1, static_cast<int>(left));
        if (n < 0 && errno == EINTR) continue;
        if (n != 0) return;  // hung up, error, or a descriptor poll cannot watch
    }
}

void login_guard_reset() {
    std::lock_guard<std::mutex> g(guard_lock);
    for (auto& e : table) e.addr[0] = '\0';
}

void login_guard_advance(int seconds) { clock_offset += seconds; }
