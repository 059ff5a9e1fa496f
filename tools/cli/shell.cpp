// The shell: on a terminal a line editor (libedit) with history, completion of commands and
// remote paths, a current remote folder, messages shown above the prompt as they arrive and
// Ctrl-C back to the prompt; from a pipe a batch that stops at the first failed command.
#include <dirent.h>
#include <fcntl.h>
#include <histedit.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "cli.h"

namespace cli {

namespace {

// Splits a shell line into words; single and double quotes group, backslash escapes.
// partial: the last word is still being typed (no blank after it), for completion.
bool split_words(const std::string& line, std::vector<std::string>& words,
                 bool* partial = nullptr) {
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
    if (partial) {
        // Completion: an open quote is still part of the word being typed.
        *partial = in_word || quote;
        if (in_word || quote) words.push_back(word);
        return true;
    }
    if (quote) return false;
    if (in_word) words.push_back(word);
    return true;
}

// Text inserted by completion, so that the shell reads it back as the same word.
std::string escape_word(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == ' ' || c == '\t' || c == '\'' || c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out;
}

// "!COMMAND": the words of the local command "!", with the rest of the line kept as typed.
bool local_line(const std::string& line, std::vector<std::string>& words) {
    size_t at = line.find_first_not_of(" \t");
    if (at == std::string::npos || line[at] != '!') return false;
    words = {"!", line.substr(at + 1)};
    return true;
}

bool has_control(const std::string& s) {
    for (unsigned char c : s)
        if (c < 0x20 || c == 0x7F) return true;
    return false;
}

// The history file: $XDG_STATE_HOME/boardhub/history or ~/.local/state/boardhub/history.
std::string history_path() {
    std::string base;
    if (const char* x = getenv("XDG_STATE_HOME"); x && *x == '/') {
        base = x;
    } else if (const char* h = getenv("HOME"); h && *h) {
        base = std::string(h) + "/.local/state";
    } else {
        return "";
    }
    std::string dir = base + "/boardhub";
    // Each level made private when it is new; existing folders are left as they are.
    for (size_t pos = 1; pos <= dir.size(); pos++) {
        if (pos == dir.size() || dir[pos] == '/') mkdir(dir.substr(0, pos).c_str(), 0700);
    }
    return dir + "/history";
}

// ---- the line editor's state, reached from its callbacks ----
Session* g_session = nullptr;
EditLine* g_el = nullptr;
History* g_hist = nullptr;
std::string g_prompt;
bool g_at_prompt = false;

char* prompt_fn(EditLine*) { return const_cast<char*>(g_prompt.c_str()); }

// Output above the line being typed: the prompt and the line are wiped, the output printed,
// and the editor draws them again below it, cursor where it was.
// Wipes the prompt and the line being typed (from the prompt's first row down), so that the
// editor's next refresh draws them once.
void wipe_prompt() {
    if (!g_at_prompt || !g_el) return;
    const LineInfo* li = el_line(g_el);
    size_t cols = static_cast<size_t>(terminal_width(STDOUT_FILENO));
    if (cols == 0) cols = 80;
    size_t before = display_width(g_prompt) +
                    display_width(std::string(li->buffer, static_cast<size_t>(li->cursor - li->buffer)));
    size_t row = before / cols;
    if (row) printf("\033[%zuA", row);
    printf("\r\033[J");
}

template <typename Print>
void print_above(Print print) {
    fflush(stdout);
    wipe_prompt();
    print();
    fflush(stdout);
    fflush(stderr);
    if (g_at_prompt && g_el) el_set(g_el, EL_REFRESH);
}

// Characters for the editor, read while watching the server and the signals: messages are
// shown as they arrive, Ctrl-C abandons the line, a resize redraws it.
int getc_fn(EditLine* el, wchar_t* out) {
    static mbstate_t state;
    for (;;) {
        if (take_resize()) {
            // The old prompt is wiped first: a refresh alone draws a second one below it.
            el_resize(el);
            print_above([] {});
        }
        struct pollfd fds[3] = {{STDIN_FILENO, POLLIN, 0},
                                {wake_fd(), POLLIN, 0},
                                {g_session->socket(), POLLIN, 0}};
        // Frames decrypted already do not make the socket readable: no waiting for them.
        bool pending = g_session->pending();
        int n = poll(fds, 3, pending ? 0 : -1);
        if (pending) fds[2].revents |= POLLIN;
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (fds[1].revents & POLLIN) {
            drain_wake();
            if (interrupted()) {
                errno = EINTR;
                return -1;
            }
        }
        if (fds[2].revents & (POLLIN | POLLHUP | POLLERR)) {
            print_above([] { g_session->poll_messages(); });
            if (g_session->replaced()) return 0;
            continue;
        }
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            char c;
            ssize_t r = read(STDIN_FILENO, &c, 1);
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) return 0;
            wchar_t wc;
            size_t k = mbrtowc(&wc, &c, 1, &state);
            if (k == static_cast<size_t>(-2)) continue;  // more bytes of the character
            if (k == static_cast<size_t>(-1)) {
                memset(&state, 0, sizeof(state));
                wc = static_cast<unsigned char>(c);
            }
            *out = wc;
            return 1;
        }
    }
}

