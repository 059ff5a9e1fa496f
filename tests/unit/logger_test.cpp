// The logger: console bytes captured by putting a file or a pipe on standard output, day files
// in a temporary folder.
#include "logger.h"

#include "capture.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string slurp(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

struct StdoutCapture : FdCapture {
    StdoutCapture() : FdCapture(STDOUT_FILENO) {}
};

class TempFolder {
public:
    TempFolder() {
        char tmpl[] = "/tmp/boardhub-logs-XXXXXX";
        path = mkdtemp(tmpl);
    }
    ~TempFolder() {
        std::string cmd = "rm -rf '" + path + "'";
        if (system(cmd.c_str()) != 0) perror("rm");
    }
    std::string path;
};

std::string day_file_name() {
    time_t now = time(nullptr);
    struct tm t;
    localtime_r(&now, &t);
    char name[32];
    snprintf(name, sizeof(name), "%d%02d%02d.log", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday);
    return name;
}

// Seconds since midnight of an "hh:mm:ss" text.
int clock_seconds(const std::string& hms) {
    return std::stoi(hms.substr(0, 2)) * 3600 + std::stoi(hms.substr(3, 2)) * 60 +
           std::stoi(hms.substr(6, 2));
}

// A Logger made while standard output is a pseudo-terminal, as on a console: it colours its
// lines wherever standard output goes afterwards.
std::unique_ptr<Logger> terminal_logger() {
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    EXPECT_GE(master, 0);
    EXPECT_EQ(grantpt(master), 0);
    EXPECT_EQ(unlockpt(master), 0);
    int terminal = open(ptsname(master), O_RDWR | O_NOCTTY);
    EXPECT_GE(terminal, 0);
    fflush(stdout);
    int saved = dup(STDOUT_FILENO);
    dup2(terminal, STDOUT_FILENO);
    auto log = std::make_unique<Logger>();
    dup2(saved, STDOUT_FILENO);
    close(saved);
    close(terminal);
    close(master);
    return log;
}

int now_seconds() {
    time_t now = time(nullptr);
    struct tm t;
    localtime_r(&now, &t);
    return t.tm_hour * 3600 + t.tm_min * 60 + t.tm_sec;
}

TEST(Logger, ConsoleLineBytes) {
    auto terminal = terminal_logger();
    Logger& log = *terminal;
    log.set(6, "");
    int before = now_seconds();
    StdoutCapture cap;
    log.write("main", LOG_CRITICAL, "ERROR on accept");
    std::string out = cap.text();
    int after = now_seconds();
    std::smatch m;
    ASSERT_TRUE(std::regex_match(out, m,
                                 std::regex("\x1b\\[1;34m(\\d\\d:\\d\\d:\\d\\d)\x1b\\[36m\\[CRITICAL\\] "
                                            "\x1b\\[1;31mmain ERROR on accept\n\x1b\\[0m")))
        << out;
    int at = clock_seconds(m[1]);
    if (after >= before) {  // not across midnight
        EXPECT_GE(at, before);
        EXPECT_LE(at, after);
    }
}

TEST(Logger, ConsoleColoursAndUtf8ForEveryLevel) {
    const char* const colours[8] = {"\x1b[1;35m", "\x1b[1;31m", "\x1b[1;31m", "\x1b[1;33m",
                                    "\x1b[1;33m", "\x1b[1;32m", "\x1b[1;37m", "\x1b[1;35m"};
    const char* const names[8] = {"SYSTEM",  "ALERT",  "CRITICAL", "ERROR",
                                  "WARNING", "NOTICE", "INFO",     "DEBUG"};
    auto terminal = terminal_logger();
    Logger& log = *terminal;
    log.set(7, "");
    for (int level = 0; level < 8; level++) {
        StdoutCapture cap;
        log.write("관리자", level, "2026년 12월 6일");
        std::string out = cap.text();
        ASSERT_GT(out.size(), 15u);
        std::string expected = std::string("\x1b[36m[") + names[level] + "] " + colours[level] +
                               "관리자 2026년 12월 6일\n\x1b[0m";
        EXPECT_EQ(out.substr(0, 7), "\x1b[1;34m");
        EXPECT_EQ(out.substr(15), expected) << level;
    }
}

TEST(Logger, Threshold) {
    Logger fresh;  // threshold 3 before set
    {
        StdoutCapture cap;
        fresh.write("t", LOG_NOTICE, "hidden");
        fresh.write("t", LOG_WARNING, "hidden");
        EXPECT_EQ(cap.text(), "");
    }
    {
        StdoutCapture cap;
        fresh.write("t", LOG_ERROR, "shown");
        EXPECT_NE(cap.text().find("t shown"), std::string::npos);
    }
    auto terminal = terminal_logger();
    Logger& six = *terminal;
    six.set(6, "");
    StdoutCapture cap;
    six.write("t", LOG_DEBUG, "hidden");
    six.writef("t", LOG_DEBUG, "%s", "hidden");
    six.write("t", LOG_INFO, "info");
    std::string out = cap.text();
    EXPECT_EQ(out.find("hidden"), std::string::npos);
    EXPECT_NE(out.find("[INFO] \x1b[1;37mt info\n"), std::string::npos);
}

