// boardhub-admin: maintains "users.db" and "group.db", which the server only reads (apart from
// passwords). Every change runs in one immediate transaction with a busy time-out, so it is
// safe while the server has the files open; new files are readable by their owner only.
#include <crypt.h>
#include <getopt.h>
#include <pwd.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <fcntl.h>
#include <memory>
#include <string>
#include <iterator>
#include <map>
#include <vector>

#include "version.h"

namespace {

enum Exit { kOk = 0, kFailed = 1, kUsage = 2 };

// The server's exact table statements: its lookups read the columns by position.
constexpr const char* kUsersTable =
    "CREATE TABLE users (name TEXT, phone TEXT, mobile TEXT, address TEXT, office TEXT, "
    "phone1 TEXT, fax TEXT, memo TEXT, level INT, hostids TEXT, passwd TEXT);";
constexpr const char* kGroupsTable = "CREATE TABLE groups (name TEXT, memo TEXT, members TEXT);";

// The name the server's own notices come from: no user may take it.
constexpr const char* kServerName = "관리자";

// Field sizes of the server's lookup records, less the terminating NUL.
constexpr size_t kMaxName = 63;
constexpr size_t kMaxPassword = 31;
constexpr size_t kMaxMemo = 255;
constexpr size_t kMaxMembers = 10239;
constexpr int kBusyTimeoutMs = 10000;

const char* kHelp =
    "usage: boardhub-admin [-d DATA_DIR] init\n"
    "       boardhub-admin [-d DATA_DIR] user add NAME [--level N] [--memo TEXT] [--plain]\n"
    "       boardhub-admin [-d DATA_DIR] user del NAME\n"
    "       boardhub-admin [-d DATA_DIR] user list\n"
    "       boardhub-admin [-d DATA_DIR] user show NAME\n"
    "       boardhub-admin [-d DATA_DIR] user level NAME N\n"
    "       boardhub-admin [-d DATA_DIR] user passwd NAME [--plain]\n"
    "       boardhub-admin [-d DATA_DIR] user hash-all\n"
    "       boardhub-admin [-d DATA_DIR] group add NAME [MEMBER,...] [--memo TEXT]\n"
    "       boardhub-admin [-d DATA_DIR] group del NAME\n"
    "       boardhub-admin [-d DATA_DIR] group list\n"
    "       boardhub-admin [-d DATA_DIR] group members NAME [--set A,B | --add USER | --remove USER]\n"
    "       boardhub-admin [-c CONFIG] fingerprint\n"
    "       boardhub-admin --help | --version\n"
    "\n"
    "fingerprint prints the SHA-256 fingerprint of the server's TLS certificate: tls_cert of\n"
    "CONFIG (default /etc/boardhub/boardhub.ini), or tls-cert.pem in its data folder, or in\n"
    "DATA_DIR when that is given without -c.\n"
    "Maintains users.db and group.db in the data directory (default /var/lib/boardhub, or\n"
    "BOARDHUB_DATA). Only 'init' and the 'add' commands create a missing database, and only\n"
    "'init' and 'user add' a missing data directory. Safe while the server runs.\n"
    "\n"
    "Levels: 0 or less suspends the account; 1 reads every folder; 9 reads and writes every\n"
    "folder; any other level (default 5) is judged by the folders' access lists.\n"
    "Passwords (1 to 31 bytes) are asked for twice without echo on a terminal, or read as one\n"
    "line of standard input; never from the command line. They are stored as yescrypt hashes,\n"
    "or as they are with --plain (for programs that read users.db themselves); \"user hash-all\"\n"
    "hashes every password still stored as it is. Names have 1 to 63 bytes, without commas or\n"
    "control characters; the server's own name \"관리자\" is not a user's.\n"
    "\n"
    "Exit status: 0 done; 1 refused (no such user or group, already exists, database error);\n"
    "2 wrong command line or unusable input.\n";

struct Db {
    sqlite3* handle = nullptr;
    ~Db() {
        if (handle) sqlite3_close(handle);
    }
};

struct Stmt {
    sqlite3_stmt* handle = nullptr;
    ~Stmt() {
        if (handle) sqlite3_finalize(handle);
    }
};

bool valid_name(const std::string& name, const char* what) {
    if (name.empty() || name.size() > kMaxName) {
        fprintf(stderr, "boardhub-admin: a %s name has 1 to %zu bytes\n", what, kMaxName);
        return false;
    }
    for (unsigned char c : name) {
        // A comma would split a group's member list; a line end would split an access file.
        if (c < 0x20 || c == 0x7f || c == ',') {
            fprintf(stderr, "boardhub-admin: a %s name may not hold commas or control characters\n",
                    what);
            return false;
        }
    }
    return true;
}

// The value to store for a password: a yescrypt hash (with a fresh random salt), or the
// password itself when plain. False when no hash could be made.
bool stored_password(const std::string& password, bool plain, std::string& out) {
    if (plain) {
        out = password;
        return true;
    }
    char* setting = crypt_gensalt_ra("$y$", 0, nullptr, 0);
    auto data = std::make_unique<crypt_data>();
    const char* hashed =
        setting ? crypt_rn(password.c_str(), setting, data.get(), sizeof(*data)) : nullptr;
    free(setting);
    if (!hashed || hashed[0] != '$') {
        fprintf(stderr, "boardhub-admin: cannot hash the password: %s\n", strerror(errno));
        return false;
    }
    out = hashed;
    return true;
}

// A stored value the server takes as a plain password: every value that is not a hash (a
// hash is longer than any password, in the "$id$..." form).
bool is_plain(const std::string& stored) {
    return !(stored.size() > kMaxPassword && stored[0] == '$' &&
             stored.find('$', 1) != std::string::npos);
}

bool read_line(int fd, std::string& out) {
    out.clear();
    char c;
    bool got = false;
    while (read(fd, &c, 1) == 1) {
        got = true;
        if (c == '\n') break;
        out += c;
    }
    if (!out.empty() && out.back() == '\r') out.pop_back();
    return got;
}

bool prompt_secret(int fd, const char* prompt, std::string& out) {
    struct termios saved;
    bool restore = tcgetattr(fd, &saved) == 0;
    if (restore) {
        struct termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(fd, TCSAFLUSH, &quiet);
    }
    if (write(fd, prompt, strlen(prompt)) < 0) {
    }
    bool got = read_line(fd, out);
    if (restore) tcsetattr(fd, TCSAFLUSH, &saved);
    if (write(fd, "\n", 1) < 0) {
    }
    return got;
}

// A new password: twice without echo on a terminal, else one line of standard input.
bool read_password(const std::string& user, std::string& out) {
    if (isatty(STDIN_FILENO)) {
        int fd = open("/dev/tty", O_RDWR | O_CLOEXEC);
        if (fd < 0) fd = STDIN_FILENO;
        std::string prompt = "Password for " + user + ": ", again;
        bool ok = prompt_secret(fd, prompt.c_str(), out) &&
                  prompt_secret(fd, "Password again: ", again);
        if (fd != STDIN_FILENO) close(fd);
        if (!ok) {
            fprintf(stderr, "boardhub-admin: no password given\n");
            return false;
        }
        if (out != again) {
            fprintf(stderr, "boardhub-admin: the passwords differ\n");
            return false;
        }
    } else if (!read_line(STDIN_FILENO, out)) {
        fprintf(stderr, "boardhub-admin: no password on standard input\n");
        return false;
    }
    if (out.empty() || out.size() > kMaxPassword) {
        fprintf(stderr, "boardhub-admin: a password has 1 to %zu bytes\n", kMaxPassword);
        return false;
    }
    return true;
}

bool exec(Db& db, const char* sql) {
    char* err = nullptr;
    if (sqlite3_exec(db.handle, sql, nullptr, nullptr, &err) != SQLITE_OK) {
        fprintf(stderr, "boardhub-admin: %s\n", err ? err : sqlite3_errmsg(db.handle));
        sqlite3_free(err);
        return false;
    }
    return true;
}

bool prepare(Db& db, Stmt& st, const char* sql) {
    if (sqlite3_prepare_v2(db.handle, sql, -1, &st.handle, nullptr) != SQLITE_OK) {
        fprintf(stderr, "boardhub-admin: %s\n", sqlite3_errmsg(db.handle));
        return false;
    }
    return true;
}

void bind(Stmt& st, int index, const std::string& text) {
    sqlite3_bind_text(st.handle, index, text.data(), static_cast<int>(text.size()),
                      SQLITE_TRANSIENT);
}

std::string column(Stmt& st, int index) {
    const unsigned char* t = sqlite3_column_text(st.handle, index);
    return t ? reinterpret_cast<const char*>(t) : "";
}

// What opening a database may create: a mistyped -d must not leave a folder of empty
// databases behind and answer as if all were well.
enum class Create { kNothing, kFile, kFolderAndFile };

// Why a database cannot be opened, with what to do about it.
void explain_open_failure(const std::string& dir, const std::string& path, int err) {
    if (err == EACCES || err == EPERM)
        fprintf(stderr,
                "boardhub-admin: cannot open %s: permission denied (run as root, or as the data "
                "directory's owner: sudo -u %s boardhub-admin ...)\n",
                path.c_str(), [&] {
                    struct stat st;
                    struct passwd* pw = stat(dir.c_str(), &st) == 0 ? getpwuid(st.st_uid) : nullptr;
                    return pw ? pw->pw_name : "boardhub";
                }());
    else
        fprintf(stderr, "boardhub-admin: cannot open %s: %s\n", path.c_str(), strerror(err));
}

// Opens one database and starts an immediate transaction, so that a read-modify-write cannot
// interleave with another writer. The table is created with the server's statement when it is
// missing.
bool open_db(const std::string& dir, const char* file, const char* table, const char* create,
             Db& db, Create may = Create::kNothing) {
    struct stat dir_st;
    if (stat(dir.c_str(), &dir_st) != 0) {
        if (errno != ENOENT || may != Create::kFolderAndFile) {
            fprintf(stderr,
                    "boardhub-admin: no data directory %s (%s); 'boardhub-admin -d %s init' "
                    "creates one\n",
                    dir.c_str(), strerror(errno), dir.c_str());
            return false;
        }
        if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
            fprintf(stderr, "boardhub-admin: cannot create %s: %s\n", dir.c_str(), strerror(errno));
            return false;
        }
    }
    std::string path = dir + "/" + file;
    struct stat file_st;
    bool existed = stat(path.c_str(), &file_st) == 0;
    if (!existed && errno == EACCES) {
        explain_open_failure(dir, path, EACCES);
        return false;
    }
    if (!existed && may == Create::kNothing) {
        fprintf(stderr, "boardhub-admin: no %s in %s; 'boardhub-admin -d %s init' creates it\n",
                file, dir.c_str(), dir.c_str());
        return false;
    }
    if (existed && access(path.c_str(), R_OK | W_OK) != 0) {
        explain_open_failure(dir, path, errno);
        return false;
    }
    if (sqlite3_open_v2(path.c_str(), &db.handle, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                        nullptr) != SQLITE_OK) {
        int err = db.handle ? sqlite3_system_errno(db.handle) : 0;
        if (err)
            explain_open_failure(dir, path, err);
        else
            fprintf(stderr, "boardhub-admin: cannot open %s: %s\n", path.c_str(),
                    db.handle ? sqlite3_errmsg(db.handle) : "out of memory");
        return false;
    }
    sqlite3_busy_timeout(db.handle, kBusyTimeoutMs);
    // Run as root on an installed system, a new file goes to the owner of the data directory
    // (the service's user), or the server could not read it.
    if (!existed && geteuid() == 0 && stat(dir.c_str(), &dir_st) == 0 &&
        chown(path.c_str(), dir_st.st_uid, dir_st.st_gid) != 0) {
        fprintf(stderr, "boardhub-admin: cannot hand %s to its folder's owner: %s\n",
                path.c_str(), strerror(errno));
    }
    if (!exec(db, "BEGIN IMMEDIATE")) return false;
    Stmt st;
    if (!prepare(db, st, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?1"))
        return false;
    bind(st, 1, table);
    bool exists = sqlite3_step(st.handle) == SQLITE_ROW;
    if (!exists && !exec(db, create)) return false;
    return true;
}

bool commit(Db& db) { return exec(db, "COMMIT"); }

bool open_users(const std::string& dir, Db& db, Create may = Create::kNothing) {
    return open_db(dir, "users.db", "users", kUsersTable, db, may);
}
bool open_groups(const std::string& dir, Db& db, Create may = Create::kNothing) {
    return open_db(dir, "group.db", "groups", kGroupsTable, db, may);
}

bool exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// Columns on a terminal: a Korean syllable takes two, a combining mark none.
int display_width(const std::string& text) {
    static const bool utf8 = setlocale(LC_CTYPE, "C.UTF-8") != nullptr;
    if (!utf8) return static_cast<int>(text.size());
    mbstate_t state{};
    int width = 0;
    const char* p = text.data();
    size_t left = text.size();
    while (left > 0) {
        wchar_t wc;
        size_t n = mbrtowc(&wc, p, left, &state);
        if (n == 0 || n == static_cast<size_t>(-1) || n == static_cast<size_t>(-2)) {
            width++;  // a stray byte: one column, as a terminal shows its replacement
            state = mbstate_t{};
            p++;
            left--;
            continue;
        }
        int w = wcwidth(wc);
        width += w < 0 ? 1 : w;
        p += n;
        left -= n;
    }
    return width;
}

// text left-aligned in a column of the given width (never cut).
std::string pad(const std::string& text, int width) {
    int w = display_width(text);
    return text + std::string(w < width ? static_cast<size_t>(width - w) : 0, ' ');
}

// Members that are no user (yet) are kept, as the server matches names only; a warning
// catches a typing error.
void warn_unknown_members(const std::string& dir, const std::vector<std::string>& members) {
    if (members.empty() || !exists(dir + "/users.db")) return;
    sqlite3* db = nullptr;
    std::string path = dir + "/users.db";
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_busy_timeout(db, kBusyTimeoutMs);
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(db, "SELECT 1 FROM users WHERE name = ?1", -1, &st, nullptr) ==
            SQLITE_OK) {
            for (const auto& m : members) {
                sqlite3_reset(st);
                sqlite3_bind_text(st, 1, m.data(), static_cast<int>(m.size()), SQLITE_TRANSIENT);
                if (sqlite3_step(st) == SQLITE_DONE)
                    fprintf(stderr, "boardhub-admin: warning: %s is no user (kept as a member)\n",
                            m.c_str());
            }
        }
        sqlite3_finalize(st);
    }
    sqlite3_close(db);
}

