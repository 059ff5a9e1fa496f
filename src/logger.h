// The logger: one coloured line on standard output, or one plain line appended to the day's
// file "YYYYMMDD.log" in log_dir. Settings are written once at start-up and read without a lock
// afterwards; each write works on its own buffers and handle.
//
// Colour is left out when the environment has NO_COLOR set to a non-empty value (the common
// convention; the service unit sets it, since the journal shows escape codes as they are).
// A day file that cannot be opened never loses a line: the logger creates a missing log folder
// when it can, and otherwise writes the line to the console and says once why.
#pragma once

#include <atomic>
#include <cstddef>
#include <ctime>
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
    Logger();
    ~Logger() = default;

    // Threshold and directory; an empty dir means console output. Called before any session.
    void set(int level, const char* dir);
    // Emits one line unless level > threshold. Control bytes of tag and text are escaped
    // (see log_escape), so the line is always one line. A day file that cannot be opened (after
    // an attempt to create the log folder) sends the line to the console; the first such line of
    // each spell is preceded by one line naming the file and the reason.
    void write(const char* tag, int level, const char* text);
    // printf-style text, cut to fit a 1024-byte buffer (at a UTF-8 boundary).
    void writef(const char* tag, int level, const char* fmt, ...) __attribute__((format(printf, 4, 5)));

    bool enabled(int level) const { return level <= threshold; }

private:
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
