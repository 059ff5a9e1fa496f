// Account database: opening (a missing file is created with its table), the user and group
// lookups and the password update. Every name and password reaches SQLite as a bound value;
// every column is copied into its field within the field's size.
#include "admin.h"

#include <crypt.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <semaphore>

#include "logger.h"
#include "utils.h"

Admin admin;

const char* const CREATE_USERS_TABLE =
    "CREATE TABLE users (name TEXT, phone TEXT, mobile TEXT, address TEXT, office TEXT, "
    "phone1 TEXT, fax TEXT, memo TEXT, level INT, hostids TEXT, passwd TEXT);";
const char* const CREATE_GROUPS_TABLE = "CREATE TABLE groups (name TEXT, memo TEXT, members TEXT);";

namespace {

// An administration tool writing a row locks the file for a moment; lookups wait this long
// for it instead of failing.
constexpr int BUSY_TIMEOUT_MS = 3000;

constexpr const char* NOT_OPEN = "database is not open";

// Without the library's own mutexes one connection cannot be shared: lookups then take the
// handle lock exclusively.
bool library_threadsafe() {
    static const bool threadsafe = sqlite3_threadsafe() != 0;
    return threadsafe;
}

// Holds the handle lock shared (or whole when the library is not thread-safe, or asked).
// A reader does not take it at all once closing is set: held() is then false.
class HandleGuard {
public:
    HandleGuard(std::shared_mutex& m, bool whole, const std::atomic<bool>* closing = nullptr)
        : m_(m), whole_(whole || !library_threadsafe()) {
        if (!whole && closing && closing->load()) return;
        held_ = true;
        if (whole_)
            m_.lock();
        else
            m_.lock_shared();
    }
    ~HandleGuard() {
        if (!held_) return;
        if (whole_)
            m_.unlock();
        else
            m_.unlock_shared();
    }
    bool held() const { return held_; }
    HandleGuard(const HandleGuard&) = delete;
    HandleGuard& operator=(const HandleGuard&) = delete;

private:
    std::shared_mutex& m_;
    bool whole_;
    bool held_ = false;
};

// Column i of the current row as text; nullptr for NULL, or for a column that a table made
// outside the server lacks. bytes gets the length (the text may hold NULs).
const char* column(sqlite3_stmt* st, int i, size_t* bytes) {
    *bytes = 0;
    if (i >= sqlite3_column_count(st)) return nullptr;
    const unsigned char* text = sqlite3_column_text(st, i);
    if (!text) return nullptr;
    *bytes = static_cast<size_t>(sqlite3_column_bytes(st, i));
    return reinterpret_cast<const char*>(text);
}

// Copies column i into a field of size bytes. NULL gives an empty text; a longer value is cut
// at a UTF-8 boundary. False when the value was not taken whole.
bool copy_column(char* dst, size_t size, sqlite3_stmt* st, int i) {
    size_t bytes;
    const char* text = column(st, i, &bytes);
    if (!text) {
        dst[0] = '\0';
        return true;
    }
    size_t len = strnlen(text, bytes);
    bool whole = len == bytes && len < size;
    if (len >= size) len = utf8_cut(text, len, size - 1);
    memcpy(dst, text, len);
    dst[len] = '\0';
    return whole;
}

// The row's first column equals name, byte for byte (a table made outside the server may
// compare names with another collation).
bool same_name(sqlite3_stmt* st, const char* name) {
    size_t bytes;
    const char* text = column(st, 0, &bytes);
    return text && bytes == strlen(name) && memcmp(text, name, bytes) == 0;
}

void fill_user(UserInfo* info, sqlite3_stmt* st) {
    if (!same_name(st, info->name)) return;
    // The last qualifying row wins whole; nothing of an earlier one stays.
    copy_column(info->phone, sizeof(info->phone), st, 1);
    copy_column(info->mobile, sizeof(info->mobile), st, 2);
    copy_column(info->address, sizeof(info->address), st, 3);
    copy_column(info->office, sizeof(info->office), st, 4);
    copy_column(info->phone1, sizeof(info->phone1), st, 5);
    copy_column(info->fax, sizeof(info->fax), st, 6);
    copy_column(info->memo, sizeof(info->memo), st, 7);
    size_t bytes;
    info->level = parse_level(column(st, 8, &bytes));
    copy_column(info->hostids, sizeof(info->hostids), st, 9);
    // A password cut to fit would let its prefix log in: it is kept out whole.
    info->passwd_overflow = !copy_column(info->passwd, sizeof(info->passwd), st, 10);
    if (info->passwd_overflow) info->passwd[0] = '\0';
    info->found = true;
}

void fill_group(GroupInfo* info, sqlite3_stmt* st) {
    if (!same_name(st, info->name)) return;
    copy_column(info->memo, sizeof(info->memo), st, 1);
    size_t bytes;
    const char* text = column(st, 2, &bytes);
    size_t len = text ? strnlen(text, bytes) : 0;
    if (text && (len != bytes || len >= sizeof(info->members))) {
        // Cut after the last whole name that fits, so no name is cut into another.
        len = std::min(len, sizeof(info->members) - 1);
        while (len > 0 && text[len] != ',') len--;
    }
    if (len > 0) memcpy(info->members, text, len);
    info->members[len] = '\0';
}

// Runs sql on db with values bound as ?1, ?2, ..., handing each row to on_row. The
// connection's mutex is held throughout, so its error text and count of changes are this
// statement's. 0, or -1 with the DEBUG line under tag.
template <class OnRow>
int run(sqlite3* db, const char* tag, const char* sql, std::initializer_list<const char*> values,
        OnRow on_row, int* changes = nullptr) {
    if (!db) {
        logger.write(tag, LOG_DEBUG, NOT_OPEN);
        return -1;
    }
    char error[256] = "";
    int result = 0;
    sqlite3_mutex* mutex = sqlite3_db_mutex(db);
    sqlite3_mutex_enter(mutex);
    sqlite3_stmt* st = nullptr;
    int rc = sqlite3_prepare_v2(db, sql, -1, &st, nullptr);
    if (rc == SQLITE_OK) {
        int i = 1;
        for (const char* value : values) {
            if (rc == SQLITE_OK) rc = sqlite3_bind_text(st, i++, value, -1, SQLITE_STATIC);
        }
    }
    if (rc == SQLITE_OK) {
        while ((rc = sqlite3_step(st)) == SQLITE_ROW) on_row(st);
        if (rc == SQLITE_DONE) rc = SQLITE_OK;
    }
    if (rc != SQLITE_OK) {
        snprintf(error, sizeof(error), "%s", sqlite3_errmsg(db));
        result = -1;
    } else if (changes) {
        *changes = sqlite3_changes(db);
    }
    sqlite3_finalize(st);
    sqlite3_mutex_leave(mutex);
    if (result < 0) logger.write(tag, LOG_DEBUG, error);
    return result;
}

// Creates a missing database file readable by its owner only; SQLite gives its journals the
// same mode. An existing file is left as it is.
void create_private(const char* path) {
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd >= 0) close(fd);
}

