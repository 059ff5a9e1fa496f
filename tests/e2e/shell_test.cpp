// boardhub-cli on a pseudo-terminal against the real server, as a person uses it: line editing
// with history across sessions, completion of commands and remote paths, Ctrl-C back to the
// prompt, messages arriving while a line is typed, a replaced session, and the progress line
// at several terminal widths.
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <utmp.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <thread>

#include "harness.h"

namespace fs = std::filesystem;

namespace {

// A program on the slave side of a pseudo-terminal of rows x cols; its output collected.
class Pty {
public:
    // held: the terminal's output is stopped from the start (as by Ctrl-S), so the program's
    // first write to it waits until resume_output().
    Pty(const std::vector<std::string>& args, const std::vector<std::string>& env,
        const std::string& dir, int rows = 24, int cols = 80, bool held = false) {
        struct winsize ws = {static_cast<unsigned short>(rows), static_cast<unsigned short>(cols),
                             0, 0};
        if (openpty(&master_, &slave_, nullptr, nullptr, &ws) != 0) {
            ADD_FAILURE() << "openpty: " << strerror(errno);
            return;
        }
        if (held && tcflow(slave_, TCOOFF) != 0) ADD_FAILURE() << "tcflow: " << strerror(errno);
        pid_ = fork();
        if (pid_ == 0) {
            close(master_);
            if (login_tty(slave_) != 0) _exit(125);
            if (chdir(dir.c_str()) != 0) _exit(126);
            unsetenv("BOARDHUB_PASSWORD");
            unsetenv("BOARDHUB_USER");
            setenv("TERM", "xterm", 1);
            setenv("LC_ALL", "C.UTF-8", 1);
            for (const auto& kv : env) putenv(strdup(kv.c_str()));
            std::vector<char*> argv;
            for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        // The slave stays open here only while output is held: the end of the program is then
        // still seen as the end of its output.
        if (!held) {
            close(slave_);
            slave_ = -1;
        }
    }
    ~Pty() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            int st;
            waitpid(pid_, &st, 0);
        }
        if (slave_ >= 0) close(slave_);
        if (master_ >= 0) close(master_);
    }
    // True once the held program waits in a write to the terminal (read from
    // /proc/PID/syscall), false when it did not within the time-out.
    bool blocked_writing(int timeout_ms = 15000) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        const std::string path = "/proc/" + std::to_string(pid_) + "/syscall";
        while (std::chrono::steady_clock::now() < deadline) {
            long nr = -1;
            unsigned long fd = 0;
            FILE* f = fopen(path.c_str(), "r");
            if (f) {
                if (fscanf(f, "%ld %lx", &nr, &fd) != 2) nr = -1;
                fclose(f);
            }
            if ((nr == SYS_write || nr == SYS_writev) && (fd == 1 || fd == 2)) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }
    void resume_output() {
        if (slave_ < 0) return;
        if (tcflow(slave_, TCOON) != 0) ADD_FAILURE() << "tcflow: " << strerror(errno);
        close(slave_);
        slave_ = -1;
    }
    void send(const std::string& keys) {
        if (write(master_, keys.data(), keys.size()) < 0) ADD_FAILURE() << "write to the pty";
    }
    void resize(int rows, int cols) {
        struct winsize ws = {static_cast<unsigned short>(rows), static_cast<unsigned short>(cols),
                             0, 0};
        ioctl(master_, TIOCSWINSZ, &ws);
    }
    // Reads until text appears after the previous match; true when it did.
    bool expect(const std::string& text, int timeout_ms = 15000) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        for (;;) {
            size_t at = out_.find(text, mark_);
            if (at != std::string::npos) {
                mark_ = at + text.size();
                return true;
            }
            int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                            deadline - std::chrono::steady_clock::now())
                                            .count());
            if (left <= 0 || !read_some(left)) return false;
        }
    }
    // Exit status once the program ends (its output read meanwhile), -1 on time-out.
    int wait(int timeout_ms = 15000) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (std::chrono::steady_clock::now() < deadline) {
            read_some(20);
            int st;
            if (waitpid(pid_, &st, WNOHANG) == pid_) {
                pid_ = -1;
                while (read_some(20)) {
                }
                return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            }
        }
        return -1;
    }
    const std::string& out() const { return out_; }
    // Waits until the program has put the terminal out of line mode (a line editor reading
    // keys one by one): before that, the terminal itself takes control keys such as Ctrl-R.
    bool wait_raw(int timeout_ms = 15000) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (std::chrono::steady_clock::now() < deadline) {
            struct termios t;
            if (tcgetattr(master_, &t) == 0 && !(t.c_lflag & ICANON)) return true;
            read_some(10);
        }
        return false;
    }