// Replaces the line being edited by text, cursor at its end.
void set_line(EditLine* el, const std::string& text) {
    const LineInfoW* lw = el_wline(el);
    el_cursor(el, static_cast<int>(lw->lastchar - lw->cursor));
    lw = el_wline(el);
    el_deletestr(el, static_cast<int>(lw->lastchar - lw->buffer));
    if (!text.empty()) el_insertstr(el, text.c_str());
}

// The skip-th distinct history line (newest first) holding pattern, or false.
bool history_match(const std::string& pattern, int skip, std::string& out) {
    HistEvent ev;
    std::vector<std::string> seen;
    for (int r = history(g_hist, &ev, H_FIRST); r != -1; r = history(g_hist, &ev, H_NEXT)) {
        std::string line = ev.str ? ev.str : "";
        while (!line.empty() && line.back() == '\n') line.pop_back();
        if (line.find(pattern) == std::string::npos ||
            std::find(seen.begin(), seen.end(), line) != seen.end())
            continue;
        seen.push_back(line);
        if (skip-- == 0) {
            out = line;
            return true;
        }
    }
    return false;
}

// Ctrl-R: an incremental search of the history, newest first. The prompt says what it does,
// "history search 'TEXT': ", in place of the editor's own terse one. Ctrl-R again goes to an
// older match, Enter runs the line, Ctrl-G or Esc gives the line back as it was, and any
// other key keeps the match for editing.
unsigned char search_fn(EditLine* el, int) {
    if (!g_hist) return CC_ERROR;
    const LineInfo* li = el_line(el);
    const std::string original(li->buffer, static_cast<size_t>(li->lastchar - li->buffer));
    const std::string saved_prompt = g_prompt;
    std::string pattern, match = original;
    int skip = 0;
    bool found = true;
    auto finish = [&](const std::string& line, unsigned char result) {
        wipe_prompt();
        g_prompt = saved_prompt;
        set_line(el, line);
        return result;
    };
    for (;;) {
        wipe_prompt();
        g_prompt = std::string(found ? "" : "no match: ") + "history search '" +
                   printable(pattern) + "': ";
        set_line(el, match);
        el_set(el, EL_REFRESH);
        wchar_t wc;
        if (el_wgetc(el, &wc) != 1) return finish(original, CC_REFRESH);
        if (wc == 0x12) {  // Ctrl-R
            skip++;
        } else if (wc == 0x7F || wc == 0x08) {
            while (!pattern.empty() && (pattern.back() & 0xC0) == 0x80) pattern.pop_back();
            if (!pattern.empty()) pattern.pop_back();
            skip = 0;
        } else if (wc == 0x07 || wc == 0x1B) {
            return finish(original, CC_REFRESH);
        } else if (wc == '\r' || wc == '\n') {
            return finish(match, CC_NEWLINE);
        } else if (wc < 0x20) {
            return finish(match, CC_REFRESH);
        } else {
            char mb[MB_LEN_MAX];
            mbstate_t st{};
            size_t n = wcrtomb(mb, wc, &st);
            if (n != static_cast<size_t>(-1)) pattern.append(mb, n);
            skip = 0;
        }
        std::string next;
        found = history_match(pattern, skip, next);
        if (found) match = next;
        else if (skip > 0) skip--;
    }
}

