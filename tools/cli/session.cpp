// The client's commands over one connection. Every failure reply is put into words on standard
// error, in the words of the user's command, and mapped to an exit status (cli.h).
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

#include "cli.h"
#include "json_util.h"

namespace cli {

namespace {

constexpr const char* kUnknownCommand = "{ \"RESULT\": \"FAIL\" }";
// The sender name of the server's own notices.
constexpr const char* kServerSender = "관리자";
constexpr int64_t kNoticeType = 0;
constexpr int64_t kReplacedType = 1000;
constexpr int64_t kAccountEndedType = 1001;
// The server's texts of TYPE 1000 and 1001, explained in English beside them.
constexpr const char* kReplacedText = "동일 사용자가 로그인 되었습니다.";
constexpr const char* kSuspendedText = "사용정지된 사용자입니다. 접속을 종료합니다.";
constexpr const char* kDeletedText = "삭제된 사용자입니다. 접속을 종료합니다.";

// Reads a secret: from the terminal without echo when standard input is one, else one line of
// standard input (for scripts). False at end of input or on an interrupt.
bool read_secret(const char* prompt, std::string& out) {
    out.clear();
    if (isatty(STDIN_FILENO)) {
        int fd = open("/dev/tty", O_RDWR | O_CLOEXEC);
        if (fd < 0) fd = STDIN_FILENO;
        struct termios saved;
        bool restore = tcgetattr(fd, &saved) == 0;
        if (restore) {
            struct termios quiet = saved;
            quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
            quiet.c_lflag |= ICANON | ISIG;
            tcsetattr(fd, TCSAFLUSH, &quiet);
        }
        if (write(fd, prompt, strlen(prompt)) < 0) {
            // The prompt is a courtesy; reading goes on.
        }
        char c;
        bool got = false;
        for (;;) {
            ssize_t n = read(fd, &c, 1);
            if (n != 1) break;  // end of input, or EINTR from an interrupt
            got = true;
            if (c == '\n') break;
            out += c;
        }
        if (restore) tcsetattr(fd, TCSAFLUSH, &saved);
        if (write(fd, "\n", 1) < 0) {
        }
        if (fd != STDIN_FILENO) close(fd);
        return got && !interrupted();
    }
    char c;
    bool got = false;
    while (read(STDIN_FILENO, &c, 1) == 1) {
        got = true;
        if (c == '\n') break;
        out += c;
    }
    if (!out.empty() && out.back() == '\r') out.pop_back();
    return got;
}

const char* login_error_text(int64_t code) {
    switch (code) {
        case 100: return "wrong user name or password";
        case 200: return "account suspended";
        case 900: return "the server does not accept this client's protocol version";
        default: return "login refused";
    }
}

// A server that takes logins over encrypted connections only says so with REASON "TLS".
constexpr const char* kTlsOnlyText =
    "the server accepts logins over encrypted connections only (drop --tls=off or "
    "BOARDHUB_TLS=off)";

bool tls_only(json_object* reply) { return member(reply, "REASON") == "TLS"; }

}  // namespace

bool Session::secret(const char* prompt, std::string& out) {
    // A shell reading its commands from a pipe has taken standard input ahead: the secret is
    // the next line of what it read.
    if (in_shell_ && !isatty(STDIN_FILENO)) return next_input_line(out);
    return read_secret(prompt, out);
}

std::string Session::refusal() const {
    if (logged_in_ || login_refused_.empty()) return "the server refused the request";
    return "not logged in: " + login_refused_;
}

int Session::lost(const std::string& what) {
    if (client_.interrupted()) return interrupted_command();
    // A notice that came with the close says why; then the close is no news.
    print_messages();
    if (!account_ended_.empty()) {
        fprintf(stderr, "boardhub-cli: %s: not logged in: %s\n", what.c_str(),
                account_ended_.c_str());
        client_.close();
        connected_ = false;
        logged_in_ = false;
        return kLogin;
    }
    fprintf(stderr, "boardhub-cli: %s: %s\n", what.c_str(), client_.error().c_str());
    client_.close();
    connected_ = false;
    logged_in_ = false;
    return kConnection;
}

// An interrupt while a reply was on its way: the rest of it would be read as the next reply,
// so this connection is given up and the shell makes a new one.
int Session::interrupted_command() {
    client_.close();
    connected_ = false;
    out_of_sync_ = true;
    return kInterrupted;
}

int Session::connect() {
    if (!client_.connect(opt_.host, opt_.port)) {
        fprintf(stderr, "boardhub-cli: %s port %d: %s\n", opt_.host.c_str(), opt_.port,
                client_.error().c_str());
        return kConnection;
    }
    if (in_shell_) client_.set_interrupt_fd(wake_fd());
    connected_ = true;
    features_known_ = false;
    return secure();
}

int Session::secure() {
    if (opt_.tls == bh::TlsMode::off) return kOk;
    std::vector<std::string> features;
    if (!bh::features(client_, &features)) return lost("connect");
    std::string key = opt_.host + ":" + std::to_string(opt_.port);
    std::string shown = printable(key);
    bh::KnownServers store(bh::default_known_servers());
    bh::Secured s = bh::secure(client_, opt_.tls, features, key, store);
    std::string file = printable(store.path());
    switch (s.kind) {
        case bh::Secured::plain:
            return kOk;
        case bh::Secured::encrypted:
            if (s.added)
                fprintf(stderr, "boardhub-cli: new server %s, identity %s recorded in %s\n",
                        shown.c_str(), s.fingerprint.c_str(), file.c_str());
            else if (!s.warning.empty())
                fprintf(stderr,
                        "boardhub-cli: new server %s, identity %s not recorded: %s\n",
                        shown.c_str(), s.fingerprint.c_str(), printable(s.warning).c_str());
            return kOk;
        case bh::Secured::changed:
            fprintf(stderr,
                    "boardhub-cli: WARNING: THE IDENTITY OF SERVER %s HAS CHANGED\n"
                    "boardhub-cli: recorded identity: %s\n"
                    "boardhub-cli: offered identity:  %s\n"
                    "boardhub-cli: someone may be intercepting this connection, or the server "
                    "was given a new identity.\n"
                    "boardhub-cli: nothing was sent (no login, no password). If the new "
                    "identity is right, remove line %d of %s and connect again.\n",
                    shown.c_str(), printable(s.recorded).c_str(), s.fingerprint.c_str(), s.line,
                    file.c_str());
            break;
        case bh::Secured::refused:
            fprintf(stderr, "boardhub-cli: %s: %s; nothing was sent\n", shown.c_str(),
                    printable(s.message).c_str());
            break;
        case bh::Secured::failed:
            fprintf(stderr, "boardhub-cli: %s: cannot encrypt the connection: %s\n",
                    shown.c_str(), printable(s.message).c_str());
            break;
    }
    client_.close();
    connected_ = false;
    return kConnection;
}

int Session::resync() {
    out_of_sync_ = false;
    logged_in_ = false;
    client_.close();
    // The interrupt that brought us here is dealt with; it must not stop the new login.
    drain_wake();
    clear_interrupt();
    if (int rc = connect()) return rc;
    if (!had_login_) return kOk;
    // The same user and password as before, without asking again.
    JsonPtr c = make_command("LOGIN");
    add(c.get(), "VERSION", std::string(kProtocolVersion));
    add(c.get(), "USERNAME", opt_.user);
    add(c.get(), "PASSWORD", password_);
    bh::Frame reply;
    if (!client_.command(json_object_to_json_string(c.get()), reply)) return lost("login");
    JsonPtr r = parse(reply.payload);
    if (member(r.get(), "RESULT") != "OK") {
        // Said in the same words each time: the account, not the command, is the problem.
        login_refused_ =
            tls_only(r.get()) ? kTlsOnlyText : login_error_text(member_int(r.get(), "ERROR"));
        fprintf(stderr, "boardhub-cli: not logged in: %s\n", login_refused_.c_str());
        client_.close();
        connected_ = false;
        return kLogin;
    }
    logged_in_ = true;
    print_messages();
    return kOk;
}

void Session::print_message(const std::string& json) {
    JsonPtr m = parse(json);
    std::string from = printable(member(m.get(), "FROM"));
    std::string text = printable(member(m.get(), "MESSAGE"));
    int64_t type = member_int(m.get(), "TYPE");
    char stamp[16];
    time_t now = time(nullptr);
    struct tm tm_now;
    localtime_r(&now, &tm_now);
    strftime(stamp, sizeof(stamp), "%H:%M:%S", &tm_now);
    // Listening and the shell show messages as their output; other commands keep their
    // standard output for their own results.
    FILE* out = in_shell_ || listening_ ? stdout : stderr;
    clear_progress_line();
    bool from_server = member(m.get(), "FROM") == kServerSender;
    std::string raw = member(m.get(), "MESSAGE");
    if (type == kReplacedType && from_server) {
        replaced_ = true;
        fprintf(out,
                "[%s] server notice: %s%s\n"
                "boardhub-cli: this session has been replaced by a new login of %s elsewhere; "
                "it ends here\n",
                stamp, text.c_str(),
                raw == kReplacedText ? " (the same user has logged in elsewhere)" : "",
                printable(opt_.user).c_str());
    } else if (type == kAccountEndedType && from_server) {
        replaced_ = true;
        account_ended_ = raw == kDeletedText ? "account deleted" : "account suspended";
        const char* gloss = raw == kSuspendedText ? " (this account has been suspended; "
                                                    "the server ends the connection)"
                            : raw == kDeletedText ? " (this account has been deleted; "
                                                    "the server ends the connection)"
                                                  : "";
        fprintf(out, "[%s] server notice: %s%s\nboardhub-cli: not logged in: %s\n", stamp,
                text.c_str(), gloss, account_ended_.c_str());
    } else if (type == kNoticeType && from_server) {
        fprintf(out, "[%s] server notice: %s\n", stamp, text.c_str());
    } else {
        fprintf(out, "[%s] message from %s: %s\n", stamp, from.c_str(), text.c_str());
    }
    fflush(out);
}

void Session::print_messages() {
    while (!client_.messages.empty()) {
        print_message(client_.messages.front().payload);
        client_.messages.pop_front();
    }
}

int Session::request(json_object* command, bh::Frame& reply) {
    if (!connected_) {
        fprintf(stderr, "boardhub-cli: %s: not connected\n", word_.c_str());
        return kConnection;
    }
    if (!client_.command(json_object_to_json_string(command), reply)) return lost(word_);
    print_messages();
    return kOk;
}

int Session::login(bool verbose) {
    if (opt_.user.empty()) {
        fprintf(stderr, "boardhub-cli: no user given (use -u USER or BOARDHUB_USER)\n");
        return kUsage;
    }
    if (opt_.user.size() > kMaxName) {
        fprintf(stderr, "boardhub-cli: user names have at most %zu bytes\n", kMaxName);
        return kUsage;
    }
    if (const char* env = getenv("BOARDHUB_PASSWORD")) {
        password_ = env;
    } else {
        std::string prompt = "Password for " + printable(opt_.user) + ": ";
        if (!secret(prompt.c_str(), password_)) {
            fprintf(stderr, "boardhub-cli: no password given\n");
            return kUsage;
        }
    }
    JsonPtr c = make_command("LOGIN");
    add(c.get(), "VERSION", std::string(kProtocolVersion));
    add(c.get(), "USERNAME", opt_.user);
    add(c.get(), "PASSWORD", password_);
    bh::Frame reply;
    std::string saved_word = word_;
    word_ = "login";
    int rc = request(c.get(), reply);
    word_ = saved_word;
    if (rc) return rc;
    JsonPtr r = parse(reply.payload);
    if (reply.type != "11" || !r) {
        fprintf(stderr, "boardhub-cli: login: unexpected reply from the server\n");
        return kConnection;
    }
    std::string user = printable(opt_.user);
    if (member(r.get(), "RESULT") != "OK") {
        if (reply.payload == kUnknownCommand)
            fprintf(stderr, "boardhub-cli: login as %s: the server refused the login\n",
                    user.c_str());
        else if (tls_only(r.get()))
            fprintf(stderr, "boardhub-cli: login as %s: %s\n", user.c_str(), kTlsOnlyText);
        else
            fprintf(stderr, "boardhub-cli: login as %s: %s (%" PRId64 ")\n", user.c_str(),
                    login_error_text(member_int(r.get(), "ERROR")),
                    member_int(r.get(), "ERROR"));
        logged_in_ = false;
        had_login_ = false;
        login_refused_ = reply.payload == kUnknownCommand ? "login refused"
                         : tls_only(r.get())              ? kTlsOnlyText
                                               : login_error_text(member_int(r.get(), "ERROR"));
        return kLogin;
    }
    logged_in_ = true;
    had_login_ = true;
    login_refused_.clear();
    level_ = static_cast<int>(member_int(r.get(), "LEVEL"));
    notice_ = member(r.get(), "MOD");
    if (notice_ == "NONE") notice_.clear();
    if (verbose) {
        printf("logged in to %s as %s (level %d)\n",
               printable(member(r.get(), "SERVER")).c_str(), user.c_str(), level_);
        if (!notice_.empty()) printf("notice: %s\n", printable(notice_).c_str());
    }
    return kOk;
}

int Session::cmd_hello(const std::vector<std::string>& args) {
    if (args.size() != 1) return usage_error("no arguments");
    JsonPtr c = make_command("HELLO");
    bh::Frame reply;
    if (int rc = request(c.get(), reply)) return rc;
    JsonPtr r = parse(reply.payload);
    if (reply.type != "11" || member(r.get(), "RESULT") != "OK") {
        fprintf(stderr, "boardhub-cli: hello: the server answered %s\n",
                printable(reply.payload).c_str());
        return kRefused;
    }
    printf("server %s, protocol %s\n", printable(member(r.get(), "SERVER")).c_str(),
           printable(member(r.get(), "VERSION")).c_str());
    return kOk;
}

int Session::cmd_login(const std::vector<std::string>& args) {
    ParsedArgs a;
    if (!parse_args(args, {}, a)) return kUsage;
    if (a.operands.size() > 1) return usage_error("one user at most");
    if (a.operands.size() == 1) opt_.user = a.operands[0];
    return login(true);
}

int Session::cmd_who(const std::vector<std::string>& args) {
    if (args.size() != 1) return usage_error("no arguments");
    JsonPtr c = make_command("WHO");
    bh::Frame reply;
    if (int rc = request(c.get(), reply)) return rc;
    JsonPtr r = parse(reply.payload);
    json_object* users = nullptr;
    if (member(r.get(), "RESULT") != "OK" ||
        !json_object_object_get_ex(r.get(), "USERS", &users) ||
        !json_object_is_type(users, json_type_array)) {
        fprintf(stderr, "boardhub-cli: who: %s\n", refusal().c_str());
        return kRefused;
    }
    size_t n = json_object_array_length(users);
    for (size_t i = 0; i < n; i++) {
        const char* name = json_object_get_string(json_object_array_get_idx(users, i));
        printf("%s\n", name && *name ? printable(name).c_str() : "(not logged in)");
    }
    return kOk;
}

std::vector<std::string> Session::user_names() {
    std::vector<std::string> names;
    if (!connected_) return names;
    JsonPtr c = make_command("WHO");
    bh::Frame reply;
    if (!client_.command(json_object_to_json_string(c.get()), reply)) {
        lost("who");
        return names;
    }
    JsonPtr r = parse(reply.payload);
    json_object* users = nullptr;
    if (!json_object_object_get_ex(r.get(), "USERS", &users) ||
        !json_object_is_type(users, json_type_array))
        return names;
    for (size_t i = 0; i < json_object_array_length(users); i++) {
        const char* name = json_object_get_string(json_object_array_get_idx(users, i));
        if (name && *name) names.push_back(name);
    }
    return names;
}

int Session::cmd_id(const std::vector<std::string>& args) {
    if (args.size() != 1) return usage_error("no arguments");
    JsonPtr c = make_command("ID");
    bh::Frame reply;
    if (int rc = request(c.get(), reply)) return rc;
    JsonPtr r = parse(reply.payload);
    if (member(r.get(), "RESULT") != "OK") {
        fprintf(stderr, "boardhub-cli: id: %s\n", refusal().c_str());
        return kRefused;
    }
    std::string name = printable(member(r.get(), "NAME"));
    // The server reports the low 32 bits of the login time; widen them back.
    time_t when = static_cast<time_t>(static_cast<uint32_t>(member_int(r.get(), "LOGIN")));
    char stamp[64] = "never";
    struct tm tm_when;
    if (when && localtime_r(&when, &tm_when))
        strftime(stamp, sizeof(stamp), "%Y-%m-%d %H:%M:%S", &tm_when);
    printf("name:  %s\nlevel: %" PRId64 "\nlogin: %s\n",
           name.empty() ? "(not logged in)" : name.c_str(), member_int(r.get(), "LEVEL"), stamp);
    return kOk;
}

int Session::server_features(const std::vector<std::string>*& out) {
    if (!features_known_) {
        if (!connected_) {
            fprintf(stderr, "boardhub-cli: %s: not connected\n", word_.c_str());
            return kConnection;
        }
        if (!bh::features(client_, &features_)) return lost(word_);
        print_messages();
        features_known_ = true;
    }
    out = &features_;
    return kOk;
}

int Session::list(const std::string& path, bool all, Listing& out) {
    out = Listing();
    const std::vector<std::string>* features = nullptr;
    if (int rc = server_features(features)) return rc;
    bh::Outcome o = bh::list_entries(client_, path, all, out.entries, out.info, features);
    if (!o.done) return lost(word_);
    print_messages();
    if (o.ok()) {
        out.filled = !out.info.complete;
        return kOk;
    }
    // Closed, or missing: the words are the caller's. Refused without a reason (not logged
    // in), or closed before a login: the session's state is what the user needs to hear.
    if (o.reason == "DENIED" && (logged_in_ || login_refused_.empty())) {
        out.status = "CLOSED";
        return kOk;
    }
    if (o.reason == "NOTFOUND" || o.reason == "ERROR" || o.reason == "NAME") {
        out.status = "ERROR";
        return kOk;
    }
    fprintf(stderr, "boardhub-cli: %s %s: %s\n", word_.c_str(), printable(path).c_str(),
            refusal().c_str());
    return kRefused;
}

std::vector<std::string> Session::remote_names(const std::string& dir, bool dot_names) {
    std::string key = (dot_names ? "a" : "n") + dir;
    auto now = std::chrono::steady_clock::now();
    auto it = name_cache_.find(key);
    if (it != name_cache_.end() && now - it->second.first < std::chrono::seconds(5))
        return it->second.second;
    std::vector<std::string> names;
    if (!connected_) return names;
    if (!features_known_) {
        if (!bh::features(client_, &features_)) {
            lost("completion");
            return names;
        }
        features_known_ = true;
    }
    std::vector<bh::Entry> entries;
    bh::ListInfo info;
    bh::Outcome o = bh::list_entries(client_, dir, dot_names, entries, info, &features_);
    if (!o.done) {
        lost("completion");
        return names;
    }
    for (const Entry& e : entries) names.push_back(e.name + (e.folder ? "/" : ""));
    name_cache_[key] = {now, names};
    return names;
}

int Session::expand(const std::string& typed, std::vector<Match>& out, bool* partial) {
    out.clear();
    if (partial) *partial = false;
    std::string path = remote(typed);
    std::string pattern = path.substr(path.find_last_of('/') + 1);
    if (!has_wildcard(pattern)) {
        out.push_back({path, Entry(), false});
        return kOk;
    }
    std::string folder = path.substr(0, path.find_last_of('/'));
    if (folder.empty()) folder = "/";
    Listing listing;
    if (int rc = list(folder, pattern[0] == '.', listing)) return rc;
    if (listing.status == "CLOSED") {
        fprintf(stderr, "boardhub-cli: %s: %s: closed (you may not enter this folder)\n",
                word_.c_str(), printable(folder).c_str());
        return kRefused;
    }
    if (listing.status == "ERROR") {
        fprintf(stderr, "boardhub-cli: %s: %s: no such folder, or it cannot be read\n",
                word_.c_str(), printable(folder).c_str());
        return kRefused;
    }
    sort_listing(listing.entries);
    for (const Entry& e : listing.entries) {
        // A name that holds the pattern's characters itself matches as it is.
        if (e.name != pattern && fnmatch(pattern.c_str(), e.name.c_str(), FNM_PERIOD) != 0)
            continue;
        out.push_back({folder == "/" ? "/" + e.name : folder + "/" + e.name, e, true});
    }
    if ((listing.filled || listing.info.changed) && partial) *partial = true;
    if (listing.filled || listing.info.changed)
        fprintf(stderr,
                "boardhub-cli: %s: %s: warning: the listing of %s may lack entries; matches may "
                "be missing\n",
                word_.c_str(), printable(path).c_str(), printable(folder).c_str());
    if (out.empty()) {
        fprintf(stderr, "boardhub-cli: %s: %s: no match\n", word_.c_str(),
                printable(path).c_str());
        return kRefused;
    }
    return kOk;
}

int Session::cmd_ls(const std::vector<std::string>& args) {
    ParsedArgs a;
    if (!parse_args(args,
                    {{"-a", "--all", false},
                     {"-l", "--long", false},
                     {"-t", "--time", false},
                     {"-S", "--size", false},
                     {"-r", "--reverse", false}},
                    a))
        return kUsage;
    if (a.operands.size() > 1) return usage_error("one path at most");
    bool all = a.has("--all"), long_form = a.has("--long");
    SortKey key = a.has("--time") ? SortKey::time : a.has("--size") ? SortKey::size : SortKey::name;
    std::string path = remote(a.operands.empty() ? "" : a.operands[0]);
    std::string shown = printable(path);
    Listing listing;
    if (int rc = list(path, all, listing)) return rc;
    if (listing.status == "ERROR" && path != "/") {
        // A file is shown as its own entry, as found in its folder's listing.
        Entry entry;
        if (int rc = lookup(path, entry)) return rc;
        if (entry.folder) {
            fprintf(stderr, "boardhub-cli: ls: %s: the folder cannot be read\n", shown.c_str());
            return kRefused;
        }
        listing = Listing();
        listing.entries.push_back(entry);
    }
    if (listing.status == "CLOSED") {
        fprintf(stderr, "boardhub-cli: ls: %s: closed (you may not enter this folder)\n",
                shown.c_str());
        return kRefused;
    }
    if (listing.status == "ERROR") {
        fprintf(stderr, "boardhub-cli: ls: %s: no such folder, or it cannot be read\n",
                shown.c_str());
        return kRefused;
    }
    if (listing.entries.empty() && !listing.filled) {
        // On a terminal or in the shell, say so; a script reading the output gets nothing.
        if (isatty(STDOUT_FILENO) || in_shell_) printf("(empty folder)\n");
        return kOk;
    }
    sort_entries(listing.entries, key, a.has("--reverse"));
    // The long form's size column is as wide as its widest number.
    int size_width = 1;
    for (const Entry& e : listing.entries)
        if (!e.folder)
            size_width = std::max(size_width, static_cast<int>(std::to_string(e.size).size()));
    bool any_preview = false;
    for (const Entry& e : listing.entries) {
        const char* kind = e.folder ? (e.closed ? "closed" : "dir") : "file";
        std::string name = printable_name(e.name) + (e.folder ? "/" : "");
        const char* mark = e.preview ? "  [preview]" : "";
        any_preview = any_preview || e.preview;
        if (long_form) {
            std::string size = e.folder ? "-" : std::to_string(e.size);
            printf("%-6s  %*s  %-16s  %s%s\n", kind, size_width, size.c_str(),
                   entry_time(e.mtime).c_str(), name.c_str(), mark);
            continue;
        }
        char detail[64];
        if (e.folder && e.closed) {
            snprintf(detail, sizeof(detail), "-");
        } else if (e.folder) {
            snprintf(detail, sizeof(detail), "%" PRIu64 " %s, %" PRIu64 " %s", e.folders,
                     e.folders == 1 ? "dir" : "dirs", e.files, e.files == 1 ? "file" : "files");
        } else {
            snprintf(detail, sizeof(detail), "%s", human_size(e.size).c_str());
        }
        printf("%-6s  %-22s  %s%s\n", kind, detail, name.c_str(), mark);
    }
    // The mark explained once, where a person reads it; scripts get the bare listing.
    if (any_preview && (isatty(STDOUT_FILENO) || in_shell_))
        printf("[preview]: the server keeps a preview image of this entry\n");
    if (listing.filled || listing.info.changed) fflush(stdout);
    if (listing.filled && !listing.info.used_entries) {
        fprintf(stderr,
                "boardhub-cli: ls: %s: warning: the listing filled the server's reply; %zu "
                "entries shown, others may be missing\n",
                shown.c_str(), listing.entries.size());
    } else if (listing.filled) {
        fprintf(stderr,
                "boardhub-cli: ls: %s: warning: the server's listing was out of form (%s); %zu "
                "entries shown, others may be missing\n",
                shown.c_str(), printable(listing.info.problem).c_str(), listing.entries.size());
    }
    if (listing.info.changed)
        fprintf(stderr,
                "boardhub-cli: ls: %s: warning: the folder changed while it was listed; entries "
                "may be missing or out of date\n",
                shown.c_str());
    return kOk;
}

int Session::lookup(const std::string& remote_path, Entry& entry) {
    if (remote_path == "/") {
        entry = Entry();
        entry.folder = true;
        return kOk;
    }
    std::string folder = remote_path.substr(0, remote_path.find_last_of('/'));
    if (folder.empty()) folder = "/";
    std::string name = remote_path.substr(remote_path.find_last_of('/') + 1);
    Listing listing;
    if (int rc = list(folder, true, listing)) return rc;
    // The same words for a closed folder whichever command meets it (ls, cd, get, check).
    if (listing.status == "CLOSED") {
        fprintf(stderr, "boardhub-cli: %s: %s: closed (you may not enter this folder)\n",
                word_.c_str(), printable(folder).c_str());
        return kRefused;
    }
    for (const Entry& e : listing.entries) {
        if (e.name == name) {
            entry = e;
            if (e.folder && e.closed) {
                fprintf(stderr, "boardhub-cli: %s: %s: closed (you may not enter this folder)\n",
                        word_.c_str(), printable(remote_path).c_str());
                return kRefused;
            }
            return kOk;
        }
    }
    if (listing.filled) {
        fprintf(stderr,
                "boardhub-cli: %s: %s: not in the listing of %s, which filled the server's "
                "reply (entries may be missing from it)\n",
                word_.c_str(), printable(remote_path).c_str(), printable(folder).c_str());
        return kRefused;
    }
    fprintf(stderr, "boardhub-cli: %s: %s: no such file or folder\n", word_.c_str(),
            printable(remote_path).c_str());
    return kRefused;
}

int Session::cmd_check(const std::vector<std::string>& args) {
    ParsedArgs a;
    if (!parse_args(args, {}, a)) return kUsage;
    if (a.operands.size() != 1) return usage_error("one path");
    std::string path = remote(a.operands[0]);
    std::string shown = printable(path);
    // A path in a closed folder reads as closed, in the same words as get and ls.
    if (path != "/") {
        std::string folder = path.substr(0, path.find_last_of('/'));
        if (folder.empty()) folder = "/";
        Listing listing;
        if (int rc = list(folder, true, listing)) return rc;
        if (listing.status == "CLOSED") {
            fprintf(stderr, "boardhub-cli: check: %s: closed (you may not enter this folder)\n",
                    printable(folder).c_str());
            return kRefused;
        }
    }
    JsonPtr c = make_command("CHECK");
    add(c.get(), "FILE", path);
    bh::Frame reply;
    if (int rc = request(c.get(), reply)) return rc;
    if (member(parse(reply.payload).get(), "RESULT") == "OK") {
        printf("%s: exists\n", shown.c_str());
        return kOk;
    }
    fprintf(stderr, "boardhub-cli: check: %s: no such file or folder\n", shown.c_str());
    return kRefused;
}

int Session::cmd_msg(const std::vector<std::string>& args) {
    if (args.size() < 3) return usage_error("a user and a text");
    std::string text;
    for (size_t i = 2; i < args.size(); i++) text += (i > 2 ? " " : "") + args[i];
    if (text.size() > 255) {
        fprintf(stderr, "boardhub-cli: msg: messages have at most 255 bytes\n");
        return kUsage;
    }
    JsonPtr c = make_command("MESSAGE");
    add(c.get(), "TO", args[1]);
    add(c.get(), "TYPE", static_cast<int64_t>(1));
    add(c.get(), "MESSAGE", text);
    bh::Frame reply;
    if (int rc = request(c.get(), reply)) return rc;
    std::string to = printable(args[1]);
    if (member(parse(reply.payload).get(), "RESULT") == "OK") {
        printf("sent to %s\n", to.c_str());
        return kOk;
    }
    fprintf(stderr, "boardhub-cli: msg: %s is not connected; message not delivered\n",
            to.c_str());
    return kRefused;
}

int Session::cmd_notice(const std::vector<std::string>& args) {
    if (args.size() == 1) {
        if (!logged_in_) {
            fprintf(stderr, "boardhub-cli: notice: log in to read the notice (-u USER)\n");
            return kUsage;
        }
        printf("%s\n", notice_.empty() ? "(no notice)" : printable(notice_).c_str());
        return kOk;
    }
    std::string text;
    for (size_t i = 1; i < args.size(); i++) text += (i > 1 ? " " : "") + args[i];
    if (text.size() > 255) {
        fprintf(stderr, "boardhub-cli: notice: the notice has at most 255 bytes\n");
        return kUsage;
    }
    JsonPtr c = make_command("MOD");
    add(c.get(), "MOD", text);
    bh::Frame reply;
    if (int rc = request(c.get(), reply)) return rc;
    if (member(parse(reply.payload).get(), "RESULT") != "OK") {
        fprintf(stderr, "boardhub-cli: notice: %s\n", refusal().c_str());
        return kRefused;
    }
    notice_ = text;
    printf(text.empty() ? "notice cleared\n" : "notice set\n");
    return kOk;
}

int Session::cmd_passwd(const std::vector<std::string>& args) {
    if (args.size() != 1) return usage_error("no arguments");
    if (!logged_in_) {
        fprintf(stderr, "boardhub-cli: passwd: log in first (-u USER)\n");
        return kUsage;
    }
    std::string fresh;
    if (const char* env = getenv("BOARDHUB_NEW_PASSWORD")) {
        fresh = env;
    } else if (!isatty(STDIN_FILENO)) {
        if (!secret("New password: ", fresh)) {
            fprintf(stderr, "boardhub-cli: passwd: no new password given\n");
            return kUsage;
        }
    } else {
        // On a terminal: asked twice, and again while the two differ or the length is wrong.
        for (int tries = 0;; tries++) {
            std::string again;
            if (tries == 3 || !secret("New password: ", fresh) ||
                !secret("New password again: ", again)) {
                fprintf(stderr, "boardhub-cli: passwd: no new password given; nothing changed\n");
                return tries == 3 ? kUsage : (interrupted() ? kInterrupted : kUsage);
            }
            if (fresh != again) {
                fprintf(stderr, "the passwords differ; try again\n");
                continue;
            }
            if (fresh.empty() || fresh.size() > kMaxPassword) {
                fprintf(stderr, "a password has 1 to %zu bytes; try again\n", kMaxPassword);
                continue;
            }
            break;
        }
    }
    if (fresh.empty() || fresh.size() > kMaxPassword) {
        fprintf(stderr, "boardhub-cli: passwd: a password has 1 to %zu bytes\n", kMaxPassword);
        return kUsage;
    }
    JsonPtr c = make_command("PASSWORD");
    add(c.get(), "CURRENT", password_);
    add(c.get(), "NEW", fresh);
    bh::Frame reply;
    if (int rc = request(c.get(), reply)) return rc;
    if (member(parse(reply.payload).get(), "RESULT") != "OK") {
        fprintf(stderr, "boardhub-cli: passwd: not changed: the current password is wrong\n");
        return kRefused;
    }
    password_ = fresh;
    printf("password changed\n");
    return kOk;
}

int Session::cmd_caminfo(const std::vector<std::string>& args) {
    if (args.size() != 1) return usage_error("no arguments");
    JsonPtr c = make_command("CAMINFO");
    bh::Frame reply;
    if (int rc = request(c.get(), reply)) return rc;
    JsonPtr r = parse(reply.payload);
    if (member(r.get(), "RESULT") != "OK") {
        fprintf(stderr, "boardhub-cli: caminfo: the server has no camera\n");
        return kRefused;
    }
    printf("camera: %" PRId64 "x%" PRId64 "\n", member_int(r.get(), "WIDTH"),
           member_int(r.get(), "HEIGHT"));
    return kOk;
}

int Session::cmd_snap(const std::vector<std::string>& args) {
    ParsedArgs a;
    if (!parse_args(args, {}, a)) return kUsage;
    if (a.operands.size() != 1) return usage_error("one output file");
    JsonPtr info = make_command("CAMINFO");
    bh::Frame reply;
    if (int rc = request(info.get(), reply)) return rc;
    JsonPtr r = parse(reply.payload);
    if (member(r.get(), "RESULT") != "OK") {
        fprintf(stderr, "boardhub-cli: snap: the server has no camera\n");
        return kRefused;
    }
    int64_t width = member_int(r.get(), "WIDTH"), height = member_int(r.get(), "HEIGHT");
    if (width <= 0 || height <= 0 || width > 8192 || height > 8192) {
        fprintf(stderr, "boardhub-cli: snap: the camera reports an unusable size\n");
        return kConnection;
    }
    JsonPtr c = make_command("CAMERA");
    if (int rc = request(c.get(), reply)) return rc;
    if (member(parse(reply.payload).get(), "RESULT") != "OK") {
        fprintf(stderr, "boardhub-cli: snap: the camera gave no frame\n");
        return kRefused;
    }
    // The frame's length comes with its header; read the header first through a sink that
    // accepts whatever length the server announces.
    std::vector<unsigned char> frame;
    for (;;) {
        std::string type, message;
        uint64_t length = 0;
        bool ok = client_.recv_frame_to(type, length, [&](const char* d, size_t n) {
            if (type == "21") {
                message.append(d, n);
                return true;
            }
            if (type != "85" || frame.size() + n > 64u * 1024 * 1024) return false;
            frame.insert(frame.end(), d, d + n);
            return true;
        });
        if (!ok) return lost("snap");
        if (type == "21") {
            client_.messages.push_back(bh::Frame{type, message});
            continue;
        }
        break;
    }
    print_messages();
    size_t need = static_cast<size_t>(width) * static_cast<size_t>(height) * 2;
    if (frame.size() < need) {
        fprintf(stderr, "boardhub-cli: snap: the frame holds %zu bytes, %zu expected for %" PRId64
                        "x%" PRId64 " YUYV\n",
                frame.size(), need, width, height);
        return kConnection;
    }
    std::string out = a.operands[0];
    std::string temp = out + ".part";
    std::string err;
    if (!write_yuyv_png(temp, frame.data(), static_cast<int>(width), static_cast<int>(height),
                        err)) {
        unlink(temp.c_str());
        fprintf(stderr, "boardhub-cli: snap: %s\n", err.c_str());
        return kLocal;
    }
    if (rename(temp.c_str(), out.c_str()) != 0) {
        unlink(temp.c_str());
        fprintf(stderr, "boardhub-cli: snap: cannot rename to %s: %s\n", out.c_str(),
                strerror(errno));
        return kLocal;
    }
    if (in_shell_) printf("%s: %" PRId64 "x%" PRId64 "\n", out.c_str(), width, height);
    return kOk;
}

int Session::cmd_listen(const std::vector<std::string>& args) {
    if (args.size() != 1) return usage_error("no arguments");
    if (in_shell_) {
        printf("the shell shows messages as they arrive\n");
        return kOk;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);
    listening_ = true;
    printf("listening for messages (interrupt to stop)\n");
    for (;;) {
        bh::Frame f;
        if (!client_.recv_frame(f, -1)) {
            fprintf(stderr, "boardhub-cli: listen: the connection closed\n");
            return kConnection;
        }
        if (f.type != "21") continue;
        print_message(f.payload);
        if (replaced_) return account_ended_.empty() ? kRefused : kLogin;
    }
}

int Session::run(const std::vector<std::string>& args) {
    const Command* c = find_command(args[0]);
    if (!c) {
        fprintf(stderr, "boardhub-cli: unknown command '%s' (%s)\n", printable(args[0]).c_str(),
                in_shell_ ? "'help' lists the commands" : "see --help");
        return kUsage;
    }
    if ((c->flags & kShellOnly) && !in_shell_) {
        fprintf(stderr, "boardhub-cli: %s works in the shell only\n", c->name);
        return kUsage;
    }
    word_ = c->name;
    name_cache_.clear();
    return (this->*(c->run))(args);
}

}  // namespace cli