int count_rows(Db& db, const char* sql, const std::string& name) {
    Stmt st;
    if (!prepare(db, st, sql)) return -1;
    bind(st, 1, name);
    if (sqlite3_step(st.handle) != SQLITE_ROW) return -1;
    return sqlite3_column_int(st.handle, 0);
}

bool parse_level(const std::string& text, int& level) {
    char* end = nullptr;
    errno = 0;
    long v = strtol(text.c_str(), &end, 10);
    if (text.empty() || *end || errno || v < -1000000 || v > 1000000) {
        fprintf(stderr, "boardhub-admin: bad level '%s'\n", text.c_str());
        return false;
    }
    // Nothing is above 9 (every folder readable and writable): a higher level would read as
    // more than it gives.
    if (v > 9) {
        fprintf(stderr,
                "boardhub-admin: level %ld is above 9, the highest (9 reads and writes every "
                "folder)\n",
                v);
        return false;
    }
    level = static_cast<int>(v);
    return true;
}

std::vector<std::string> split_members(const std::string& list) {
    std::vector<std::string> out;
    size_t pos = 0;
    while (pos <= list.size()) {
        size_t comma = list.find(',', pos);
        if (comma == std::string::npos) comma = list.size();
        std::string item = list.substr(pos, comma - pos);
        if (!item.empty()) out.push_back(item);
        pos = comma + 1;
    }
    return out;
}