std::vector<std::string> local_names(const std::string& dir, bool dot_names) {
    std::vector<std::string> names;
    DIR* d = opendir(dir.empty() ? "." : dir.c_str());
    if (!d) return names;
    while (struct dirent* e = readdir(d)) {
        std::string n = e->d_name;
        if (n == "." || n == ".." || (!dot_names && n[0] == '.')) continue;
        struct stat st;
        std::string full = (dir.empty() ? "" : dir) + n;
        if (stat(full.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) n += "/";
        names.push_back(n);
    }
    closedir(d);
    return names;
}

// Tab: completes the word before the cursor, or lists the choices when there are several.
unsigned char complete_fn(EditLine* el, int) {
    const LineInfo* li = el_line(el);
    std::string before(li->buffer, static_cast<size_t>(li->cursor - li->buffer));
    std::vector<std::string> words;
    bool partial = false;
    split_words(before, words, &partial);
    std::string typed = partial ? words.back() : "";
    size_t index = partial ? words.size() - 1 : words.size();

    char kind = 'c';
    if (index > 0) {
        const Command* c = find_command(words[0]);
        if (!c) return CC_ERROR;
        // Options are not completed; an argument's kind goes by its place among the others.
        size_t arg = 0;
        for (size_t i = 1; i < index; i++)
            if (words[i].empty() || words[i][0] != '-' || words[i] == "-") arg++;
        size_t len = strlen(c->complete);
        kind = c->complete[arg < len ? arg : len - 1];
    }
    std::string dir_typed, prefix = typed;
    std::vector<std::string> names;
    if (kind == 'c') {
        for (const Command& c : command_table()) names.push_back(std::string(c.name));
    } else if (kind == 'u') {
        names = g_session->user_names();
    } else if (kind == 'r' || kind == 'l') {
        size_t slash = typed.find_last_of('/');
        if (slash != std::string::npos) {
            dir_typed = typed.substr(0, slash + 1);
            prefix = typed.substr(slash + 1);
        }
        bool dots = !prefix.empty() && prefix[0] == '.';
        if (kind == 'r')
            names = g_session->remote_names(resolve_path(g_session->cwd(), dir_typed), dots);
        else
            names = local_names(dir_typed, dots);
    } else {
        return CC_ERROR;
    }
    std::vector<std::string> matches;
    for (const std::string& n : names)
        if (n.compare(0, prefix.size(), prefix) == 0 && !has_control(n)) matches.push_back(n);
    std::sort(matches.begin(), matches.end());
    matches.erase(std::unique(matches.begin(), matches.end()), matches.end());

    unsigned char result = CC_REFRESH;
    if (matches.empty()) {
        result = CC_ERROR;
    } else if (matches.size() == 1) {
        // A folder stays open for the next name; anything else ends its word.
        const std::string& m = matches[0];
        el_insertstr(el, escape_word(m.substr(prefix.size())).c_str());
        if (m.back() != '/') el_insertstr(el, " ");
    } else {
        // The longest common start, then the list when nothing more is certain.
        std::string common = matches[0];
        for (const std::string& m : matches) {
            size_t k = 0;
            while (k < common.size() && k < m.size() && common[k] == m[k]) k++;
            common.resize(k);
        }
        if (common.size() > prefix.size()) {
            el_insertstr(el, escape_word(common.substr(prefix.size())).c_str());
        } else {
            size_t width = 0;
            for (const std::string& m : matches) width = std::max(width, display_width(printable(m)));
            size_t cols = static_cast<size_t>(terminal_width(STDOUT_FILENO));
            size_t per_row = std::max<size_t>(1, (cols ? cols : 80) / (width + 2));
            printf("\n");
            for (size_t i = 0; i < matches.size(); i++) {
                std::string m = printable(matches[i]);
                printf("%s%s", m.c_str(),
                       (i + 1) % per_row == 0 || i + 1 == matches.size()
                           ? "\n"
                           : std::string(width + 2 - display_width(m), ' ').c_str());
            }
            fflush(stdout);
            result = CC_REDISPLAY;
        }
    }
    // Messages that came in with the listing.
    if (g_session->has_messages()) {
        print_above([] { g_session->poll_messages(); });
        result = CC_REFRESH;
    }
    return result;
}

}  // namespace