TEST(Logger, FileModeAppendsPlainLinesToTheDayFile) {
    TempFolder dir;
    Logger log;
    log.set(6, dir.path.c_str());
    StdoutCapture cap;
    log.write("main", LOG_CRITICAL, "ERROR on accept");
    log.write("김철수", LOG_INFO, "SEND /a b.txt");
    log.write("main", LOG_DEBUG, "filtered");
    EXPECT_EQ(cap.text(), "");  // nothing on the console in file mode
    std::string file = slurp(dir.path + "/" + day_file_name());
    EXPECT_TRUE(std::regex_match(file, std::regex("\\d\\d:\\d\\d:\\d\\d\\[CRITICAL\\] main ERROR on accept\n"
                                                  "\\d\\d:\\d\\d:\\d\\d\\[INFO\\] 김철수 SEND /a b.txt\n")))
        << file;
    // Appends to what the file already holds.
    Logger again;
    again.set(6, dir.path.c_str());
    again.write("x", LOG_SYSTEM, "y");
    std::string more = slurp(dir.path + "/" + day_file_name());
    EXPECT_EQ(more.substr(0, file.size()), file);
    EXPECT_EQ(more.substr(file.size() + 8), "[SYSTEM] x y\n");
}

// A fresh data folder has no "logs" yet: the logger makes it rather than lose the line.
TEST(Logger, MissingLogFolderIsCreated) {
    TempFolder dir;
    std::string logs = dir.path + "/logs";
    Logger log;
    log.set(6, logs.c_str());
    StdoutCapture cap;
    log.write("main", LOG_SYSTEM, "kept");
    EXPECT_EQ(cap.text(), "");
    EXPECT_NE(slurp(logs + "/" + day_file_name()).find("[SYSTEM] main kept\n"), std::string::npos);
}

// A folder that cannot be made (its parent is missing, or no permission): every line reaches
// the console, and the reason is said once per spell of failure, not once per line.
TEST(Logger, UnwritableLogFolderFallsBackToTheConsole) {
    TempFolder dir;
    std::string missing = dir.path + "/no/such/dir";
    auto terminal = terminal_logger();
    Logger& log = *terminal;
    log.set(6, missing.c_str());
    StdoutCapture cap;
    log.write("main", LOG_SYSTEM, "first");
    log.write("guard", LOG_WARNING, "second");
    std::string out = cap.text();
    std::string reason = "logger cannot write the log file " + missing + "/" + day_file_name() +
                         ": No such file or directory";
    size_t at = out.find(reason);
    ASSERT_NE(at, std::string::npos) << out;
    EXPECT_EQ(out.find("cannot write", at + reason.size()), std::string::npos) << out;
    EXPECT_LT(at, out.find("main first"));
    EXPECT_NE(out.find("[WARNING] \x1b[1;33mguard second\n"), std::string::npos) << out;

    // Once the folder exists the lines go to the file again; a later failure is said again.
    ASSERT_EQ(system(("mkdir -p '" + missing + "'").c_str()), 0);
    StdoutCapture cap2;
    log.write("main", LOG_INFO, "back");
    EXPECT_EQ(cap2.text(), "");
    ASSERT_EQ(system(("rm -rf '" + dir.path + "/no'").c_str()), 0);
    StdoutCapture cap3;
    log.write("main", LOG_INFO, "again");
    EXPECT_NE(cap3.text().find("cannot write"), std::string::npos);
}

// Colour only on a terminal and without NO_COLOR: a pipe or a file gets plain lines.
TEST(Logger, ColourOnlyOnATerminalWithoutNoColor) {
    setenv("NO_COLOR", "1", 1);
    auto plain = terminal_logger();
    unsetenv("NO_COLOR");
    setenv("NO_COLOR", "", 1);  // empty means unset by the convention
    auto coloured = terminal_logger();
    unsetenv("NO_COLOR");
    std::unique_ptr<Logger> piped;
    {
        StdoutCapture made_on_a_pipe;
        piped = std::make_unique<Logger>();
    }
    for (Logger* log : {plain.get(), piped.get()}) {
        log->set(6, "");
        StdoutCapture cap;
        log->write("main", LOG_CRITICAL, "ERROR on accept");
        std::string out = cap.text();
        EXPECT_TRUE(std::regex_match(out, std::regex("\\d\\d:\\d\\d:\\d\\d\\[CRITICAL\\] main ERROR on accept\n")))
            << out;
    }
    coloured->set(6, "");
    StdoutCapture cap2;
    coloured->write("main", LOG_CRITICAL, "x");
    EXPECT_EQ(cap2.text().substr(0, 7), "\x1b[1;34m");
}