std::string join_members(const std::vector<std::string>& members) {
    std::string out;
    for (const auto& m : members) out += (out.empty() ? "" : ",") + m;
    return out;
}

// ---- users ----

// The groups of each user as "a, b" (group.db order); empty when group.db is missing.
std::map<std::string, std::string> groups_by_user(const std::string& dir) {
    std::map<std::string, std::string> groups;
    Db gdb;
    if (!exists(dir + "/group.db") || !open_groups(dir, gdb)) return groups;
    Stmt st;
    if (prepare(gdb, st, "SELECT name, members FROM groups ORDER BY rowid")) {
        while (sqlite3_step(st.handle) == SQLITE_ROW) {
            std::string group = column(st, 0);
            for (const auto& m : split_members(column(st, 1))) {
                std::string& list = groups[m];
                list += (list.empty() ? "" : ", ") + group;
            }
        }
    }
    commit(gdb);
    return groups;
}

// A line without the blanks that padding left at its end.
void print_line(std::string line) {
    line.erase(line.find_last_not_of(' ') + 1);
    printf("%s\n", line.c_str());
}

int user_add(const std::string& dir, const std::string& name, int level, const std::string& memo,
             bool plain) {
    if (!valid_name(name, "user")) return kUsage;
    if (name == kServerName) {
        fprintf(stderr, "boardhub-admin: \"%s\" is the server's own name\n", kServerName);
        return kUsage;
    }
    if (memo.size() > kMaxMemo) {
        fprintf(stderr, "boardhub-admin: a memo has at most %zu bytes\n", kMaxMemo);
        return kUsage;
    }
    std::string password, stored;
    if (!read_password(name, password)) return kUsage;
    if (!stored_password(password, plain, stored)) return kFailed;
    Db db;
    if (!open_users(dir, db, Create::kFolderAndFile)) return kFailed;
    int n = count_rows(db, "SELECT COUNT(*) FROM users WHERE name = ?1", name);
    if (n < 0) return kFailed;
    if (n > 0) {
        fprintf(stderr, "boardhub-admin: user %s already exists\n", name.c_str());
        return kFailed;
    }
    Stmt st;
    if (!prepare(db, st,
                 "INSERT INTO users (name, phone, mobile, address, office, phone1, fax, memo, "
                 "level, hostids, passwd) VALUES (?1, '', '', '', '', '', '', ?2, ?3, '', ?4)"))
        return kFailed;
    bind(st, 1, name);
    bind(st, 2, memo);
    sqlite3_bind_int(st.handle, 3, level);
    bind(st, 4, stored);
    if (sqlite3_step(st.handle) != SQLITE_DONE) {
        fprintf(stderr, "boardhub-admin: %s\n", sqlite3_errmsg(db.handle));
        return kFailed;
    }
    if (!commit(db)) return kFailed;
    printf("user %s added (level %d)\n", name.c_str(), level);
    return kOk;
}

