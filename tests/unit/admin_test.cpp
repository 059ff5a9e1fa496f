// Admin against real SQLite files in a temporary folder: creation, foreign and broken files,
// lookups (missing, duplicate, quoted names, odd columns), the password update, a writer
// holding the file, and lookups racing each other and close().
#include "admin.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "logger.h"

namespace fs = std::filesystem;

namespace {

struct TempDir {
    TempDir() {
        char tmpl[] = "/tmp/boardhub-admin-XXXXXX";
        path = mkdtemp(tmpl);
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
    std::string path;
};

// Runs SQL on its own connection (an administration tool, not the server's code).
void sql(const std::string& db_path, const std::string& text) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(db_path.c_str(), &db), SQLITE_OK);
    sqlite3_busy_timeout(db, 5000);
    char* err = nullptr;
    int rc = sqlite3_exec(db, text.c_str(), nullptr, nullptr, &err);
    EXPECT_EQ(rc, SQLITE_OK) << (err ? err : "") << " in " << text;
    sqlite3_free(err);
    sqlite3_close(db);
}

// One text result of a query, "" when there is no row, "<null>" for NULL.
std::string query(const std::string& db_path, const std::string& text) {
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open(db_path.c_str(), &db), SQLITE_OK);
    sqlite3_stmt* st = nullptr;
    std::string result;
    EXPECT_EQ(sqlite3_prepare_v2(db, text.c_str(), -1, &st, nullptr), SQLITE_OK) << text;
    if (sqlite3_step(st) == SQLITE_ROW) {
        const unsigned char* t = sqlite3_column_text(st, 0);
        result = t ? reinterpret_cast<const char*>(t) : "<null>";
    }
    sqlite3_finalize(st);
    sqlite3_close(db);
    return result;
}

// The DEBUG lines written while it lives, read from a log folder of its own.
class LogCapture {
public:
    LogCapture() { logger.set(7, dir.path.c_str()); }
    ~LogCapture() { logger.set(3, ""); }
    std::string text() const {
        std::string all;
        for (const auto& e : fs::directory_iterator(dir.path)) {
            std::ifstream f(e.path());
            std::stringstream ss;
            ss << f.rdbuf();
            all += ss.str();
        }
        return all;
    }
    bool has(const std::string& line) const { return text().find(line) != std::string::npos; }

private:
    TempDir dir;
};

class AdminTest : public ::testing::Test {
protected:
    void SetUp() override {
        users_path = tmp.path + "/users.db";
        group_path = tmp.path + "/group.db";
    }
    // Opens both files (created when missing) and adds rows with the administration tool.
    void open() {
        ASSERT_EQ(db.set_users_db(users_path.c_str()), 0);
        ASSERT_EQ(db.set_group_db(group_path.c_str()), 0);
    }
    UserInfo lookup(const std::string& name, int* rc = nullptr) {
        UserInfo info;
        memset(&info, 0x5A, sizeof(info));  // every field must be rewritten
        snprintf(info.name, sizeof(info.name), "%s", name.c_str());
        int r = db.get_user_info(&info);
        if (rc) *rc = r;
        return info;
    }
    std::unique_ptr<GroupInfo> group(const std::string& name, int* rc = nullptr) {
        auto info = std::make_unique<GroupInfo>();
        memset(info.get(), 0x5A, sizeof(GroupInfo));
        snprintf(info->name, sizeof(info->name), "%s", name.c_str());
        int r = db.get_group_info(info.get());
        if (rc) *rc = r;
        return info;
    }

    TempDir tmp;
    std::string users_path;
    std::string group_path;
    Admin db;
};

void expect_empty(const UserInfo& info, const char* name) {
    EXPECT_STREQ(info.name, name);
    for (const char* field : {info.phone, info.mobile, info.address, info.office, info.phone1,
                              info.fax, info.memo, info.hostids, info.passwd})
        EXPECT_STREQ(field, "");
    EXPECT_EQ(info.level, 0);
    EXPECT_FALSE(info.passwd_overflow);
}