// A text cut to the 1024-byte buffer must not end inside a UTF-8 character.
TEST(Logger, LongTextsAreCutAtACharacterBoundaryWithAMark) {
    Logger log;
    log.set(6, "");
    std::string head(LOG_TEXT_MAX - 2, 'a');
    StdoutCapture cap;
    log.writef("t", LOG_INFO, "%s%s", head.c_str(), "가나");
    std::string out = cap.text();
    EXPECT_NE(out.find("t " + head + "\u2026(+6 bytes)\n"), std::string::npos) << out;

    StdoutCapture cap2;
    std::string fits(LOG_TEXT_MAX - 3, 'b');
    log.writef("t", LOG_INFO, "%s%s", fits.c_str(), "가");  // exactly LOG_TEXT_MAX bytes
    out = cap2.text();
    EXPECT_NE(out.find("t " + fits + "가\n"), std::string::npos);

    // Beyond writef's buffer and through write: the mark counts every byte left out.
    StdoutCapture cap3;
    std::string huge(5000, 'c');
    log.writef("t", LOG_INFO, "%s", huge.c_str());
    log.write("t", LOG_INFO, huge.c_str());
    out = cap3.text();
    std::string want = "t " + std::string(LOG_TEXT_MAX, 'c') + "\u2026(+" +
                       std::to_string(5000 - LOG_TEXT_MAX) + " bytes)\n";
    size_t first = out.find(want);
    EXPECT_NE(first, std::string::npos) << out.substr(0, 400);
    EXPECT_NE(out.find(want, first + 1), std::string::npos);
}

// Lines of a bound thread: the key's burst, then nothing until time passes; the lines left
// out are reported once, when the binding ends. Unlimited lines always pass.
TEST(Logger, BoundLinesAreBudgetedPerKeyAndReported) {
    Logger& log = logger;
    log.set(6, "");
    StdoutCapture cap;
    std::thread t([&] {
        log_bind("10.1.2.3");
        for (int i = 0; i < LOG_KEY_BURST + 50; i++) log.writef("T", LOG_INFO, "line %d", i);
        {
            LogUnlimited u;
            log.write("T", LOG_WARNING, "always");
        }
        log_unbind();
        log.write("T", LOG_INFO, "unbound");
    });
    t.join();
    std::string out = cap.text();
    EXPECT_NE(out.find("line " + std::to_string(LOG_KEY_BURST - 1) + "\n"), std::string::npos);
    EXPECT_EQ(out.find("line " + std::to_string(LOG_KEY_BURST + 49) + "\n"), std::string::npos);
    EXPECT_NE(out.find("always"), std::string::npos);
    EXPECT_NE(out.find("unbound"), std::string::npos);
    // Lines of the burst are the only ones the rate could have let through so fast; at most
    // one a tenth of a second more.
    size_t reported = out.find(" more lines about 10.1.2.3 not logged");
    ASSERT_NE(reported, std::string::npos) << out.substr(out.size() > 600 ? out.size() - 600 : 0);
    size_t digits = out.rfind(' ', reported - 1) + 1;
    long dropped = atol(out.c_str() + digits);
    EXPECT_GE(dropped, 45);
    EXPECT_LE(dropped, 50);
}

// Every console line is one write: lines of many threads never mix, even through a pipe.
TEST(Logger, ConcurrentConsoleLinesStayWhole) {
    auto terminal = terminal_logger();
    Logger& log = *terminal;
    log.set(6, "");
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    fflush(stdout);
    int saved = dup(STDOUT_FILENO);
    dup2(fds[1], STDOUT_FILENO);
    close(fds[1]);
    std::string collected;
    std::thread reader([&] {
        char buf[65536];
        ssize_t n;
        while ((n = read(fds[0], buf, sizeof(buf))) > 0) collected.append(buf, static_cast<size_t>(n));
    });
    constexpr int kThreads = 8;
    constexpr int kLines = 400;
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; t++) {
        writers.emplace_back([&log, t] {
            std::string pad(40 + t * 30, static_cast<char>('a' + t));
            for (int i = 0; i < kLines; i++)
                log.writef("thread", LOG_NOTICE, "%d-%d-%s-end", t, i, pad.c_str());
        });
    }
    for (auto& w : writers) w.join();
    dup2(saved, STDOUT_FILENO);  // closes the last write end: the reader sees end of file
    close(saved);
    reader.join();
    close(fds[0]);

    std::regex line("\x1b\\[1;34m\\d\\d:\\d\\d:\\d\\d\x1b\\[36m\\[NOTICE\\] \x1b\\[1;32mthread "
                    "(\\d)-(\\d+)-([a-z]+)-end\n\x1b\\[0m");
    std::vector<int> next(kThreads, 0);
    size_t pos = 0;
    int count = 0;
    while (pos < collected.size()) {
        size_t end = collected.find("\x1b[0m", pos);
        ASSERT_NE(end, std::string::npos) << collected.substr(pos, 200);
        std::string one = collected.substr(pos, end + 4 - pos);
        std::smatch m;
        ASSERT_TRUE(std::regex_match(one, m, line)) << one;
        int t = std::stoi(m[1]);
        EXPECT_EQ(std::stoi(m[2]), next[t]++);  // each thread's lines in its own order
        EXPECT_EQ(m[3].str(), std::string(40 + t * 30, static_cast<char>('a' + t)));
        pos = end + 4;
        count++;
    }
    EXPECT_EQ(count, kThreads * kLines);
}

}  // namespace