// Deletes the rows named name and commits; false (with the reason on stderr) when the
// statement failed or no row had that name.
bool delete_named(Db& db, const char* sql, const char* what, const std::string& name) {
    Stmt st;
    if (!prepare(db, st, sql)) return false;
    bind(st, 1, name);
    if (sqlite3_step(st.handle) != SQLITE_DONE) {
        fprintf(stderr, "boardhub-admin: %s\n", sqlite3_errmsg(db.handle));
        return false;
    }
    if (sqlite3_changes(db.handle) == 0) {
        fprintf(stderr, "boardhub-admin: no %s %s\n", what, name.c_str());
        return false;
    }
    return commit(db);
}

int user_del(const std::string& dir, const std::string& name) {
    Db db;
    if (!open_users(dir, db)) return kFailed;
    if (!delete_named(db, "DELETE FROM users WHERE name = ?1", "user", name)) return kFailed;
    // The name leaves every group too, so that a later user of that name inherits nothing.
    Db gdb;
    if (exists(dir + "/group.db") && open_groups(dir, gdb)) {
        Stmt sel;
        std::vector<std::pair<std::string, std::string>> changed;
        if (prepare(gdb, sel, "SELECT rowid, members FROM groups")) {
            while (sqlite3_step(sel.handle) == SQLITE_ROW) {
                std::vector<std::string> members = split_members(column(sel, 1)), kept;
                for (const auto& m : members)
                    if (m != name) kept.push_back(m);
                if (kept.size() != members.size())
                    changed.emplace_back(column(sel, 0), join_members(kept));
            }
        }
        for (const auto& c : changed) {
            Stmt up;
            if (!prepare(gdb, up, "UPDATE groups SET members = ?2 WHERE rowid = ?1")) break;
            bind(up, 1, c.first);
            bind(up, 2, c.second);
            sqlite3_step(up.handle);
        }
        commit(gdb);
    }
    printf("user %s deleted\n", name.c_str());
    return kOk;
}