TEST_F(AdminTest, CreatesMissingFilesWithTheirExactTables) {
    LogCapture log;
    open();
    EXPECT_EQ(query(users_path, "SELECT sql || ';' FROM sqlite_master WHERE name='users'"),
              CREATE_USERS_TABLE);
    EXPECT_EQ(query(group_path, "SELECT sql || ';' FROM sqlite_master WHERE name='groups'"),
              CREATE_GROUPS_TABLE);
    EXPECT_TRUE(log.has("[DEBUG] Admin:set_users_db Cannot open database. Create new one\n"));
    EXPECT_TRUE(log.has("[DEBUG] Admin:set_group_db Cannot open database. Create new one\n"));

    // A new table holds nobody; opening the existing files again creates nothing.
    int rc = -1;
    expect_empty(lookup("alice", &rc), "alice");
    EXPECT_EQ(rc, 0);
    db.close();
    Admin again;
    EXPECT_EQ(again.set_users_db(users_path.c_str()), 0);
    EXPECT_EQ(query(users_path, "SELECT count(*) FROM sqlite_master"), "1");
}

TEST_F(AdminTest, ExistingFileWithoutTableFindsNobody) {
    sql(users_path, "CREATE TABLE other (x TEXT);");
    sql(group_path, "CREATE TABLE other (x TEXT);");
    LogCapture log;
    open();
    EXPECT_FALSE(log.has("Create new one"));
    int rc = 0;
    expect_empty(lookup("alice", &rc), "alice");
    EXPECT_EQ(rc, -1);
    EXPECT_TRUE(log.has("[DEBUG] Admin:get_user_info no such table: users\n"));
    auto g = group("staff", &rc);
    EXPECT_EQ(rc, -1);
    EXPECT_STREQ(g->members, "");
    EXPECT_STREQ(g->memo, "");
    int changed = 7;
    EXPECT_EQ(db.set_password("alice", "x", &changed), -1);
    EXPECT_EQ(changed, 0);
    EXPECT_TRUE(log.has("[DEBUG] Admin:set_password no such table: users\n"));
    // Nothing was created in the foreign file.
    EXPECT_EQ(query(users_path, "SELECT count(*) FROM sqlite_master"), "1");
}

TEST_F(AdminTest, UnopenablePathLeavesTheConnectionAbsent) {
    LogCapture log;
    std::string missing_dir = tmp.path + "/no/such/dir/users.db";
    EXPECT_EQ(db.set_users_db(missing_dir.c_str()), -1);
    EXPECT_EQ(db.set_group_db(tmp.path.c_str()), -1);  // a folder is no database
    EXPECT_TRUE(log.has("Admin:set_users_db Cannot open database. Create new one\n"));
    EXPECT_TRUE(log.has("Admin:set_users_db unable to open database file\n"));
    int rc = 0;
    expect_empty(lookup("alice", &rc), "alice");
    EXPECT_EQ(rc, -1);
    group("staff", &rc);
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(db.set_password("alice", "x"), -1);
    EXPECT_FALSE(fs::exists(missing_dir));
    db.close();
    db.close();
}

TEST_F(AdminTest, LookupsByExactNameBoundAsValue) {
    open();
    sql(users_path,
        "INSERT INTO users VALUES ('alice','1','2','3','4','5','6','memo',3,'h','pw');"
        "INSERT INTO users (name, passwd, level) VALUES ('o''brien','it''s',4);"
        "INSERT INTO users (name, passwd, level) VALUES ('Bob','b',5);"
        "INSERT INTO users (name, passwd, level) VALUES ('dup','first',1);"
        "INSERT INTO users (name, passwd, level) VALUES ('dup','second',2);");
    UserInfo a = lookup("alice");
    EXPECT_STREQ(a.phone, "1");
    EXPECT_STREQ(a.mobile, "2");
    EXPECT_STREQ(a.address, "3");
    EXPECT_STREQ(a.office, "4");
    EXPECT_STREQ(a.phone1, "5");
    EXPECT_STREQ(a.fax, "6");
    EXPECT_STREQ(a.memo, "memo");
    EXPECT_EQ(a.level, 3);
    EXPECT_STREQ(a.hostids, "h");
    EXPECT_STREQ(a.passwd, "pw");

    UserInfo q = lookup("o'brien");
    EXPECT_STREQ(q.passwd, "it's");
    EXPECT_EQ(q.level, 4);

    int rc = -1;
    expect_empty(lookup("bob", &rc), "bob");  // case-sensitive
    EXPECT_EQ(rc, 0);
    expect_empty(lookup("nobody"), "nobody");
    expect_empty(lookup("x' OR '1'='1"), "x' OR '1'='1");
    expect_empty(lookup("alice "), "alice ");

    UserInfo d = lookup("dup");  // the row delivered last wins
    EXPECT_STREQ(d.passwd, "second");
    EXPECT_EQ(d.level, 2);
}

