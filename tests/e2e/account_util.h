// Helpers shared by the account tests.
#pragma once

#include <signal.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "harness.h"

namespace account_test {

// Starts the server; start() makes no connection of its own, so the tests' clients take the
// slots in the order they connect.
inline bool start(e2e::TestServer& srv) { return srv.start(); }

// Stops the server after the session of the last accepted connection has ended: shutdown
// closes that connection's descriptor, which must not race with its own session.
inline int quiet_stop(e2e::TestServer& srv) {
    auto count = [&](const std::string& text) {
        std::string out = srv.out();
        int n = 0;
        for (size_t at = out.find(text); at != std::string::npos; at = out.find(text, at + 1)) n++;
        return n;
    };
    std::string close_line;
    int before = 0;
    {
        bh::Client last = srv.connect();
        bh::Frame f;
        if (!last.command(e2e::cmd("HELLO"), f)) return -1;
        std::string out = srv.out();
        size_t at = out.rfind("CLIENT 127.0.0.1 (");
        if (at == std::string::npos) return -1;
        size_t open = at + strlen("CLIENT 127.0.0.1 ");
        close_line = "CLIENT CLOSE " + out.substr(open, out.find(')', open) - open + 1) + "\n";
        before = count(close_line);
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (count(close_line) <= before && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return srv.stop(SIGINT);
}

}  // namespace account_test