int user_list(const std::string& dir) {
    Db db;
    if (!open_users(dir, db)) return kFailed;
    Stmt st;
    if (!prepare(db, st, "SELECT name, level, memo FROM users ORDER BY name")) return kFailed;
    std::map<std::string, std::string> groups = groups_by_user(dir);
    char level[16];
    print_line(pad("NAME", 24) + "  LEVEL  " + pad("GROUPS", 24) + "  MEMO");
    while (sqlite3_step(st.handle) == SQLITE_ROW) {
        std::string name = column(st, 0);
        snprintf(level, sizeof(level), "%6d", sqlite3_column_int(st.handle, 1));
        print_line(pad(name, 24) + " " + level + "  " + pad(groups[name], 24) + "  " +
                   column(st, 2));
    }
    commit(db);
    return kOk;
}

int user_show(const std::string& dir, const std::string& name) {
    Db db;
    if (!open_users(dir, db)) return kFailed;
    Stmt st;
    // Only what the commands set; the other columns exist for the server's row layout.
    if (!prepare(db, st, "SELECT name, level, memo, passwd FROM users WHERE name = ?1"))
        return kFailed;
    bind(st, 1, name);
    static const char* labels[] = {"name", "level", "memo"};
    bool found = false;
    while (sqlite3_step(st.handle) == SQLITE_ROW) {
        found = true;
        for (int i = 0; i < 3; i++) printf("%-9s%s\n", labels[i], column(st, i).c_str());
        std::string groups = groups_by_user(dir)[name];
        printf("%-9s%s\n", "groups", groups.empty() ? "(none)" : groups.c_str());
        std::string stored = column(st, 3);
        printf("%-9s%s\n", "password",
               stored.empty() ? "(empty)" : is_plain(stored) ? "(set, stored plain)" : "(set, hashed)");
    }
    commit(db);
    if (!found) {
        fprintf(stderr, "boardhub-admin: no user %s\n", name.c_str());
        return kFailed;
    }
    return kOk;
}