// Bounds the memory and processor time that concurrent logins of hashed rows can take.
std::counting_semaphore<HASHES_AT_ONCE> hash_slots(HASHES_AT_ONCE);

// Compares without stopping at the first difference.
bool same_bytes(const char* a, const char* b) {
    size_t la = strlen(a), lb = strlen(b);
    unsigned char diff = la == lb ? 0 : 1;
    for (size_t i = 0; i < la && i < lb; i++)
        diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

}  // namespace

bool is_password_hash(const char* stored) {
    return stored[0] == '$' && strlen(stored) > PASSWORD_MAX && strchr(stored + 1, '$');
}

namespace {

bool crypt_matches(const char* given, const char* stored) {
    auto data = std::make_unique<crypt_data>();
    hash_slots.acquire();
    const char* hashed = crypt_rn(given, stored, data.get(), sizeof(*data));
    bool match = hashed && same_bytes(hashed, stored);
    hash_slots.release();
    return match;
}

std::once_flag dummy_once;
std::string dummy_hash;  // written once under dummy_once

}  // namespace

bool password_matches(const UserInfo& info, const char* given) {
    if (info.passwd_overflow || strlen(given) > PASSWORD_MAX) return false;
    if (!is_password_hash(info.passwd)) return strcmp(info.passwd, given) == 0;
    return crypt_matches(given, info.passwd);
}

void make_dummy_hash() {
    std::call_once(dummy_once, [] { dummy_hash = hash_password("no row has this password"); });
}

void dummy_password_check(const char* given) {
    make_dummy_hash();
    if (dummy_hash.empty() || !given || strlen(given) > PASSWORD_MAX) return;
    crypt_matches(given, dummy_hash.c_str());
}

std::string hash_password(const char* password) {
    char* setting = crypt_gensalt_ra("$y$", 0, nullptr, 0);
    if (!setting) return "";
    auto data = std::make_unique<crypt_data>();
    hash_slots.acquire();
    const char* hashed = crypt_rn(password, setting, data.get(), sizeof(*data));
    std::string out = hashed && hashed[0] == '$' ? hashed : "";
    hash_slots.release();
    free(setting);
    return out;
}

