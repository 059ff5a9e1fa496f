// boardhub-cli entry: options, help, and the interactive shell.
#include <getopt.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli.h"

namespace cli {

namespace {

const char* kHelp =
    "usage: boardhub-cli [-H HOST] [-p PORT] [-u USER] COMMAND [ARGS...]\n"
    "       boardhub-cli [-H HOST] [-p PORT] [-u USER] [shell]\n"
    "\n"
    "Talks to a boardhub server. Every invocation connects, logs in when a user is given\n"
    "(-u or BOARDHUB_USER), runs one command and disconnects; without a command (or with\n"
    "'shell') it reads commands from standard input over one connection.\n"
    "\n"
    "Options:\n"
    "  -H, --host HOST      server address (default 127.0.0.1, or BOARDHUB_HOST)\n"
    "  -p, --port PORT      server port (default 8000, or BOARDHUB_PORT)\n"
    "  -u, --user USER      log in as USER (or BOARDHUB_USER)\n"
    "  -q, --quiet          no progress bar\n"
    "  -h, --help           this text\n"
    "\n"
    "The password is read from BOARDHUB_PASSWORD, or asked for without echo on the terminal,\n"
    "or read as one line of standard input when that is not a terminal. It is never taken\n"
    "from the command line. 'passwd' reads the new password the same way, from\n"
    "BOARDHUB_NEW_PASSWORD or a prompt (asked twice).\n"
    "\n"
    "Commands:\n"
    "  hello                server name and protocol version (no login needed)\n"
    "  login [USER]         log in and show the level and the server notice\n"
    "  who                  users connected now\n"
    "  id                   this session's user, level and login time\n"
    "  ls [-a] [PATH]       list a folder, folders first; -a shows dot-names too\n"
    "  get [--whole] [--piece BYTES] REMOTE [LOCAL]\n"
    "                       download a file in pieces (default 65536 bytes), or whole;\n"
    "                       the file appears under its name only once complete\n"
    "  check PATH           whether a path exists on the server\n"
    "  msg USER TEXT...     send a message to a connected user\n"
    "  notice [TEXT...]     show the server notice, or set it (\"\" clears it)\n"
    "  passwd               change your password\n"
    "  caminfo              the camera's capture size\n"
    "  snap OUT.png         take a camera frame and save it as PNG\n"
    "  listen               stay connected and print messages and notices as they come\n"
    "  shell                interactive mode with the same commands ('help', 'quit')\n"
    "\n"
    "Exit status:\n"
    "  0    success\n"
    "  1    the server refused or could not do it (closed folder, no such file, user not\n"
    "       connected, no camera, wrong current password, ...)\n"
    "  2    wrong command line, or no password given\n"
    "  3    cannot connect, connection lost, or a reply out of protocol\n"
    "  4    login refused (wrong user name or password, account suspended, version)\n"
    "  5    a local file cannot be written\n"
    "  130  interrupted\n";

// Splits a shell line into words; single and double quotes group, backslash escapes.
bool split_words(const std::string& line, std::vector<std::string>& words) {
    words.clear();
    std::string word;
    bool in_word = false;
    char quote = 0;
    for (size_t i = 0; i < line.size(); i++) {
        char c = line[i];
        if (quote) {
            if (c == quote) {
                quote = 0;
            } else if (c == '\\' && quote == '"' && i + 1 < line.size()) {
                word += line[++i];
            } else {
                word += c;
            }
        } else if (c == '\'' || c == '"') {
            quote = c;
            in_word = true;
        } else if (c == '\\' && i + 1 < line.size()) {
            word += line[++i];
            in_word = true;
        } else if (c == ' ' || c == '\t' || c == '\r') {
            if (in_word) words.push_back(word);
            word.clear();
            in_word = false;
        } else {
            word += c;
            in_word = true;
        }
    }
    if (quote) return false;
    if (in_word) words.push_back(word);
    return true;
}

}  // namespace

int Session::shell(bool login_first) {
    in_shell_ = true;
    if (login_first) {
        if (int rc = login(true)) return rc;
    }
    bool interactive = isatty(STDIN_FILENO);
    if (interactive) printf("boardhub shell; 'help' lists the commands, 'quit' leaves\n");
    std::string& pending = shell_input_;
    int last = kOk;
    auto prompt = [&] {
        if (interactive)
            printf("boardhub%s%s> ", logged_in_ ? ":" : "", logged_in_ ? opt_.user.c_str() : "");
    };
    for (;;) {
        prompt();
        fflush(stdout);
        // Wait for a line, printing messages that arrive meanwhile.
        size_t nl;
        bool eof = false;
        while ((nl = pending.find('\n')) == std::string::npos) {
            struct pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {client_.fd(), POLLIN, 0}};
            int n = poll(fds, connected_ ? 2 : 1, -1);
            if (n < 0) {
                if (errno == EINTR) continue;
                eof = true;
                break;
            }
            if (connected_ && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
                bh::Frame f;
                if (!client_.recv_frame(f)) {
                    lost("connection");
                } else if (f.type == "21") {
                    if (interactive) printf("\n");
                    print_message(f.payload);
                    prompt();
                    fflush(stdout);
                }
            }
            if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
                char buf[4096];
                ssize_t r = read(STDIN_FILENO, buf, sizeof(buf));
                if (r < 0 && errno == EINTR) continue;
                if (r <= 0) {
                    eof = true;
                    break;
                }
                pending.append(buf, static_cast<size_t>(r));
            }
        }
        std::string line;
        if (nl != std::string::npos) {
            line = pending.substr(0, nl);
            pending.erase(0, nl + 1);
        } else if (eof && !pending.empty()) {
            line.swap(pending);
        } else if (eof) {
            if (interactive) printf("\n");
            return last;
        }
        std::vector<std::string> words;
        if (!split_words(line, words)) {
            fprintf(stderr, "unbalanced quotes\n");
            continue;
        }
        if (words.empty() || words[0][0] == '#') continue;
        if (words[0] == "quit" || words[0] == "exit") return last;
        if (words[0] == "help") {
            fputs(strstr(kHelp, "Commands:\n"), stdout);
            continue;
        }
        if (words[0] == "shell") continue;
        if (!connected_ && connect() != kOk) {
            last = kConnection;
            continue;
        }
        if (words[0] == "listen") {
            printf("messages are shown here as they arrive\n");
            continue;
        }
        last = run(words);
        fflush(stdout);
    }
}

}  // namespace cli