int user_update(const std::string& dir, const std::string& name, const char* sql,
                const std::string& value, bool integer, const char* done) {
    Db db;
    if (!open_users(dir, db)) return kFailed;
    Stmt st;
    if (!prepare(db, st, sql)) return kFailed;
    bind(st, 1, name);
    if (integer)
        sqlite3_bind_int(st.handle, 2, atoi(value.c_str()));
    else
        bind(st, 2, value);
    if (sqlite3_step(st.handle) != SQLITE_DONE) {
        fprintf(stderr, "boardhub-admin: %s\n", sqlite3_errmsg(db.handle));
        return kFailed;
    }
    if (sqlite3_changes(db.handle) == 0) {
        fprintf(stderr, "boardhub-admin: no user %s\n", name.c_str());
        return kFailed;
    }
    if (!commit(db)) return kFailed;
    printf("user %s: %s\n", name.c_str(), done);
    return kOk;
}

// Hashes every password still stored as it is (empty ones stay empty: there is nothing to
// hide, and an empty password keeps working either way).
int user_hash_all(const std::string& dir) {
    Db db;
    if (!open_users(dir, db)) return kFailed;
    std::vector<std::pair<std::string, std::string>> rows;  // rowid, password
    {
        Stmt st;
        if (!prepare(db, st, "SELECT rowid, passwd FROM users")) return kFailed;
        while (sqlite3_step(st.handle) == SQLITE_ROW) {
            std::string stored = column(st, 1);
            if (!stored.empty() && stored.size() <= kMaxPassword && is_plain(stored))
                rows.emplace_back(column(st, 0), stored);
        }
    }
    for (const auto& [rowid, password] : rows) {
        std::string hashed;
        if (!stored_password(password, false, hashed)) return kFailed;  // rolled back
        Stmt up;
        if (!prepare(db, up, "UPDATE users SET passwd = ?2 WHERE rowid = ?1")) return kFailed;
        bind(up, 1, rowid);
        bind(up, 2, hashed);
        if (sqlite3_step(up.handle) != SQLITE_DONE) {
            fprintf(stderr, "boardhub-admin: %s\n", sqlite3_errmsg(db.handle));
            return kFailed;
        }
    }
    if (!commit(db)) return kFailed;
    printf("%zu password%s hashed\n", rows.size(), rows.size() == 1 ? "" : "s");
    return kOk;
}

// ---- groups ----

int group_add(const std::string& dir, const std::string& name, const std::string& members,
              const std::string& memo) {
    if (!valid_name(name, "group")) return kUsage;
    std::vector<std::string> list = split_members(members);
    for (const auto& m : list)
        if (!valid_name(m, "user")) return kUsage;
    std::string joined = join_members(list);
    if (joined.size() > kMaxMembers || memo.size() > kMaxMemo) {
        fprintf(stderr, "boardhub-admin: member list or memo too long\n");
        return kUsage;
    }
    Db db;
    if (!open_groups(dir, db, Create::kFile)) return kFailed;
    int n = count_rows(db, "SELECT COUNT(*) FROM groups WHERE name = ?1", name);
    if (n < 0) return kFailed;
    if (n > 0) {
        fprintf(stderr, "boardhub-admin: group %s already exists\n", name.c_str());
        return kFailed;
    }
    Stmt st;
    if (!prepare(db, st, "INSERT INTO groups (name, memo, members) VALUES (?1, ?2, ?3)"))
        return kFailed;
    bind(st, 1, name);
    bind(st, 2, memo);
    bind(st, 3, joined);
    if (sqlite3_step(st.handle) != SQLITE_DONE) {
        fprintf(stderr, "boardhub-admin: %s\n", sqlite3_errmsg(db.handle));
        return kFailed;
    }
    if (!commit(db)) return kFailed;
    printf("group %s added\n", name.c_str());
    warn_unknown_members(dir, list);
    return kOk;
}

int group_del(const std::string& dir, const std::string& name) {
    Db db;
    if (!open_groups(dir, db)) return kFailed;
    if (!delete_named(db, "DELETE FROM groups WHERE name = ?1", "group", name)) return kFailed;
    printf("group %s deleted\n", name.c_str());
    return kOk;
}

int group_list(const std::string& dir) {
    Db db;
    if (!open_groups(dir, db)) return kFailed;
    Stmt st;
    if (!prepare(db, st, "SELECT name, members, memo FROM groups ORDER BY name")) return kFailed;
    printf("%-24s %s\n", "NAME", "MEMBERS");
    while (sqlite3_step(st.handle) == SQLITE_ROW)
        printf("%-24s %s\n", column(st, 0).c_str(), column(st, 1).c_str());
    commit(db);
    return kOk;
}

