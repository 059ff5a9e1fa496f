// End-to-end test harness: a temporary world (share tree, data directory with real SQLite
// databases, configuration), the built server started on a free loopback port, and helpers to
// connect clients and read the server's output.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

#include "client.h"

namespace e2e {

// A temporary folder removed with its contents on destruction.
struct TempDir {
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string path;
};

void write_file(const std::string& path, const std::string& content);
std::string read_file(const std::string& path);
void make_dirs(const std::string& path);

// Creates "users.db"/"group.db" rows directly with SQLite (not through the server's code).
// The tables are created with the server's statements when missing.
void add_user(const std::string& data_dir, const std::string& name, const std::string& passwd,
              int level);
void add_group(const std::string& data_dir, const std::string& name, const std::string& members);

struct ServerOptions {
    // Overrides for section [server]; "{port}" in "port" is replaced by the free port chosen
    // for each attempt (a fixed port gets no retry when another process takes it). An empty
    // value leaves the key out.
    std::map<std::string, std::string> keys;
    std::string config_text;                  // when set, used verbatim as the configuration
    std::vector<std::string> env;             // extra "NAME=value" for the server process
    bool file_log = false;                    // "log = yes"
};

// While a TestServer lives, XDG_STATE_HOME points at dir/state (the previous value comes back
// on destruction): the clients the test starts keep their state, known servers among it, in
// this world. HOME and the default XDG_STATE_HOME of a test process are in a temporary folder.
class TestServer {
public:
    TestServer();
    ~TestServer();  // SIGKILLs a server still running

    // Starts the server with a generated configuration on a free port and waits until it
    // accepts connections (its banner is out; no connection is made). False otherwise.
    bool start(const ServerOptions& options = {});
    // Sends sig and waits for the exit; returns the wait status decoded as the exit code, or
    // 128+signal, or -1 on time-out (then the process is killed).
    int stop(int sig = 2, int timeout_ms = 10000);
    // Writes config_text as the configuration and starts the server without waiting for it
    // (for configurations whose port is not known, or that should fail).
    void launch(const std::string& config_text);
    // The banner is out and SIGINT is handled: connections are taken, stop() exits cleanly.
    bool ready() const;
    bool running();

    bh::Client connect();  // a connected client (asserts on failure)
    std::string out() const;  // standard output so far
    std::string err() const;  // standard error so far

    // Polls out() until it contains text or the time-out passes.
    bool wait_for_output(const std::string& text, int timeout_ms = 5000) const;

    int port = 0;
    pid_t pid = -1;
    TempDir dir;
    std::string share;   // dir/share
    std::string data;    // dir/data
    std::string config;  // dir/server.ini
    std::string state;   // dir/state: XDG_STATE_HOME of the clients the test starts

private:
    std::string saved_state_home_;
};

// Runs the server binary with the given arguments to completion; returns the exit status and
// fills out/err.
int run_server(const std::vector<std::string>& args, std::string* out, std::string* err,
               int timeout_ms = 10000);

// The sanitizer runtime this test binary runs with ("" in a plain build). The server is built
// the same way, so a library preloaded into it must come after this one in LD_PRELOAD.
std::string sanitizer_runtime();

// A TCP port free on every address (bound and released), as the server binds its port.
int free_port();

// A figure of /proc/PID/status in kB ("VmRSS", "VmHWM") or a count ("Threads"); -1 when
// unreadable. Descriptors the process has open, from /proc/PID/fd; -1 when unreadable.
long proc_status(pid_t pid, const std::string& key);
int open_fds(pid_t pid);

// Exact JSON helpers for assertions.
std::string cmd(const std::string& word,
                std::initializer_list<std::pair<std::string, std::string>> members = {});

// Logs in through a client; returns the reply payload.
std::string login(bh::Client& c, const std::string& user, const std::string& pass,
                  const std::string& version = "3.0.0");

}  // namespace e2e