TEST_F(AdminTest, LevelTextsConvertLikeDecimalPrefix) {
    open();
    sql(users_path,
        "INSERT INTO users (name, level) VALUES ('abc','abc');"
        "INSERT INTO users (name, level) VALUES ('blank7','  7xyz');"
        "INSERT INTO users (name, level) VALUES ('minus','-3');"
        "INSERT INTO users (name, level) VALUES ('plus',' +9');"
        "INSERT INTO users (name, level) VALUES ('real',7.9);"
        "INSERT INTO users (name, level) VALUES ('huge','99999999999');"
        "INSERT INTO users (name, level) VALUES ('tiny','-99999999999');"
        "INSERT INTO users (name, level) VALUES ('null',NULL);");
    EXPECT_EQ(lookup("abc").level, 0);
    EXPECT_EQ(lookup("blank7").level, 7);
    EXPECT_EQ(lookup("minus").level, -3);
    EXPECT_EQ(lookup("plus").level, 9);
    EXPECT_EQ(lookup("real").level, 7);
    EXPECT_EQ(lookup("huge").level, INT_MAX);
    EXPECT_EQ(lookup("tiny").level, INT_MIN);
    EXPECT_EQ(lookup("null").level, 0);
    EXPECT_EQ(parse_level(nullptr), 0);
    EXPECT_EQ(parse_level("- 5"), 0);
}

TEST_F(AdminTest, OddColumnsNeverOverrunAndLongPasswordsNeverMatch) {
    open();
    std::string long_phone(40, '9');
    // 31 bytes, then a 3-byte character that would end past the field.
    std::string korean_memo = std::string(254, 'm') + "가";
    sql(users_path,
        "INSERT INTO users VALUES ('nulls',NULL,NULL,NULL,NULL,NULL,NULL,NULL,NULL,NULL,NULL);"
        "INSERT INTO users (name, phone, memo, passwd, level) VALUES ('long','" + long_phone +
            "','" + korean_memo + "','" + std::string(STORED_PASSWORD_MAX + 1, 'p') + "',1);"
        "INSERT INTO users (name, passwd, level) VALUES ('over','" + std::string(32, 'p') +
            "',1);"
        "INSERT INTO users (name, passwd, level) VALUES ('fits','" + std::string(31, 'p') +
            "',1);"
        "INSERT INTO users (name, passwd, level) VALUES ('nul', CAST(X'61006263' AS TEXT), 1);"
        "INSERT INTO users (name, passwd, level) VALUES ('nulls2','x',1);"
        "INSERT INTO users (name, passwd, level) VALUES ('nulls2',NULL,NULL);");
    expect_empty(lookup("nulls"), "nulls");

    UserInfo l = lookup("long");
    EXPECT_EQ(std::string(l.phone), std::string(31, '9'));
    EXPECT_EQ(std::string(l.memo), std::string(254, 'm'));  // never half a character
    EXPECT_STREQ(l.passwd, "");
    EXPECT_TRUE(l.passwd_overflow);
    // A plain row longer than any password a client may give never matches.
    UserInfo o = lookup("over");
    EXPECT_FALSE(password_matches(o, std::string(32, 'p').c_str()));
    EXPECT_FALSE(password_matches(o, std::string(31, 'p').c_str()));

    UserInfo f = lookup("fits");
    EXPECT_EQ(std::string(f.passwd), std::string(31, 'p'));
    EXPECT_FALSE(f.passwd_overflow);

    // "a\0bc" would compare as "a".
    UserInfo n = lookup("nul");
    EXPECT_TRUE(n.passwd_overflow);
    EXPECT_STREQ(n.passwd, "");

    // The last row wins whole: nothing of the earlier one stays.
    UserInfo n2 = lookup("nulls2");
    EXPECT_STREQ(n2.passwd, "");
    EXPECT_EQ(n2.level, 0);
}

TEST_F(AdminTest, ForeignTableWithFewerColumnsOrOtherCollation) {
    sql(users_path, "CREATE TABLE users (name TEXT COLLATE NOCASE, phone TEXT);"
                    "INSERT INTO users VALUES ('Carol','5');");
    open();
    UserInfo c = lookup("Carol");
    EXPECT_STREQ(c.phone, "5");
    EXPECT_STREQ(c.passwd, "");
    EXPECT_EQ(c.level, 0);
    // The table's collation finds the row, but the name is compared byte for byte.
    expect_empty(lookup("carol"), "carol");
}