std::string Session::prompt() const {
    std::string p = "boardhub";
    if (logged_in_) p += ":" + printable(opt_.user);
    return p + ":" + printable(cwd_) + "> ";
}

void Session::poll_messages() {
    print_messages();
    while (connected_) {
        struct pollfd p = {client_.fd(), POLLIN, 0};
        if (!client_.pending() && poll(&p, 1, 0) <= 0) break;
        bh::Frame f;
        if (!client_.recv_frame(f)) {
            // After a notice that ends the session, the close is what it announced.
            if (!replaced_)
                fprintf(stderr, "boardhub-cli: the connection to the server closed (%s)\n",
                        client_.error().c_str());
            client_.close();
            connected_ = false;
            break;
        }
        if (f.type == "21") print_message(f.payload);
    }
}

int Session::cmd_cd(const std::vector<std::string>& args) {
    ParsedArgs a;
    if (!parse_args(args, {}, a)) return kUsage;
    if (a.operands.size() > 1) return usage_error("one folder");
    std::string path = remote(a.operands.empty() ? "/" : a.operands[0]);
    Listing listing;
    if (int rc = list(path, false, listing)) return rc;
    std::string shown = printable(path);
    if (listing.status == "CLOSED") {
        fprintf(stderr, "boardhub-cli: cd: %s: closed (you may not enter this folder)\n",
                shown.c_str());
        return kRefused;
    }
    if (listing.status == "ERROR") {
        fprintf(stderr, "boardhub-cli: cd: %s: no such folder\n", shown.c_str());
        return kRefused;
    }
    cwd_ = path;
    return kOk;
}

int Session::cmd_pwd(const std::vector<std::string>& args) {
    if (args.size() != 1) return usage_error("no arguments");
    char here[4096];
    printf("remote: %s\nlocal:  %s\n", printable(cwd_).c_str(),
           getcwd(here, sizeof(here)) ? printable(here).c_str() : "?");
    return kOk;
}

int Session::cmd_lcd(const std::vector<std::string>& args) {
    ParsedArgs a;
    if (!parse_args(args, {}, a)) return kUsage;
    if (a.operands.size() > 1) return usage_error("one folder");
    const char* home = getenv("HOME");
    std::string path = a.operands.empty() ? "~" : a.operands[0];
    // "~" and "~/..." as a shell reads them.
    if (path == "~" || path.compare(0, 2, "~/") == 0) path = (home ? home : "/") + path.substr(1);
    if (chdir(path.c_str()) != 0) {
        fprintf(stderr, "boardhub-cli: lcd: %s: %s\n", path.c_str(), strerror(errno));
        return kLocal;
    }
    return kOk;
}

namespace {

// Runs a local program on the shell's terminal and waits for it. The child gets the default
// signal dispositions back (SIGPIPE is ignored here); Ctrl-C reaches it, not us.
int run_local(const std::vector<std::string>& argv, const std::string& shown) {
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    if (pid < 0) {
        fprintf(stderr, "boardhub-cli: %s: %s\n", shown.c_str(), strerror(errno));
        return kLocal;
    }
    if (pid == 0) {
        for (int sig : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGWINCH}) signal(sig, SIG_DFL);
        // In a batch, standard input holds the next command lines: not the child's to read.
        if (!isatty(STDIN_FILENO)) {
            int null_fd = open("/dev/null", O_RDONLY);
            if (null_fd >= 0) dup2(null_fd, STDIN_FILENO);
        }
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        fprintf(stderr, "boardhub-cli: %s: %s\n", shown.c_str(), strerror(errno));
        _exit(127);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    // An interrupt meant for the child is no reason to stop the shell's next command.
    drain_wake();
    clear_interrupt();
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return kOk;
    fprintf(stderr, "boardhub-cli: %s: %s %d\n", shown.c_str(),
            WIFEXITED(status) ? "exit status" : "killed by signal",
            WIFEXITED(status) ? WEXITSTATUS(status) : WTERMSIG(status));
    return kLocal;
}

}  // namespace