private:
    bool read_some(int timeout_ms) {
        struct pollfd p = {master_, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) <= 0) return false;
        char buf[4096];
        ssize_t n = read(master_, buf, sizeof(buf));
        if (n <= 0) return false;
        out_.append(buf, static_cast<size_t>(n));
        return true;
    }
    pid_t pid_ = -1;
    int master_ = -1;
    int slave_ = -1;
    std::string out_;
    size_t mark_ = 0;
};

// Columns of UTF-8 text in which Hangul takes two.
size_t columns(const std::string& s) {
    size_t cols = 0;
    for (size_t i = 0; i < s.size();) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        size_t len = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
        cols += len == 3 && c >= 0xEA && c <= 0xED ? 2 : 1;
        i += len;
    }
    return cols;
}

std::vector<std::string> temp_files(const std::string& dir) {
    std::vector<std::string> out;
    for (const auto& e : fs::directory_iterator(dir)) {
        std::string n = e.path().filename().string();
        if (n.size() > 5 && n.compare(n.size() - 5, 5, ".part") == 0) out.push_back(n);
    }
    return out;
}

std::string random_bytes(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (auto& c : s) c = static_cast<char>(gen() & 0xff);
    return s;
}

class Shell : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(srv.start()) << srv.out() << srv.err();
        work = srv.dir.path + "/work";
        state = srv.dir.path + "/state";
        e2e::make_dirs(work);
        e2e::add_user(srv.data, "alice", "wonder", 5);
        e2e::add_user(srv.data, "bob", "builder", 5);
    }
    std::vector<std::string> cli(const std::string& user, std::vector<std::string> args = {}) {
        std::vector<std::string> full = {BOARDHUB_CLI, "-p", std::to_string(srv.port), "-u",
                                         user};
        full.insert(full.end(), args.begin(), args.end());
        return full;
    }
    std::unique_ptr<Pty> shell(const std::string& user, const std::string& password,
                               int cols = 80) {
        auto p = std::make_unique<Pty>(
            cli(user), std::vector<std::string>{"BOARDHUB_PASSWORD=" + password,
                                                "XDG_STATE_HOME=" + state},
            work, 24, cols);
        EXPECT_TRUE(p->expect("boardhub:" + user + ":/> ")) << p->out();
        return p;
    }
    // A one-shot command of another user, run to its end.
    int run(const std::string& user, const std::string& password,
            const std::vector<std::string>& args) {
        Pty p(cli(user, args), {"BOARDHUB_PASSWORD=" + password}, work);
        return p.wait();
    }

    e2e::TestServer srv;
    std::string work, state;
};

}  // namespace

