// A bare protocol connection for attack tests: TCP from a chosen loopback address, or the
// server's local socket. No gtest inside, so it also runs in a forked child that changed user.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace rawconn {

class Conn {
public:
    Conn() = default;
    Conn(const Conn&) = delete;
    Conn& operator=(const Conn&) = delete;
    Conn(Conn&& o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
    ~Conn() {
        if (fd_ >= 0) close(fd_);
    }

    // TCP to 127.0.0.1:port from the address from.
    bool tcp(const char* from, int port) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        struct sockaddr_in a;
        memset(&a, 0, sizeof(a));
        a.sin_family = AF_INET;
        inet_pton(AF_INET, from, &a.sin_addr);
        if (bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) return false;
        a.sin_port = htons(static_cast<uint16_t>(port));
        inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
        return connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0;
    }

    bool local(const std::string& path) {
        fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        struct sockaddr_un a;
        memset(&a, 0, sizeof(a));
        a.sun_family = AF_UNIX;
        snprintf(a.sun_path, sizeof(a.sun_path), "%s", path.c_str());
        return connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0;
    }

    bool send_frame(const std::string& type, const std::string& payload) {
        char header[13];
        snprintf(header, sizeof(header), "%2s%10zu", type.c_str(), payload.size());
        std::string frame = std::string(header, 12) + payload;
        return send(fd_, frame.data(), frame.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(frame.size());
    }

    // The payload of the next frame; "" when the connection ends or nothing comes in time.
    // type (when given) gets the frame's two-digit type.
    std::string read_frame(int timeout_ms = 20000, std::string* type = nullptr) {
        char h[13] = {0};
        if (!read_exact(h, 12, timeout_ms)) return "";
        if (type) type->assign(h, 2);
        std::string payload(static_cast<size_t>(atol(h + 2)), '\0');
        if (!read_exact(payload.data(), payload.size(), timeout_ms)) return "";
        return payload;
    }

    // Sends a command ("11") and returns its reply, passing over messages ("21") that come
    // before it; *ms: how long the reply took.
    std::string command(const std::string& json, double* ms = nullptr) {
        auto t0 = std::chrono::steady_clock::now();
        if (!send_frame("11", json)) return "";
        std::string type, reply;
        do {
            type.clear();
            reply = read_frame(20000, &type);
        } while (type == "21");
        if (ms)
            *ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0)
                      .count();
        return reply;
    }

    int fd() const { return fd_; }

private:
    bool read_exact(char* p, size_t n, int timeout_ms) {
        while (n > 0) {
            struct pollfd pf = {fd_, POLLIN, 0};
            if (poll(&pf, 1, timeout_ms) <= 0) return false;
            ssize_t r = recv(fd_, p, n, 0);
            if (r <= 0) return false;
            p += r;
            n -= static_cast<size_t>(r);
        }
        return true;
    }
    int fd_ = -1;
};

inline std::string login_json(const std::string& user, const std::string& pass) {
    return "{\"CMD\":\"LOGIN\",\"VERSION\":\"3.0.0\",\"USERNAME\":\"" + user +
           "\",\"PASSWORD\":\"" + pass + "\"}";
}

}  // namespace rawconn
