// Log lines. A console line is formatted whole and written with one write(2), so lines of
// concurrent threads never mix; file lines go through a handle opened in append mode per line,
// which also makes the change of day automatic. Tags and texts often carry what a client sent
// (names, paths): their control bytes are escaped, so one call is always one line and no
// client can forge a line or send a terminal escape through the log.
#include "logger.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

Logger logger;

const char* const STR_LEVEL[8] = {"SYSTEM", "ALERT",  "CRITICAL", "ERROR",
                                  "WARNING", "NOTICE", "INFO",     "DEBUG"};
const char* const STR_COLOR[8] = {"\x1b[1;35m", "\x1b[1;31m", "\x1b[1;31m", "\x1b[1;33m",
                                  "\x1b[1;33m", "\x1b[1;32m", "\x1b[1;37m", "\x1b[1;35m"};

namespace {

// Length of s (len bytes) without a last UTF-8 character that the cut left incomplete. The
// byte after the cut is gone (vsnprintf put its NUL there), so judge by the lead byte.
size_t complete_utf8(const char* s, size_t len) {
    size_t i = len;
    while (i > 0 && len - i < 3 && (static_cast<unsigned char>(s[i - 1]) & 0xC0) == 0x80) i--;
    if (i == 0) return len;
    unsigned char lead = static_cast<unsigned char>(s[i - 1]);
    size_t need = (lead & 0xE0) == 0xC0   ? 2
                  : (lead & 0xF0) == 0xE0 ? 3
                  : (lead & 0xF8) == 0xF0 ? 4
                                          : 1;
    return len - (i - 1) < need ? i - 1 : len;
}

bool is_control(unsigned char c) { return c < 0x20 || c == 0x7f; }

// A C1 control (U+0080 to U+009F) in its UTF-8 form: a terminal may act on it (U+009B starts
// an escape sequence, U+0085 is a line break).
bool is_c1(const unsigned char* p) { return p[0] == 0xc2 && p[1] >= 0x80 && p[1] <= 0x9f; }

void hex_byte(std::string& out, unsigned char c) {
    static const char hex[] = "0123456789abcdef";
    out += "\\x";
    out += hex[c >> 4];
    out += hex[c & 0x0f];
}

// Budgets of lines written for clients (log_bind). Everything below is guarded by
// budget_lock, except the thread-local binding.
struct KeyBudget {
    char key[48];     // "" when free
    double tokens;
    long long last_ms;
    long long dropped;  // lines not written since the last report
    int bound;          // threads bound to the key
};

std::mutex budget_lock;
KeyBudget key_budgets[LOG_KEYS];
double all_tokens = LOG_ALL_BURST;
long long all_last_ms = -1;
long long all_dropped = 0;

thread_local char bound_key[48];  // "" when the thread is not bound
thread_local int unlimited_depth = 0;

long long budget_now_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void refill(double& tokens, long long& last, long long now, int burst, int rate) {
    if (last < 0 || now < last) {
        last = now;
        return;
    }
    tokens = std::min<double>(burst, tokens + static_cast<double>(now - last) * rate / 1000.0);
    last = now;
}

// Caller holds budget_lock. The entry of key, made when missing; nullptr when every entry has
// a binding. *evicted gets the report of an entry that made room.
KeyBudget* key_locked(const char* key, long long now, std::string* evicted) {
    KeyBudget* free_entry = nullptr;
    KeyBudget* oldest = nullptr;
    for (auto& e : key_budgets) {
        if (e.key[0] == '\0') {
            if (!free_entry) free_entry = &e;
        } else if (strcmp(e.key, key) == 0) {
            return &e;
        } else if (e.bound == 0 && (!oldest || e.last_ms < oldest->last_ms)) {
            oldest = &e;
        }
    }
    KeyBudget* room = free_entry ? free_entry : oldest;
    if (!room) return nullptr;
    if (room->key[0] != '\0' && room->dropped > 0)
        *evicted = std::to_string(room->dropped) + " more lines about " + room->key + " not logged";
    snprintf(room->key, sizeof(room->key), "%s", key);
    room->tokens = LOG_KEY_BURST;
    room->last_ms = now;
    room->dropped = 0;
    room->bound = 0;
    return room;
}

// Whether the bound thread may write a line now; reports of earlier lines not written go to
// reports.
bool admit(std::vector<std::string>* reports) {
    std::string evicted;
    std::lock_guard<std::mutex> g(budget_lock);
    long long now = budget_now_ms();
    KeyBudget* e = key_locked(bound_key, now, &evicted);
    if (!evicted.empty()) reports->push_back(evicted);
    refill(all_tokens, all_last_ms, now, LOG_ALL_BURST, LOG_ALL_LINES_PER_SECOND);
    if (e) {
        refill(e->tokens, e->last_ms, now, LOG_KEY_BURST, LOG_KEY_LINES_PER_SECOND);
        if (e->tokens < 1) {
            e->dropped++;
            return false;
        }
    }
    if (all_tokens < 1) {
        all_dropped++;
        return false;
    }
    all_tokens -= 1;
    if (all_dropped > 0) {
        reports->push_back(std::to_string(all_dropped) +
                           " more lines about clients not logged (all clients over " +
                           std::to_string(LOG_ALL_LINES_PER_SECOND) + " lines a second)");
        all_dropped = 0;
    }
    if (e) {
        e->tokens -= 1;
        if (e->dropped > 0) {
            reports->push_back(std::to_string(e->dropped) + " more lines about " + e->key +
                               " not logged");
            e->dropped = 0;
        }
    }
    return true;
}

}  // namespace

