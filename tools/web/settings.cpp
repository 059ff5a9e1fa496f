// Settings of the gateway: section [web] of the board's configuration file, and the server's
// port from [server] unless [web] names one. Same INI rules as the server: comments start in
// the first column with ";" or "#", "key = value" lines.
#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>

#include <json-c/json.h>

#include "web.h"

namespace web {

namespace {

std::string trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos) return "";
    size_t e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}

bool to_int(const std::string& v, int lo, int hi, int& out) {
    if (v.empty() || v.size() > 9) return false;
    for (char c : v)
        if (c < '0' || c > '9') return false;
    int n = atoi(v.c_str());
    if (n < lo || n > hi) return false;
    out = n;
    return true;
}

}  // namespace

bool load_settings(const std::string& path, Settings& s, std::string& err) {
    std::ifstream in(path);
    if (!in) {
        err = path + " could not be opened";
        return false;
    }
    std::map<std::string, std::map<std::string, std::string>> ini;
    std::string line, section;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == ';' || line[0] == '#') continue;
        if (line[0] == '[') {
            size_t e = line.find(']');
            section = e == std::string::npos ? "" : line.substr(1, e - 1);
            continue;
        }
        size_t eq = line.find_first_of("=:");
        if (eq == std::string::npos) continue;
        ini[section][trim(line.substr(0, eq))] = trim(line.substr(eq + 1));
    }
    const auto& w = ini["web"];
    int server_port = 0;
    if (ini["server"].count("port") && to_int(ini["server"]["port"], 1, 65535, server_port))
        s.server_port = server_port;
    struct IntKey {
        const char* key;
        int* value;
        int lo, hi;
    } ints[] = {
        {"port", &s.port, 1, 65535},
        {"redirect_port", &s.redirect_port, 0, 65535},
        {"server_port", &s.server_port, 1, 65535},
        {"idle_seconds", &s.idle_seconds, 1, 7 * 24 * 3600},
        {"max_sessions", &s.max_sessions, 1, 1000},
        {"max_connections", &s.max_connections, 8, 4096},
        {"max_connections_per_address", &s.max_connections_per_address, 2, 4096},
        {"request_timeout", &s.request_timeout, 1, 3600},
        {"upload_min_rate", &s.upload_min_rate, 1, 1000000000},
        {"max_listing", &s.max_listing, 100, 2000000},
        {"camera_fps", &s.camera_fps, 1, 60},
        {"jpeg_quality", &s.jpeg_quality, 10, 100},
    };
    for (const auto& k : ints) {
        auto it = w.find(k.key);
        if (it == w.end()) continue;
        if (!to_int(it->second, k.lo, k.hi, *k.value)) {
            err = std::string("[web] ") + k.key + ": not a whole number from " +
                  std::to_string(k.lo) + " to " + std::to_string(k.hi) + ", but \"" +
                  escape_log(it->second) + "\"";
            return false;
        }
    }
    struct TextKey {
        const char* key;
        std::string* value;
    } texts[] = {{"listen", &s.listen},     {"server_host", &s.server_host}, {"www", &s.www},
                 {"tls_cert", &s.tls_cert}, {"tls_key", &s.tls_key},         {"title", &s.name}};
    for (const auto& k : texts) {
        auto it = w.find(k.key);
        if (it != w.end()) *k.value = it->second;
    }
    if (ini["server"].count("name") && !w.count("title")) s.name = ini["server"]["name"];
    if (w.count("server_socket"))
        s.server_socket = w.at("server_socket");  // empty: TCP only
    else if (s.server_host == "127.0.0.1" || s.server_host == "localhost")
        s.server_socket = ini["server"]["socket"];
    // A misspelt key would otherwise go unnoticed.
    std::string unknown;
    for (const auto& [key, value] : w) {
        bool known = key == "title" || key == "server_socket";
        for (const auto& k : ints) known |= key == k.key;
        for (const auto& k : texts) known |= key == k.key;
        if (!known) unknown += (unknown.empty() ? " " : ", ") + key;
    }
    if (!unknown.empty()) log_line("WARNING", "configuration", "unknown [web] settings ignored:" + unknown);
    if (s.tls_cert.empty() != s.tls_key.empty()) {
        err = "[web] tls_cert and tls_key go together";
        return false;
    }
    if (s.redirect_port != 0 && s.tls_cert.empty()) {
        err = "[web] redirect_port sends browsers to HTTPS: it needs tls_cert and tls_key";
        return false;
    }
    if (s.redirect_port != 0 && s.redirect_port == s.port) {
        err = "[web] redirect_port and port must differ";
        return false;
    }
    return true;
}