int Session::cmd_lls(const std::vector<std::string>& args) {
    std::vector<std::string> argv = args;
    argv[0] = "ls";
    return run_local(argv, "lls");
}

int Session::cmd_lpwd(const std::vector<std::string>& args) {
    if (args.size() != 1) return usage_error("no arguments");
    char here[4096];
    if (!getcwd(here, sizeof(here))) {
        fprintf(stderr, "boardhub-cli: lpwd: %s\n", strerror(errno));
        return kLocal;
    }
    printf("%s\n", printable(here).c_str());
    return kOk;
}

int Session::cmd_local(const std::vector<std::string>& args) {
    const char* sh = getenv("SHELL");
    std::string shell = sh && *sh ? sh : "/bin/sh";
    if (args.size() < 2 || args[1].find_first_not_of(" \t") == std::string::npos)
        return run_local({shell}, "!");
    return run_local({shell, "-c", args[1]}, "!" + printable(args[1]));
}

int Session::cmd_clear(const std::vector<std::string>& args) {
    if (args.size() != 1) return usage_error("no arguments");
    if (isatty(STDOUT_FILENO)) fputs("\033[H\033[2J", stdout);
    return kOk;
}

int Session::cmd_help(const std::vector<std::string>& args) {
    if (args.size() > 2) return usage_error("one command at most");
    if (args.size() == 2) {
        const Command* c = find_command(args[1]);
        if (!c) {
            fprintf(stderr, "boardhub-cli: help: no command '%s'\n", printable(args[1]).c_str());
            return kUsage;
        }
        printf("usage: %s\n  %s\n", c->usage, c->summary);
        return kOk;
    }
    fputs(commands_help().c_str(), stdout);
    printf("Remote paths are relative to the current remote folder (cd, pwd); Tab completes\n"
           "commands and paths; Ctrl-R searches the history; Ctrl-C stops a command, Ctrl-D\n"
           "leaves.\n");
    return kOk;
}

int Session::cmd_quit(const std::vector<std::string>&) {
    quit_ = true;
    return kOk;
}

bool Session::next_input_line(std::string& line) {
    for (;;) {
        size_t nl = shell_input_.find('\n');
        if (nl != std::string::npos) {
            line = shell_input_.substr(0, nl);
            shell_input_.erase(0, nl + 1);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            input_line_++;
            return true;
        }
        char buf[4096];
        ssize_t r = read(STDIN_FILENO, buf, sizeof(buf));
        if (r < 0 && errno == EINTR) {
            if (interrupted()) return false;
            continue;
        }
        if (r <= 0) {
            line.swap(shell_input_);
            shell_input_.clear();
            if (line.empty()) return false;
            input_line_++;
            return true;
        }
        shell_input_.append(buf, static_cast<size_t>(r));
    }
}

// Before a command: a connection, logged in again as before when the last one was lost.
bool Session::ready_for(const Command* c) {
    if (!c || (c->flags & kNoConnection) || connected_) return true;
    if (replaced_) return false;
    return resync() == kOk;
}

int Session::shell_batch() {
    int last = kOk;
    std::string line;
    while (!quit_ && next_input_line(line)) {
        int at = input_line_;
        std::vector<std::string> words;
        int rc;
        if (local_line(line, words)) {
            rc = run(words);
        } else if (!split_words(line, words)) {
            fprintf(stderr, "boardhub-cli: unbalanced quotes\n");
            rc = kUsage;
        } else if (words.empty() || words[0][0] == '#') {
            continue;
        } else if (!ready_for(find_command(words[0]))) {
            rc = kConnection;
        } else {
            clear_interrupt();
            rc = run(words);
        }
        fflush(stdout);
        if (quit_) break;
        // Like a script with errexit: the first failure ends the batch, naming its line.
        if (rc != kOk) {
            fprintf(stderr, "boardhub-cli: stopped at line %d: %s\n", at,
                    printable(line).c_str());
            return rc;
        }
        if (replaced_) return replaced_status();
        last = rc;
    }
    return last;
}

