#include "harness.h"

#include <fcntl.h>
#include <link.h>
#include <netinet/in.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;

namespace e2e {

TempDir::TempDir() {
    char tmpl[] = "/tmp/boardhub-e2e-XXXXXX";
    char* p = mkdtemp(tmpl);
    if (!p) abort();
    path = p;
}

TempDir::~TempDir() {
    std::error_code ec;
    // Folders made unreadable by a test must not stop the clean-up.
    for (auto it = fs::recursive_directory_iterator(path, fs::directory_options::skip_permission_denied, ec);
         it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_directory(ec) && !it->is_symlink(ec)) chmod(it->path().c_str(), 0755);
    }
    fs::remove_all(path, ec);
}

void write_file(const std::string& path, const std::string& content) {
    make_dirs(fs::path(path).parent_path().string());
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << content;
}

std::string read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

void make_dirs(const std::string& path) {
    std::error_code ec;
    fs::create_directories(path, ec);
}

namespace {

void exec_sql(const std::string& db_path, const std::string& create, const std::string& insert,
              const std::vector<std::string>& texts, const int* level) {
    make_dirs(fs::path(db_path).parent_path().string());
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(db_path.c_str(), &db), SQLITE_OK);
    sqlite3_busy_timeout(db, 5000);
    char* err = nullptr;
    // Creating when missing keeps the server's exact table statement.
    std::string check = "SELECT 1 FROM sqlite_master WHERE type='table' AND name=";
    check += create.find("users") != std::string::npos ? "'users'" : "'groups'";
    bool exists = false;
    sqlite3_exec(
        db, check.c_str(),
        [](void* ctx, int, char**, char**) {
            *static_cast<bool*>(ctx) = true;
            return 0;
        },
        &exists, nullptr);
    if (!exists) {
        ASSERT_EQ(sqlite3_exec(db, create.c_str(), nullptr, nullptr, &err), SQLITE_OK) << err;
    }
    sqlite3_stmt* st = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, insert.c_str(), -1, &st, nullptr), SQLITE_OK);
    int i = 1;
    for (const auto& t : texts) sqlite3_bind_text(st, i++, t.c_str(), -1, SQLITE_TRANSIENT);
    if (level) sqlite3_bind_int(st, i, *level);
    ASSERT_EQ(sqlite3_step(st), SQLITE_DONE);
    sqlite3_finalize(st);
    sqlite3_close(db);
}

}  // namespace

void add_user(const std::string& data_dir, const std::string& name, const std::string& passwd,
              int level) {
    exec_sql(data_dir + "/users.db",
             "CREATE TABLE users (name TEXT, phone TEXT, mobile TEXT, address TEXT, office TEXT, "
             "phone1 TEXT, fax TEXT, memo TEXT, level INT, hostids TEXT, passwd TEXT);",
             "INSERT INTO users (name, passwd, level) VALUES (?1, ?2, ?3)", {name, passwd},
             &level);
}

void add_group(const std::string& data_dir, const std::string& name, const std::string& members) {
    exec_sql(data_dir + "/group.db", "CREATE TABLE groups (name TEXT, memo TEXT, members TEXT);",
             "INSERT INTO groups (name, members) VALUES (?1, ?2)", {name, members}, nullptr);
}

std::string sanitizer_runtime() {
    std::string found;
    dl_iterate_phdr(
        [](struct dl_phdr_info* info, size_t, void* data) {
            std::string name = info->dlpi_name ? info->dlpi_name : "";
            if (name.find("libasan.so") != std::string::npos ||
                name.find("libtsan.so") != std::string::npos)
                *static_cast<std::string*>(data) = name;
            return 0;
        },
        &found);
    return found;
}

long proc_status(pid_t pid, const std::string& key) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.compare(0, key.size() + 1, key + ":") == 0) return atol(line.c_str() + key.size() + 1);
    return -1;
}

int open_fds(pid_t pid) {
    std::error_code ec;
    std::filesystem::directory_iterator it("/proc/" + std::to_string(pid) + "/fd", ec);
    if (ec) return -1;
    int n = 0;
    for (; it != std::filesystem::directory_iterator(); it.increment(ec)) n++;
    return n;
}

int free_port() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    // Free on every address, as the server binds it: a port free on 127.0.0.1 alone may be
    // held on 127.0.0.2 by a test that stands for another host, and the server's bind fails.
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = 0;
    bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    socklen_t len = sizeof(addr);
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    int port = ntohs(addr.sin_port);
    close(fd);
    return port;
}

namespace {

// The programs the tests start (boardhub-cli, the gateway) keep state under XDG_STATE_HOME
// (history, the servers they know by identity) and fall back to $HOME: both point into a
// folder of this test process, never the real home.
struct TestHome {
    TempDir dir;
    TestHome() {
        setenv("HOME", dir.path.c_str(), 1);
        setenv("XDG_STATE_HOME", (dir.path + "/state").c_str(), 1);
    }
};
TestHome test_home;

}  // namespace

TestServer::TestServer() {
    // Each world has its own client state: its server makes a new identity and ports are
    // reused, so identities remembered from another world would not match.
    if (const char* s = getenv("XDG_STATE_HOME")) saved_state_home_ = s;
    state = dir.path + "/state";
    setenv("XDG_STATE_HOME", state.c_str(), 1);
    share = dir.path + "/share";
    data = dir.path + "/data";
    config = dir.path + "/server.ini";
    make_dirs(share);
    make_dirs(data);
}

