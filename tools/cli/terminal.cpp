// What the client does to a terminal: server text made harmless, widths of UTF-8 text, the
// signal flags of the shell and of downloads, and the progress line.
#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <cwchar>

#include "cli.h"

namespace cli {

namespace {

// Decodes one UTF-8 character at s[i]; its length in len, or 0 when the bytes are not UTF-8
// (overlong forms, surrogates and values past U+10FFFF included).
uint32_t decode_utf8(const std::string& s, size_t i, size_t& len) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    len = 0;
    uint32_t cp;
    size_t n;
    if (c < 0x80) {
        len = 1;
        return c;
    } else if ((c & 0xE0) == 0xC0) {
        cp = c & 0x1F;
        n = 2;
    } else if ((c & 0xF0) == 0xE0) {
        cp = c & 0x0F;
        n = 3;
    } else if ((c & 0xF8) == 0xF0) {
        cp = c & 0x07;
        n = 4;
    } else {
        return 0;
    }
    if (i + n > s.size()) return 0;
    for (size_t k = 1; k < n; k++) {
        unsigned char d = static_cast<unsigned char>(s[i + k]);
        if ((d & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (d & 0x3F);
    }
    static const uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kMin[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    len = n;
    return cp;
}

int char_width(uint32_t cp) {
    int w = wcwidth(static_cast<wchar_t>(cp));
    if (w >= 0) return w;
    // A locale without UTF-8: East Asian wide ranges by hand.
    if ((cp >= 0x1100 && cp <= 0x115F) || (cp >= 0x2E80 && cp <= 0xA4CF) ||
        (cp >= 0xAC00 && cp <= 0xD7A3) || (cp >= 0xF900 && cp <= 0xFAFF) ||
        (cp >= 0xFE30 && cp <= 0xFE4F) || (cp >= 0xFF00 && cp <= 0xFF60) ||
        (cp >= 0xFFE0 && cp <= 0xFFE6) || (cp >= 0x20000 && cp <= 0x3FFFD))
        return 2;
    return 1;
}

// ---- signal state ----
int g_wake[2] = {-1, -1};
volatile sig_atomic_t g_interrupt = 0;
volatile sig_atomic_t g_resize = 0;
volatile sig_atomic_t g_progress_shown = 0;
volatile sig_atomic_t g_have_termios = 0;
char g_temp_path[4096];
struct termios g_termios;
int g_termios_fd = -1;

void wake(char c) {
    int saved = errno;
    if (g_wake[1] >= 0 && write(g_wake[1], &c, 1) < 0) {
        // A full pipe already wakes the reader.
    }
    errno = saved;
}

void end_progress_line() {
    if (g_progress_shown && write(STDERR_FILENO, "\n", 1) < 0) {
    }
    g_progress_shown = 0;
}

void on_exit_signal(int sig) {
    if (g_temp_path[0]) unlink(g_temp_path);
    end_progress_line();
    if (g_have_termios) tcsetattr(g_termios_fd, TCSANOW, &g_termios);
    _exit(sig == SIGINT ? kInterrupted : 128 + sig);
}

void on_shell_interrupt(int) {
    g_interrupt = 1;
    wake('i');
}

// No wake-up byte: the shell's poll returns EINTR anyway, and a byte would read as an interrupt.
void on_resize(int) { g_resize = 1; }

void handle(int sig, void (*fn)(int), bool restart) {
    struct sigaction sa;
    memset(&sa, 0, sizeof(sa));
    sa.sa_handler = fn;
    sa.sa_flags = restart ? SA_RESTART : 0;
    sigemptyset(&sa.sa_mask);
    sigaction(sig, &sa, nullptr);
}

}  // namespace

namespace {

// Characters that change how the text around them reads, or show nothing where they stand:
// C0 and C1 controls, the bidirectional controls, the zero-width space, the byte order mark
// and the line and paragraph separators.
bool misleading(uint32_t cp) {
    return cp < 0x20 || cp == 0x7F || (cp >= 0x80 && cp <= 0x9F) ||
           (cp >= 0x202A && cp <= 0x202E) || (cp >= 0x2066 && cp <= 0x2069) || cp == 0x200E ||
           cp == 0x200F || cp == 0x061C || cp == 0x200B || cp == 0xFEFF || cp == 0x2028 ||
           cp == 0x2029;
}

// Characters that show only blank space, or nothing.
bool blank(uint32_t cp) {
    return cp == 0x20 || cp == 0xA0 || cp == 0xAD || cp == 0x034F || cp == 0x115F ||
           cp == 0x1160 || cp == 0x1680 || cp == 0x180E || (cp >= 0x2000 && cp <= 0x200F) ||
           cp == 0x202F || (cp >= 0x205F && cp <= 0x2064) || cp == 0x2800 || cp == 0x3000 ||
           cp == 0x3164 || (cp >= 0xFE00 && cp <= 0xFE0F) || cp == 0xFEFF || cp == 0xFFA0 ||
           (cp >= 0xE0000 && cp <= 0xE0FFF);
}

void escape_bytes(std::string& out, const std::string& text, size_t i, size_t n) {
    for (size_t k = 0; k < n; k++) {
        char hex[8];
        snprintf(hex, sizeof(hex), "\\x%02X", static_cast<unsigned char>(text[i + k]));
        out += hex;
    }
}

}  // namespace

std::string printable_name(const std::string& text) {
    for (size_t i = 0; i < text.size();) {
        size_t len = 0;
        uint32_t cp = decode_utf8(text, i, len);
        if (len == 0 || !blank(cp)) return printable(text);
        i += len;
    }
    // Nothing but blanks (or empty): every byte shown, so the name can be seen and typed.
    std::string out;
    escape_bytes(out, text, 0, text.size());
    return out;
}

std::string printable(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        size_t len = 0;
        uint32_t cp = decode_utf8(text, i, len);
        if (len == 0 || misleading(cp)) {
            // One byte at a time: a C1 control is two bytes, both shown.
            size_t n = len == 0 ? 1 : len;
            escape_bytes(out, text, i, n);
            i += n;
            continue;
        }
        out.append(text, i, len);
        i += len;
    }
    return out;
}

size_t display_width(const std::string& text) {
    size_t cols = 0;
    for (size_t i = 0; i < text.size();) {
        size_t len = 0;
        uint32_t cp = decode_utf8(text, i, len);
        if (len == 0) {
            len = 1;
            cols += 1;
        } else {
            cols += static_cast<size_t>(char_width(cp));
        }
        i += len;
    }
    return cols;
}

std::string fit_width(const std::string& text, size_t cols) {
    size_t used = 0, i = 0;
    while (i < text.size()) {
        size_t len = 0;
        uint32_t cp = decode_utf8(text, i, len);
        size_t w = len == 0 ? 1 : static_cast<size_t>(char_width(cp));
        if (len == 0) len = 1;
        if (used + w > cols) break;
        used += w;
        i += len;
    }
    return text.substr(0, i);
}

int terminal_width(int fd) {
    struct winsize ws;
    if (!isatty(fd) || ioctl(fd, TIOCGWINSZ, &ws) != 0 || ws.ws_col == 0) return isatty(fd) ? 80 : 0;
    return ws.ws_col;
}

void watch_signals(bool shell) {
    if (shell && g_wake[0] < 0) {
        if (pipe2(g_wake, O_CLOEXEC | O_NONBLOCK) != 0) g_wake[0] = g_wake[1] = -1;
    }
    if (shell) {
        handle(SIGINT, on_shell_interrupt, false);
    } else {
        handle(SIGINT, on_exit_signal, false);
    }
    handle(SIGTERM, on_exit_signal, false);
    handle(SIGHUP, on_exit_signal, false);
    handle(SIGWINCH, on_resize, true);
}

int wake_fd() { return g_wake[0]; }

void drain_wake() {
    char buf[64];
    while (g_wake[0] >= 0 && read(g_wake[0], buf, sizeof(buf)) > 0) {
    }
}

bool interrupted() { return g_interrupt != 0; }
void clear_interrupt() { g_interrupt = 0; }

bool take_resize() {
    if (!g_resize) return false;
    g_resize = 0;
    return true;
}

void set_temp_path(const char* path) {
    // No signal may see half a name: block them while it changes.
    sigset_t block, saved;
    sigemptyset(&block);
    sigaddset(&block, SIGINT);
    sigaddset(&block, SIGTERM);
    sigaddset(&block, SIGHUP);
    sigprocmask(SIG_BLOCK, &block, &saved);
    snprintf(g_temp_path, sizeof(g_temp_path), "%s", path ? path : "");
    sigprocmask(SIG_SETMASK, &saved, nullptr);
}

void set_progress_shown(bool shown) { g_progress_shown = shown ? 1 : 0; }

void clear_progress_line() {
    if (!g_progress_shown) return;
    fputs("\r\033[K", stderr);
    fflush(stderr);
}

void restore_terminal_on_exit(int fd) {
    if (tcgetattr(fd, &g_termios) == 0) {
        g_termios_fd = fd;
        g_have_termios = 1;
    }
}

// ---- progress line ----

namespace {

std::string format_duration(double seconds) {
    if (seconds < 0 || seconds > 359999) return "--:--";
    long s = static_cast<long>(seconds + 0.5);
    char text[32];
    if (s >= 3600)
        snprintf(text, sizeof(text), "%ld:%02ld:%02ld", s / 3600, (s / 60) % 60, s % 60);
    else
        snprintf(text, sizeof(text), "%ld:%02ld", s / 60, s % 60);
    return text;
}

}  // namespace

Progress::Progress(bool enabled, const std::string& name, uint64_t total)
    : on_(enabled && isatty(STDERR_FILENO)), name_(printable(name)), total_(total) {
    start_ = last_ = std::chrono::steady_clock::now();
    cols_ = terminal_width(STDERR_FILENO);
}

Progress::~Progress() {
    if (shown_) abandon();
}

std::string Progress::render(const std::string& name, uint64_t done, uint64_t total,
                             double rate, double elapsed, bool final, int cols) {
    // The last column stays free: writing there makes some terminals wrap at once.
    size_t room = cols > 1 ? static_cast<size_t>(cols - 1) : 0;
    int percent = total ? static_cast<int>(done * 100 / total) : 100;
    char pct[8];
    snprintf(pct, sizeof(pct), "%3d%%", percent);
    std::string bytes = human_size(done) + " / " + human_size(total);
    std::string speed = human_size(static_cast<uint64_t>(rate)) + "/s";
    std::string when = final ? format_duration(elapsed)
                             : (rate > 0 ? format_duration(static_cast<double>(total - done) / rate)
                                         : std::string("--:--")) + " left";
    char stats[96];
    snprintf(stats, sizeof(stats), " %s  %21s  %11s  %10s", pct, bytes.c_str(), speed.c_str(),
             when.c_str());
    char middle[80];
    snprintf(middle, sizeof(middle), " %s  %21s  %10s", pct, bytes.c_str(), when.c_str());
    char shorter[64];
    snprintf(shorter, sizeof(shorter), " %s  %10s", pct, when.c_str());
    // Widest form first: name, bar and every figure; then without the bar, then fewer figures;
    // the name gives way last, down to a few columns.
    std::string name_cols = name;
    size_t name_w = display_width(name);
    for (const std::string& s : {std::string(stats), std::string(middle), std::string(shorter),
                                  std::string(pct)}) {
        size_t min_name = name_w < 12 ? name_w : 12;
        if (min_name + 1 + s.size() > room) continue;
        size_t left = room - s.size();
        size_t want_bar = 12;  // "[" + 10 + "]" and a space
        std::string shown = name_w <= left ? name : fit_width(name, left > 1 ? left - 1 : 0) + "~";
        if (name_w > left && left <= 1) shown = fit_width(name, left);
        std::string line = shown;
        size_t used = display_width(shown);
        if (used + want_bar + 1 <= left) {
            size_t bar = left - used - 3;  // " [" ... "]"
            if (bar > 40) bar = 40;
            size_t filled = total ? static_cast<size_t>(static_cast<double>(bar) * static_cast<double>(done) / static_cast<double>(total)) : bar;
            if (filled > bar) filled = bar;
            line += std::string(left - used - bar - 2, ' ') + "[" + std::string(filled, '#') +
                    std::string(bar - filled, '-') + "]";
        } else {
            line += std::string(left - used, ' ');
        }
        return line + s;
    }
    return fit_width(std::string(pct), room);
}

void Progress::update(uint64_t done, bool final) {
    if (!on_) return;
    auto now = std::chrono::steady_clock::now();
    if (!final && shown_ && now - last_ < std::chrono::milliseconds(100)) return;
    last_ = now;
    if (take_resize()) cols_ = terminal_width(STDERR_FILENO);
    double elapsed = std::chrono::duration<double>(now - start_).count();
    double rate = elapsed > 0 ? static_cast<double>(done) / elapsed : 0;
    std::string line = render(name_, done, total_, rate, elapsed, final, cols_);
    // "\r" to the line's start, the line, then clear what a wider line left behind.
    fprintf(stderr, "\r%s\033[K%s", line.c_str(), final ? "\n" : "");
    fflush(stderr);
    shown_ = !final;
    set_progress_shown(shown_);
}

void Progress::abandon() {
    if (on_ && shown_) {
        fputc('\n', stderr);
        fflush(stderr);
    }
    shown_ = false;
    set_progress_shown(false);
    on_ = false;
}

}  // namespace cli
