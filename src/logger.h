// The logger: one coloured line on standard output, or one plain line appended to the day's
// file "YYYYMMDD.log" in log_dir. Settings are written once at start-up and read without a lock
// afterwards; each write works on its own buffers and handle.
#pragma once

#include <cstddef>
#include <string>

// The text of one log line formed by a caller (writef cuts to fit it).
constexpr size_t LOG_TEXT_SIZE = 1024;

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
    Logger() = default;
    ~Logger() = default;

    // Threshold and directory; an empty dir means console output. Called before any session.
    void set(int level, const char* dir);
    // Emits one line unless level > threshold. Control bytes of tag and text are escaped
    // (see log_escape), so the line is always one line. Never fails visibly: a file that cannot be
    // opened loses the line.
    void write(const char* tag, int level, const char* text);
    // printf-style text, cut to fit a 1024-byte buffer (at a UTF-8 boundary).
    void writef(const char* tag, int level, const char* fmt, ...) __attribute__((format(printf, 4, 5)));

    bool enabled(int level) const { return level <= threshold; }

private:
    int threshold = 3;
    char log_dir[1024] = {0};
};

extern Logger logger;

// Appends text to out with every control byte escaped: "\\n", "\\r", "\\t", "\\e" (ESC), "\\xNN"
// (other bytes below 0x20, and 0x7f). A backslash is doubled only where it would otherwise
// read as the start of such an escape (before another backslash, a control byte, or one of
// n, r, t, e, x), so ordinary texts keep their bytes and every line still decodes to one text.
void log_escape(std::string& out, const char* text);
