// Helpers of the shared-folder end-to-end tests: logged-in clients, listings as sets of lines,
// piece commands with an integer "SIZE", and downloads checked byte for byte.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <set>
#include <sstream>
#include <string>

#include "harness.h"

namespace folders {

constexpr const char* OK = "{ \"RESULT\": \"OK\" }";
constexpr const char* NONE = "{ \"RESULT\": \"NONE\" }";
constexpr const char* FAIL = "{ \"RESULT\": \"FAIL\" }";

// Starts the server with the users ann, bob, cid and lee (level 5), reader (level 1) and root
// (level 9), password "pw". The databases are written before the server starts, so the
// server never opens them while a test writes.
inline bool start(e2e::TestServer& srv) {
    for (const char* name : {"ann", "bob", "cid", "lee"}) e2e::add_user(srv.data, name, "pw", 5);
    e2e::add_user(srv.data, "reader", "pw", 1);
    e2e::add_user(srv.data, "root", "pw", 9);
    return srv.start();
}

// A client logged in as one of the users of start().
inline bh::Client user(e2e::TestServer& srv, const std::string& name) {
    bh::Client c = srv.connect();
    std::string reply = e2e::login(c, name, "pw");
    EXPECT_EQ(bh::json_member(reply, "RESULT"), "OK") << "login of " << name << ": " << reply;
    return c;
}

// The lines of a listing reply (order-free: the directory order is not sorted).
inline std::set<std::string> lines(const std::string& text) {
    std::set<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) out.insert(l);
    return out;
}

// LIST or LISTALL; the payload of the "10" reply ("" with a test failure otherwise).
inline std::string list(bh::Client& c, const std::string& path, bool all = false) {
    bh::Frame f;
    if (!c.command(e2e::cmd(all ? "LISTALL" : "LIST", {{"PATH", path}}), f)) {
        ADD_FAILURE() << "no reply to LIST " << path << ": " << c.error();
        return "";
    }
    EXPECT_EQ(f.type, "10");
    return f.payload;
}

// {"CMD": word, "FILE": file, "SIZE": size} with an integer SIZE; NEXT has no "FILE".
inline std::string piece_cmd(const std::string& word, const std::string& file, long long size) {
    std::string json = "{ \"CMD\": \"" + word + "\"";
    if (word != "NEXT") json += ", \"FILE\": \"" + file + "\"";
    json += ", \"SIZE\": " + std::to_string(size) + " }";
    return json;
}

// Sends a command and returns the "11" reply's payload.
inline std::string reply_of(bh::Client& c, const std::string& json) {
    bh::Frame f;
    if (!c.command(json, f)) {
        ADD_FAILURE() << "no reply to " << json << ": " << c.error();
        return "";
    }
    EXPECT_EQ(f.type, "11") << json;
    return f.payload;
}

// Reads exactly the 12 bytes of a frame header as they came on the wire.
inline std::string raw_header(bh::Client& c) {
    std::string h;
    while (h.size() < 12) {
        struct pollfd p = {c.fd(), POLLIN, 0};
        if (poll(&p, 1, 10000) <= 0) break;
        char buf[12];
        ssize_t n = recv(c.fd(), buf, 12 - h.size(), 0);
        if (n <= 0) break;
        h.append(buf, static_cast<size_t>(n));
    }
    return h;
}

// A data frame: its type and payload.
inline bh::Frame data_frame(bh::Client& c) {
    bh::Frame f;
    EXPECT_TRUE(c.recv_frame(f)) << c.error();
    return f;
}

// After a reply that must have no data frame: the connection is quiet and still answers.
inline void expect_in_step(bh::Client& c) {
    EXPECT_EQ(reply_of(c, e2e::cmd("CHECK", {{"FILE", "/"}})).substr(0, 1), "{");
}

inline size_t count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
    return n;
}

// Closes the clients, waits until the server has ended every session, then stops it with
// SIGINT and returns the exit status. (Shutting down under live sessions closes a socket that
// a session owns, which is a matter of the shutdown sequence, not of these tests.)
inline int finish(e2e::TestServer& srv, std::initializer_list<bh::Client*> clients) {
    for (bh::Client* c : clients) c->close();
    for (int i = 0; i < 500; i++) {
        std::string out = srv.out();
        if (count(out, "CLIENT CLOSE") >= count(out, "CLIENT 127.0.0.1 (")) break;
        usleep(10000);
    }
    return srv.stop();
}

}  // namespace folders