namespace {

std::string escaped(const char* text) {
    std::string out;
    log_escape(out, text);
    return out;
}

// Every control byte is written as a visible escape; a backslash is doubled only where it
// would read as one, so each line decodes back to exactly the text that was logged.
TEST(LoggerEscape, ControlBytesAndBackslashes) {
    EXPECT_EQ(escaped("김철수 /a b.txt"), "김철수 /a b.txt");
    EXPECT_EQ(escaped("a\nb\rc\td\x1b[31me\x01\x1f\x7f"), "a\\nb\\rc\\td\\e[31me\\x01\\x1f\\x7f");
    EXPECT_EQ(escaped("C:\\dir\\file"), "C:\\dir\\file");
    // C1 controls in UTF-8 form (CSI, NEL); other characters of that lead byte stay.
    EXPECT_EQ(escaped("a\xc2\x9b" "2J\xc2\x85z\xc2\xa9\\\xc2\x9b"),
              "a\\xc2\\x9b" "2J\\xc2\\x85z\xc2\xa9\\\\\\xc2\\x9b");
    EXPECT_EQ(escaped("\\n \\x41 \\\\ \\\n \\"), "\\\\n \\\\x41 \\\\\\ \\\\\\n \\");
}

// The whole class, not samples of it: every C0 control and DEL, and all 32 C1 controls, come
// out as escapes, alone and after a backslash; the characters just outside the class stay.
TEST(LoggerEscape, EveryControlOfBothClasses) {
    auto hex = [](unsigned c) {
        char t[16];
        snprintf(t, sizeof(t), "\\x%02x", c);
        return std::string(t);
    };
    for (unsigned c = 1; c <= 0x7f; c++) {
        if (c >= 0x20 && c < 0x7f) continue;
        std::string want = c == '\n' ? "\\n" : c == '\r' ? "\\r" : c == '\t' ? "\\t"
                         : c == 0x1b ? "\\e" : hex(c);
        const char text[] = {'a', static_cast<char>(c), 'z', '\\', static_cast<char>(c), 0};
        EXPECT_EQ(escaped(text), "a" + want + "z\\\\" + want) << "byte " << c;
    }
    for (unsigned c = 0x80; c <= 0x9f; c++) {
        const char text[] = {'a', '\xc2', static_cast<char>(c), 'z', '\\', '\xc2',
                             static_cast<char>(c), 0};
        const std::string want = hex(0xc2) + hex(c);
        EXPECT_EQ(escaped(text), "a" + want + "z\\\\" + want) << "U+00" << std::hex << c;
    }
    // Space, "~", U+00A0 and U+00A1 are printable: each stays as it is.
    EXPECT_EQ(escaped(" ~\xc2\xa0\xc2\xa1"), " ~\xc2\xa0\xc2\xa1");
}

TEST(LoggerEscape, OneCallIsOneLineInBothModes) {
    TempFolder dir;
    Logger file_log;
    file_log.set(6, dir.path.c_str());
    file_log.write("tag\nx", LOG_INFO, "one\ntwo\r\x1b[2J");
    std::string file = slurp(dir.path + "/" + day_file_name());
    EXPECT_TRUE(std::regex_match(file, std::regex("\\d\\d:\\d\\d:\\d\\d\\[INFO\\] tag\\\\nx "
                                                  "one\\\\ntwo\\\\r\\\\e\\[2J\n")))
        << file;

    auto terminal = terminal_logger();
    Logger& console = *terminal;
    console.set(6, "");
    StdoutCapture cap;
    console.writef("t", LOG_INFO, "%s", "a\nb\x1b[2J");
    std::string out = cap.text();
    EXPECT_NE(out.find("t a\\nb\\e[2J\n\x1b[0m"), std::string::npos) << out;
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1);
}

}  // namespace
