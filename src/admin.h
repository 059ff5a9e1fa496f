// Account database: "users.db" (table users) and "group.db" (table groups), one SQLite
// connection each, shared by every session thread (SQLite in serialized mode). A lookup fills
// a record owned by its caller, so concurrent lookups never see each other's results.
#pragma once

#include <sqlite3.h>

#include <atomic>
#include <cstddef>
#include <shared_mutex>
#include <string>

// The longest password a client may give or set (the wire and stored plain rows rely on it).
constexpr size_t PASSWORD_MAX = 31;
// The longest stored value: a plain password, or a crypt hash of one.
constexpr size_t STORED_PASSWORD_MAX = 255;

struct UserInfo {
    char name[64];
    char phone[32];
    char mobile[32];
    char address[128];
    char office[64];
    char phone1[32];
    char fax[32];
    char memo[256];
    int level;
    char hostids[32];
    // As stored: a plain password of at most PASSWORD_MAX bytes, or a crypt hash (see
    // password_matches).
    char passwd[STORED_PASSWORD_MAX + 1];
    // A stored password that does not fit passwd: it can never match.
    bool passwd_overflow;
    // A row of that name was found (a name without one is nobody, whatever its password).
    bool found;
};

struct GroupInfo {
    char name[64];
    char memo[256];
    char members[10240];
};

// The exact statements that create a missing database's table.
extern const char* const CREATE_USERS_TABLE;
extern const char* const CREATE_GROUPS_TABLE;

class Admin {
public:
    Admin() = default;
    ~Admin() { close(); }
    Admin(const Admin&) = delete;
    Admin& operator=(const Admin&) = delete;

    // Open the database at path, creating it with its table when it cannot be opened. 0 or -1.
    int set_users_db(const char* path);
    int set_group_db(const char* path);
    // Look up info->name; every other field is emptied first. 0 when the query ran (whether
    // or not a row was found), -1 when it failed or the database is absent (the record is then
    // left empty). Text columns that do not fit their field are cut at a UTF-8 boundary, except
    // passwd, which is left empty with passwd_overflow set; NULL columns give empty texts.
    int get_user_info(UserInfo* info);
    // Same contract. A member list that does not fit is cut after its last whole name that
    // fits (at a ","), never inside a name, so the cut can not name a different user.
    int get_group_info(GroupInfo* info);
    // Sets passwd in every row named name. 0 when the statement ran, -1 on failure.
    // changed (optional) gets the number of rows changed.
    int set_password(const char* name, const char* passwd, int* changed = nullptr);
    // Sets a new password for info's user in the form info's stored one has: a hashed row gets
    // a new hash, a plain row the plain text. Same results as set_password; -1 also when no
    // hash could be made.
    int change_password(const UserInfo& info, const char* fresh, int* changed = nullptr);
    // SQLite's data version of users.db on the server's connection: it changes whenever
    // another connection (the admin tool) commits a change to the file. 0 or -1.
    int users_version(long long* version);
    // Closes both connections; later calls find them absent. Waits for lookups in progress,
    // so it is safe while session threads still look up.
    void close();

private:
    int open_db(sqlite3** db, const char* path, const char* create, const char* tag);

    // Shared by lookups, exclusive for close() and set_password (whose count of changed rows
    // is per connection). Queries themselves are serialised by SQLite.
    std::shared_mutex handles_lock;
    // Set by close() before it waits for handles_lock: lookups that start afterwards find the
    // connections absent without queueing as readers, so close() is never starved by them.
    std::atomic<bool> closing{false};
    sqlite3* users_db = nullptr;
    sqlite3* group_db = nullptr;
};

extern Admin admin;

// Whether a stored password is a crypt hash: longer than any plain password could be, in the
// "$id$..." form. Every other value is a plain password, compared byte for byte.
bool is_password_hash(const char* stored);
// Whether given (at most PASSWORD_MAX bytes) is the password of info's row. A hashed row is
// checked with crypt; at most HASHES_AT_ONCE checks hash at a time (each takes tens of
// milliseconds and about 16 MiB), and no other lock is held meanwhile.
bool password_matches(const UserInfo& info, const char* given);
constexpr int HASHES_AT_ONCE = 2;
// Checks given against a hash of the cost of new hashes and drops the result: a refused login
// whose name has no row (or a plain one) then costs what the refusal of a hashed row costs, so
// the time of a refusal does not tell which names have accounts. The hash is made once, by
// make_dummy_hash at start-up or by the first check.
void dummy_password_check(const char* given);
void make_dummy_hash();
// A new yescrypt hash of password with a random salt, as Debian hashes its own accounts'; ""
// when none could be made.
std::string hash_password(const char* password);

// Decimal conversion of a level column: leading white space and one sign allowed, stops at
// the first non-digit, no digits give 0; values beyond int are clamped.
int parse_level(const char* text);