TestServer::~TestServer() {
    if (pid > 0) {
        kill(pid, SIGKILL);
        int status;
        waitpid(pid, &status, 0);
    }
    setenv("XDG_STATE_HOME", saved_state_home_.c_str(), 1);
}

namespace {

pid_t spawn(const std::vector<std::string>& args, const std::vector<std::string>& env,
            const std::string& out_path, const std::string& err_path) {
    pid_t pid = fork();
    if (pid == 0) {
        int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out, 1);
        dup2(err, 2);
        int devnull = open("/dev/null", O_RDONLY);
        dup2(devnull, 0);
        for (const auto& e : env) putenv(strdup(e.c_str()));
        std::vector<char*> argv;
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

// True once the process has a handler for SIGINT (SigCgt in /proc/<pid>/status).
bool catches_sigint(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(f, line)) {
        if (line.rfind("SigCgt:", 0) != 0) continue;
        unsigned long long mask = std::stoull(line.substr(7), nullptr, 16);
        return (mask >> (SIGINT - 1)) & 1;
    }
    return false;
}

int decode(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

}  // namespace

bool TestServer::start(const ServerOptions& options) {
    for (int attempt = 0; attempt < 5; attempt++) {
        port = free_port();
        std::string text = options.config_text;
        if (text.empty()) {
            std::map<std::string, std::string> keys = {
                {"name", "testhub"},          {"port", std::to_string(port)},
                {"share", share},             {"data", data},
                {"camera", "NONE"},           {"log", options.file_log ? "yes" : "no"},
                // The tests' clients stand for the board's own programs at 127.0.0.1; tests of
                // an untrusted loopback erase this key.
                {"trusted_addresses", "127.0.0.1"}};
            for (const auto& kv : options.keys) keys[kv.first] = kv.second;
            for (auto it = keys.begin(); it != keys.end();)
                it = it->second.empty() ? keys.erase(it) : std::next(it);
            // "{port}" in the port value stands for this attempt's free port, so a test that
            // shapes the value still gets a fresh port when another process took the last one.
            std::string& value = keys["port"];
            if (size_t at = value.find("{port}"); at != std::string::npos)
                value.replace(at, 6, std::to_string(port));
            else
                port = atoi(value.c_str());
            text = "[server]\n";
            for (const auto& kv : keys) text += kv.first + " = " + kv.second + "\n";
        }
        write_file(config, text);
        pid = spawn({BOARDHUB_BIN, config}, options.env, dir.path + "/stdout.txt",
                    dir.path + "/stderr.txt");
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (std::chrono::steady_clock::now() < deadline) {
            int status;
            if (waitpid(pid, &status, WNOHANG) == pid) {
                pid = -1;
                break;  // exited: maybe the port was taken in between; try another
            }
            // The banner is printed after listen(): from then on connections are taken. No
            // probe connection, so the tests' first client gets slot 0. The SIGINT handler
            // comes just after the banner; until then SIGINT would kill the server, so wait
            // for it too.
            if (ready()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (pid > 0) return false;
        if (out().find("ERROR on binding") == std::string::npos) return false;
    }
    return false;
}

void TestServer::launch(const std::string& config_text) {
    write_file(config, config_text);
    pid = spawn({BOARDHUB_BIN, config}, {}, dir.path + "/stdout.txt", dir.path + "/stderr.txt");
}

bool TestServer::ready() const {
    return pid > 0 && out().find(" Server started at ") != std::string::npos &&
           catches_sigint(pid);
}

bool TestServer::running() {
    if (pid <= 0) return false;
    int status;
    if (waitpid(pid, &status, WNOHANG) == pid) {
        pid = -1;
        return false;
    }
    return true;
}

int TestServer::stop(int sig, int timeout_ms) {
    if (pid <= 0) return -1;
    kill(pid, sig);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < deadline) {
        int status;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            pid = -1;
            return decode(status);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid, SIGKILL);
    int status;
    waitpid(pid, &status, 0);
    pid = -1;
    return -1;
}

bh::Client TestServer::connect() {
    bh::Client c;
    EXPECT_TRUE(c.connect("127.0.0.1", port)) << c.error();
    return c;
}

std::string TestServer::out() const { return read_file(dir.path + "/stdout.txt"); }
std::string TestServer::err() const { return read_file(dir.path + "/stderr.txt"); }

bool TestServer::wait_for_output(const std::string& text, int timeout_ms) const {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    do {
        if (out().find(text) != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
}

int run_server(const std::vector<std::string>& args, std::string* out, std::string* err,
               int timeout_ms) {
    TempDir tmp;
    std::vector<std::string> full = {BOARDHUB_BIN};
    full.insert(full.end(), args.begin(), args.end());
    pid_t pid = spawn(full, {}, tmp.path + "/out", tmp.path + "/err");
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    int result = -1;
    for (;;) {
        int status;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            result = decode(status);
            break;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (out) *out = read_file(tmp.path + "/out");
    if (err) *err = read_file(tmp.path + "/err");
    return result;
}

std::string cmd(const std::string& word,
                std::initializer_list<std::pair<std::string, std::string>> members) {
    return bh::json_command(word, members);
}

std::string login(bh::Client& c, const std::string& user, const std::string& pass,
                  const std::string& version) {
    bh::Frame f;
    if (!c.command(cmd("LOGIN", {{"VERSION", version}, {"USERNAME", user}, {"PASSWORD", pass}}),
                   f))
        return "";
    return f.payload;
}

}  // namespace e2e