int Session::shell_interactive() {
    setlocale(LC_CTYPE, "");
    restore_terminal_on_exit(STDIN_FILENO);
    g_session = this;
    EditLine* el = el_init("boardhub-cli", stdin, stdout, stderr);
    if (!el) {
        fprintf(stderr, "boardhub-cli: cannot start the line editor\n");
        return kLocal;
    }
    g_el = el;
    HistEvent ev;
    History* hist = history_init();
    history(hist, &ev, H_SETSIZE, 1000);
    history(hist, &ev, H_SETUNIQUE, 1);
    std::string hist_file = history_path();
    if (!hist_file.empty()) history(hist, &ev, H_LOAD, hist_file.c_str());
    el_set(el, EL_EDITOR, "emacs");
    el_set(el, EL_HIST, history, hist);
    g_hist = hist;
    el_set(el, EL_PROMPT, prompt_fn);
    el_set(el, EL_GETCFN, getc_fn);
    // The wide form: the narrow one copies the two texts and never frees them.
    el_wset(el, EL_ADDFN, L"bh-complete", L"complete a command or a path", complete_fn);
    el_set(el, EL_BIND, "^I", "bh-complete", nullptr);
    el_wset(el, EL_ADDFN, L"bh-search", L"search the history", search_fn);
    el_set(el, EL_BIND, "^R", "bh-search", nullptr);
    el_source(el, nullptr);  // the user's ~/.editrc, if any

    printf("boardhub shell; 'help' lists the commands, Tab completes, Ctrl-D leaves\n");
    int last = kOk;
    while (!quit_) {
        g_prompt = prompt();
        clear_interrupt();
        drain_wake();
        g_at_prompt = true;
        int count = 0;
        const char* got = el_gets(el, &count);
        g_at_prompt = false;
        if (!got || count <= 0) {
            if (interrupted()) {
                // Ctrl-C at the prompt: the line is dropped, a fresh prompt follows.
                printf("^C\n");
                continue;
            }
            if (replaced_) {
                last = replaced_status();
                break;
            }
            // Ctrl-D: leaving is no failure, whatever the last command did.
            printf("\n");
            last = kOk;
            break;
        }
        std::string line(got);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
        std::vector<std::string> words;
        if (!local_line(line, words) && !split_words(line, words)) {
            fprintf(stderr, "boardhub-cli: unbalanced quotes\n");
            last = kUsage;
            continue;
        }
        if (words.empty()) continue;
        history(hist, &ev, H_ENTER, line.c_str());
        if (!hist_file.empty()) {
            // Created private: command lines may hold messages.
            int fd = open(hist_file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
            if (fd >= 0) close(fd);
            history(hist, &ev, H_SAVE, hist_file.c_str());
        }
        if (words[0][0] == '#') continue;
        if (!ready_for(find_command(words[0]))) {
            last = replaced_ ? replaced_status() : kConnection;
            if (replaced_) break;
            continue;
        }
        clear_interrupt();
        drain_wake();
        last = run(words);
        fflush(stdout);
        fflush(stderr);
        if (replaced_) {
            last = replaced_status();
            break;
        }
        // An interrupt inside a reply: a fresh connection now, so messages keep coming.
        if (out_of_sync_ && resync() != kOk) last = kConnection;
    }
    g_hist = nullptr;
    history_end(hist);
    el_end(el);
    g_el = nullptr;
    return last;
}

int Session::shell(bool login_first) {
    in_shell_ = true;
    watch_signals(true);
    client_.set_interrupt_fd(wake_fd());
    if (login_first) {
        if (int rc = login(true)) return rc;
    }
    return isatty(STDIN_FILENO) ? shell_interactive() : shell_batch();
}

}  // namespace cli