// The board's log escaping, so that a line of the gateway reads like one of the server: line
// feed, carriage return, tab and ESC as \n \r \t \e, other controls and DEL as \xNN, C1
// controls (UTF-8 c2 80 to c2 9f) as \xc2\xNN, and a backslash doubled where it would read
// as the start of an escape.
std::string escape_log(const std::string& text) {
    auto control = [](unsigned char c) { return c < 0x20 || c == 0x7f; };
    auto c1 = [&](size_t i) {
        return i + 1 < text.size() && static_cast<unsigned char>(text[i]) == 0xc2 &&
               static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(text[i + 1]) <= 0x9f;
    };
    auto hex = [](std::string& out, unsigned char c) {
        char b[5];
        snprintf(b, sizeof(b), "\\x%02x", c);
        out += b;
    };
    std::string out;
    for (size_t i = 0; i < text.size(); i++) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '\\') {
            unsigned char next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
            bool ambiguous = next == '\\' || (next != 0 && control(next)) || c1(i + 1) ||
                             next == 'n' || next == 'r' || next == 't' || next == 'e' || next == 'x';
            out += ambiguous ? "\\\\" : "\\";
        } else if (c1(i)) {
            hex(out, c);
            hex(out, static_cast<unsigned char>(text[++i]));
        } else if (!control(c)) {
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == 0x1b) {
            out += "\\e";
        } else {
            hex(out, c);
        }
    }
    return out;
}

void log_line(const char* level, const char* tag, const std::string& text) {
    time_t now = time(nullptr);
    struct tm t;
    localtime_r(&now, &t);
    std::string line(32, '\0');
    int n = snprintf(line.data(), line.size(), "%02d:%02d:%02d[%s] ", t.tm_hour, t.tm_min,
                     t.tm_sec, level);
    line.resize(static_cast<size_t>(n));
    line += tag;
    line += ' ';
    line += escape_log(text);
    line += '\n';
    // One write per line, so lines of different threads never mix.
    ssize_t r = write(STDOUT_FILENO, line.data(), line.size());
    (void)r;
}

int LoginGuard::failed(const std::string& addr) {
    int64_t now = now_seconds();
    int delay = FIRST_MS;
    {
        std::lock_guard<std::mutex> g(lock_);
        Entry* e = nullptr;
        Entry* oldest = nullptr;
        for (auto& x : table_) {
            if (x.addr == addr && now - x.last < FORGET_SECONDS) e = &x;
            if (!oldest || x.last < oldest->last) oldest = &x;
        }
        if (!e) {
            if (table_.size() < ENTRIES) {
                table_.push_back(Entry());
                e = &table_.back();
            } else {
                e = oldest;  // the table is full: the entry idle longest makes room
            }
            e->addr = addr;
            e->failures = 0;
        }
        if (e->failures < 64) e->failures++;
        e->last = now;
        for (unsigned i = 1; i < e->failures && delay < MAX_MS; i++) delay *= 2;
        if (delay > MAX_MS) delay = MAX_MS;
    }
    log_line("WARNING", "LOGIN", "auth failure from " + addr);
    return delay;
}

void LoginGuard::succeeded(const std::string& addr) {
    std::lock_guard<std::mutex> g(lock_);
    for (auto& x : table_)
        if (x.addr == addr) x.failures = 0, x.last = 0, x.addr.clear();
}

bool LoginGuard::enter(const std::string& addr) {
    std::unique_lock<std::mutex> g(lock_);
    turn_.wait(g, [&] {
        if (closing_) return true;
        for (auto& a : checking_)
            if (a == addr) return false;
        return true;
    });
    if (closing_) return false;
    checking_.push_back(addr);
    return true;
}

void LoginGuard::pause(int ms) {
    std::unique_lock<std::mutex> g(lock_);
    turn_.wait_for(g, std::chrono::milliseconds(ms), [&] { return closing_; });
}

void LoginGuard::close() {
    {
        std::lock_guard<std::mutex> g(lock_);
        closing_ = true;
    }
    turn_.notify_all();
}

void LoginGuard::leave(const std::string& addr) {
    {
        std::lock_guard<std::mutex> g(lock_);
        for (size_t i = 0; i < checking_.size(); i++)
            if (checking_[i] == addr) {
                checking_.erase(checking_.begin() + static_cast<long>(i));
                break;
            }
    }
    turn_.notify_all();
}

int LoginGuard::delay_ms(const std::string& addr) {
    std::lock_guard<std::mutex> g(lock_);
    int64_t now = now_seconds();
    for (auto& x : table_) {
        if (x.addr != addr || now - x.last >= FORGET_SECONDS || x.failures == 0) continue;
        int delay = FIRST_MS;
        for (unsigned i = 1; i < x.failures && delay < MAX_MS; i++) delay *= 2;
        return delay > MAX_MS ? MAX_MS : delay;
    }
    return 0;
}

std::string random_token(size_t bytes) {
    std::string raw(bytes, '\0');
    size_t got = 0;
    while (got < bytes) {
        ssize_t n = getrandom(raw.data() + got, bytes - got, 0);
        if (n > 0) got += static_cast<size_t>(n);
    }
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : raw) {
        out += hex[c >> 4];
        out += hex[c & 15];
    }
    return out;
}

int64_t now_seconds() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec);
}

std::string json_text(const std::string& s) {
    json_object* o = json_object_new_string_len(s.data(), static_cast<int>(s.size()));
    std::string out = json_object_to_json_string_ext(o, JSON_C_TO_STRING_PLAIN | JSON_C_TO_STRING_NOSLASHESCAPE);
    json_object_put(o);
    return out;
}

}  // namespace web