int parse_level(const char* text) {
    if (!text) return 0;
    const char* p = text;
    while (isspace(static_cast<unsigned char>(*p))) p++;
    bool negative = *p == '-';
    if (*p == '-' || *p == '+') p++;
    long long value = 0;
    const long long limit = static_cast<long long>(INT_MAX) + 1;
    while (isdigit(static_cast<unsigned char>(*p))) {
        value = std::min(value * 10 + (*p - '0'), limit);
        p++;
    }
    if (negative) value = -value;
    return static_cast<int>(std::clamp<long long>(value, INT_MIN, INT_MAX));
}

int Admin::open_db(sqlite3** handle, const char* path, const char* create, const char* tag) {
    sqlite3* db = nullptr;
    int rc = sqlite3_open_v2(path, &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        sqlite3_close(db);
        db = nullptr;
        logger.write(tag, LOG_DEBUG, "Cannot open database. Create new one");
        create_private(path);
        rc = sqlite3_open_v2(path, &db,
                             SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                             nullptr);
        char* error = nullptr;
        if (rc == SQLITE_OK) rc = sqlite3_exec(db, create, nullptr, nullptr, &error);
        if (rc != SQLITE_OK) {
            logger.write(tag, LOG_DEBUG,
                         error ? error : db ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
            sqlite3_free(error);
            sqlite3_close(db);
            db = nullptr;
        }
    }
    if (db) sqlite3_busy_timeout(db, BUSY_TIMEOUT_MS);
    HandleGuard g(handles_lock, true);
    if (*handle) sqlite3_close_v2(*handle);
    *handle = db;
    closing = false;
    return db ? 0 : -1;
}

int Admin::set_users_db(const char* path) {
    return open_db(&users_db, path, CREATE_USERS_TABLE, "Admin:set_users_db");
}

int Admin::set_group_db(const char* path) {
    return open_db(&group_db, path, CREATE_GROUPS_TABLE, "Admin:set_group_db");
}

int Admin::get_user_info(UserInfo* info) {
    char name[sizeof(info->name)];
    memcpy(name, info->name, sizeof(name));
    name[sizeof(name) - 1] = '\0';
    memset(info, 0, sizeof(*info));
    memcpy(info->name, name, sizeof(name));

    HandleGuard g(handles_lock, false, &closing);
    int rc = run(g.held() ? users_db : nullptr, "Admin:get_user_info", "SELECT * FROM users WHERE name = ?1",
                 {info->name}, [info](sqlite3_stmt* st) { fill_user(info, st); });
    if (rc < 0) {
        // A query that failed after some rows finds nobody either.
        memset(info, 0, sizeof(*info));
        memcpy(info->name, name, sizeof(name));
    }
    return rc;
}

int Admin::get_group_info(GroupInfo* info) {
    info->name[sizeof(info->name) - 1] = '\0';
    info->memo[0] = '\0';
    info->members[0] = '\0';

    HandleGuard g(handles_lock, false, &closing);
    int rc = run(g.held() ? group_db : nullptr, "Admin:get_group_info", "SELECT * FROM groups WHERE name = ?1",
                 {info->name}, [info](sqlite3_stmt* st) { fill_group(info, st); });
    if (rc < 0) {
        info->memo[0] = '\0';
        info->members[0] = '\0';
    }
    return rc;
}

int Admin::set_password(const char* name, const char* passwd, int* changed) {
    int count = 0;
    HandleGuard g(handles_lock, false, &closing);
    int rc = run(g.held() ? users_db : nullptr, "Admin:set_password", "UPDATE users SET passwd = ?2 WHERE name = ?1",
                 {name, passwd}, [](sqlite3_stmt*) {}, &count);
    if (changed) *changed = rc == 0 ? count : 0;
    return rc;
}

int Admin::change_password(const UserInfo& info, const char* fresh, int* changed) {
    if (changed) *changed = 0;
    if (!is_password_hash(info.passwd)) return set_password(info.name, fresh, changed);
    std::string hashed = hash_password(fresh);
    if (hashed.empty()) {
        logger.write("Admin:change_password", LOG_ERROR, "no password hash could be made");
        return -1;
    }
    return set_password(info.name, hashed.c_str(), changed);
}

int Admin::users_version(long long* version) {
    HandleGuard g(handles_lock, false, &closing);
    return run(g.held() ? users_db : nullptr, "Admin:users_version", "PRAGMA data_version", {},
               [version](sqlite3_stmt* st) { *version = sqlite3_column_int64(st, 0); });
}

void Admin::close() {
    closing = true;
    HandleGuard g(handles_lock, true);
    if (users_db) sqlite3_close_v2(users_db);
    users_db = nullptr;
    if (group_db) sqlite3_close_v2(group_db);
    group_db = nullptr;
}
