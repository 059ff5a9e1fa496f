#include "stress.h"

#include <dirent.h>
#include <json-c/json.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <random>
#include <thread>

namespace stress {

std::string jcmd(const std::string& word, const std::vector<std::pair<std::string, Value>>& members) {
    json_object* obj = json_object_new_object();
    json_object_object_add(obj, "CMD", json_object_new_string(word.c_str()));
    for (const auto& m : members) {
        if (const auto* s = std::get_if<std::string>(&m.second))
            json_object_object_add(obj, m.first.c_str(), json_object_new_string(s->c_str()));
        else
            json_object_object_add(obj, m.first.c_str(),
                                   json_object_new_int64(std::get<long long>(m.second)));
    }
    std::string text = json_object_to_json_string(obj);
    json_object_put(obj);
    return text;
}

bool next_frame(bh::Client& c, bh::Frame& f, int timeout_ms) {
    for (;;) {
        if (!c.recv_frame(f, timeout_ms)) return false;
        if (f.type != "21") return true;
        c.messages.push_back(f);
    }
}

bool connect_retry(bh::Client& c, int port, int timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    do {
        if (c.connect("127.0.0.1", port, 5000)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
}

int fd_count(pid_t pid) { return e2e::open_fds(pid); }

long rss_kb(pid_t pid) { return e2e::proc_status(pid, "VmRSS"); }

size_t count_of(const std::string& text, const std::string& needle) {
    size_t n = 0;
    for (size_t pos = text.find(needle); pos != std::string::npos;
         pos = text.find(needle, pos + needle.size()))
        n++;
    return n;
}

long sessions_open(const std::string& log) {
    long notices = static_cast<long>(count_of(log, "[NOTICE] CLIENT "));
    long closes = static_cast<long>(count_of(log, "CLIENT CLOSE "));
    return notices - 2 * closes;
}

bool wait_until(const std::function<bool()>& pred, int timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (pred()) return true;
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

int wait_fds(pid_t pid, int want, int timeout_ms) {
    int seen = -1;
    wait_until([&] { return (seen = fd_count(pid)) == want; }, timeout_ms);
    return seen;
}

std::string pattern(size_t size, unsigned seed) {
    std::mt19937 rng(seed);
    std::string s(size, '\0');
    for (auto& ch : s) ch = static_cast<char>(rng() & 0xFF);
    return s;
}

bool camera_options(const std::string& dir, const std::string& fake_config,
                    e2e::ServerOptions* options) {
#ifdef FAKE_V4L2_LIB
    // A sanitizer runtime must come first in LD_PRELOAD, before the stand-in device.
    std::string preload = e2e::sanitizer_runtime();
    if (!preload.empty()) preload += " ";
    std::string device = dir + "/video0";
    options->keys["camera"] = device;
    options->env = {"LD_PRELOAD=" + preload + FAKE_V4L2_LIB, "FAKE_V4L2_DEVICE=" + device,
                    "FAKE_V4L2_CONFIG=" + fake_config};
    return true;
#else
    (void)dir;
    (void)fake_config;
    (void)options;
    return false;
#endif
}

long env_long(const char* name, long fallback) {
    const char* v = getenv(name);
    return v && *v ? atol(v) : fallback;
}

}  // namespace stress
