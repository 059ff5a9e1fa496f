// The logger: one coloured line on standard output, or one plain line appended to the day's
// file "YYYYMMDD.log" in log_dir. Settings are written once at start-up and read without a lock
// afterwards; each write works on its own buffers and handle.
//
// Colour is used only when standard output is a terminal as the logger is made, and the
// environment does not have NO_COLOR set to a non-empty value (the common convention): a pipe,
// a file or the journal gets plain lines.
// A day file that cannot be opened never loses a line: the logger creates a missing log folder
// when it can, and otherwise writes the line to the console and says once why.
#pragma once

#include <atomic>
#include <cstddef>
#include <ctime>
#include <string>

// The text of one log line formed by a caller (writef cuts to fit it).
constexpr size_t LOG_TEXT_SIZE = 1024;
// The most bytes of a line's text that are written: room for the line's own words around a
// client's text of 256 bytes. A longer text is cut at a UTF-8 boundary and ends in
// "…(+N bytes)", N being the bytes left out.
constexpr size_t LOG_TEXT_MAX = 320;

// Lines written on behalf of clients (by a thread bound with log_bind) are rate-limited per
// key (a peer, see server_guard.h) and in all: a key may write LOG_KEY_BURST lines at once and
// LOG_KEY_LINES_PER_SECOND after that, all keys together LOG_ALL_BURST and
// LOG_ALL_LINES_PER_SECOND. Lines over either budget are counted, not written; the count is
// reported in one line ("N more lines about KEY not logged") when the key may write again, or
// when log_unbind ends its last binding.
constexpr int LOG_KEY_BURST = 100;
constexpr int LOG_KEY_LINES_PER_SECOND = 10;
constexpr int LOG_ALL_BURST = 1000;
constexpr int LOG_ALL_LINES_PER_SECOND = 100;
// Keys tracked at once; the one idle longest makes room (its count reported first).
constexpr size_t LOG_KEYS = 256;

enum LogLevel {
    LOG_SYSTEM = 0,
    LOG_ALERT = 1,
    LOG_CRITICAL = 2,
    LOG_ERROR = 3,
    LOG_WARNING = 4,
    LOG_NOTICE = 5,
    LOG_INFO = 6,
    LOG_DEBUG = 7,
};

extern const char* const STR_LEVEL[8];
extern const char* const STR_COLOR[8];

class Logger {
public:
    Logger();
    ~Logger() = default;

    // Threshold and directory; an empty dir means console output. Called before any session.
    void set(int level, const char* dir);
    // Emits one line unless level > threshold. Control bytes of tag and text are escaped
    // (see log_escape), so the line is always one line. A day file that cannot be opened (after
    // an attempt to create the log folder) sends the line to the console; the first such line of
    // each spell is preceded by one line naming the file and the reason.
    void write(const char* tag, int level, const char* text);
    // printf-style text; cut like any text (LOG_TEXT_MAX), the mark counting every byte.
    void writef(const char* tag, int level, const char* fmt, ...) __attribute__((format(printf, 4, 5)));

    bool enabled(int level) const { return level <= threshold; }

private:
    // text holds at least min(len, LOG_TEXT_SIZE - 1) bytes of a text len bytes long.
    void emit(const char* tag, int level, const char* text, size_t len);
    void line(const char* tag, int level, const char* text);
    void console(const char* tag, int level, const char* text, const struct tm& t);

    int threshold = 3;
    bool color = true;
    char log_dir[1024] = {0};
    // Set while the day file fails, so the reason is said once per spell of failure.
    std::atomic<bool> file_failing{false};
};

extern Logger logger;

// Appends text to out with every control byte escaped: "\n", "\r", "\t", "\e" (ESC), "\xNN"
// (other bytes below 0x20, and 0x7f), "\xc2\xNN" (C1 controls, U+0080 to U+009F, in their
// UTF-8 form). A backslash is doubled only where it would otherwise read as the start of such
// an escape (before another backslash, an escaped byte, or one of n, r, t, e, x), so ordinary
// texts keep their bytes and every line still decodes to exactly the text that was logged.
void log_escape(std::string& out, const char* text);

// Binds the calling thread's lines to key (at most 47 bytes are kept) until log_unbind: they
// count against the key's budget and the budget of all keys. Bindings of one key on several
// threads share its budget.
void log_bind(const char* key);
// Ends the thread's binding; with no other binding of the key left, reports its lines not
// logged.
void log_unbind();

// While one exists, the thread's lines are written whatever the budgets (lines that bans and
// alarms depend on, which have bounds of their own).
class LogUnlimited {
public:
    LogUnlimited();
    ~LogUnlimited();
    LogUnlimited(const LogUnlimited&) = delete;
    LogUnlimited& operator=(const LogUnlimited&) = delete;
};
