// The web gateway end to end: the real server and the real boardhub-web in front of it, and
// raw-socket HTTP helpers (HTTP/1.0, so every response ends with its connection).
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"

namespace web_e2e {

using Clock = std::chrono::steady_clock;

struct Reply {
    int status = 0;
    std::map<std::string, std::string> headers;  // lower-case names
    std::string body;
    std::string header(const std::string& k) const {
        auto it = headers.find(k);
        return it == headers.end() ? "" : it->second;
    }
};

// A connection to the gateway, from the loopback address from when given ("127.0.0.2": the
// whole of 127/8 is loopback, so tests stand for separate hosts of the LAN), with a receive
// buffer of rcvbuf bytes when given (a small one makes the gateway's writes block soon).
inline int dial(int port, const char* from = nullptr, int rcvbuf = 0) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (rcvbuf > 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof(rcvbuf));
    if (from) {
        sockaddr_in b{};
        b.sin_family = AF_INET;
        inet_pton(AF_INET, from, &b.sin_addr);
        if (bind(fd, reinterpret_cast<sockaddr*>(&b), sizeof(b)) != 0) {
            close(fd);
            return -1;
        }
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Reads from fd until text appears in got or the time is up.
inline bool read_until(int fd, std::string& got, const std::string& text, int timeout_ms = 10000) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (got.find(text) == std::string::npos) {
        int left = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
        struct pollfd p = {fd, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, left) <= 0) return false;
        char buf[65536];
        ssize_t n = recv(fd, buf, sizeof(buf), 0);
        if (n <= 0) return got.find(text) != std::string::npos;
        got.append(buf, static_cast<size_t>(n));
    }
    return true;
}

inline bool read_more(int fd, std::string& got, int timeout_ms = 10000) {
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0) return false;
    char buf[65536];
    ssize_t n = recv(fd, buf, sizeof(buf), 0);
    if (n <= 0) return false;
    got.append(buf, static_cast<size_t>(n));
    return true;
}

inline size_t count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) n++;
    return n;
}

inline std::string request_text(const std::string& method, const std::string& path,
                         const std::vector<std::string>& headers, const std::string& body) {
    std::string req = method + " " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n";
    for (auto& h : headers) req += h + "\r\n";
    if (!body.empty() || method == "POST")
        req += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    return req + "\r\n" + body;
}

inline Reply parse(const std::string& raw) {
    Reply r;
    size_t end = raw.find("\r\n\r\n");
    if (end == std::string::npos || raw.size() < 12) return r;
    r.status = atoi(raw.c_str() + 9);
    size_t i = raw.find("\r\n") + 2;
    while (i < end) {
        size_t e = raw.find("\r\n", i);
        std::string line = raw.substr(i, e - i);
        size_t colon = line.find(':');
        std::string k = line.substr(0, colon);
        for (auto& c : k) c = static_cast<char>(tolower(c));
        std::string v = line.substr(colon + 1);
        v.erase(0, v.find_first_not_of(' '));
        r.headers[k] = r.headers.count(k) ? r.headers[k] + "\n" + v : v;
        i = e + 2;
    }
    r.body = raw.substr(end + 4);
    return r;
}

inline Reply http(int port, const std::string& method, const std::string& path,
                  const std::vector<std::string>& headers = {}, const std::string& body = "",
                  const char* from = nullptr) {
    int fd = dial(port, from);
    if (fd < 0) return Reply();
    std::string req = request_text(method, path, headers, body);
    (void)!send(fd, req.data(), req.size(), MSG_NOSIGNAL);
    std::string raw;
    read_until(fd, raw, "\x01never", 30000);
    close(fd);
    return parse(raw);
}

inline std::string member(const std::string& json, const std::string& key) {
    return bh::json_member(json, key);
}

// The server with a world, and the gateway in front of it.
// Server options for the stand-in capture device (320x240 YUYV, a frame every 20 ms) as the
// camera of a server whose folder is dir.
inline e2e::ServerOptions fake_camera(const std::string& dir) {
    e2e::ServerOptions o;
    std::string device = dir + "/video0";
    o.keys["camera"] = device;
    std::string preload = e2e::sanitizer_runtime();
    if (!preload.empty()) preload += " ";
    o.env = {"LD_PRELOAD=" + preload + FAKE_V4L2_LIB, "FAKE_V4L2_DEVICE=" + device,
             "FAKE_V4L2_CONFIG=fmt=YUYV:d320x240;interval=20"};
    return o;
}

struct Gateway {
    e2e::TestServer srv;
    int port = 0;
    pid_t pid = -1;
    std::string log;

    // server_keys: more lines for the [server] section of the gateway's configuration.
    bool start(const std::string& web_keys = "", const e2e::ServerOptions& o = {},
               const std::string& server_keys = "") {
        if (!srv.start(o)) return false;
        if (!o.env.empty() && !srv.wait_for_output("Server started at", 20000)) return false;
        e2e::add_user(srv.data, "bob", "bob", 5);
        e2e::add_user(srv.data, "alice", "alice", 5);
        e2e::make_dirs(srv.share + "/private/.folder");
        e2e::write_file(srv.share + "/private/.folder/users_r", "alice\n");
        e2e::write_file(srv.share + "/private/secret.txt", "not for bob");
        for (int attempt = 0; attempt < 5; attempt++) {
            port = e2e::free_port();
            std::string ini = srv.dir.path + "/web.ini";
            e2e::write_file(ini, "[server]\nport = " + std::to_string(srv.port) + "\n" +
                                     server_keys + "[web]\nlisten = 127.0.0.1\nport = " + std::to_string(port) +
                                     "\nwww = " BOARDHUB_SOURCE_DIR "/tools/web/www\n" + web_keys);
            log = srv.dir.path + "/web.log";
            pid = fork();
            if (pid == 0) {
                int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
                dup2(fd, 1);
                dup2(fd, 2);
                execl(BOARDHUB_WEB, BOARDHUB_WEB, ini.c_str(), static_cast<char*>(nullptr));
                _exit(127);
            }
            auto deadline = Clock::now() + std::chrono::seconds(10);
            while (Clock::now() < deadline) {
                if (e2e::read_file(log).find("listening on") != std::string::npos) return true;
                int status;
                if (waitpid(pid, &status, WNOHANG) == pid) break;
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        }
        return false;
    }
    ~Gateway() {
        if (pid > 0) {
            kill(pid, SIGTERM);
            int status;
            waitpid(pid, &status, 0);
        }
    }
    std::string output() const { return e2e::read_file(log); }
    // Descriptors the gateway has open.
    int descriptors() const { return e2e::open_fds(pid); }

    // Signs in; fills cookie ("Cookie: ...") and csrf.
    Reply login(const std::string& user, const std::string& pass, std::string* cookie = nullptr,
                std::string* csrf = nullptr, const char* from = nullptr) {
        Reply r = http(port, "POST", "/api/login", {"Content-Type: application/json"},
                       "{\"user\":\"" + user + "\",\"password\":\"" + pass + "\"}", from);
        std::string set = r.header("set-cookie");
        if (cookie) *cookie = "Cookie: " + set.substr(0, set.find(';'));
        if (csrf) *csrf = member(r.body, "csrf");
        return r;
    }
};

inline std::string pattern(size_t n, unsigned seed) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++) s[i] = static_cast<char>((i * 7919 + seed + (i >> 9)) & 0xff);
    return s;
}

}  // namespace web_e2e
