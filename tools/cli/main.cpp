// boardhub-cli entry: options, help and version, then one command or the shell.
#include <getopt.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli.h"
#include "version.h"

namespace cli {

namespace {

const char* kHelpHead =
    "usage: boardhub-cli [-H HOST] [-p PORT] [-u USER] [-q] [--tls=MODE] COMMAND [ARGS...]\n"
    "       boardhub-cli [-H HOST] [-p PORT] [-u USER] [shell]\n"
    "\n"
    "Talks to a boardhub server. With a command it connects, logs in when a user is given\n"
    "(-u or BOARDHUB_USER), runs the command and disconnects. Without one (or with 'shell')\n"
    "it is a shell over one connection: line editing, history (Ctrl-R searches it), Tab\n"
    "completion of commands and remote paths, a current remote folder (cd, pwd), the local\n"
    "side as in sftp (lcd, lpwd, lls, !command), messages and notices shown as they arrive,\n"
    "Ctrl-C to stop a command. Commands piped into the shell run as a batch that stops at\n"
    "the first failing line with its status.\n"
    "\n"
    "The server keeps one session per user: a new login of the same user (a one-shot\n"
    "command included) replaces the older session, which is told so and ends. To read and\n"
    "answer messages, keep one shell open and run the commands in it, and run one-shot\n"
    "commands as another user.\n"
    "\n"
    "Options:\n"
    "  -H, --host HOST      server address (default 127.0.0.1, or BOARDHUB_HOST)\n"
    "  -p, --port PORT      server port (default 8000, or BOARDHUB_PORT)\n"
    "  -u, --user USER      log in as USER (or BOARDHUB_USER)\n"
    "  -q, --quiet          no progress bar\n"
    "      --tls=MODE       encryption: auto (default: when the server offers it), require\n"
    "                       (refuse a server that does not), off (never); or BOARDHUB_TLS\n"
    "  -h, --help           this text\n"
    "  -V, --version        the version of this program\n"
    "\n"
    "The password is read from BOARDHUB_PASSWORD, or asked for without echo on the terminal,\n"
    "or read as one line of standard input when that is not a terminal. It is never taken\n"
    "from the command line. 'passwd' reads the new password the same way, from\n"
    "BOARDHUB_NEW_PASSWORD or a prompt (asked twice, and again until both agree).\n"
    "\n"
    "Commands (cd, pwd, lcd, lpwd, lls, !, clear, help and quit in the shell only):\n";

const char* kHelpTail =
    "\n"
    "The shell keeps its history in $XDG_STATE_HOME/boardhub/history (by default\n"
    "~/.local/state/boardhub/history).\n"
    "\n"
    "Encrypted connections: the first time a server is met its identity (the SHA-256\n"
    "fingerprint of its certificate) is recorded in $XDG_STATE_HOME/boardhub/known_servers\n"
    "with the line 'new server HOST:PORT, identity SHA256:... recorded in FILE'. If that\n"
    "server later shows another identity, the client stops before logging in (nothing is\n"
    "sent), names both fingerprints and the line of the file to remove if the change is\n"
    "expected, and exits with status 3.\n"
    "\n"
    "Exit status:\n"
    "  0    success\n"
    "  1    the server refused or could not do it (closed folder, no such file, user not\n"
    "       connected, no camera, wrong current password, folders skipped by get -r,\n"
    "       session replaced by another login, ...)\n"
    "  2    wrong command line, or no password given\n"
    "  3    cannot connect, connection lost, or a reply out of protocol; the server's\n"
    "       identity changed, or it offers no encryption under --tls=require\n"
    "  4    login refused (wrong user name or password, account suspended, version), or\n"
    "       the account suspended or deleted while connected\n"
    "  5    a local file cannot be written, or exists already (get without -f)\n"
    "  6    get -r copied a folder only in part: the server's listing of it may leave\n"
    "       entries out (cut or out of form), or the folder changed while it was listed\n"
    "  130  interrupted\n";

void print_help(FILE* out) {
    fputs(kHelpHead, out);
    fputs(commands_help().c_str(), out);
    fputs(kHelpTail, out);
}

}  // namespace

}  // namespace cli

int main(int argc, char** argv) {
    using namespace cli;
    signal(SIGPIPE, SIG_IGN);
    Options opt;
    if (const char* h = getenv("BOARDHUB_HOST")) opt.host = h;
    if (const char* p = getenv("BOARDHUB_PORT")) opt.port = atoi(p);
    if (const char* u = getenv("BOARDHUB_USER")) opt.user = u;
    if (const char* t = getenv("BOARDHUB_TLS"); t && *t && !bh::parse_tls_mode(t, opt.tls)) {
        fprintf(stderr, "boardhub-cli: bad BOARDHUB_TLS '%s' (auto, require or off)\n",
                printable(t).c_str());
        return kUsage;
    }

    static const struct option longs[] = {{"host", required_argument, nullptr, 'H'},
                                          {"port", required_argument, nullptr, 'p'},
                                          {"user", required_argument, nullptr, 'u'},
                                          {"quiet", no_argument, nullptr, 'q'},
                                          {"tls", required_argument, nullptr, 'T'},
                                          {"help", no_argument, nullptr, 'h'},
                                          {"version", no_argument, nullptr, 'V'},
                                          {nullptr, 0, nullptr, 0}};
    int c;
    opterr = 0;
    // "+": options end at the command word, so commands keep their own options (ls -a).
    while ((c = getopt_long(argc, argv, "+H:p:u:qhV", longs, nullptr)) != -1) {
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
            case 'T':
                if (!bh::parse_tls_mode(optarg, opt.tls)) {
                    fprintf(stderr, "boardhub-cli: bad --tls '%s' (auto, require or off)\n",
                            printable(optarg).c_str());
                    return kUsage;
                }
                break;
            case 'h': print_help(stdout); return kOk;
            case 'V': printf("boardhub-cli %s\n", BOARDHUB_VERSION); return kOk;
            default: {
                const char* bad = argv[optind - 1];
                if (optopt && optopt != '?' && (c == '?' || c == ':'))
                    fprintf(stderr, "boardhub-cli: %s '-%c' (see --help)\n",
                            strchr("Hpu", optopt) ? "missing value for option" : "unknown option",
                            optopt);
                else
                    fprintf(stderr, "boardhub-cli: unknown option '%s' (see --help)\n", bad);
                return kUsage;
            }
        }
    }
    std::vector<std::string> args(argv + optind, argv + argc);
    bool shell = args.empty() || args[0] == "shell";
    if (shell && args.size() > 1) {
        fprintf(stderr, "boardhub-cli: shell takes no arguments (see --help)\n");
        return kUsage;
    }
    if (!shell) {
        const Command* command = find_command(args[0]);
        if (!command) {
            fprintf(stderr, "boardhub-cli: unknown command '%s' (see --help)\n",
                    printable(args[0]).c_str());
            return kUsage;
        }
        if (command->flags & kShellOnly) {
            fprintf(stderr, "boardhub-cli: %s works in the shell only (see --help)\n",
                    command->name);
            return kUsage;
        }
        watch_signals(false);
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
