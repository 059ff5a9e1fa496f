// Login throttling per peer address: failed logins from one address are answered after a
// growing delay (1 s, doubling, at most 15 s); a success from that address resets it. The delay
// an address has earned also holds back its next password check, whichever connection sends
// it, and an address has at most one password check in progress: guessing over many
// connections is no faster than over one. A correct password is never refused (only held back
// like any other), and failures from one address never slow another.
// The table is fixed-size (no allocation per peer); old entries expire, and when it is full the
// entry idle longest is reused. All functions are thread-safe and never sleep with a lock held.
#pragma once

#include <cstddef>

#include "server.h"

constexpr int LOGIN_DELAY_FIRST_MS = 1000;
constexpr int LOGIN_DELAY_MAX_MS = 15000;
// Entries of the table (one per address with recent failures).
constexpr size_t LOGIN_GUARD_ENTRIES = 1024;
// An address without a failure for this long starts again from the first delay.
constexpr int LOGIN_GUARD_FORGET_SECONDS = 15 * 60;

// Records a failed login from addr, logs "auth failure from %s" (tag "LOGIN", level WARNING:
// the line that fail2ban and similar tools match), and returns how long to wait, in
// milliseconds, before the "FAIL" reply is sent: 1000 for the first failure, doubling up to
// LOGIN_DELAY_MAX_MS.
int login_failed(const char* addr);

// The delay earned by the failures recorded for addr so far: 0 with none, 1000 after one, 2000
// after two, ..., at most LOGIN_DELAY_MAX_MS. Records nothing.
int login_delay_ms(const char* addr);

// A successful login from addr forgets its failures.
void login_succeeded(const char* addr);

// Waits until addr may have a password checked: no other check of addr is in progress and the
// delay of its latest failure has passed. Then the turn is addr's until login_failed,
// login_succeeded or login_release. False (no turn taken) when the peer on sock hung up while
// waiting. Holds no lock while waiting.
bool login_turn(const char* addr, int sock);
// Gives the turn back without a result (a check that decided nothing about the password).
void login_release(const char* addr);

// Waits up to ms milliseconds, returning early when the peer on sock hangs up (so a client that
// gives up does not keep its slot for the whole delay). True when the whole time passed, false
// when the peer hung up. Holds no lock; call it with none held.
bool login_wait(int sock, int ms);

// Tests: empties the table; moves the guard's clock forward.
void login_guard_reset();
void login_guard_advance(int seconds);

// ---------------------------------------------------------------------------------------------
// Connections that have not logged in. Settings of the configuration's [server] section,
// read once by read_connection_limits before the first connection; constant afterwards.
struct ConnectionLimits {
    int login_timeout = 60;        // "login_timeout": seconds a connection may stay without a
                                   // login (a person may be typing a password)
    int frame_timeout = 30;        // "frame_timeout": seconds a started frame may take to arrive
    int prelogin_per_address = 5;  // "prelogin_per_address": connections one address may hold
                                   // before logging in
    int prelogin_slots = 100;      // "prelogin_slots": slots that connections not logged in may
                                   // hold together
};
extern ConnectionLimits connection_limits;

// Reads the settings above from the configuration; a value that is not a whole number in its
// range stops start-up (status 1) with a message naming the key. Missing keys keep defaults.
void read_connection_limits();

// Who is at the other end of a connection, as the login guard and the per-address limits see
// it. Over TCP a peer is its IPv4 address, 127.0.0.1 included: TCP cannot tell the users of a
// host apart. On the local socket the kernel names the peer's user (SO_PEERCRED): root and the
// users and groups of "local_trusted" are trusted, and every other local user is a peer of its
// own, keyed "local:UID", guarded like a LAN host.
struct PeerId {
    char key[PEER_KEY_SIZE];  // "192.168.0.7", "local:65534"; "unknown" when unreadable
    bool local;               // came through the local socket
    bool trusted;             // exempt: see exempt_peer
};
PeerId identify_peer(int sock);

// Trusted peers (root and "local_trusted" on the local socket, the addresses of
// "trusted_addresses" over TCP) are never slowed by the login guard and never counted by the
// per-address limits. Every other peer is.
bool exempt_peer(const PeerId& peer);

// Reads "local_trusted" (user names, and group names written "@group", separated by commas or
// blanks; default "boardhub-web") and "trusted_addresses" (IPv4 addresses; default none) of
// [server]. Names that do not exist are skipped (one WARNING when the key was set); an
// address that is not dotted IPv4 stops start-up (status 1). Called by read_connection_limits.
void read_trusted_peers();

// Logs one line (tag "CLIENT", WARNING) for a refused or timed-out connection. At most
// REFUSAL_LINES_PER_SECOND such lines are written in a second; the rest are counted and
// reported in one line when the next second starts, so a flood of connections cannot fill
// the disk with log lines.
constexpr int REFUSAL_LINES_PER_SECOND = 20;
void log_refusal(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