TEST_F(Shell, CompletesPathsAndKeepsHistoryAcrossSessions) {
    e2e::write_file(srv.share + "/docs/report-2024.txt", "report");
    e2e::write_file(srv.share + "/docs/reply.txt", "reply");
    e2e::make_dirs(srv.share + "/docs/old");
    {
        auto sh = shell("alice", "wonder");
        // A command, then a folder relative to the current one.
        // The editor redraws by moving the cursor: what a completion did shows in its effect.
        sh->send("che\t/\r");
        ASSERT_TRUE(sh->expect("/: exists")) << sh->out();
        sh->send("cd do\t\r");
        ASSERT_TRUE(sh->expect("boardhub:alice:/docs> ")) << sh->out();
        // Two names share "rep": a second Tab lists them; one more letter decides.
        sh->send("get rep\t");
        sh->send("\t");
        ASSERT_TRUE(sh->expect("reply.txt")) << sh->out();
        ASSERT_TRUE(sh->expect("report-2024.txt")) << sh->out();
        sh->send("o\t\r");
        ASSERT_TRUE(sh->expect("report-2024.txt: 6 bytes")) << sh->out();
        EXPECT_EQ(e2e::read_file(work + "/report-2024.txt"), "report");
        sh->send("pwd\r");
        ASSERT_TRUE(sh->expect("remote: /docs")) << sh->out();
        sh->send("cd ..\r");
        ASSERT_TRUE(sh->expect("boardhub:alice:/> ")) << sh->out();
        // Ctrl-D leaves. A pause first: typed while the editor is still switching the terminal
        // out of line mode, an end-of-file character is lost, as with any editor.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        sh->send("\x04");
        EXPECT_EQ(sh->wait(), 0) << sh->out();
    }
    EXPECT_TRUE(fs::exists(state + "/boardhub/history"));
    EXPECT_EQ(fs::status(state + "/boardhub/history").permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
    // A new shell recalls the lines of the last one with the up arrow.
    auto sh = shell("alice", "wonder");
    sh->send("\x1b[A\x1b[A\x1b[A\x1b[A");  // cd .., pwd, get ..., cd docs/
    sh->send("\r");
    ASSERT_TRUE(sh->expect("boardhub:alice:/docs> ")) << sh->out();
    sh->send("quit\r");
    EXPECT_EQ(sh->wait(), 0) << sh->out();
}

TEST_F(Shell, CtrlCStopsTheCommandAndClearsTheLine) {
    e2e::write_file(srv.share + "/big.bin", random_bytes(8 * 1024 * 1024, 5));
    auto sh = shell("alice", "wonder");
    // At the prompt: the typed line goes, the shell stays.
    sh->send("abc");
    ASSERT_TRUE(sh->expect("abc")) << sh->out();
    sh->send("\x03");
    ASSERT_TRUE(sh->expect("boardhub:alice:/> ")) << sh->out();
    sh->send("hello\r");
    ASSERT_TRUE(sh->expect("server testhub")) << sh->out();

    // During a download in small pieces: back to the prompt, nothing left behind, the progress
    // line ended, and the next command works over a fresh connection.
    sh->send("get --piece 512 /big.bin\r");
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (temp_files(work).empty() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    ASSERT_FALSE(temp_files(work).empty()) << sh->out();
    ASSERT_TRUE(sh->expect("big.bin")) << sh->out();  // the progress line is up
    sh->send("\x03");
    ASSERT_TRUE(sh->expect("boardhub-cli: get: /big.bin: interrupted")) << sh->out();
    size_t at = sh->out().rfind("boardhub-cli: get: /big.bin: interrupted");
    EXPECT_EQ(sh->out()[at - 1], '\n') << "the progress line must end first";
    ASSERT_TRUE(sh->expect("boardhub:alice:/> ")) << sh->out();
    EXPECT_TRUE(temp_files(work).empty());
    EXPECT_FALSE(fs::exists(work + "/big.bin"));
    sh->send("who\r");
    ASSERT_TRUE(sh->expect("alice")) << sh->out();
    ASSERT_TRUE(sh->expect("boardhub:alice:/> ")) << sh->out();
    sh->send("exit\r");
    EXPECT_EQ(sh->wait(), 0) << sh->out();
}

TEST_F(Shell, MessagesArriveAboveTheLineBeingTyped) {
    e2e::write_file(srv.share + "/pics/one.png", "1");
    auto sh = shell("alice", "wonder");
    sh->send("ls /pi");
    ASSERT_TRUE(sh->expect("ls /pi")) << sh->out();
    // Escape sequences in a message are shown, not obeyed; Korean stays as it is.
    ASSERT_EQ(run("bob", "builder", {"msg", "alice", "안녕 \x1b[2J\x07 there"}), 0);
    ASSERT_TRUE(sh->expect("message from bob: 안녕 \\x1B[2J\\x07 there")) << sh->out();
    // The typed line is drawn again and goes on where it was.
    ASSERT_TRUE(sh->expect("ls /pi")) << sh->out();
    sh->send("cs\r");
    ASSERT_TRUE(sh->expect("one.png")) << sh->out();
    EXPECT_EQ(sh->out().find("\x1b[2J"), std::string::npos);

    ASSERT_EQ(run("bob", "builder", {"notice", "power off at six"}), 0);
    ASSERT_TRUE(sh->expect("server notice: power off at six")) << sh->out();

    // A second login of alice takes the session over: the shell says so and ends.
    ASSERT_EQ(run("alice", "wonder", {"login"}), 0);
    ASSERT_TRUE(sh->expect("동일 사용자가 로그인 되었습니다. (the same user has logged in elsewhere)"))
        << sh->out();
    ASSERT_TRUE(sh->expect("replaced by a new login")) << sh->out();
    EXPECT_EQ(sh->wait(), 1) << sh->out();
}

TEST_F(Shell, NewPasswordIsAskedAgainUntilBothAgree) {
    auto sh = shell("alice", "wonder");
    sh->send("passwd\r");
    ASSERT_TRUE(sh->expect("New password: ")) << sh->out();
    sh->send("first\r");
    ASSERT_TRUE(sh->expect("New password again: ")) << sh->out();
    sh->send("other\r");
    ASSERT_TRUE(sh->expect("the passwords differ; try again")) << sh->out();
    ASSERT_TRUE(sh->expect("New password: ")) << sh->out();
    sh->send("second\r");
    ASSERT_TRUE(sh->expect("New password again: ")) << sh->out();
    sh->send("second\r");
    ASSERT_TRUE(sh->expect("password changed")) << sh->out();
    EXPECT_EQ(sh->out().find("second"), std::string::npos) << "no echo";
    sh->send("quit\r");
    EXPECT_EQ(sh->wait(), 0);
    EXPECT_EQ(run("alice", "second", {"login"}), 0);
}

TEST_F(Shell, ProgressLineFitsTheTerminal) {
    const std::string name = "보고서-2024-q3.bin";
    e2e::write_file(srv.share + "/" + name, random_bytes(4 * 1024 * 1024, 9));
    // Every state of the line, at each width, within the width (the last column kept free,
    // so that no terminal wraps), with the name shown as far as it fits.
    auto lines_of = [](const std::string& out) {
        std::vector<std::string> lines;
        std::string cur;
        for (size_t i = 0; i < out.size(); i++) {
            if (out.compare(i, 3, "\x1b[K") == 0) {
                i += 2;
            } else if (out[i] == '\r' || out[i] == '\n') {
                if (!cur.empty()) lines.push_back(cur);
                cur.clear();
            } else {
                cur += out[i];
            }
        }
        if (!cur.empty()) lines.push_back(cur);
        return lines;
    };
    for (int cols : {20, 40, 80, 132}) {
        std::string local = work + "/w" + std::to_string(cols);
        Pty p(cli("alice", {"get", "--piece", "8192", "/" + name, local}),
              {"BOARDHUB_PASSWORD=wonder"}, work, 24, cols);
        ASSERT_EQ(p.wait(60000), 0) << p.out();
        std::vector<std::string> lines = lines_of(p.out());
        ASSERT_FALSE(lines.empty());
        for (const std::string& l : lines) {
            if (l.rfind("boardhub-cli: new server ", 0) == 0) continue;  // the first contact's
            EXPECT_LT(columns(l), static_cast<size_t>(cols)) << cols << ": " << l;
        }
        EXPECT_NE(lines.back().find("100%"), std::string::npos) << lines.back();
        if (cols >= 80) {
            EXPECT_NE(lines.back().find(name), std::string::npos) << lines.back();
            EXPECT_NE(lines.back().find("4.0 MiB / 4.0 MiB"), std::string::npos) << lines.back();
            EXPECT_NE(lines.back().find("/s"), std::string::npos) << lines.back();
        } else if (cols >= 40) {
            EXPECT_NE(lines.back().find("보고서"), std::string::npos) << lines.back();
        }
        if (cols >= 80) {
            EXPECT_NE(p.out().find("left"), std::string::npos);
        }
    }

    // A resize during the download: the lines after it fit the new width. The terminal holds
    // the client's output until the resize is made, so the download cannot end before it,
    // however fast it runs: the progress line was set up for 120 columns and its first write
    // waits.
    Pty p(cli("alice", {"get", "--piece", "512", "/" + name, work + "/resized"}),
          {"BOARDHUB_PASSWORD=wonder"}, work, 24, 120, true);
    ASSERT_TRUE(p.blocked_writing()) << "the client never wrote to its terminal";
    p.resize(24, 50);
    p.resume_output();
    ASSERT_EQ(p.wait(60000), 0) << p.out();
    std::vector<std::string> after = lines_of(p.out());
    ASSERT_GE(after.size(), 2u) << p.out();
    // The first line was drawn for the old width before the signal was seen; every later one,
    // the last (100%) among them, fits the new width.
    EXPECT_GT(columns(after[0]), 50u) << after[0];
    EXPECT_NE(after.back().find("100%"), std::string::npos) << after.back();
    for (size_t i = 1; i < after.size(); i++)
        EXPECT_LT(columns(after[i]), 50u) << after[i];
}

// The local side as sftp users know it: lcd ~, lpwd, lls, !command, clear; and Ctrl-R that
// says what it searches.
TEST_F(Shell, LocalCommandsAndHistorySearch) {
    std::string home = work + "/home";
    e2e::write_file(home + "/sub/local.txt", "here");
    Pty sh(cli("alice"), {"BOARDHUB_PASSWORD=wonder", "XDG_STATE_HOME=" + state, "HOME=" + home,
                          "SHELL=/bin/sh"},
           work);
    ASSERT_TRUE(sh.expect("boardhub:alice:/> ")) << sh.out();
    sh.send("lcd ~/sub\r");
    ASSERT_TRUE(sh.expect("boardhub:alice:/> ")) << sh.out();
    sh.send("lpwd\r");
    ASSERT_TRUE(sh.expect(home + "/sub\r\n")) << sh.out();
    sh.send("lls -a\r");
    ASSERT_TRUE(sh.expect("local.txt")) << sh.out();
    sh.send("!echo made >made.txt; echo \"$HOME\"\r");
    ASSERT_TRUE(sh.expect(home + "\r\n")) << sh.out();
    ASSERT_TRUE(sh.expect("boardhub:alice:/> ")) << sh.out();
    EXPECT_EQ(e2e::read_file(home + "/sub/made.txt"), "made\n");
    sh.send("!exit 3\r");
    ASSERT_TRUE(sh.expect("boardhub-cli: !exit 3: exit status 3")) << sh.out();
    sh.send("clear\r");
    ASSERT_TRUE(sh.expect("\x1b[H\x1b[2J")) << sh.out();

    sh.send("check /\r");
    ASSERT_TRUE(sh.expect("/: exists")) << sh.out();
    sh.send("hello\r");
    ASSERT_TRUE(sh.expect("server testhub")) << sh.out();
    ASSERT_TRUE(sh.expect("boardhub:alice:/> ")) << sh.out();
    ASSERT_TRUE(sh.wait_raw()) << sh.out();
    sh.send("\x12");
    ASSERT_TRUE(sh.expect("history search '': ")) << sh.out();
    sh.send("ch");
    ASSERT_TRUE(sh.expect("history search 'ch': ")) << sh.out();
    sh.send("\r");
    ASSERT_TRUE(sh.expect("/: exists")) << sh.out();
    EXPECT_EQ(sh.out().find("bck:"), std::string::npos);
    sh.send("quit\r");
    EXPECT_EQ(sh.wait(), 0) << sh.out();

    // In a batch the local commands run too, and a failing one stops it.
    Pty batch({"/bin/sh", "-c",
               "printf 'lcd ~/sub\\nlls\\n!false\\nhello\\n' | " + std::string(BOARDHUB_CLI) +
                   " -p " + std::to_string(srv.port) + " -u alice"},
              {"BOARDHUB_PASSWORD=wonder", "HOME=" + home}, work);
    EXPECT_EQ(batch.wait(), 5) << batch.out();
    EXPECT_NE(batch.out().find("local.txt"), std::string::npos) << batch.out();
    EXPECT_NE(batch.out().find("stopped at line 3: !false"), std::string::npos) << batch.out();
}

// A suspended account: the server's notice with its meaning in English, and the shell ends
// saying why, with the status of a refused login.
TEST_F(Shell, SuspendedAccountIsExplained) {
    auto sh = shell("alice", "wonder");
    std::string line = std::string(BOARDHUB_ADMIN) + " -d " + srv.data +
                       " user level alice 0 >/dev/null";
    ASSERT_EQ(std::system(line.c_str()), 0);
    ASSERT_TRUE(sh->expect("server notice: 사용정지된 사용자입니다. 접속을 종료합니다. "
                           "(this account has been suspended")) << sh->out();
    ASSERT_TRUE(sh->expect("not logged in: account suspended")) << sh->out();
    EXPECT_EQ(sh->wait(), 4) << sh->out();
    EXPECT_EQ(sh->out().find("connection to the server closed"), std::string::npos) << sh->out();

    // A login refused in a shell: what fails after it says why, not that the server refused.
    Pty anon({BOARDHUB_CLI, "-p", std::to_string(srv.port)}, {"BOARDHUB_PASSWORD=wonder"}, work);
    ASSERT_TRUE(anon.expect("boardhub:/> ")) << anon.out();
    anon.send("login alice\r");
    ASSERT_TRUE(anon.expect("login as alice: account suspended (200)")) << anon.out();
    anon.send("who\r");
    ASSERT_TRUE(anon.expect("boardhub-cli: who: not logged in: account suspended")) << anon.out();
    anon.send("quit\r");
    EXPECT_EQ(anon.wait(), 0) << anon.out();
}

// After a resize the prompt and the typed line are drawn once, not again below their old
// copy: what a terminal shows, read back from tmux (skipped without it).
TEST_F(Shell, ResizeDrawsThePromptOnce) {
    if (std::system("command -v tmux >/dev/null 2>&1") != 0) GTEST_SKIP() << "no tmux";
    std::string sock = "bh-shell-" + std::to_string(getpid());
    std::string tmux = "tmux -L " + sock + " -f /dev/null ";
    auto screen = [&] {
        std::string text;
        FILE* f = popen((tmux + "capture-pane -p -t s").c_str(), "r");
        char buf[4096];
        size_t n;
        while (f && (n = fread(buf, 1, sizeof(buf), f)) > 0) text.append(buf, n);
        if (f) pclose(f);
        return text;
    };
    auto count = [](const std::string& text, const std::string& what) {
        size_t n = 0;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
            n++;
        return n;
    };
    auto wait_for = [&](const std::function<bool(const std::string&)>& ok) {
        for (int i = 0; i < 300; i++) {
            if (ok(screen())) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    };
    std::string start = tmux + "new-session -d -s s -x 60 -y 20 'BOARDHUB_PASSWORD=wonder HOME=" +
                        work + " XDG_STATE_HOME=" + state + " " + BOARDHUB_CLI + " -p " + std::to_string(srv.port) +
                        " -u alice; sleep 60'";
    ASSERT_EQ(std::system(start.c_str()), 0);
    // The tmux server and its socket go at every exit of the test.
    std::shared_ptr<void> end(nullptr, [&](void*) {
        if (std::system((tmux + "kill-server 2>/dev/null").c_str()) != 0) {
        }
        unlink(("/tmp/tmux-" + std::to_string(getuid()) + "/" + sock).c_str());
    });
    const std::string typed = "ls some/long/path/typed";
    // (tmux drops the blanks at the end of a row)
    ASSERT_TRUE(wait_for([](const std::string& s) { return s.find("boardhub:alice:/>") !=
                                                         std::string::npos; }));
    ASSERT_EQ(std::system((tmux + "send-keys -t s -l '" + typed + "'").c_str()), 0);
    EXPECT_TRUE(wait_for([&](const std::string& s) { return s.find(typed) != std::string::npos; }));
    // Narrower, so that the line wraps (settled when the screen changed with the line all
    // there), then wide again.
    std::string before = screen();
    ASSERT_EQ(std::system((tmux + "resize-window -t s -x 30 -y 20").c_str()), 0);
    wait_for([&](const std::string& s) {
        std::string joined;
        for (char c : s)
            if (c != '\n') joined += c;
        return s != before && joined.find("/> " + typed) != std::string::npos;
    });
    ASSERT_EQ(std::system((tmux + "resize-window -t s -x 80 -y 20").c_str()), 0);
    // Two keys typed after it, each shown: the shell has dealt with the resize by then.
    std::string line = typed;
    for (char key : {'X', 'Y'}) {
        ASSERT_EQ(std::system((tmux + "send-keys -t s -l " + key).c_str()), 0);
        line += key;
        EXPECT_TRUE(
            wait_for([&](const std::string& s) { return s.find(line) != std::string::npos; }));
    }
    std::string shown = screen();
    EXPECT_EQ(count(shown, "boardhub:alice:/> "), 1u) << shown;
    EXPECT_EQ(count(shown, typed), 1u) << shown;
}

// rm -r asks on the terminal before it deletes a folder's contents; only "y" goes ahead.
TEST_F(Shell, RecursiveRemoveAsksFirst) {
    e2e::write_file(srv.share + "/t/보고서 1.txt", "a");
    e2e::write_file(srv.share + "/t/sub/b", "b");
    auto sh = shell("alice", "wonder");
    sh->send("rm -r /t\r");
    ASSERT_TRUE(sh->expect("delete /t and everything in it? [y/N] ")) << sh->out();
    sh->send("n\r");
    ASSERT_TRUE(sh->expect("rm: /t: not deleted")) << sh->out();
    ASSERT_TRUE(sh->expect("boardhub:alice:/> ")) << sh->out();
    EXPECT_TRUE(fs::exists(srv.share + "/t/sub/b"));
    sh->send("rm -r /t\r");
    ASSERT_TRUE(sh->expect("[y/N] ")) << sh->out();
    sh->send("y\r");
    ASSERT_TRUE(sh->expect("boardhub:alice:/> ")) << sh->out();
    EXPECT_FALSE(fs::exists(srv.share + "/t"));
}