void log_bind(const char* key) {
    snprintf(bound_key, sizeof(bound_key), "%s", key && key[0] ? key : "?");
    std::string evicted;
    {
        std::lock_guard<std::mutex> g(budget_lock);
        KeyBudget* e = key_locked(bound_key, budget_now_ms(), &evicted);
        if (e) e->bound++;
    }
    if (!evicted.empty()) {
        LogUnlimited u;
        logger.write("CLIENT", LOG_WARNING, evicted.c_str());
    }
}

void log_unbind() {
    if (bound_key[0] == '\0') return;
    std::string report;
    {
        std::lock_guard<std::mutex> g(budget_lock);
        for (auto& e : key_budgets) {
            if (strcmp(e.key, bound_key) != 0) continue;
            if (e.bound > 0) e.bound--;
            if (e.bound == 0 && e.dropped > 0) {
                report = std::to_string(e.dropped) + " more lines about " + e.key + " not logged";
                e.dropped = 0;
            }
            break;
        }
    }
    bound_key[0] = '\0';
    if (!report.empty()) logger.write("CLIENT", LOG_WARNING, report.c_str());
}

LogUnlimited::LogUnlimited() { unlimited_depth++; }
LogUnlimited::~LogUnlimited() { unlimited_depth--; }

void log_escape(std::string& out, const char* text) {
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; p++) {
        unsigned char c = *p;
        if (c == '\\') {
            // Doubled only where it would otherwise read as the start of an escape.
            unsigned char next = p[1];
            bool ambiguous = next == '\\' || (next != 0 && is_control(next)) || is_c1(p + 1) ||
                             next == 'n' || next == 'r' || next == 't' || next == 'e' ||
                             next == 'x';
            out += ambiguous ? "\\\\" : "\\";
        } else if (is_c1(p)) {
            hex_byte(out, p[0]);
            hex_byte(out, p[1]);
            p++;
        } else if (!is_control(c)) {
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
            hex_byte(out, c);
        }
    }
}

Logger::Logger() {
    const char* no_color = getenv("NO_COLOR");
    color = (no_color == nullptr || no_color[0] == '\0') && isatty(STDOUT_FILENO) == 1;
}

void Logger::set(int level, const char* dir) {
    threshold = level;
    snprintf(log_dir, sizeof(log_dir), "%s", dir);
}

void Logger::write(const char* tag, int level, const char* text) {
    emit(tag, level, text, strlen(text));
}

