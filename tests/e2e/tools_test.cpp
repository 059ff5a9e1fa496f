// boardhub-cli and boardhub-admin driven as processes against the real server: accounts made
// with the admin tool, login, listing, downloads in pieces and whole, interrupted downloads,
// messages between two clients, password change.
//
// A test whose server command answers like an unknown command ({ "RESULT": "FAIL" }) is
// skipped: the command has not been built into this server yet.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <random>
#include <thread>

#include "harness.h"

namespace fs = std::filesystem;
using e2e::cmd;

namespace {

constexpr const char* kUnknown = "{ \"RESULT\": \"FAIL\" }";

struct Result {
    int code = -1;
    std::string out, err;
};

// A child process with its output in files; stdin is the given text (then end of input).
class Proc {
public:
    Proc(const std::vector<std::string>& args, const std::vector<std::string>& env,
         const std::string& input, const std::string& dir) {
        static int counter = 0;
        std::string base = dir + "/proc" + std::to_string(counter++);
        out_path_ = base + ".out";
        err_path_ = base + ".err";
        int in[2];
        if (pipe(in) != 0) abort();
        pid_ = fork();
        if (pid_ == 0) {
            dup2(in[0], 0);
            close(in[0]);
            close(in[1]);
            int o = open(out_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int e = open(err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(o, 1);
            dup2(e, 2);
            // The tools must never fall back to a terminal prompt in tests.
            unsetenv("BOARDHUB_PASSWORD");
            unsetenv("BOARDHUB_NEW_PASSWORD");
            unsetenv("BOARDHUB_USER");
            for (const auto& kv : env) putenv(strdup(kv.c_str()));
            std::vector<char*> argv;
            for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            setsid();  // no controlling terminal: no /dev/tty prompt
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(in[0]);
        if (!input.empty() && write(in[1], input.data(), input.size()) < 0) {
        }
        close(in[1]);
    }
    ~Proc() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            int st;
            waitpid(pid_, &st, 0);
        }
    }
    // Exit status, 128+signal, or -1 on time-out (then killed).
    int wait(int timeout_ms = 60000) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (pid_ > 0) {
            int st;
            if (waitpid(pid_, &st, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            }
            if (std::chrono::steady_clock::now() > deadline) {
                kill(pid_, SIGKILL);
                waitpid(pid_, &st, 0);
                pid_ = -1;
                return -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return -1;
    }
    void signal(int sig) {
        if (pid_ > 0) kill(pid_, sig);
    }
    std::string out() const { return e2e::read_file(out_path_); }
    std::string err() const { return e2e::read_file(err_path_); }
    bool wait_out(const std::string& text, int timeout_ms = 20000) const {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        do {
            if (out().find(text) != std::string::npos) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        } while (std::chrono::steady_clock::now() < deadline);
        return false;
    }

private:
    pid_t pid_ = -1;
    std::string out_path_, err_path_;
};

std::string random_bytes(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (auto& c : s) c = static_cast<char>(gen() & 0xff);
    return s;
}

class Tools : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(srv.start()) << srv.out() << srv.err();
        work = srv.dir.path + "/work";
        e2e::make_dirs(work);
    }

    Result admin(const std::vector<std::string>& args, const std::string& input = "") {
        std::vector<std::string> full = {BOARDHUB_ADMIN, "-d", srv.data};
        full.insert(full.end(), args.begin(), args.end());
        Proc p(full, {}, input, srv.dir.path);
        Result r;
        r.code = p.wait();
        r.out = p.out();
        r.err = p.err();
        return r;
    }

    std::vector<std::string> cli_args(const std::string& user,
                                      const std::vector<std::string>& args) {
        std::vector<std::string> full = {BOARDHUB_CLI, "-H", "127.0.0.1", "-p",
                                         std::to_string(srv.port)};
        if (!user.empty()) {
            full.push_back("-u");
            full.push_back(user);
        }
        full.insert(full.end(), args.begin(), args.end());
        return full;
    }

    // Runs the client in the work folder; the password comes from the environment.
    Result cli(const std::string& user, const std::string& password,
               const std::vector<std::string>& args, std::vector<std::string> env = {}) {
        if (!password.empty()) env.push_back("BOARDHUB_PASSWORD=" + password);
        std::vector<std::string> full = cli_args(user, args);
        Proc p(full, env, "", srv.dir.path);
        Result r;
        r.code = p.wait();
        r.out = p.out();
        r.err = p.err();
        return r;
    }

    void add_user(const std::string& name, const std::string& password, int level) {
        Result r = admin({"user", "add", name, "--level", std::to_string(level)}, password + "\n");
        ASSERT_EQ(r.code, 0) << r.err;
    }

    // True when the server answers the command like an unknown command (not built yet).
    // A login first when the command needs a logged-in session to show its real answer.
    bool unknown(const std::string& json, const std::string& user = "",
                 const std::string& password = "") {
        bh::Client c = srv.connect();
        bh::Frame f;
        if (!user.empty()) e2e::login(c, user, password);
        EXPECT_TRUE(c.command(json, f)) << c.error();
        return f.type == "11" && f.payload == kUnknown;
    }

#define SKIP_IF_UNKNOWN(...)                                                        \
    do {                                                                            \
        if (unknown(__VA_ARGS__)) GTEST_SKIP() << "not built into the server yet"; \
    } while (0)

    e2e::TestServer srv;
    std::string work;
};

// A LOGIN with right credentials: the real command answers OK, a missing one the bare FAIL.
std::string login_cmd(const std::string& user, const std::string& password) {
    return cmd("LOGIN", {{"VERSION", "3.0.0"}, {"USERNAME", user}, {"PASSWORD", password}});
}

mode_t mode_of(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return 0;
    return st.st_mode & 0777;
}

std::string table_sql(const std::string& db_path, const std::string& table) {
    sqlite3* db = nullptr;
    std::string sql;
    if (sqlite3_open_v2(db_path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2(db, "SELECT sql FROM sqlite_master WHERE name = ?1", -1, &st, nullptr);
        sqlite3_bind_text(st, 1, table.c_str(), -1, SQLITE_TRANSIENT);
        if (sqlite3_step(st) == SQLITE_ROW)
            sql = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
        sqlite3_finalize(st);
    }
    sqlite3_close(db);
    return sql;
}

std::vector<std::string> temp_files(const std::string& dir) {
    std::vector<std::string> out;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir, ec)) {
        std::string n = e.path().filename().string();
        if (n.size() > 5 && n.compare(n.size() - 5, 5, ".part") == 0) out.push_back(n);
    }
    return out;
}

// The stored password of a user's row.
std::string stored_password(const std::string& db_path, const std::string& name) {
    sqlite3* db = nullptr;
    std::string value;
    if (sqlite3_open_v2(db_path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2(db, "SELECT passwd FROM users WHERE name = ?1", -1, &st, nullptr);
        sqlite3_bind_text(st, 1, name.c_str(), -1, SQLITE_TRANSIENT);
        if (sqlite3_step(st) == SQLITE_ROW && sqlite3_column_text(st, 0))
            value = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
        sqlite3_finalize(st);
    }
    sqlite3_close(db);
    return value;
}

}  // namespace

// ---- boardhub-admin ----

// Passwords at rest: the tool hashes by default and stores plain only when asked; the server
// logs both forms in, PASSWORD keeps each row's form, and hash-all converts what is left. The
// databases the server created are its own user's only. The server's name is nobody's.
TEST_F(Tools, PasswordsAreHashedAtRestAndOldRowsKeepWorking) {
    const std::string users = srv.data + "/users.db";
    EXPECT_EQ(mode_of(users), 0600u);
    EXPECT_EQ(mode_of(srv.data + "/group.db"), 0600u);
    add_user("hashed", "s3cret", 5);
    ASSERT_EQ(admin({"user", "add", "legacy", "--plain"}, "old\n").code, 0);
    EXPECT_EQ(stored_password(users, "hashed").substr(0, 3), "$y$");
    EXPECT_EQ(stored_password(users, "legacy"), "old");
    EXPECT_NE(admin({"user", "show", "hashed"}).out.find("(set, hashed)"), std::string::npos);
    EXPECT_NE(admin({"user", "show", "legacy"}).out.find("(set, stored plain)"), std::string::npos);
    Result r = admin({"user", "add", "관리자"}, "pw\n");
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.err.find("관리자"), std::string::npos) << r.err;

    auto login_ok = [&](const std::string& user, const std::string& password) {
        bh::Client c = srv.connect();
        return bh::json_member(e2e::login(c, user, password), "RESULT") == "OK";
    };
    auto change = [&](const std::string& user, const std::string& from, const std::string& to) {
        bh::Client c = srv.connect();
        e2e::login(c, user, from);
        bh::Frame f;
        EXPECT_TRUE(c.command(cmd("PASSWORD", {{"CURRENT", from}, {"NEW", to}}), f));
        return f.payload;
    };
    EXPECT_TRUE(login_ok("hashed", "s3cret"));
    EXPECT_FALSE(login_ok("hashed", stored_password(users, "hashed").substr(0, 31)));
    EXPECT_TRUE(login_ok("legacy", "old"));
    EXPECT_FALSE(login_ok("legacy", "ol"));

    EXPECT_EQ(change("hashed", "s3cret", "n3w"), "{ \"RESULT\": \"OK\" }");
    EXPECT_EQ(stored_password(users, "hashed").substr(0, 3), "$y$");
    EXPECT_TRUE(login_ok("hashed", "n3w"));
    EXPECT_FALSE(login_ok("hashed", "s3cret"));
    EXPECT_EQ(change("legacy", "old", "older"), "{ \"RESULT\": \"OK\" }");
    EXPECT_EQ(stored_password(users, "legacy"), "older");