TEST_F(AdminTest, GroupLookupsAndMemberListsCutAtWholeNames) {
    open();
    std::string many;
    for (int i = 0; many.size() < 12000; i++) many += (i ? "," : "") + ("user" + std::to_string(i));
    sql(group_path,
        "INSERT INTO groups VALUES ('staff','office','alice,bob');"
        "INSERT INTO groups VALUES ('big',NULL,'" + many + "');"
        "INSERT INTO groups VALUES ('one','', '" + std::string(10300, 'x') + "');"
        "INSERT INTO groups VALUES ('nullm','m',NULL);");
    auto s = group("staff");
    EXPECT_STREQ(s->memo, "office");
    EXPECT_STREQ(s->members, "alice,bob");
    expect_empty(lookup("x"), "x");
    auto m = group("missing");
    EXPECT_STREQ(m->members, "");
    EXPECT_STREQ(m->memo, "");
    EXPECT_STREQ(group("STAFF")->members, "");
    EXPECT_STREQ(group("nullm")->members, "");

    auto b = group("big");
    std::string got = b->members;
    EXPECT_LT(got.size(), sizeof(GroupInfo::members));
    EXPECT_GT(got.size(), 10000u);
    EXPECT_EQ(many.compare(0, got.size(), got), 0);
    EXPECT_EQ(many[got.size()], ',');  // ends at a whole name
    EXPECT_STREQ(group("one")->members, "");  // a single name too long: nobody
}

TEST_F(AdminTest, SetPasswordChangesEveryRowOfTheNameOnly) {
    open();
    sql(users_path,
        "INSERT INTO users (name, passwd, level) VALUES ('alice','old',1);"
        "INSERT INTO users (name, passwd, level) VALUES ('alice','old2',1);"
        "INSERT INTO users (name, passwd, level) VALUES ('Alice','keep',1);");
    int changed = -1;
    EXPECT_EQ(db.set_password("alice", "n'ew\"", &changed), 0);
    EXPECT_EQ(changed, 2);
    EXPECT_STREQ(lookup("alice").passwd, "n'ew\"");
    EXPECT_STREQ(lookup("Alice").passwd, "keep");

    EXPECT_EQ(db.set_password("nobody", "x", &changed), 0);
    EXPECT_EQ(changed, 0);
    EXPECT_EQ(query(users_path, "SELECT count(*) FROM users WHERE passwd='x'"), "0");
    EXPECT_EQ(db.set_password("alice' OR '1'='1", "x", &changed), 0);
    EXPECT_EQ(changed, 0);
    EXPECT_EQ(db.set_password("alice", "", nullptr), 0);
    EXPECT_STREQ(lookup("alice").passwd, "");
}

TEST_F(AdminTest, UpdateAbortedByTriggerFails) {
    open();
    sql(users_path,
        "INSERT INTO users (name, passwd, level) VALUES ('alice','old',1);"
        "CREATE TRIGGER no_change BEFORE UPDATE ON users BEGIN SELECT RAISE(ABORT, 'locked'); "
        "END;");
    LogCapture log;
    int changed = -1;
    EXPECT_EQ(db.set_password("alice", "new", &changed), -1);
    EXPECT_EQ(changed, 0);
    EXPECT_TRUE(log.has("[DEBUG] Admin:set_password locked\n"));
    EXPECT_STREQ(lookup("alice").passwd, "old");
}

TEST_F(AdminTest, LookupWaitsForAWriterHoldingTheFile) {
    open();
    sql(users_path, "INSERT INTO users (name, passwd, level) VALUES ('alice','pw',4);");
    sqlite3* tool = nullptr;
    ASSERT_EQ(sqlite3_open(users_path.c_str(), &tool), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(tool, "BEGIN EXCLUSIVE; UPDATE users SET level = 5;", nullptr,
                           nullptr, nullptr),
              SQLITE_OK);
    std::thread commit([tool] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        sqlite3_exec(tool, "COMMIT;", nullptr, nullptr, nullptr);
    });
    int rc = -1;
    UserInfo info = lookup("alice", &rc);
    commit.join();
    sqlite3_close(tool);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(info.level, 5);
    EXPECT_STREQ(info.passwd, "pw");
}