void Logger::emit(const char* tag, int level, const char* text, size_t len) {
    if (level > threshold) return;
    if (level < 0 || level > 7) return;  // the tables have eight entries
    if (bound_key[0] != '\0' && unlimited_depth == 0) {
        std::vector<std::string> reports;
        bool admitted = admit(&reports);
        for (const std::string& r : reports) line("CLIENT", LOG_WARNING, r.c_str());
        if (!admitted) return;
    }
    if (len <= LOG_TEXT_MAX) {
        line(tag, level, text);
        return;
    }
    size_t keep = complete_utf8(text, LOG_TEXT_MAX);
    std::string cut(text, keep);
    cut += "\u2026(+" + std::to_string(len - keep) + " bytes)";
    line(tag, level, cut.c_str());
}

void Logger::line(const char* tag, int level, const char* text) {
    time_t now = time(nullptr);
    struct tm t;
    localtime_r(&now, &t);

    if (log_dir[0] != '\0') {
        char file_name[32];
        snprintf(file_name, sizeof(file_name), "%d%02d%02d.log", t.tm_year + 1900, t.tm_mon + 1,
                 t.tm_mday);
        char path[2048];
        snprintf(path, sizeof(path), "%s/%s", log_dir, file_name);
        char stamp[32];
        snprintf(stamp, sizeof(stamp), "%02d:%02d:%02d[%s] ", t.tm_hour, t.tm_min, t.tm_sec,
                 STR_LEVEL[level]);
        std::string line = stamp;
        log_escape(line, tag);
        line += ' ';
        log_escape(line, text);
        line += '\n';
        FILE* f = fopen(path, "a");
        // A log folder that is not there yet (a fresh data folder): create it, once the parent
        // exists; a concurrent writer creating it first is as good.
        if (!f && errno == ENOENT && (mkdir(log_dir, 0750) == 0 || errno == EEXIST))
            f = fopen(path, "a");
        int err = errno;
        if (f) {
            // A write that fails (a full disk) loses the line as surely as a failed open.
            size_t n = fwrite(line.data(), 1, line.size(), f);
            err = errno;
            bool whole = n == line.size();
            if (fclose(f) == 0 && whole) {
                file_failing.store(false, std::memory_order_relaxed);
                return;
            }
            if (whole) err = errno;
        }
        if (!file_failing.exchange(true, std::memory_order_relaxed)) {
            char why[2300];
            snprintf(why, sizeof(why),
                     "cannot write the log file %s: %s; log lines go to the console until it "
                     "can be written",
                     path, strerror(err));
            console("logger", LOG_ERROR, why, t);
        }
    }
    console(tag, level, text, t);
}

void Logger::console(const char* tag, int level, const char* text, const struct tm& t) {
    std::string line;
    char stamp[64];
    if (color)
        snprintf(stamp, sizeof(stamp), "\x1b[1;34m%02d:%02d:%02d\x1b[36m[%s] %s", t.tm_hour,
                 t.tm_min, t.tm_sec, STR_LEVEL[level], STR_COLOR[level]);
    else
        snprintf(stamp, sizeof(stamp), "%02d:%02d:%02d[%s] ", t.tm_hour, t.tm_min, t.tm_sec,
                 STR_LEVEL[level]);
    line.reserve(strlen(stamp) + strlen(tag) + strlen(text) + 8);
    line += stamp;
    log_escape(line, tag);
    line += ' ';
    log_escape(line, text);
    line += color ? "\n\x1b[0m" : "\n";
    size_t off = 0;
    while (off < line.size()) {
        ssize_t n = ::write(STDOUT_FILENO, line.data() + off, line.size() - off);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        off += static_cast<size_t>(n);
    }
}

void Logger::writef(const char* tag, int level, const char* fmt, ...) {
    if (level > threshold) return;
    char text[LOG_TEXT_SIZE];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(text, sizeof(text), fmt, ap);
    va_end(ap);
    if (n < 0) return;
    emit(tag, level, text, static_cast<size_t>(n));
}