// Shows the members, or changes them: mode "set", "add" or "remove" with its argument.
int group_members(const std::string& dir, const std::string& name, const std::string& mode,
                  const std::string& arg) {
    Db db;
    if (!open_groups(dir, db)) return kFailed;
    Stmt st;
    if (!prepare(db, st, "SELECT members FROM groups WHERE name = ?1")) return kFailed;
    bind(st, 1, name);
    if (sqlite3_step(st.handle) != SQLITE_ROW) {
        fprintf(stderr, "boardhub-admin: no group %s\n", name.c_str());
        return kFailed;
    }
    std::vector<std::string> members = split_members(column(st, 0));
    if (mode.empty()) {
        for (const auto& m : members) printf("%s\n", m.c_str());
        commit(db);
        return kOk;
    }
    std::vector<std::string> next;
    if (mode == "set") {
        next = split_members(arg);
        for (const auto& m : next)
            if (!valid_name(m, "user")) return kUsage;
    } else if (mode == "add") {
        if (!valid_name(arg, "user")) return kUsage;
        next = members;
        bool present = false;
        for (const auto& m : members) present = present || m == arg;
        if (!present) next.push_back(arg);
    } else {
        for (const auto& m : members)
            if (m != arg) next.push_back(m);
        if (next.size() == members.size()) {
            fprintf(stderr, "boardhub-admin: %s is not a member of %s\n", arg.c_str(),
                    name.c_str());
            return kFailed;
        }
    }
    std::string joined = join_members(next);
    if (joined.size() > kMaxMembers) {
        fprintf(stderr, "boardhub-admin: the member list would exceed %zu bytes\n", kMaxMembers);
        return kUsage;
    }
    Stmt up;
    if (!prepare(db, up, "UPDATE groups SET members = ?2 WHERE name = ?1")) return kFailed;
    bind(up, 1, name);
    bind(up, 2, joined);
    if (sqlite3_step(up.handle) != SQLITE_DONE) {
        fprintf(stderr, "boardhub-admin: %s\n", sqlite3_errmsg(db.handle));
        return kFailed;
    }
    if (!commit(db)) return kFailed;
    printf("group %s: %s\n", name.c_str(), joined.empty() ? "(no members)" : joined.c_str());
    if (mode == "set") warn_unknown_members(dir, next);
    if (mode == "add") warn_unknown_members(dir, {arg});
    return kOk;
}

// A wrong command line: what was wrong, and where the usage is.
int usage(const std::string& what) {
    fprintf(stderr, "boardhub-admin: %s\nTry 'boardhub-admin --help'.\n", what.c_str());
    return kUsage;
}

int init(const std::string& dir) {
    Db users, groups;
    if (!open_users(dir, users, Create::kFolderAndFile) || !commit(users)) return kFailed;
    if (!open_groups(dir, groups, Create::kFile) || !commit(groups)) return kFailed;
    printf("%s: users.db and group.db ready\n", dir.c_str());
    return kOk;
}

// An operand like "-5" (a level of 0 or less) is no option: marked here so getopt leaves it
// alone, unmarked after. The mark is a control character, which no name may hold.
constexpr char kNegative = '\x1f';

bool takes_argument(const char* arg) {
    static const char* const with[] = {"-c", "--config", "-d", "--data", "-l", "--level", "-m",
                                       "--memo", "--set", "--add", "--remove"};
    for (const char* w : with)
        if (strcmp(arg, w) == 0) return true;
    return false;
}

}  // namespace

// fingerprint.cpp
int print_fingerprint(const std::string& config, bool config_given, const std::string& data_dir);

