// boardhub-cli and boardhub-admin driven as processes against the real server: accounts made
// with the admin tool, login, listing, downloads in pieces and whole, interrupted downloads,
// messages between two clients, password change.
//
// A test whose server command answers like an unknown command ({ "RESULT": "FAIL" }) is
// skipped: the command has not been built into this server yet.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
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
    EXPECT_NE(r.err.find("no such folder"), std::string::npos) << r.err;
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
           "wonder\ncd docs\nls\nls -l\nhello\n", srv.dir.path);
    EXPECT_EQ(q.wait(), 2);
    EXPECT_EQ(q.out(), "logged in to testhub as alice (level 5)\n(empty folder)\n");
    EXPECT_NE(q.err().find("ls: unknown option '-l'"), std::string::npos) << q.err();
    EXPECT_NE(q.err().find("stopped at line 4: ls -l"), std::string::npos) << q.err();
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

// A listing is one frame: of a large folder the server sends what fits. The client never takes
// that for the whole folder: ls warns, get -r copies what was listed and fails with status 6.
// A listing that ends one longest line short of the frame is whole and passes as such.
TEST_F(Tools, AListingThatFilledItsFrameIsNeverTakenAsWhole) {
    add_user("alice", "wonder", 5);
    SKIP_IF_UNKNOWN(login_cmd("alice", "wonder"));
    SKIP_IF_UNKNOWN(cmd("SEND", {{"FILE", "/x"}}), "alice", "wonder");
    for (int i = 0; i < 2000; i++)
        e2e::write_file(srv.share + "/big/" + std::to_string(100000 + i) + std::string(120, 'n'),
                        "z");
    // 672 lines "FN,0,0,NAME\n" of 96 bytes: 64512 bytes, the most that cannot have been cut.
    for (int i = 0; i < 672; i++)
        e2e::write_file(srv.share + "/edge/" + std::to_string(1000 + i) + std::string(84, 'e'), "");

    Result r = cli("alice", "wonder", {"ls", "/big"});
    EXPECT_EQ(r.code, 0) << r.err;
    size_t shown = static_cast<size_t>(std::count(r.out.begin(), r.out.end(), '\n'));
    EXPECT_GT(shown, 400u);
    EXPECT_LT(shown, 2000u);
    EXPECT_NE(r.err.find("ls: /big: warning: the listing filled the server's reply; " +
                         std::to_string(shown) + " entries shown, others may be missing"),
              std::string::npos)
        << r.err;
    std::string left_out;  // a file the cut left out: not called missing
    for (int i = 0; i < 2000 && left_out.empty(); i++) {
        std::string name = std::to_string(100000 + i) + std::string(120, 'n');
        if (r.out.find(" " + name + "\n") == std::string::npos) left_out = name;
    }
    Result one = cli("alice", "wonder", {"get", "/big/" + left_out, work});
    EXPECT_EQ(one.code, 1) << one.err;
    EXPECT_NE(one.err.find("not in the listing of /big, which filled the server's reply"),
              std::string::npos)
        << one.err;

    r = cli("alice", "wonder", {"get", "-r", "/big", work});
    EXPECT_EQ(r.code, 6) << r.err;
    EXPECT_NE(r.err.find("get: /big: the listing filled the server's reply; " +
                         std::to_string(shown) + " entries copied, others may be missing"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("get: incomplete: 1 folder was listed only in part"), std::string::npos)
        << r.err;
    size_t copied = 0;
    for (const auto& e : fs::directory_iterator(work + "/big")) copied += e.is_regular_file();
    EXPECT_EQ(copied, shown);

    r = cli("alice", "wonder", {"ls", "/edge"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 672);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(cli("alice", "wonder", {"get", "-r", "/edge", work}).code, 0);
    e2e::write_file(srv.share + "/edge/a", "");  // 9 bytes more: now it may have been cut
    r = cli("alice", "wonder", {"ls", "/edge"});
    EXPECT_NE(r.err.find("warning: the listing filled"), std::string::npos) << r.err;
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
    r = cli("alice", "wonder", {"ls", "-l"});
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.err, "boardhub-cli: ls: unknown option '-l' (usage: ls [-a] [PATH])\n");
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