    r = admin({"user", "hash-all"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "1 password hashed\n");
    EXPECT_EQ(stored_password(users, "legacy").substr(0, 3), "$y$");
    EXPECT_TRUE(login_ok("legacy", "older"));
    EXPECT_EQ(admin({"user", "hash-all"}).out, "0 passwords hashed\n");
}

TEST_F(Tools, AdminKeepsUsersWithTheServersTables) {
    // A data folder of its own, so that the files are the tool's from the start.
    std::string dir = srv.dir.path + "/fresh";
    auto run = [&](const std::vector<std::string>& args, const std::string& input = "") {
        std::vector<std::string> full = {BOARDHUB_ADMIN, "-d", dir};
        full.insert(full.end(), args.begin(), args.end());
        Proc p(full, {}, input, srv.dir.path);
        Result r;
        r.code = p.wait();
        r.out = p.out();
        r.err = p.err();
        return r;
    };
    Result r = run({"user", "add", "ann", "--level", "7", "--memo", "lab"}, "s3cret\n");
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(table_sql(dir + "/users.db", "users"),
              "CREATE TABLE users (name TEXT, phone TEXT, mobile TEXT, address TEXT, office TEXT, "
              "phone1 TEXT, fax TEXT, memo TEXT, level INT, hostids TEXT, passwd TEXT)");
    EXPECT_EQ(mode_of(dir + "/users.db"), 0600u);

    // Duplicates, overlong passwords and names, and missing passwords are refused.
    EXPECT_EQ(run({"user", "add", "ann"}, "other\n").code, 1);
    EXPECT_EQ(run({"user", "add", "bo"}, std::string(32, 'p') + "\n").code, 2);
    EXPECT_EQ(run({"user", "add", "bo"}, std::string(31, 'p') + "\n").code, 0);
    EXPECT_EQ(run({"user", "add", std::string(64, 'n')}, "pw\n").code, 2);
    EXPECT_EQ(run({"user", "add", "a,b"}, "pw\n").code, 2);
    EXPECT_EQ(run({"user", "add", "cy"}, "").code, 2);

    r = run({"user", "list"});
    EXPECT_NE(r.out.find("ann"), std::string::npos);
    EXPECT_NE(r.out.find("bo"), std::string::npos);
    EXPECT_EQ(r.out.find("cy"), std::string::npos);
    EXPECT_EQ(r.out.find(std::string(64, 'n')), std::string::npos);

    EXPECT_EQ(run({"user", "level", "ann", "9"}).code, 0);
    // Nothing is above 9: a higher level is refused, never stored.
    for (const char* high : {"10", "99"}) {
        r = run({"user", "level", "ann", high});
        EXPECT_EQ(r.code, 2) << high;
        EXPECT_NE(r.err.find(std::string("level ") + high + " is above 9"), std::string::npos) << r.err;
    }
    EXPECT_EQ(run({"user", "add", "dee", "--level", "10"}, "pw\n").code, 2);
    EXPECT_EQ(run({"user", "passwd", "ann"}, "n3w\n").code, 0);
    EXPECT_EQ(run({"user", "level", "nobody", "3"}).code, 1);
    r = run({"user", "show", "ann"});
    EXPECT_NE(r.out.find("level    9"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("memo     lab"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("n3w"), std::string::npos) << "passwords are never shown";

    // The row is what the server reads: columns by position.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(std::string(dir + "/users.db").c_str(), &db), SQLITE_OK);
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db, "SELECT * FROM users WHERE name = 'ann'", -1, &st, nullptr);
    ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
    EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(st, 7)), "lab");
    EXPECT_EQ(sqlite3_column_int(st, 8), 9);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(sqlite3_column_text(st, 10))).substr(0, 3),
              "$y$");  // hashed by default
    sqlite3_finalize(st);
    sqlite3_close(db);

    // Groups: members kept as a comma list; deleting a user takes it out of its groups.
    EXPECT_EQ(run({"group", "add", "lab", "ann,bo"}).code, 0);
    EXPECT_EQ(table_sql(dir + "/group.db", "groups"),
              "CREATE TABLE groups (name TEXT, memo TEXT, members TEXT)");
    EXPECT_EQ(mode_of(dir + "/group.db"), 0600u);
    EXPECT_EQ(run({"group", "add", "lab"}).code, 1);
    EXPECT_EQ(run({"group", "members", "lab", "--add", "cy"}).code, 0);
    EXPECT_EQ(run({"group", "add", "crew", "ann"}).code, 0);
    r = run({"user", "show", "ann"});
    EXPECT_NE(r.out.find("\ngroups   lab, crew\n"), std::string::npos) << r.out;
    r = run({"user", "list"});
    EXPECT_EQ(r.out.find("NAME" + std::string(20, ' ') + "  LEVEL  GROUPS"), 0u) << r.out;
    EXPECT_NE(r.out.find("\nann" + std::string(21, ' ') + "      9  lab, crew" +
                         std::string(15, ' ') + "  lab\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("\nbo" + std::string(22, ' ') + "      5  lab\n"), std::string::npos)
        << r.out;
    EXPECT_EQ(run({"group", "del", "crew"}).code, 0);
    EXPECT_EQ(run({"group", "members", "lab"}).out, "ann\nbo\ncy\n");
    EXPECT_EQ(run({"group", "members", "lab", "--remove", "zed"}).code, 1);
    EXPECT_EQ(run({"user", "del", "bo"}).code, 0);
    EXPECT_EQ(run({"user", "del", "bo"}).code, 1);
    EXPECT_EQ(run({"group", "members", "lab"}).out, "ann\ncy\n");
    EXPECT_EQ(run({"group", "members", "lab", "--set", "x,y"}).code, 0);
    EXPECT_NE(run({"group", "list"}).out.find("lab                      x,y"), std::string::npos);
    EXPECT_EQ(run({"group", "del", "lab"}).code, 0);
    EXPECT_EQ(run({"group", "members", "lab"}).code, 1);
    EXPECT_EQ(run({"user", "frobnicate"}).code, 2);
}

// Mistakes are refused and said, never turned into empty databases or a silent success.
TEST_F(Tools, AdminRefusesAndExplainsMistakes) {
    std::string typo = srv.dir.path + "/dtaa";
    auto run = [&](const std::string& dir, const std::vector<std::string>& args,
                   const std::string& input = "") {
        std::vector<std::string> full = {BOARDHUB_ADMIN, "-d", dir};
        full.insert(full.end(), args.begin(), args.end());
        Proc p(full, {}, input, srv.dir.path);
        Result r;
        r.code = p.wait();
        r.out = p.out();
        r.err = p.err();
        return r;
    };
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"user", "list"}, {"group", "list"}, {"user", "level", "x", "3"}}) {
        Result r = run(typo, args);
        EXPECT_EQ(r.code, 1) << args[1];
        EXPECT_NE(r.err.find("init"), std::string::npos) << r.err;
        EXPECT_FALSE(fs::exists(typo)) << args[1];
    }
    ASSERT_EQ(run(typo, {"init"}).code, 0);
    EXPECT_TRUE(fs::exists(typo + "/users.db") && fs::exists(typo + "/group.db"));

    // "-5" after the name is a level, not an option.
    add_user("carol", "pw", 5);
    add_user("김철수", "pw", 7);
    EXPECT_EQ(admin({"user", "level", "carol", "-5"}).code, 0);
    Result r = admin({"user", "list"});
    EXPECT_NE(r.out.find("\ncarol" + std::string(19, ' ') + " " + "    -5\n"), std::string::npos)
        << r.out;
    // Two columns per Hangul syllable: the level stays under its heading.
    EXPECT_NE(r.out.find("\n김철수" + std::string(18, ' ') + " " + "     7\n"), std::string::npos)
        << r.out;
    r = admin({"user", "show", "carol"});
    EXPECT_NE(r.out.find("level    -5\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("groups   (none)\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("phone"), std::string::npos) << r.out;

    // No password is asked for a user that does not exist (stdin is empty here).
    r = admin({"user", "passwd", "nosuch"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("no user nosuch"), std::string::npos) << r.err;

    r = admin({"group", "add", "crew", "carol,karol"});
    EXPECT_EQ(r.code, 0);
    EXPECT_NE(r.err.find("karol is no user"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("carol is"), std::string::npos) << r.err;

    r = admin({"user", "frob", "x"});
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.err, "boardhub-admin: unknown command 'user frob'\nTry 'boardhub-admin --help'.\n");
    r = admin({"--version"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out.rfind("boardhub-admin ", 0), 0u) << r.out;
}

// "fingerprint" prints what a person compares with a client's first contact: the server's
// identity as the server itself prints it, and the web certificate as openssl (and browsers)
// show it.
TEST_F(Tools, AdminFingerprintsMatchTheServerAndOpenssl) {
    std::string identity, err;
    ASSERT_EQ(e2e::run_server({"--identity", "-c", srv.config}, &identity, &err), 0) << err;
    ASSERT_EQ(identity.rfind("SHA256:", 0), 0u) << identity;
    Result r = admin({"-c", srv.config, "fingerprint"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, identity) << "no [web] certificate: the server's line alone";

    std::string cert = srv.dir.path + "/web-cert.pem", key = srv.dir.path + "/web-key.pem";
    std::string make = "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=board -keyout " + key +
                       " -out " + cert + " >/dev/null 2>&1 && openssl x509 -noout -fingerprint -sha256 -in " +
                       cert + " > " + srv.dir.path + "/openssl.txt";
    ASSERT_EQ(system(make.c_str()), 0) << "openssl (scripts/setup.sh)";
    std::string openssl = e2e::read_file(srv.dir.path + "/openssl.txt");  // "sha256 Fingerprint=AB:..."
    openssl = "SHA256:" + openssl.substr(openssl.find('=') + 1);
    std::string config = srv.dir.path + "/with-web.ini";
    e2e::write_file(config, e2e::read_file(srv.config) + "\n[web]\ntls_cert = " + cert + "\n");
    r = admin({"-c", config, "fingerprint"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, identity + "web certificate " + openssl.substr(0, openssl.size() - 1) + " (" + cert + ")\n");

    // A certificate that cannot be read is named, and the status says so.
    e2e::write_file(config, e2e::read_file(srv.config) + "\n[web]\ntls_cert = " + cert + ".gone\n");
    r = admin({"-c", config, "fingerprint"});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out, identity);
    EXPECT_NE(r.err.find(cert + ".gone cannot be read"), std::string::npos) << r.err;
}

// ---- boardhub-cli ----

TEST_F(Tools, HelloAndLoginWithAnAccountMadeWhileTheServerRuns) {
    SKIP_IF_UNKNOWN(cmd("HELLO"));
    Result r = cli("", "", {"hello"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "server testhub, protocol 3.0.0\n");

    // The server has its databases open; the admin tool adds rows under it.
    add_user("alice", "wonder", 5);
    SKIP_IF_UNKNOWN(login_cmd("alice", "wonder"));
    add_user("mallory", "evil", 0);
    r = cli("alice", "wonder", {"login"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "logged in to testhub as alice (level 5)\n");

    r = cli("alice", "Wonder", {"login"});
    EXPECT_EQ(r.code, 4);
    EXPECT_NE(r.err.find("wrong user name or password (100)"), std::string::npos) << r.err;
    r = cli("mallory", "evil", {"who"});
    EXPECT_EQ(r.code, 4);
    EXPECT_NE(r.err.find("suspended (200)"), std::string::npos) << r.err;

    // The password comes from standard input when it is not a terminal.
    Proc p(cli_args("alice", {"login"}), {}, "wonder\n", srv.dir.path);
    EXPECT_EQ(p.wait(), 0) << p.err();

    r = cli("", "", {"frob"});
    EXPECT_EQ(r.code, 2);
    r = cli("", "", {"--port", "0", "hello"});
    EXPECT_EQ(r.code, 2);
    srv.stop();
    r = cli("", "", {"hello"});
    EXPECT_EQ(r.code, 3);
    EXPECT_NE(r.err.find("cannot connect"), std::string::npos) << r.err;
}

TEST_F(Tools, WhoAndId) {
    add_user("alice", "wonder", 5);
    SKIP_IF_UNKNOWN(login_cmd("alice", "wonder"));
    SKIP_IF_UNKNOWN(cmd("WHO"), "alice", "wonder");
    Result r = cli("alice", "wonder", {"who"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "alice\n");
    SKIP_IF_UNKNOWN(cmd("ID"), "alice", "wonder");
    r = cli("alice", "wonder", {"id"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out.rfind("name:  alice\nlevel: 5\nlogin: ", 0), 0u) << r.out;
}

TEST_F(Tools, ListsFoldersFirstWithClosedFoldersMarked) {
    add_user("alice", "wonder", 5);
    SKIP_IF_UNKNOWN(login_cmd("alice", "wonder"));
    SKIP_IF_UNKNOWN(cmd("LIST", {{"PATH", "/"}}), "alice", "wonder");
    e2e::write_file(srv.share + "/zeta.txt", std::string(1000, 'z'));
    e2e::write_file(srv.share + "/alpha.bin", std::string(3 * 1024 * 1024, 'a'));
    e2e::write_file(srv.share + "/pics/one.png", "1");
    e2e::write_file(srv.share + "/pics/.folder.png", "icon");
    e2e::make_dirs(srv.share + "/pics/sub");
    e2e::write_file(srv.share + "/vault/secret.txt", "s");
    e2e::write_file(srv.share + "/vault/.folder/users_r", "bob\n");
    e2e::write_file(srv.share + "/.hidden", "h");

    Result r = cli("alice", "wonder", {"ls"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out,
              "dir     1 dir, 1 file           pics/  [preview]\n"
              "closed  -                       vault/\n"
              "file    3.0 MiB                 alpha.bin\n"
              "file    1000 B                  zeta.txt\n");
    r = cli("alice", "wonder", {"ls", "-a", "/"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find(".hidden"), std::string::npos) << r.out;

    r = cli("alice", "wonder", {"ls", "/vault"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("/vault: closed"), std::string::npos) << r.err;
    r = cli("alice", "wonder", {"ls", "/nowhere"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("ls: /nowhere: no such file or folder"), std::string::npos) << r.err;
    r = cli("alice", "wonder", {"ls", "/pics/sub"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "");
}

TEST_F(Tools, DownloadsInPiecesAndWholeMatchTheFile) {
    add_user("alice", "wonder", 5);
    SKIP_IF_UNKNOWN(login_cmd("alice", "wonder"));
    SKIP_IF_UNKNOWN(cmd("LIST", {{"PATH", "/"}}), "alice", "wonder");
    SKIP_IF_UNKNOWN(cmd("SEND", {{"FILE", "/x"}}), "alice", "wonder");
    SKIP_IF_UNKNOWN(cmd("FILE", {{"FILE", "/x"}}), "alice", "wonder");
    const std::string blob = random_bytes(300001, 7);
    e2e::write_file(srv.share + "/data/blob.bin", blob);
    e2e::write_file(srv.share + "/data/empty", "");
    e2e::write_file(srv.share + "/data/.folder/users_r", "alice\n");

    // Pieces of an odd size, so that the last one is short.
    Result r = cli("alice", "wonder", {"get", "--piece", "4099", "/data/blob.bin", work + "/a"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(e2e::read_file(work + "/a") == blob);
    r = cli("alice", "wonder", {"get", "/data/blob.bin", work});  // into a folder, default piece
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(e2e::read_file(work + "/blob.bin") == blob);
    r = cli("alice", "wonder", {"get", "--whole", "/data/blob.bin", work + "/w"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(e2e::read_file(work + "/w") == blob);
    r = cli("alice", "wonder", {"get", "/data/empty", work + "/e"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(fs::exists(work + "/e"));
    EXPECT_EQ(fs::file_size(work + "/e"), 0u);

    r = cli("alice", "wonder", {"get", "/data/missing", work + "/m"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("/data/missing: no such file"), std::string::npos) << r.err;
    r = cli("alice", "wonder", {"get", "/data", work + "/d"});
    EXPECT_EQ(r.code, 1);
    r = cli("alice", "wonder", {"get", "--piece", "70000", "/data/blob.bin"});
    EXPECT_EQ(r.code, 2);
    EXPECT_FALSE(fs::exists(work + "/m"));
    EXPECT_TRUE(temp_files(work).empty());
    r = cli("alice", "wonder", {"get", "/data/blob.bin", work + "/no/such/folder/x"});
    EXPECT_EQ(r.code, 5) << r.err;

    // A folder closed to the user: nothing is fetched.
    add_user("bob", "builder", 5);
    r = cli("bob", "builder", {"get", "/data/blob.bin", work + "/b"});
    EXPECT_EQ(r.code, 1) << "closed folder";
    EXPECT_NE(r.err.find("/data: closed"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(work + "/b"));

    SKIP_IF_UNKNOWN(cmd("CHECK", {{"FILE", "/data/blob.bin"}}), "alice", "wonder");
    EXPECT_EQ(cli("alice", "wonder", {"check", "/data/blob.bin"}).code, 0);
    EXPECT_EQ(cli("alice", "wonder", {"check", "/data/none"}).code, 1);
}

TEST_F(Tools, InterruptedDownloadLeavesNoFileUnderTheFinalName) {
    add_user("alice", "wonder", 5);
    SKIP_IF_UNKNOWN(login_cmd("alice", "wonder"));
    SKIP_IF_UNKNOWN(cmd("LIST", {{"PATH", "/"}}), "alice", "wonder");
    SKIP_IF_UNKNOWN(cmd("SEND", {{"FILE", "/x"}}), "alice", "wonder");
    // Small pieces of a large file: thousands of round trips, so the download is still
    // running when the test steps in.
    e2e::write_file(srv.share + "/big.bin", random_bytes(8 * 1024 * 1024, 3));
    auto wait_temp = [&]() {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (temp_files(work).empty() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return !temp_files(work).empty();
    };

    // The user interrupts the client: the partial file goes away.
    {
        Proc p(cli_args("alice", {"get", "--piece", "512", "/big.bin", work + "/big.bin"}),
               {"BOARDHUB_PASSWORD=wonder"}, "", srv.dir.path);
        ASSERT_TRUE(wait_temp()) << p.err();
        kill(srv.pid, SIGSTOP);  // hold the transfer where it is
        p.signal(SIGINT);
        EXPECT_EQ(p.wait(), 130) << p.err();
        kill(srv.pid, SIGCONT);
        EXPECT_FALSE(fs::exists(work + "/big.bin"));
        EXPECT_TRUE(temp_files(work).empty());
    }
    // The server goes away in the middle: the client fails and keeps nothing.
    {
        Proc p(cli_args("alice", {"get", "--piece", "512", "/big.bin", work + "/big.bin"}),
               {"BOARDHUB_PASSWORD=wonder"}, "", srv.dir.path);
        ASSERT_TRUE(wait_temp()) << p.err();
        srv.stop(SIGKILL);
        EXPECT_EQ(p.wait(), 3) << p.err();
        EXPECT_FALSE(fs::exists(work + "/big.bin"));
        EXPECT_TRUE(temp_files(work).empty());
    }
}

TEST_F(Tools, MessagesAndNoticesReachAListeningClient) {
    add_user("alice", "wonder", 5);
    SKIP_IF_UNKNOWN(login_cmd("alice", "wonder"));
    add_user("bob", "builder", 5);
    // Messaging oneself shows whether MESSAGE is built: the real command delivers it.
    SKIP_IF_UNKNOWN(bh::json_command("MESSAGE", {{"TO", "alice"}, {"MESSAGE", "probe"}}),
                    "alice", "wonder");
    Proc listener(cli_args("bob", {"listen"}), {"BOARDHUB_PASSWORD=builder"}, "",
                  srv.dir.path);
    ASSERT_TRUE(listener.wait_out("listening")) << listener.err();

    Result r = cli("alice", "wonder", {"msg", "bob", "lunch", "at", "noon?"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "sent to bob\n");  // a one-shot says what it did, as the shell does
    EXPECT_TRUE(listener.wait_out("message from alice: lunch at noon?\n")) << listener.out();

    r = cli("alice", "wonder", {"msg", "carol", "hi"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("carol is not connected"), std::string::npos) << r.err;

    if (!unknown(cmd("MOD", {{"MOD", ""}}), "alice", "wonder")) {
        r = cli("alice", "wonder", {"notice", "power off at six"});
        EXPECT_EQ(r.code, 0) << r.err;
        EXPECT_EQ(r.out, "notice set\n");
        EXPECT_TRUE(listener.wait_out("] server notice: power off at six\n"))
            << listener.out();
        r = cli("alice", "wonder", {"notice"});
        EXPECT_EQ(r.out, "power off at six\n");
    }

    // A second login of bob replaces the listening session, which says so and stops.
    r = cli("bob", "builder", {"login"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(listener.wait(20000), 1) << listener.out();
    EXPECT_NE(listener.out().find("replaced by a new login"), std::string::npos)
        << listener.out();
}

TEST_F(Tools, PasswordChange) {
    add_user("alice", "wonder", 5);
    SKIP_IF_UNKNOWN(login_cmd("alice", "wonder"));
    SKIP_IF_UNKNOWN(cmd("PASSWORD", {{"CURRENT", "wonder"}, {"NEW", "wonder"}}), "alice",
                    "wonder");
    Result r = cli("alice", "wonder", {"passwd"}, {"BOARDHUB_NEW_PASSWORD=land"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "password changed\n");
    EXPECT_EQ(cli("alice", "wonder", {"login"}).code, 4);
    EXPECT_EQ(cli("alice", "land", {"login"}).code, 0);
    // Too long for the server's password field: refused before anything is sent.
    r = cli("alice", "land", {"passwd"}, {"BOARDHUB_NEW_PASSWORD=" + std::string(32, 'x')});
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(cli("alice", "land", {"login"}).code, 0);
}

TEST_F(Tools, ShellRunsCommandsOverOneConnection) {
    SKIP_IF_UNKNOWN(cmd("HELLO"));
    add_user("alice", "wonder", 5);
    SKIP_IF_UNKNOWN(login_cmd("alice", "wonder"));
    add_user("bob", "builder", 1);
    // Passwords are lines of the same input, taken in turn with the commands.
    Proc p(cli_args("alice", {"shell"}), {},
           "wonder\nhello\n# a comment\nlogin bob\nbuilder\nhello\nquit\nhello\n",
           srv.dir.path);
    EXPECT_EQ(p.wait(), 0) << p.err();
    EXPECT_EQ(p.out(),
              "logged in to testhub as alice (level 5)\n"
              "server testhub, protocol 3.0.0\n"
              "logged in to testhub as bob (level 1)\n"
              "server testhub, protocol 3.0.0\n");

    // A piped batch stops at the first failing command, with its status and its line
    // (password lines counted).
    e2e::make_dirs(srv.share + "/docs");
    Proc q(cli_args("alice", {"shell"}), {},
           "wonder\ncd docs\nls\nls -x\nhello\n", srv.dir.path);
    EXPECT_EQ(q.wait(), 2);
    EXPECT_EQ(q.out(), "logged in to testhub as alice (level 5)\n(empty folder)\n");
    EXPECT_NE(q.err().find("ls: unknown option '-x'"), std::string::npos) << q.err();
    EXPECT_NE(q.err().find("stopped at line 4: ls -x"), std::string::npos) << q.err();
    Proc r(cli_args("alice", {"shell"}), {}, "wonder\nls /nowhere\nhello\n", srv.dir.path);
    EXPECT_EQ(r.wait(), 1);
    EXPECT_EQ(r.out().find("server testhub"), std::string::npos) << r.out();
}

TEST_F(Tools, GetFetchesFoldersSeveralFilesAndStandardOutput) {
    add_user("alice", "wonder", 5);
    SKIP_IF_UNKNOWN(login_cmd("alice", "wonder"));
    SKIP_IF_UNKNOWN(cmd("SEND", {{"FILE", "/x"}}), "alice", "wonder");
    const std::string a = random_bytes(70001, 11), b = random_bytes(1000, 12);
    e2e::write_file(srv.share + "/tree/a.bin", a);
    e2e::write_file(srv.share + "/tree/sub/b.bin", b);
    e2e::write_file(srv.share + "/tree/sub/empty", "");
    e2e::write_file(srv.share + "/tree/sub/deeper/c.txt", "c");
    e2e::make_dirs(srv.share + "/tree/sub/hollow");
    e2e::write_file(srv.share + "/tree/locked/x", "x");
    e2e::write_file(srv.share + "/tree/locked/.folder/users_r", "bob\n");

    // A tree: closed folders skipped with a warning and a failing status, the rest exact.
    // Into an existing folder, like cp -r: work/tree.
    Result r = cli("alice", "wonder", {"get", "-r", "/tree", work});
    EXPECT_EQ(r.code, 1) << r.err;
    EXPECT_NE(r.err.find("/tree/locked: skipped, closed"), std::string::npos) << r.err;
    EXPECT_TRUE(e2e::read_file(work + "/tree/a.bin") == a);
    EXPECT_TRUE(e2e::read_file(work + "/tree/sub/b.bin") == b);
    EXPECT_EQ(e2e::read_file(work + "/tree/sub/deeper/c.txt"), "c");
    EXPECT_TRUE(fs::exists(work + "/tree/sub/empty"));
    EXPECT_TRUE(fs::is_directory(work + "/tree/sub/hollow"));
    EXPECT_FALSE(fs::exists(work + "/tree/locked"));

    // Existing files are kept unless -f; with -f they are replaced.
    e2e::write_file(work + "/tree/a.bin", "mine");
    r = cli("alice", "wonder", {"get", "-r", "/tree", work});
    EXPECT_EQ(r.code, 5) << r.err;
    EXPECT_NE(r.err.find("exists; not overwritten"), std::string::npos) << r.err;
    EXPECT_EQ(e2e::read_file(work + "/tree/a.bin"), "mine");
    r = cli("alice", "wonder", {"get", "-rf", "/tree", work});
    EXPECT_EQ(r.code, 1) << r.err;  // the closed folder still
    EXPECT_TRUE(e2e::read_file(work + "/tree/a.bin") == a);
    EXPECT_TRUE(temp_files(work + "/tree").empty());

    // Several files go into one folder, which must exist.
    e2e::make_dirs(work + "/many");
    r = cli("alice", "wonder", {"get", "/tree/a.bin", "/tree/sub/b.bin", work + "/many"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(e2e::read_file(work + "/many/a.bin") == a);
    EXPECT_TRUE(e2e::read_file(work + "/many/b.bin") == b);
    EXPECT_EQ(cli("alice", "wonder", {"get", "/tree/a.bin", "/tree/sub/b.bin", work + "/no"}).code,
              2);
    r = cli("alice", "wonder", {"get", "/tree/a.bin", work + "/many/a.bin"});
    EXPECT_EQ(r.code, 5) << r.err;

    // Standard output: the bytes and nothing else.
    r = cli("alice", "wonder", {"get", "/tree/sub/b.bin", "/tree/a.bin", "-"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(r.out == b + a);
    EXPECT_EQ(cli("alice", "wonder", {"get", "-r", "/tree", "-"}).code, 2);
    EXPECT_EQ(cli("alice", "wonder", {"get", "/tree/sub", work + "/s"}).code, 1);
}

// Sets a file's modification time (seconds since the epoch).
void set_mtime(const std::string& path, int64_t when) {
    struct timespec t[2] = {{static_cast<time_t>(when), 0}, {static_cast<time_t>(when), 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), t, AT_SYMLINK_NOFOLLOW), 0) << path;
}

// A folder far larger than one listing frame is listed and copied whole from a server that
// offers ENTRIES: every file, each with its size, names with commas, spaces and Korean intact.
TEST_F(Tools, AHugeFolderIsListedAndCopiedWhole) {
    add_user("alice", "wonder", 5);
    SKIP_IF_UNKNOWN(cmd("ENTRIES", {{"PATH", "/"}}), "alice", "wonder");
    constexpr int kFiles = 20000;
    auto name_of = [](int i) {
        return (i % 3 == 0 ? "보고서 " : i % 3 == 1 ? "a,b " : "f") + std::to_string(i) +
               std::string(40, 'n');
    };
    for (int i = 0; i < kFiles; i++)
        e2e::write_file(srv.share + "/huge/" + name_of(i), std::string(i % 13, 'z'));

    Result r = cli("alice", "wonder", {"ls", "/huge"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), kFiles);
    std::string err = r.err;  // nothing but the first contact's line with this server
    if (err.rfind("boardhub-cli: new server ", 0) == 0) err.erase(0, err.find('\n') + 1);
    EXPECT_EQ(err, "");

    // The copy goes to memory where the machine has it: the client syncs every file it
    // writes, 20000 syncs on a disk shared by parallel builds can outlast the test's time.
    std::string target = work;
    char shm[] = "/dev/shm/bh-huge-XXXXXX";
    if (fs::is_directory("/dev/shm") && mkdtemp(shm)) target = shm;
    Proc p(cli_args("alice", {"-q", "get", "-r", "/huge", target}), {"BOARDHUB_PASSWORD=wonder"},
           "", srv.dir.path);
    int code = p.wait(280000);
    size_t copied = 0;
    int wrong = 0;
    if (fs::is_directory(target + "/huge")) {
        for (const auto& e : fs::directory_iterator(target + "/huge")) copied += e.is_regular_file();
        for (int i = 0; i < kFiles; i++) {
            std::error_code ec;
            if (fs::file_size(target + "/huge/" + name_of(i), ec) != static_cast<uintmax_t>(i % 13))
                wrong++;
        }
    }
    if (target != work) fs::remove_all(target);
    EXPECT_EQ(code, 0) << p.err().substr(0, 2000);
    EXPECT_EQ(copied, static_cast<size_t>(kFiles));
    EXPECT_EQ(wrong, 0);
}

// ls -l: kind, size, local time, name; by name with folders first, -t newest first, -S largest
// first, -r the other way round; a file is shown as its own entry.
TEST_F(Tools, LongListingsShowTimesAndSortByThem) {
    add_user("alice", "wonder", 5);
    SKIP_IF_UNKNOWN(cmd("ENTRIES", {{"PATH", "/"}}), "alice", "wonder");
    const int64_t t0 = 1796766900;  // 2026-12-08 21:55 UTC
    e2e::write_file(srv.share + "/w/b.txt", std::string(300, 'b'));
    e2e::write_file(srv.share + "/w/a,b 한글.txt", std::string(20, 'a'));
    e2e::write_file(srv.share + "/w/c.bin", "c");
    e2e::make_dirs(srv.share + "/w/zdir");
    set_mtime(srv.share + "/w/b.txt", t0);
    set_mtime(srv.share + "/w/a,b 한글.txt", t0 - 86400);
    set_mtime(srv.share + "/w/c.bin", t0 + 3600);
    set_mtime(srv.share + "/w/zdir", t0 - 2 * 86400);
    const std::string z = "dir       -  2026-12-06 21:55  zdir/\n";
    const std::string a = "file     20  2026-12-07 21:55  a,b 한글.txt\n";
    const std::string b = "file    300  2026-12-08 21:55  b.txt\n";
    const std::string c = "file      1  2026-12-08 22:55  c.bin\n";
    struct Case {
        std::vector<std::string> options;
        std::string out;
    } cases[] = {
        {{"-l"}, z + a + b + c},
        {{"-lt"}, c + b + a + z},
        {{"-l", "-S"}, b + a + c + z},
        {{"-ltr"}, z + a + b + c},
        {{"-lSr"}, z + c + a + b},
        {{"-lr"}, z + c + b + a},
    };
    for (const Case& k : cases) {
        std::vector<std::string> args = {"ls"};
        args.insert(args.end(), k.options.begin(), k.options.end());
        args.push_back("/w");
        Result r = cli("alice", "wonder", args, {"TZ=UTC"});
        EXPECT_EQ(r.code, 0) << r.err;
        EXPECT_EQ(r.out, k.out) << k.options[0];
    }
    Result r = cli("alice", "wonder", {"ls", "-l", "/w/b.txt"}, {"TZ=UTC"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, b);
    r = cli("alice", "wonder", {"ls", "/w/none.txt"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("/w/none.txt: no such file or folder"), std::string::npos) << r.err;
}

// Wildcards in get and rm match names in the folder's listing (Korean with a space kept whole);
// put expands a local pattern the local shell left alone; no match is a failure.
TEST_F(Tools, WildcardsNameWhatTheFolderHolds) {
    add_user("ann", "pw", 5);
    e2e::write_file(srv.share + "/docs/보고서 1.txt", "one");
    e2e::write_file(srv.share + "/docs/보고서 2.txt", "two");
    e2e::write_file(srv.share + "/docs/note.md", "note");
    e2e::write_file(srv.share + "/docs/.보고서 3.txt", "hidden");
    e2e::make_dirs(work + "/out");

    Result r = cli("ann", "pw", {"get", "/docs/보고서 *.txt", work + "/out"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(e2e::read_file(work + "/out/보고서 1.txt"), "one");
    EXPECT_EQ(e2e::read_file(work + "/out/보고서 2.txt"), "two");
    EXPECT_FALSE(fs::exists(work + "/out/note.md"));
    // * takes no leading dot; a pattern that names one does.
    EXPECT_EQ(cli("ann", "pw", {"get", "/docs/*3.txt", work + "/out"}).code, 1);
    EXPECT_EQ(cli("ann", "pw", {"get", "/docs/.*", work + "/out"}).code, 0);
    EXPECT_EQ(e2e::read_file(work + "/out/.보고서 3.txt"), "hidden");
    r = cli("ann", "pw", {"get", "/docs/*.pdf", work + "/out"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("get: /docs/*.pdf: no match"), std::string::npos) << r.err;

    r = cli("ann", "pw", {"rm", "/docs/보고서 [12].txt"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_FALSE(fs::exists(srv.share + "/docs/보고서 1.txt"));
    EXPECT_FALSE(fs::exists(srv.share + "/docs/보고서 2.txt"));
    EXPECT_TRUE(fs::exists(srv.share + "/docs/note.md"));
    EXPECT_EQ(cli("ann", "pw", {"rm", "/docs/보고서 ?.txt"}).code, 1);

    e2e::write_file(work + "/up/가 나.txt", "ga");
    e2e::write_file(work + "/up/b.txt", "b");
    r = cli("ann", "pw", {"put", work + "/up/*.txt", "/docs"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(e2e::read_file(srv.share + "/docs/가 나.txt"), "ga");
    EXPECT_EQ(e2e::read_file(srv.share + "/docs/b.txt"), "b");
    EXPECT_EQ(cli("ann", "pw", {"put", work + "/up/*.none", "/docs"}).code, 1);
}

// rm -r deletes a tree depth-first and then the folder; without a terminal it needs -f, and
// it stops at the first refusal with the server's reason.
TEST_F(Tools, RecursiveRemoveAsksOrNeedsForce) {
    add_user("ann", "pw", 5);
    e2e::write_file(srv.share + "/t/a 가.txt", "a");
    e2e::write_file(srv.share + "/t/.dot", "d");
    e2e::write_file(srv.share + "/t/sub/deeper/x", "x");
    e2e::make_dirs(srv.share + "/t/empty");

    Result r = cli("ann", "pw", {"rm", "-r", "/t"});
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.err.find("add -f"), std::string::npos) << r.err;
    EXPECT_TRUE(fs::exists(srv.share + "/t/sub/deeper/x"));

    r = cli("ann", "pw", {"rm", "-rf", "/t"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_FALSE(fs::exists(srv.share + "/t"));

    // A folder inside that the user may read but not write: refused there, the rest kept.
    e2e::write_file(srv.share + "/u/ro/.folder/users_r", "ann\n");
    e2e::write_file(srv.share + "/u/ro/.folder/users_w", "someone\n");
    e2e::write_file(srv.share + "/u/ro/k.txt", "k");
    r = cli("ann", "pw", {"rm", "-r", "-f", "/u"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("boardhub-cli: rm: /u/ro/"), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_TRUE(fs::exists(srv.share + "/u/ro/k.txt"));
    EXPECT_TRUE(fs::exists(srv.share + "/u"));
}

TEST_F(Tools, ServerTextIsShownNotObeyed) {
    add_user("alice", "wonder", 5);
    SKIP_IF_UNKNOWN(login_cmd("alice", "wonder"));
    e2e::write_file(srv.share + "/evil\x1b]0;owned\x07\x9b.txt", "e");
    e2e::write_file(srv.share + "/안녕하세요.txt", "k");
    // Names made on the board itself that would read as other names: reordered, hidden, blank.
    e2e::write_file(srv.share + "/bill\u202Efdp.exe", "b");
    e2e::write_file(srv.share + "/zero\u200Bwidth\uFEFF\u2066.txt", "z");
    e2e::write_file(srv.share + "/ ", "s");
    e2e::write_file(srv.share + "/\u3000", "w");
    Result r = cli("alice", "wonder", {"ls"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("evil\\x1B]0;owned\\x07\\x9B.txt"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("안녕하세요.txt"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("bill\\xE2\\x80\\xAEfdp.exe"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("zero\\xE2\\x80\\x8Bwidth\\xEF\\xBB\\xBF\\xE2\\x81\\xA6.txt"),
              std::string::npos) << r.out;
    EXPECT_NE(r.out.find("  \\x20\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("  \\xE3\\x80\\x80\n"), std::string::npos) << r.out;
    for (const char* raw : {"\x1b", "\u202E", "\u200B", "\uFEFF", "\u2066", "\u3000"})
        EXPECT_EQ(r.out.find(raw), std::string::npos) << raw;
    // An unknown option is one line with the usage, not the whole help.
    r = cli("alice", "wonder", {"ls", "-x"});
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.err,
              "boardhub-cli: ls: unknown option '-x' (usage: ls [-a] [-l] [-t|-S] [-r] [PATH])\n");
}

// ---- against a misbehaving server ----

namespace {

// A listening socket on a free port of 127.0.0.1, for the stand-in servers below.
int listen_loopback(int* port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in a;
    memset(&a, 0, sizeof(a));
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    listen(fd, 1);
    socklen_t len = sizeof(a);
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    *port = ntohs(a.sin_port);
    return fd;
}

// A one-connection server that lists one file and then answers SEND with a data frame that
// breaks its promise: it announces `announce` bytes, sends `send` of them, then closes.
class LyingServer {
public:
    LyingServer(uint64_t listed, uint64_t announce, uint64_t send)
        : listed_(listed), announce_(announce), send_(send) {
        fd_ = listen_loopback(&port);
        thread_ = std::thread([this] { serve(); });
    }
    ~LyingServer() {
        shutdown(fd_, SHUT_RDWR);
        close(fd_);
        thread_.join();
    }
    int port = 0;

private:
    static void send_all(int fd, const std::string& s) {
        size_t off = 0;
        while (off < s.size()) {
            ssize_t n = ::send(fd, s.data() + off, s.size() - off, MSG_NOSIGNAL);
            if (n <= 0) return;
            off += static_cast<size_t>(n);
        }
    }
    static std::string header(const char* type, uint64_t length) {
        char h[13];
        snprintf(h, sizeof(h), "%s%10llu", type, static_cast<unsigned long long>(length));
        return std::string(h, 12);
    }
    void serve() {
        int c = accept(fd_, nullptr, nullptr);
        if (c < 0) return;
        char head[13] = {0};
        std::string payload;
        for (;;) {
            if (recv(c, head, 12, MSG_WAITALL) != 12) break;
            size_t len = static_cast<size_t>(atol(head + 2));
            payload.assign(len, '\0');
            if (len && recv(c, payload.data(), len, MSG_WAITALL) != static_cast<ssize_t>(len)) break;
            std::string word = bh::json_member(payload, "CMD");
            if (word == "LISTALL") {
                std::string text = "FN,0," + std::to_string(listed_) + ",f.bin\n";
                send_all(c, header("10", text.size()) + text);
            } else if (word == "SEND") {
                std::string ok = "{ \"RESULT\": \"OK\" }";
                send_all(c, header("11", ok.size()) + ok + header("89", announce_) +
                                std::string(send_, 'x'));
                break;
            } else {
                std::string fail = "{ \"RESULT\": \"FAIL\" }";
                send_all(c, header("11", fail.size()) + fail);
            }
        }
        close(c);
    }
    uint64_t listed_, announce_, send_;
    int fd_ = -1;
    std::thread thread_;
};

}  // namespace

TEST(ToolsDownload, BrokenTransfersNeverReachTheFinalName) {
    e2e::TempDir dir;
    struct Case {
        uint64_t listed, announce, send;
        const char* what;
    } cases[] = {
        {100, 50, 50, "a piece shorter than asked for"},
        {100, 100, 40, "the connection closes inside the piece"},
        {100, 200, 200, "a piece longer than asked for"},
    };
    for (const Case& k : cases) {
        LyingServer lying(k.listed, k.announce, k.send);
        Proc p({BOARDHUB_CLI, "-p", std::to_string(lying.port), "get", "/f.bin", dir.path + "/f"},
               {}, "", dir.path);
        EXPECT_EQ(p.wait(), 3) << k.what << ": " << p.err();
        EXPECT_FALSE(fs::exists(dir.path + "/f")) << k.what;
        EXPECT_TRUE(temp_files(dir.path).empty()) << k.what;
    }
}

namespace {

// A one-connection server whose listings name what no real share holds: a folder "..", one
// named "/", a folder and a file whose names are absolute paths (into the test's folder, out
// of the target), and one honest file "ok.txt". Any other folder lists one file, "x.txt"; any
// SEND is answered with two bytes "ok".
class LyingTreeServer {
public:
    explicit LyingTreeServer(const std::string& outside) : outside_(outside) {
        fd_ = listen_loopback(&port);
        thread_ = std::thread([this] { serve(); });
    }
    ~LyingTreeServer() {
        shutdown(fd_, SHUT_RDWR);
        close(fd_);
        thread_.join();
    }
    int port = 0;

private:
    static std::string frame(const char* type, const std::string& payload) {
        char h[13];
        snprintf(h, sizeof(h), "%s%10zu", type, payload.size());
        return std::string(h, 12) + payload;
    }
    void serve() {
        int c = accept(fd_, nullptr, nullptr);
        if (c < 0) return;
        char head[13] = {0};
        std::string payload;
        while (recv(c, head, 12, MSG_WAITALL) == 12) {
            size_t len = static_cast<size_t>(atol(head + 2));
            payload.assign(len, '\0');
            if (len && recv(c, payload.data(), len, MSG_WAITALL) != static_cast<ssize_t>(len)) break;
            std::string word = bh::json_member(payload, "CMD");
            std::string path = bh::json_member(payload, "PATH");
            std::string out;
            if ((word == "LIST" || word == "LISTALL") && path == "/") {
                out = frame("10", "DN,1,0,top\n");
            } else if (word == "LIST" || word == "LISTALL") {
                out = frame("10", path != "/top" ? "FN,0,2,x.txt\n"
                                                 : "DN,0,0,..\nDN,0,0,/\nDN,0,0," + outside_ +
                                                       "/dir\nFN,0,2," + outside_ +
                                                       "/file\nFN,0,2,ok.txt\n");
            } else if (word == "SEND") {
                out = frame("11", "{ \"RESULT\": \"OK\" }") + frame("89", "ok");
            } else {
                out = frame("11", "{ \"RESULT\": \"FAIL\" }");
            }
            if (::send(c, out.data(), out.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(out.size()))
                break;
        }
        close(c);
    }
    std::string outside_;
    int fd_ = -1;
    std::thread thread_;
};

}  // namespace

// get -r takes a server's names as local names only when they stay inside the target: every
// other entry is skipped with a line of its own and counted, and nothing appears beside the
// target.
TEST(ToolsDownload, TreeFromALyingServerStaysInsideTheTarget) {
    e2e::TempDir dir;
    LyingTreeServer lying(dir.path);
    Proc p({BOARDHUB_CLI, "-p", std::to_string(lying.port), "get", "-r", "/top", dir.path + "/t"},
           {}, "", dir.path);
    EXPECT_EQ(p.wait(), 1) << p.err();
    EXPECT_EQ(e2e::read_file(dir.path + "/t/ok.txt"), "ok");
    std::vector<std::string> beside;
    for (const auto& e : fs::recursive_directory_iterator(dir.path)) {
        std::string rel = e.path().string().substr(dir.path.size());
        if (rel != "/t" && rel != "/t/ok.txt" && rel.rfind("/proc", 0) != 0) beside.push_back(rel);
    }
    EXPECT_TRUE(beside.empty()) << beside.front();
    const std::string err = p.err();
    for (const std::string& child : {std::string("/top/.."), std::string("/top//"), "/top/" + dir.path + "/dir",
                                     "/top/" + dir.path + "/file"})
        EXPECT_NE(err.find(child + ": skipped, not usable as a local name\n"), std::string::npos)
            << child << "\n" << err;
    EXPECT_NE(err.find("get: 4 entries skipped\n"), std::string::npos) << err;
}

namespace {

// A server without ENTRIES (FEATURES unknown) whose LIST of each folder is the text given for
// it ("ERROR\n" for others), and whose SEND answers with SIZE bytes. One connection at a time,
// until destroyed. With changed, it offers ENTRIES instead, sends the texts as its lines and
// says every folder changed while it was listed.
class ListOnlyServer {
public:
    explicit ListOnlyServer(std::map<std::string, std::string> listings, bool changed = false)
        : listings_(std::move(listings)), changed_(changed) {
        fd_ = listen_loopback(&port);
        thread_ = std::thread([this] {
            for (int c; (c = accept(fd_, nullptr, nullptr)) >= 0;) serve(c);
        });
    }
    ~ListOnlyServer() {
        shutdown(fd_, SHUT_RDWR);
        close(fd_);
        thread_.join();
    }
    int port = 0;

private:
    static std::string frame(const char* type, const std::string& payload) {
        char h[13];
        snprintf(h, sizeof(h), "%s%10zu", type, payload.size());
        return std::string(h, 12) + payload;
    }
    void serve(int c) {
        char head[13] = {0};
        std::string payload;
        while (recv(c, head, 12, MSG_WAITALL) == 12) {
            size_t len = static_cast<size_t>(atol(head + 2));
            payload.assign(len, '\0');
            if (len && recv(c, payload.data(), len, MSG_WAITALL) != static_cast<ssize_t>(len)) break;
            std::string word = bh::json_member(payload, "CMD");
            std::string out;
            if (word == "FEATURES" && changed_) {
                out = frame("11", "{ \"RESULT\": \"OK\", \"FEATURES\": [ \"entries\" ] }");
            } else if (word == "ENTRIES" && changed_) {
                auto it = listings_.find(bh::json_member(payload, "PATH"));
                if (it == listings_.end()) {
                    out = frame("11", "{ \"RESULT\": \"FAIL\", \"REASON\": \"NOTFOUND\" }");
                } else {
                    long n = std::count(it->second.begin(), it->second.end(), '\n');
                    out = frame("10", it->second) +
                          frame("11", "{ \"RESULT\": \"OK\", \"ENTRIES\": " + std::to_string(n) +
                                          ", \"WRITE\": false, \"CHANGED\": true }");
                }
            } else if (word == "LIST" || word == "LISTALL") {
                auto it = listings_.find(bh::json_member(payload, "PATH"));
                out = frame("10", it == listings_.end() ? "ERROR\n" : it->second);
            } else if (word == "SEND") {
                size_t size = strtoul(bh::json_member(payload, "SIZE").c_str(), nullptr, 10);
                out = frame("11", "{ \"RESULT\": \"OK\" }") + frame("89", std::string(size, 'z'));
            } else {
                out = frame("11", "{ \"RESULT\": \"FAIL\" }");
            }
            if (::send(c, out.data(), out.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(out.size()))
                break;
        }
        close(c);
    }
    std::map<std::string, std::string> listings_;
    bool changed_ = false;
    int fd_ = -1;
    std::thread thread_;
};

}  // namespace

// A server without ENTRIES sends one listing frame, cut at what fits. The client never takes a
// listing that filled its frame for the whole folder: ls warns, get -r copies what was listed
// and fails with status 6. One that ends a longest line short of the frame is whole.
TEST(ToolsDownload, AListingThatFilledItsFrameIsNeverTakenAsWhole) {
    e2e::TempDir dir;
    std::string big, edge;
    for (int i = 0; big.size() <= bh::kMaxListing - bh::kMaxListingLine; i++)
        big += "FN,0,2," + std::to_string(100000 + i) + std::string(120, 'n') + "\n";
    // 672 lines of 96 bytes: 64512 bytes, the most that cannot have been cut.
    for (int i = 0; i < 672; i++)
        edge += "FN,0,2," + std::to_string(1000 + i) + std::string(84, 'e') + "\n";
    ASSERT_EQ(edge.size(), bh::kMaxListing - bh::kMaxListingLine);
    ListOnlyServer srv({{"/", "DN,0,1,big\nDN,0,1,edge\n"}, {"/big", big}, {"/edge", edge}});
    size_t listed = static_cast<size_t>(std::count(big.begin(), big.end(), '\n'));
    auto run = [&](const std::vector<std::string>& args) {
        std::vector<std::string> full = {BOARDHUB_CLI, "-q", "-p", std::to_string(srv.port)};
        full.insert(full.end(), args.begin(), args.end());
        Proc p(full, {}, "", dir.path);
        Result r;
        r.code = p.wait();
        r.out = p.out();
        r.err = p.err();
        return r;
    };

    Result r = run({"ls", "/big"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(static_cast<size_t>(std::count(r.out.begin(), r.out.end(), '\n')), listed);
    EXPECT_NE(r.err.find("ls: /big: warning: the listing filled the server's reply; " +
                         std::to_string(listed) + " entries shown, others may be missing"),
              std::string::npos)
        << r.err;
    r = run({"get", "/big/999999", dir.path});
    EXPECT_EQ(r.code, 1) << r.err;
    EXPECT_NE(r.err.find("not in the listing of /big, which filled the server's reply"),
              std::string::npos)
        << r.err;

    r = run({"get", "-r", "/big", dir.path});
    EXPECT_EQ(r.code, 6) << r.err;
    EXPECT_NE(r.err.find("get: /big: the listing filled the server's reply; " +
                         std::to_string(listed) + " entries copied, others may be missing"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("get: incomplete: 1 folder was listed only in part"), std::string::npos)
        << r.err;
    size_t copied = 0;
    for (const auto& e : fs::directory_iterator(dir.path + "/big")) copied += e.is_regular_file();
    EXPECT_EQ(copied, listed);
    // Matches taken from such a listing may be missing some: the same status.
    e2e::make_dirs(dir.path + "/m");
    r = run({"get", "/big/10000?n*", dir.path + "/m"});
    EXPECT_EQ(r.code, 6) << r.err;
    EXPECT_NE(r.err.find("the listing of /big may lack entries"), std::string::npos) << r.err;
    copied = 0;
    for (const auto& e : fs::directory_iterator(dir.path + "/m")) copied += e.is_regular_file();
    EXPECT_EQ(copied, 10u);

    r = run({"ls", "/edge"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 672);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(run({"get", "-r", "/edge", dir.path}).code, 0);
}

// A folder that changed while the server listed it is copied as listed, with a warning that
// names it, and the status says the copy may be incomplete.
TEST(ToolsDownload, AFolderThatChangedWhileListedIsNamedInAWarning) {
    e2e::TempDir dir;
    ListOnlyServer srv({{"/", "DN,0,1,0,w,보고 서\n"}, {"/보고 서", "FN,0,2,0,w,a b.txt\n"}}, true);
    Proc p({BOARDHUB_CLI, "-q", "-p", std::to_string(srv.port), "get", "-r", "/보고 서",
            dir.path + "/t"},
           {}, "", dir.path);
    EXPECT_EQ(p.wait(), 6) << p.err();
    EXPECT_EQ(e2e::read_file(dir.path + "/t/a b.txt"), "zz");
    EXPECT_NE(p.err().find("get: /보고 서: warning: the folder changed while it was listed"),
              std::string::npos)
        << p.err();
    EXPECT_NE(p.err().find("get: incomplete: 1 folder changed while it was copied"),
              std::string::npos)
        << p.err();
}

#ifdef FAKE_V4L2_LIB
// ---- snapshot against the stand-in capture device ----
#include <png.h>

#include "../fakes/fake_v4l2.h"

namespace {

// Decodes a PNG into 8-bit RGB rows; false when it is no such PNG.
bool decode_png(const std::string& path, png_uint_32& width, png_uint_32& height,
                std::vector<unsigned char>& rgb) {
    png_image image;
    memset(&image, 0, sizeof(image));
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str())) return false;
    image.format = PNG_FORMAT_RGB;
    rgb.resize(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, rgb.data(), 0, nullptr)) return false;
    width = image.width;
    height = image.height;
    return true;
}

}  // namespace

TEST(ToolsCamera, SnapshotIsAnRgbPngOfTheFrame) {
    e2e::TestServer srv;
    std::string device = srv.dir.path + "/video0";
    e2e::ServerOptions o;
    o.keys["camera"] = device;
    std::string preload = e2e::sanitizer_runtime();
    if (!preload.empty()) preload += " ";
    preload += FAKE_V4L2_LIB;
    o.env = {"LD_PRELOAD=" + preload, "FAKE_V4L2_DEVICE=" + device,
             "FAKE_V4L2_CONFIG=fmt=YUYV:d640x480"};
    ASSERT_TRUE(srv.start(o)) << srv.out() << srv.err();
    ASSERT_TRUE(srv.wait_for_output("Server started at", 20000)) << srv.out();
    e2e::add_user(srv.data, "cam", "pw", 5);

    std::string png = srv.dir.path + "/snap.png";
    Proc p({BOARDHUB_CLI, "-p", std::to_string(srv.port), "-u", "cam", "snap", png},
           {"BOARDHUB_PASSWORD=pw"}, "", srv.dir.path);
    ASSERT_EQ(p.wait(), 0) << p.err();
    Proc info({BOARDHUB_CLI, "-p", std::to_string(srv.port), "caminfo"}, {}, "", srv.dir.path);
    EXPECT_EQ(info.wait(), 0) << info.err();
    EXPECT_EQ(info.out(), "camera: 640x480\n");

    png_uint_32 w = 0, h = 0;
    std::vector<unsigned char> rgb;
    ASSERT_TRUE(decode_png(png, w, h, rgb));
    ASSERT_EQ(w, 640u);
    ASSERT_EQ(h, 480u);
    // A pixel pair inside the device's fixed pattern: Y0 U Y1 V at a known offset, converted
    // with the BT.601 equations in floating point.
    for (size_t x : {100u, 101u, 639u}) {
        size_t y = 200;
        size_t pair = (y * 640 + (x & ~static_cast<size_t>(1))) * 2;
        double Y = fakecam::pattern_byte(pair + (x & 1 ? 2 : 0));
        double U = fakecam::pattern_byte(pair + 1), V = fakecam::pattern_byte(pair + 3);
        auto clamp = [](double v) { return v < 0 ? 0.0 : v > 255 ? 255.0 : v; };
        double r = clamp(1.164 * (Y - 16) + 1.596 * (V - 128));
        double g = clamp(1.164 * (Y - 16) - 0.392 * (U - 128) - 0.813 * (V - 128));
        double b = clamp(1.164 * (Y - 16) + 2.017 * (U - 128));
        const unsigned char* px = &rgb[(y * 640 + x) * 3];
        EXPECT_NEAR(px[0], r, 2.0) << "x " << x;
        EXPECT_NEAR(px[1], g, 2.0) << "x " << x;
        EXPECT_NEAR(px[2], b, 2.0) << "x " << x;
    }
    EXPECT_FALSE(fs::exists(png + ".part"));

    Proc bad({BOARDHUB_CLI, "-p", std::to_string(srv.port), "-u", "cam", "snap",
              srv.dir.path + "/no/x.png"},
             {"BOARDHUB_PASSWORD=pw"}, "", srv.dir.path);
    EXPECT_EQ(bad.wait(), 5) << bad.err();
}
#endif

TEST_F(Tools, PutMkdirMvRmAndGetContinueRoundTrip) {
    add_user("ann", "pw", 5);
    std::string body = random_bytes(300000, 21);
    e2e::write_file(work + "/a.bin", body);
    e2e::write_file(work + "/tree/sub/x.txt", "x");
    e2e::write_file(work + "/tree/y.txt", "yy");

    Result r = cli("ann", "pw", {"put", work + "/a.bin", "/a.bin"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(e2e::read_file(srv.share + "/a.bin"), body);
    r = cli("ann", "pw", {"put", work + "/a.bin", "/a.bin"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("not replaced (-f replaces)"), std::string::npos) << r.err;
    EXPECT_EQ(cli("ann", "pw", {"put", "-f", work + "/a.bin", "/a.bin"}).code, 0);

    EXPECT_EQ(cli("ann", "pw", {"mkdir", "/d"}).code, 0);
    EXPECT_EQ(cli("ann", "pw", {"mv", "/a.bin", "/d"}).code, 0);  // into the folder
    EXPECT_EQ(e2e::read_file(srv.share + "/d/a.bin"), body);
    r = cli("ann", "pw", {"rm", "/d"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("the folder is not empty"), std::string::npos) << r.err;

    r = cli("ann", "pw", {"get", "/d/a.bin", work + "/b.bin"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(e2e::read_file(work + "/b.bin"), body);
    // A cut download kept as .NAME.part continues from its size.
    e2e::write_file(work + "/.c.bin.part", body.substr(0, 123457));
    r = cli("ann", "pw", {"get", "-c", "/d/a.bin", work + "/c.bin"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(e2e::read_file(work + "/c.bin"), body);
    struct stat st;
    EXPECT_NE(lstat((work + "/.c.bin.part").c_str(), &st), 0);

    EXPECT_EQ(cli("ann", "pw", {"put", "-r", work + "/tree", "/"}).code, 0);
    EXPECT_EQ(e2e::read_file(srv.share + "/tree/sub/x.txt"), "x");
    EXPECT_EQ(e2e::read_file(srv.share + "/tree/y.txt"), "yy");
    EXPECT_EQ(cli("ann", "pw", {"rm", "/d/a.bin", "/d"}).code, 0);
    EXPECT_NE(lstat((srv.share + "/d").c_str(), &st), 0);

    // A refused move names the folder that refused it, on either side.
    e2e::write_file(srv.share + "/ro/.folder/users_w", "someone\n");
    e2e::write_file(srv.share + "/ro/z.txt", "z");
    r = cli("ann", "pw", {"mv", "/tree/y.txt", "/ro"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("mv: /ro: no write access"), std::string::npos) << r.err;
    r = cli("ann", "pw", {"mv", "/ro/z.txt", "/tree"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("mv: /ro: no write access"), std::string::npos) << r.err;
    EXPECT_EQ(e2e::read_file(srv.share + "/ro/z.txt"), "z");
    EXPECT_EQ(e2e::read_file(srv.share + "/tree/y.txt"), "yy");
}

// ---- boardhub-cli over encrypted connections ----

namespace {

// A TCP relay between the client and the server that keeps every byte of both directions, as
// someone on the path would see them. One connection at a time.
class Relay {
public:
    explicit Relay(int target) : target_(target) {
        listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        struct sockaddr_in a;
        memset(&a, 0, sizeof(a));
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof(a);
        if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 ||
            listen(listen_fd_, 4) != 0 ||
            getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            abort();
        port = ntohs(a.sin_port);
        thread_ = std::thread([this] { run(); });
    }
    ~Relay() {
        stop_ = true;
        thread_.join();
        close(listen_fd_);
    }
    std::string up() {  // client to server
        std::lock_guard<std::mutex> g(lock_);
        return up_;
    }
    std::string down() {  // server to client
        std::lock_guard<std::mutex> g(lock_);
        return down_;
    }
    void clear() {
        std::lock_guard<std::mutex> g(lock_);
        up_.clear();
        down_.clear();
    }
    int port = 0;

private:
    void run() {
        while (!stop_) {
            struct pollfd l = {listen_fd_, POLLIN, 0};
            if (poll(&l, 1, 50) <= 0) continue;
            int c = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0) continue;
            int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            struct sockaddr_in a;
            memset(&a, 0, sizeof(a));
            a.sin_family = AF_INET;
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            a.sin_port = htons(static_cast<uint16_t>(target_));
            if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0) pump(c, s);
            close(s);
            close(c);
        }
    }
    // Until either side closes; each piece is kept before it is passed on.
    void pump(int c, int s) {
        char buf[65536];
        while (!stop_) {
            struct pollfd p[2] = {{c, POLLIN, 0}, {s, POLLIN, 0}};
            if (poll(p, 2, 50) <= 0) continue;
            for (int i = 0; i < 2; i++) {
                if (!p[i].revents) continue;
                ssize_t n = recv(p[i].fd, buf, sizeof(buf), 0);
                if (n <= 0) return;
                {
                    std::lock_guard<std::mutex> g(lock_);
                    (i == 0 ? up_ : down_).append(buf, static_cast<size_t>(n));
                }
                if (send(p[1 - i].fd, buf, static_cast<size_t>(n), MSG_NOSIGNAL) != n) return;
            }
        }
    }

    int target_;
    int listen_fd_ = -1;
    std::atomic<bool> stop_{false};
    std::mutex lock_;
    std::string up_, down_;
    std::thread thread_;
};

bool has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

}  // namespace

class ToolsTls : public Tools {
protected:
    // The client through the relay (its port in place of the server's).
    Result via(Relay& relay, const std::vector<std::string>& args, std::vector<std::string> env = {}) {
        env.push_back("BOARDHUB_PASSWORD=" + password);
        std::vector<std::string> full = {BOARDHUB_CLI, "-H", "127.0.0.1", "-p",
                                         std::to_string(relay.port), "-u", "eve"};
        full.insert(full.end(), args.begin(), args.end());
        Proc p(full, env, "", srv.dir.path);
        Result r;
        r.code = p.wait();
        r.out = p.out();
        r.err = p.err();
        return r;
    }
    std::string known_servers() { return srv.state + "/boardhub/known_servers"; }

    const std::string password = "Pw-7f3a9c-distinct";
};

// Neither the password nor a file's bytes cross the wire readable, unless encryption is off
// (which shows that the relay would see them).
TEST_F(ToolsTls, PasswordAndContentNeverCrossTheWireReadable) {
    add_user("eve", password, 5);
    std::string body;
    for (int i = 0; body.size() < 96 * 1024; i++) body += "pattern-block-" + std::to_string(i) + "|";
    e2e::write_file(srv.share + "/data/pattern.txt", body);
    std::string piece = body.substr(40000, 64);
    Relay relay(srv.port);

    Result r = via(relay, {"ls", "/data"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(has(r.out, "pattern.txt")) << r.out;
    std::string key = "127.0.0.1:" + std::to_string(relay.port);
    // The first contact is said once and recorded.
    EXPECT_TRUE(has(r.err, "boardhub-cli: new server " + key + ", identity SHA256:")) << r.err;
    EXPECT_TRUE(has(r.err, "recorded in " + known_servers())) << r.err;
    std::string line = e2e::read_file(known_servers());
    EXPECT_EQ(line.rfind(key + " SHA256:", 0), 0u) << line;
    EXPECT_EQ(line.size(), key.size() + 1 + 7 + 32 * 3 - 1 + 1) << line;
    EXPECT_EQ(fs::status(known_servers()).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(fs::status(srv.state + "/boardhub").permissions() & fs::perms::all, fs::perms::owner_all);

    r = via(relay, {"get", "/data/pattern.txt", work + "/p1"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(e2e::read_file(work + "/p1"), body);
    EXPECT_FALSE(has(r.err, "new server")) << r.err;
    EXPECT_EQ(e2e::read_file(known_servers()), line);  // known: nothing added
    EXPECT_TRUE(has(relay.up(), "STARTTLS"));
    EXPECT_FALSE(has(relay.up(), password));
    EXPECT_FALSE(has(relay.up(), "LOGIN"));
    EXPECT_FALSE(has(relay.down(), piece));
    EXPECT_FALSE(has(relay.down(), "pattern.txt"));

    relay.clear();
    r = via(relay, {"--tls=off", "get", "/data/pattern.txt", work + "/p2"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(e2e::read_file(work + "/p2"), body);
    EXPECT_TRUE(has(relay.up(), password));
    EXPECT_TRUE(has(relay.down(), piece));
    EXPECT_FALSE(has(relay.up(), "STARTTLS"));
}

// A server that shows another identity on the same port gets no login: the client stops,
// names both identities, the file and the line, and exits non-zero.
TEST_F(ToolsTls, ChangedIdentityStopsBeforeLogin) {
    add_user("eve", password, 5);
    Relay relay(srv.port);
    // Another server first, so that the one that changes is on line 2.
    e2e::write_file(known_servers(), "10.0.0.9:8000 SHA256:00\n");
    ASSERT_EQ(via(relay, {"ls"}).code, 0);
    std::string before = e2e::read_file(known_servers());

    int port = srv.port;
    ASSERT_EQ(srv.stop(), 0);
    ASSERT_EQ(unlink((srv.data + "/tls-cert.pem").c_str()), 0);
    ASSERT_EQ(unlink((srv.data + "/tls-key.pem").c_str()), 0);
    e2e::ServerOptions o;
    o.keys["port"] = std::to_string(port);
    ASSERT_TRUE(srv.start(o)) << srv.out() << srv.err();
    relay.clear();

    Result r = via(relay, {"ls"});
    EXPECT_EQ(r.code, 3) << r.err;
    size_t at = before.find(' ', before.find('\n'));
    std::string old_fp = before.substr(at + 1, before.find('\n', at) - at - 1);
    EXPECT_TRUE(has(r.err, "IDENTITY OF SERVER 127.0.0.1:" + std::to_string(relay.port) + " HAS CHANGED")) << r.err;
    EXPECT_TRUE(has(r.err, "recorded identity: " + old_fp)) << r.err;
    EXPECT_TRUE(has(r.err, "offered identity:  SHA256:")) << r.err;
    EXPECT_TRUE(has(r.err, "remove line 2 of " + known_servers())) << r.err;
    EXPECT_EQ(e2e::read_file(known_servers()), before);
    EXPECT_TRUE(has(relay.up(), "STARTTLS"));
    EXPECT_FALSE(has(relay.up(), password));
    EXPECT_FALSE(has(srv.out(), "LOGIN")) << srv.out();
    // An interactive shell stops the same way.
    r = via(relay, {"shell"});
    EXPECT_EQ(r.code, 3) << r.err;
    EXPECT_FALSE(has(srv.out(), "LOGIN")) << srv.out();
}

// require meets a server without encryption: refused before the login. A server that takes
// logins over encrypted connections only tells a client with encryption off why.
TEST_F(ToolsTls, RequireAndTlsOnlyServersRefuseBeforeTheLogin) {
    add_user("eve", password, 5);
    ASSERT_EQ(srv.stop(), 0);
    e2e::ServerOptions plain;
    plain.keys["tls"] = "off";
    ASSERT_TRUE(srv.start(plain));
    Relay relay(srv.port);
    Result r = via(relay, {"--tls=require", "ls"});
    EXPECT_EQ(r.code, 3) << r.err;
    EXPECT_TRUE(has(r.err, "the server does not offer encryption")) << r.err;
    EXPECT_FALSE(has(relay.up(), "LOGIN"));
    r = via(relay, {"ls"}, {"BOARDHUB_TLS=require"});
    EXPECT_EQ(r.code, 3) << r.err;
    EXPECT_FALSE(has(relay.up(), "LOGIN"));
    EXPECT_FALSE(has(srv.out(), "LOGIN")) << srv.out();
    EXPECT_EQ(via(relay, {"ls"}).code, 0);  // auto: plain when not offered
    EXPECT_EQ(via(relay, {"--tls=maybe", "ls"}).code, 2);

    ASSERT_EQ(srv.stop(), 0);
    e2e::ServerOptions only;
    only.keys["tls"] = "require";
    ASSERT_TRUE(srv.start(only));
    Relay relay2(srv.port);
    r = via(relay2, {"--tls=off", "ls"});
    EXPECT_EQ(r.code, 4) << r.err;
    EXPECT_TRUE(has(r.err, "login as eve: the server accepts logins over encrypted connections only"))
        << r.err;
    r = via(relay2, {"--tls=require", "ls"});
    EXPECT_EQ(r.code, 0) << r.err;
}

// The store as people edit it: comments, a last line without its newline, the same server
// recorded twice. A new line never joins the one before it.
TEST(KnownServers, HandEditedFilesKeepTheirLines) {
    e2e::TempDir dir;
    std::string path = dir.path + "/state/boardhub/known_servers";
    bh::KnownServers store(path);
    int line = 0;
    std::string recorded, error;
    EXPECT_EQ(store.find("h:1", "SHA256:AA", line, recorded, error), bh::KnownServers::Match::unknown);
    e2e::write_file(path, "# servers\nh:1 SHA256:AA\nh:2 SHA256:BB\nh:2 SHA256:CC\nh:3 SHA256:DD");
    EXPECT_EQ(store.find("h:1", "SHA256:AA", line, recorded, error), bh::KnownServers::Match::known);
    EXPECT_EQ(store.find("h:2", "SHA256:CC", line, recorded, error), bh::KnownServers::Match::known);
    EXPECT_EQ(store.find("h:1", "SHA256:EE", line, recorded, error), bh::KnownServers::Match::changed);
    EXPECT_EQ(line, 2);
    EXPECT_EQ(recorded, "SHA256:AA");
    EXPECT_EQ(store.find("h:", "SHA256:AA", line, recorded, error), bh::KnownServers::Match::unknown);
    ASSERT_TRUE(store.add("h:4", "SHA256:FF", error)) << error;
    EXPECT_EQ(e2e::read_file(path),
              "# servers\nh:1 SHA256:AA\nh:2 SHA256:BB\nh:2 SHA256:CC\nh:3 SHA256:DD\nh:4 SHA256:FF\n");
    EXPECT_EQ(store.find("h:3", "SHA256:DD", line, recorded, error), bh::KnownServers::Match::known);
}