int main(int argc, char** argv) {
    using namespace cli;
    signal(SIGPIPE, SIG_IGN);
    Options opt;
    if (const char* h = getenv("BOARDHUB_HOST")) opt.host = h;
    if (const char* p = getenv("BOARDHUB_PORT")) opt.port = atoi(p);
    if (const char* u = getenv("BOARDHUB_USER")) opt.user = u;

    static const struct option longs[] = {{"host", required_argument, nullptr, 'H'},
                                          {"port", required_argument, nullptr, 'p'},
                                          {"user", required_argument, nullptr, 'u'},
                                          {"quiet", no_argument, nullptr, 'q'},
                                          {"help", no_argument, nullptr, 'h'},
                                          {nullptr, 0, nullptr, 0}};
    int c;
    // "+": options end at the command word, so commands keep their own options (ls -a).
    while ((c = getopt_long(argc, argv, "+H:p:u:qh", longs, nullptr)) != -1) {
        switch (c) {
            case 'H': opt.host = optarg; break;
            case 'p': {
                char* end = nullptr;
                long v = strtol(optarg, &end, 10);
                if (*end || v <= 0 || v > 65535) {
                    fprintf(stderr, "boardhub-cli: bad port '%s'\n", optarg);
                    return kUsage;
                }
                opt.port = static_cast<int>(v);
                break;
            }
            case 'u': opt.user = optarg; break;
            case 'q': opt.progress = false; break;
            case 'h': fputs(kHelp, stdout); return kOk;
            default: fputs(kHelp, stderr); return kUsage;
        }
    }
    std::vector<std::string> args(argv + optind, argv + argc);
    bool shell = args.empty() || args[0] == "shell";
    if (shell && args.size() > 1) {
        fprintf(stderr, "usage: boardhub-cli [options] shell\n");
        return kUsage;
    }
    static const char* known[] = {"hello", "login", "who", "id", "ls", "get", "check", "msg",
                                  "notice", "passwd", "caminfo", "snap", "listen", nullptr};
    if (!shell) {
        bool found = false;
        for (const char** k = known; *k; k++) found = found || args[0] == *k;
        if (!found) {
            fprintf(stderr, "boardhub-cli: unknown command '%s' (see --help)\n",
                    args[0].c_str());
            return kUsage;
        }
    }
    Session session(opt);
    if (int rc = session.connect()) return rc;
    // HELLO and an explicit login need no login first; everything else logs in when a user
    // is known, since the server decides access by the session's user.
    bool needs_login = !opt.user.empty() && (shell || (args[0] != "hello" && args[0] != "login"));
    if (shell) return session.shell(needs_login);
    if (needs_login) {
        if (int rc = session.login(false)) return rc;
    }
    return session.run(args);
}