TEST_F(AdminTest, ConcurrentLookupsEachGetTheirOwnRow) {
    open();
    std::string rows = "BEGIN;";
    for (int i = 0; i < 40; i++) {
        rows += "INSERT INTO users (name, passwd, level) VALUES ('u" + std::to_string(i) +
                "','p" + std::to_string(i) + "'," + std::to_string(i + 1) + ");";
    }
    sql(users_path, rows + "COMMIT;");
    sql(group_path, "BEGIN;" + [&] {
        std::string g;
        for (int i = 0; i < 40; i++)
            g += "INSERT INTO groups VALUES ('g" + std::to_string(i) + "','','u" +
                 std::to_string(i) + "');";
        return g;
    }() + "COMMIT;");

    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; t++) {
        threads.emplace_back([&, t] {
            auto g = std::make_unique<GroupInfo>();
            for (int k = 0; k < 200; k++) {
                int i = (t * 7 + k) % 40;
                UserInfo u;
                snprintf(u.name, sizeof(u.name), "u%d", i);
                if (db.get_user_info(&u) != 0 || u.level != i + 1 ||
                    u.passwd != "p" + std::to_string(i))
                    wrong++;
                snprintf(g->name, sizeof(g->name), "g%d", i);
                if (db.get_group_info(g.get()) != 0 || g->members != "u" + std::to_string(i))
                    wrong++;
                if (k % 50 == 0) {
                    int changed = 0;
                    if (db.set_password(u.name, u.passwd, &changed) != 0 || changed != 1)
                        wrong++;
                }
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(wrong.load(), 0);
}

TEST_F(AdminTest, CloseWhileSessionsStillLookUp) {
    open();
    sql(users_path, "INSERT INTO users (name, passwd, level) VALUES ('alice','pw',4);");
    std::atomic<bool> stop{false};
    std::atomic<int> after_close_found{0};
    std::atomic<bool> closed{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++) {
        threads.emplace_back([&] {
            while (!stop) {
                bool was_closed = closed.load();
                UserInfo u;
                strcpy(u.name, "alice");
                int rc = db.get_user_info(&u);
                if (rc == 0) {
                    EXPECT_EQ(u.level, 4);
                }
                if (was_closed && (rc == 0 || u.level != 0)) after_close_found++;
                auto g = std::make_unique<GroupInfo>();
                strcpy(g->name, "x");
                db.get_group_info(g.get());
            }
        });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    // Lookups that never pause must not keep close() waiting (shutdown runs it while the
    // sessions go on).
    std::thread closer([&] {
        db.close();
        closed = true;
    });
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!closed && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    bool in_time = closed.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    stop = true;
    for (auto& th : threads) th.join();
    closer.join();
    EXPECT_TRUE(in_time);
    EXPECT_EQ(after_close_found.load(), 0);
}

}  // namespace

namespace {

// Old plain rows and new hashed rows both log in; a changed password keeps its row's form;
// a value that only looks like a hash stays a plain password.
TEST_F(AdminTest, HashedAndPlainRowsAndTheFormOfAChange) {
    open();
    std::string hash = hash_password("s3cret");
    ASSERT_EQ(hash.substr(0, 3), "$y$");
    EXPECT_NE(hash_password("s3cret"), hash);  // a salt of its own
    sql(users_path, "INSERT INTO users (name, passwd, level) VALUES ('h','" + hash + "',5);"
                    "INSERT INTO users (name, passwd, level) VALUES ('p','plain',5);"
                    "INSERT INTO users (name, passwd, level) VALUES ('d','$1$ab$cd',5);");
    UserInfo h = lookup("h"), p = lookup("p"), d = lookup("d");
    EXPECT_TRUE(password_matches(h, "s3cret"));
    EXPECT_FALSE(password_matches(h, "s3cre"));
    EXPECT_FALSE(password_matches(h, hash.c_str()));  // the stored text is not the password
    EXPECT_TRUE(password_matches(p, "plain"));
    EXPECT_FALSE(password_matches(p, "plai"));
    EXPECT_TRUE(password_matches(d, "$1$ab$cd"));

    int rows = 0;
    ASSERT_EQ(db.change_password(h, "next", &rows), 0);
    EXPECT_EQ(rows, 1);
    std::string stored = query(users_path, "SELECT passwd FROM users WHERE name = 'h'");
    EXPECT_EQ(stored.substr(0, 3), "$y$");
    EXPECT_NE(stored, hash);
    EXPECT_TRUE(password_matches(lookup("h"), "next"));
    ASSERT_EQ(db.change_password(p, "next", &rows), 0);
    EXPECT_EQ(query(users_path, "SELECT passwd FROM users WHERE name = 'p'"), "next");
}

TEST_F(AdminTest, CreatedDatabasesAreForTheOwnerOnly) {
    mode_t old = umask(022);
    open();
    umask(old);
    for (const std::string& path : {users_path, group_path})
        EXPECT_EQ(fs::status(path).permissions() & fs::perms::all,
                  fs::perms::owner_read | fs::perms::owner_write)
            << path;
}

}  // namespace