int main(int argc, char** argv) {
    // Databases, their journals and the data directory are for the owner only.
    umask(077);
    std::string dir = "/var/lib/boardhub";
    if (const char* d = getenv("BOARDHUB_DATA")) dir = d;
    int level = 5;
    std::string memo, mode, mode_arg;
    bool plain = false;
    std::string config = "/etc/boardhub/boardhub.ini";
    bool config_given = false;
    bool data_given = getenv("BOARDHUB_DATA") != nullptr;
    static const struct option longs[] = {{"config", required_argument, nullptr, 'c'},
                                          {"data", required_argument, nullptr, 'd'},
                                          {"level", required_argument, nullptr, 'l'},
                                          {"memo", required_argument, nullptr, 'm'},
                                          {"set", required_argument, nullptr, 's'},
                                          {"add", required_argument, nullptr, 'a'},
                                          {"remove", required_argument, nullptr, 'r'},
                                          {"plain", no_argument, nullptr, 'P'},
                                          {"help", no_argument, nullptr, 'h'},
                                          {"version", no_argument, nullptr, 'V'},
                                          {nullptr, 0, nullptr, 0}};
    std::vector<std::string> marked;
    marked.reserve(static_cast<size_t>(argc));
    for (int i = 1; i < argc; i++) {
        const char* arg = argv[i];
        bool negative = arg[0] == '-' && arg[1] != '\0' &&
                        strspn(arg + 1, "0123456789") == strlen(arg + 1) &&
                        !takes_argument(argv[i - 1]);
        if (negative) {
            marked.push_back(std::string(1, kNegative) + arg);
            argv[i] = marked.back().data();
        }
    }
    opterr = 0;
    int c;
    while ((c = getopt_long(argc, argv, ":c:d:l:m:h", longs, nullptr)) != -1) {
        switch (c) {
            case 'c': config = optarg; config_given = true; break;
            case 'd': dir = optarg; data_given = true; break;
            case 'l':
                if (!parse_level(optarg, level)) return kUsage;
                break;
            case 'm': memo = optarg; break;
            case 's': mode = "set"; mode_arg = optarg; break;
            case 'a': mode = "add"; mode_arg = optarg; break;
            case 'r': mode = "remove"; mode_arg = optarg; break;
            case 'P': plain = true; break;
            case 'h': fputs(kHelp, stdout); return kOk;
            case 'V': printf("boardhub-admin %s\n", BOARDHUB_VERSION); return kOk;
            case ':':
                return usage(std::string("option ") + argv[optind - 1] + " needs a value");
            default:
                return usage(std::string("unknown option ") +
                             (optopt ? std::string("-") + static_cast<char>(optopt)
                                     : std::string(argv[optind - 1])));
        }
    }
    std::vector<std::string> a(argv + optind, argv + argc);
    for (auto& word : a)
        if (!word.empty() && word[0] == kNegative) word.erase(0, 1);
    if (a.size() == 1 && a[0] == "init") return init(dir);
    if (a.size() == 1 && a[0] == "fingerprint") 
        // A data folder named without a configuration: its certificate.
        return print_fingerprint(data_given && !config_given ? "" : config, config_given, dir);
    if (a.empty()) return usage("no command given");
    if (a.size() < 2) {
        if (a[0] == "user" || a[0] == "group")
            return usage("'" + a[0] + "' needs a subcommand");
        return usage("unknown command '" + a[0] + "'");
    }
    const std::string &what = a[0], &verb = a[1];
    size_t n = a.size();
    if (what == "user") {
        if (verb == "add" && n == 3) return user_add(dir, a[2], level, memo, plain);
        if (verb == "hash-all" && n == 2) return user_hash_all(dir);
        if (verb == "del" && n == 3) return user_del(dir, a[2]);
        if (verb == "list" && n == 2) return user_list(dir);
        if (verb == "show" && n == 3) return user_show(dir, a[2]);
        if (verb == "level" && n == 4) {
            int v;
            if (!parse_level(a[3], v)) return kUsage;
            return user_update(dir, a[2], "UPDATE users SET level = ?2 WHERE name = ?1",
                               std::to_string(v), true, ("level " + std::to_string(v)).c_str());
        }
        if (verb == "passwd" && n == 3) {
            // Ask for the password only for a user that exists.
            {
                Db db;
                if (!open_users(dir, db)) return kFailed;
                int found = count_rows(db, "SELECT COUNT(*) FROM users WHERE name = ?1", a[2]);
                commit(db);
                if (found < 0) return kFailed;
                if (found == 0) {
                    fprintf(stderr, "boardhub-admin: no user %s\n", a[2].c_str());
                    return kFailed;
                }
            }
            std::string password, stored;
            if (!read_password(a[2], password)) return kUsage;
            if (!stored_password(password, plain, stored)) return kFailed;
            return user_update(dir, a[2], "UPDATE users SET passwd = ?2 WHERE name = ?1",
                               stored, false, "password changed");
        }
    } else if (what == "group") {
        if (verb == "add" && (n == 3 || n == 4))
            return group_add(dir, a[2], n == 4 ? a[3] : "", memo);
        if (verb == "del" && n == 3) return group_del(dir, a[2]);
        if (verb == "list" && n == 2) return group_list(dir);
        if (verb == "members" && n == 3) return group_members(dir, a[2], mode, mode_arg);
    } else {
        return usage("unknown command '" + what + "'");
    }
    static const char* const user_verbs[] = {"add", "hash-all", "del", "list", "show", "level", "passwd"};
    static const char* const group_verbs[] = {"add", "del", "list", "members"};
    bool known = false;
    for (const char* v : what == "user" ? std::vector<const char*>(std::begin(user_verbs), std::end(user_verbs))
                                        : std::vector<const char*>(std::begin(group_verbs), std::end(group_verbs)))
        known = known || verb == v;
    if (!known) return usage("unknown command '" + what + " " + verb + "'");
    return usage("wrong number of arguments for '" + what + " " + verb + "'");
}
