// The client's commands over one connection. Every failure reply is put into words on standard
// error and mapped to an exit status (cli.h).
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

#include "cli.h"

namespace cli {

namespace {

constexpr const char* kUnknownCommand = "{ \"RESULT\": \"FAIL\" }";

struct JsonPut {
    void operator()(json_object* o) const { json_object_put(o); }
};
using JsonPtr = std::unique_ptr<json_object, JsonPut>;

JsonPtr make_command(const char* word) {
    JsonPtr o(json_object_new_object());
    json_object_object_add(o.get(), "CMD", json_object_new_string(word));
    return o;
}

void add(json_object* o, const char* key, const std::string& value) {
    json_object_object_add(o, key, json_object_new_string_len(value.data(),
                                                              static_cast<int>(value.size())));
}

void add(json_object* o, const char* key, int64_t value) {
    json_object_object_add(o, key, json_object_new_int64(value));
}

// A reply object, or null when the text is no JSON object.
JsonPtr parse(const std::string& text) {
    JsonPtr o(json_tokener_parse(text.c_str()));
    if (o && !json_object_is_type(o.get(), json_type_object)) o.reset();
    return o;
}

std::string member(json_object* o, const char* key) {
    json_object* m = nullptr;
    if (!o || !json_object_object_get_ex(o, key, &m) || !m) return "";
    return json_object_get_string(m);
}

int64_t member_int(json_object* o, const char* key) {
    json_object* m = nullptr;
    if (!o || !json_object_object_get_ex(o, key, &m) || !m) return 0;
    return json_object_get_int64(m);
}

// The temporary file of a download in progress, removed if the program is interrupted.
char g_temp_path[4096];

void on_interrupt(int) {
    if (g_temp_path[0]) unlink(g_temp_path);
    _exit(kInterrupted);
}

void watch_interrupts(bool on) {
    struct sigaction sa;
    memset(&sa, 0, sizeof(sa));
    sa.sa_handler = on ? on_interrupt : SIG_DFL;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
}

// Reads a secret: from the terminal without echo when standard input is one, else one line of
// standard input (for scripts). False at end of input.
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
            tcsetattr(fd, TCSAFLUSH, &quiet);
        }
        if (write(fd, prompt, strlen(prompt)) < 0) {
            // The prompt is a courtesy; reading goes on.
        }
        char c;
        bool got = false;
        while (read(fd, &c, 1) == 1) {
            got = true;
            if (c == '\n') break;
            out += c;
        }
        if (restore) tcsetattr(fd, TCSAFLUSH, &saved);
        if (write(fd, "\n", 1) < 0) {
        }
        if (fd != STDIN_FILENO) close(fd);
        return got;
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
        case 200: return "this account is suspended";
        case 900: return "the server does not accept this client's protocol version";
        default: return "login refused";
    }
}

std::string base_name(const std::string& path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string parent_of(const std::string& path) {
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos || slash == 0) return "/";
    return path.substr(0, slash);
}

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

// A progress line on standard error: bytes, percentage, bar, rate and time left.
class Progress {
public:
    Progress(bool enabled, uint64_t total) : on_(enabled && isatty(STDERR_FILENO)), total_(total) {
        start_ = last_ = std::chrono::steady_clock::now();
    }
    void update(uint64_t done, bool final = false) {
        if (!on_) return;
        auto now = std::chrono::steady_clock::now();
        if (!final && now - last_ < std::chrono::milliseconds(100)) return;
        last_ = now;
        double elapsed = std::chrono::duration<double>(now - start_).count();
        double rate = elapsed > 0 ? static_cast<double>(done) / elapsed : 0;
        int percent = total_ ? static_cast<int>(done * 100 / total_) : 100;
        char bar[21];
        int filled = percent / 5;
        for (int i = 0; i < 20; i++) bar[i] = i < filled ? '#' : '.';
        bar[20] = '\0';
        std::string left = rate > 0 ? format_duration(static_cast<double>(total_ - done) / rate)
                                    : "--:--";
        fprintf(stderr, "\r%10s / %-10s %3d%% [%s] %10s/s %s left ", human_size(done).c_str(),
                human_size(total_).c_str(), percent, bar,
                human_size(static_cast<uint64_t>(rate)).c_str(), left.c_str());
        if (final) fputc('\n', stderr);
        fflush(stderr);
    }
    bool complete(uint64_t done) const { return done >= total_; }
    void abandon() {
        if (on_) fputc('\n', stderr);
        on_ = false;
    }

private:
    bool on_;
    uint64_t total_;
    std::chrono::steady_clock::time_point start_, last_;
};

bool Session::secret(const char* prompt, std::string& out) {
    // A shell reading its commands from a pipe has taken standard input ahead: the secret is
    // the next line of what it read.
    if (in_shell_ && !isatty(STDIN_FILENO)) {
        for (;;) {
            size_t nl = shell_input_.find('\n');
            if (nl != std::string::npos) {
                out = shell_input_.substr(0, nl);
                shell_input_.erase(0, nl + 1);
                if (!out.empty() && out.back() == '\r') out.pop_back();
                return true;
            }
            char buf[4096];
            ssize_t r = read(STDIN_FILENO, buf, sizeof(buf));
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) {
                out.swap(shell_input_);
                shell_input_.clear();
                return !out.empty();
            }
            shell_input_.append(buf, static_cast<size_t>(r));
        }
    }
    return read_secret(prompt, out);
}

int Session::lost(const std::string& what) {
    fprintf(stderr, "boardhub-cli: %s: %s\n", what.c_str(), client_.error().c_str());
    client_.close();
    connected_ = false;
    logged_in_ = false;
    return kConnection;
}

int Session::connect() {
    if (!client_.connect(opt_.host, opt_.port)) {
        fprintf(stderr, "boardhub-cli: %s port %d: %s\n", opt_.host.c_str(), opt_.port,
                client_.error().c_str());
        return kConnection;
    }
    connected_ = true;
    return kOk;
}

void Session::print_message(const std::string& json) {
    JsonPtr m = parse(json);
    std::string from = member(m.get(), "FROM");
    std::string text = member(m.get(), "MESSAGE");
    int64_t type = member_int(m.get(), "TYPE");
    char stamp[16];
    time_t now = time(nullptr);
    struct tm tm_now;
    localtime_r(&now, &tm_now);
    strftime(stamp, sizeof(stamp), "%H:%M:%S", &tm_now);
    // Listening and the shell show messages as their output; other commands keep their
    // standard output for their own results.
    FILE* out = in_shell_ || listening_ ? stdout : stderr;
    if (type == 0)
        fprintf(out, "[%s] notice from %s: %s\n", stamp, from.c_str(), text.c_str());
    else if (type == 1000)
        fprintf(out, "[%s] %s: %s (this session has been replaced by a new login)\n", stamp,
                from.c_str(), text.c_str());
    else
        fprintf(out, "[%s] message from %s: %s\n", stamp, from.c_str(), text.c_str());
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
        fprintf(stderr, "boardhub-cli: not connected\n");
        return kConnection;
    }
    std::string word = member(command, "CMD");
    if (!client_.command(json_object_to_json_string(command), reply))
        return lost(word);
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
        std::string prompt = "Password for " + opt_.user + ": ";
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
    if (int rc = request(c.get(), reply)) return rc;
    JsonPtr r = parse(reply.payload);
    if (reply.type != "11" || !r) {
        fprintf(stderr, "boardhub-cli: LOGIN: unexpected reply from the server\n");
        return kConnection;
    }
    if (member(r.get(), "RESULT") != "OK") {
        if (reply.payload == kUnknownCommand)
            fprintf(stderr, "boardhub-cli: login as %s: the server refused LOGIN\n",
                    opt_.user.c_str());
        else
            fprintf(stderr, "boardhub-cli: login as %s: %s (%" PRId64 ")\n", opt_.user.c_str(),
                    login_error_text(member_int(r.get(), "ERROR")),
                    member_int(r.get(), "ERROR"));
        logged_in_ = false;
        return kLogin;
    }
    logged_in_ = true;
    level_ = static_cast<int>(member_int(r.get(), "LEVEL"));
    notice_ = member(r.get(), "MOD");
    if (notice_ == "NONE") notice_.clear();
    if (verbose) {
        printf("logged in to %s as %s (level %d)\n", member(r.get(), "SERVER").c_str(),
               opt_.user.c_str(), level_);
        if (!notice_.empty()) printf("notice: %s\n", notice_.c_str());
    }
    return kOk;
}

int Session::cmd_hello() {
    JsonPtr c = make_command("HELLO");
    bh::Frame reply;
    if (int rc = request(c.get(), reply)) return rc;
    JsonPtr r = parse(reply.payload);
    if (reply.type != "11" || member(r.get(), "RESULT") != "OK") {
        fprintf(stderr, "boardhub-cli: HELLO: the server answered %s\n", reply.payload.c_str());
        return kRefused;
    }
    printf("server %s, protocol %s\n", member(r.get(), "SERVER").c_str(),
           member(r.get(), "VERSION").c_str());
    return kOk;
}

int Session::cmd_login(const std::vector<std::string>& args) {
    if (args.size() > 2) {
        fprintf(stderr, "usage: login [USER]\n");
        return kUsage;
    }
    if (args.size() == 2) opt_.user = args[1];
    return login(true);
}

int Session::cmd_who() {
    JsonPtr c = make_command("WHO");
    bh::Frame reply;
    if (int rc = request(c.get(), reply)) return rc;
    JsonPtr r = parse(reply.payload);
    json_object* users = nullptr;
    if (member(r.get(), "RESULT") != "OK" ||
        !json_object_object_get_ex(r.get(), "USERS", &users) ||
        !json_object_is_type(users, json_type_array)) {
        fprintf(stderr, "boardhub-cli: WHO: the server refused the request\n");
        return kRefused;
    }
    size_t n = json_object_array_length(users);
    for (size_t i = 0; i < n; i++) {
        const char* name = json_object_get_string(json_object_array_get_idx(users, i));
        printf("%s\n", name && *name ? name : "(not logged in)");
    }
    return kOk;
}

int Session::cmd_id() {
    JsonPtr c = make_command("ID");
    bh::Frame reply;
    if (int rc = request(c.get(), reply)) return rc;
    JsonPtr r = parse(reply.payload);
    if (member(r.get(), "RESULT") != "OK") {
        fprintf(stderr, "boardhub-cli: ID: the server refused the request\n");
        return kRefused;
    }
    std::string name = member(r.get(), "NAME");
    // The server reports the low 32 bits of the login time; widen them back.
    time_t when = static_cast<time_t>(static_cast<uint32_t>(member_int(r.get(), "LOGIN")));
    char stamp[64] = "never";
    struct tm tm_when;
    if (when && localtime_r(&when, &tm_when)) strftime(stamp, sizeof(stamp), "%Y-%m-%d %H:%M:%S", &tm_when);
    printf("name:  %s\nlevel: %" PRId64 "\nlogin: %s\n", name.empty() ? "(not logged in)" : name.c_str(),
           member_int(r.get(), "LEVEL"), stamp);
    return kOk;
}

int Session::list(const std::string& path, bool all, Listing& out) {
    JsonPtr c = make_command(all ? "LISTALL" : "LIST");
    add(c.get(), "PATH", path);
    bh::Frame reply;
    if (int rc = request(c.get(), reply)) return rc;
    if (reply.type != "10") {
        fprintf(stderr, "boardhub-cli: %s %s: the server refused the request\n",
                all ? "LISTALL" : "LIST", path.c_str());
        return kRefused;
    }
    if (!parse_listing(reply.payload, out)) {
        fprintf(stderr, "boardhub-cli: %s: the listing is not in the expected form\n",
                path.c_str());
        return kConnection;
    }
    return kOk;
}

int Session::cmd_ls(const std::vector<std::string>& args) {
    bool all = false;
    std::string path;
    int paths = 0;
    for (size_t i = 1; i < args.size(); i++) {
        if (args[i] == "-a" || args[i] == "--all") {
            all = true;
        } else {
            path = args[i];
            paths++;
        }
    }
    if (paths > 1) {
        fprintf(stderr, "usage: ls [-a] [PATH]\n");
        return kUsage;
    }
    path = normalise_path(path);
    Listing listing;
    if (int rc = list(path, all, listing)) return rc;
    if (listing.status == "CLOSED") {
        fprintf(stderr, "boardhub-cli: %s: closed (you may not enter this folder)\n",
                path.c_str());
        return kRefused;
    }
    if (listing.status == "ERROR") {
        fprintf(stderr, "boardhub-cli: %s: no such folder, or it cannot be read\n",
                path.c_str());
        return kRefused;
    }
    if (listing.status == "NONE") {
        if (isatty(STDOUT_FILENO) || in_shell_) printf("(empty folder)\n");
        return kOk;
    }
    sort_listing(listing.entries);
    for (const Entry& e : listing.entries) {
        char detail[64];
        const char* kind;
        if (e.folder && e.closed) {
            kind = "closed";
            snprintf(detail, sizeof(detail), "-");
        } else if (e.folder) {
            kind = "dir";
            snprintf(detail, sizeof(detail), "%" PRIu64 " %s, %" PRIu64 " %s", e.folders,
                     e.folders == 1 ? "dir" : "dirs", e.size, e.size == 1 ? "file" : "files");
        } else {
            kind = "file";
            snprintf(detail, sizeof(detail), "%s", human_size(e.size).c_str());
        }
        printf("%-6s  %-22s  %s%s%s\n", kind, detail, e.name.c_str(), e.folder ? "/" : "",
               e.preview ? "  [preview]" : "");
    }
    return kOk;
}

// Reads frames until one that is not a "21" message; its payload goes to fd or memory.
int Session::receive_data(const std::string& want_type, uint64_t want_length, int fd,
                          std::vector<unsigned char>* memory, const std::string& what,
                          uint64_t done_before, Progress* progress) {
    for (;;) {
        std::string type, message;
        uint64_t length = 0, received = 0;
        bool write_failed = false, refused = false;
        bool ok = client_.recv_frame_to(
            type, length,
            [&](const char* data, size_t n) {
                if (type == "21") {
                    message.append(data, n);
                    return true;
                }
                if (type != want_type || received + n > want_length) {
                    refused = true;
                    return false;
                }
                received += n;
                if (memory) memory->insert(memory->end(), data, data + n);
                if (fd >= 0) {
                    while (n > 0) {
                        ssize_t w = write(fd, data, n);
                        if (w < 0) {
                            if (errno == EINTR) continue;
                            write_failed = true;
                            return false;
                        }
                        data += w;
                        n -= static_cast<size_t>(w);
                    }
                    if (progress) progress->update(done_before + received);
                }
                return true;
            });
        if (write_failed) {
            if (progress) progress->abandon();
            fprintf(stderr, "boardhub-cli: cannot write the downloaded data: %s\n",
                    strerror(errno));
            return kLocal;
        }
        if (ok && type == "21") {
            bh::Frame f{type, message};
            client_.messages.push_back(f);
            continue;
        }
        if (!ok && !refused) {
            // Nothing refused by us: the connection failed or closed.
            if (progress) progress->abandon();
            return lost(what);
        }
        if (!ok || type != want_type || length != want_length) {
            // A frame other than the data announced: the stream cannot be trusted any more.
            if (progress) progress->abandon();
            if (type != want_type)
                fprintf(stderr, "boardhub-cli: %s: expected a \"%s\" data frame, got \"%s\"\n",
                        what.c_str(), want_type.c_str(), type.c_str());
            else
                fprintf(stderr,
                        "boardhub-cli: %s: the server announced %" PRIu64 " bytes where %" PRIu64
                        " were asked for\n",
                        what.c_str(), length, want_length);
            client_.close();
            connected_ = false;
            logged_in_ = false;
            return kConnection;
        }
        uint64_t now_done = done_before + received;
        if (progress) progress->update(now_done, progress->complete(now_done));
        print_messages();
        return kOk;
    }
}

int Session::cmd_get(const std::vector<std::string>& args) {
    bool whole = false;
    std::vector<std::string> names;
    size_t piece = opt_.piece;
    for (size_t i = 1; i < args.size(); i++) {
        if (args[i] == "--whole" || args[i] == "-w") {
            whole = true;
        } else if ((args[i] == "--piece" || args[i] == "-s") && i + 1 < args.size()) {
            char* end = nullptr;
            unsigned long v = strtoul(args[++i].c_str(), &end, 10);
            if (*end || v == 0 || v > kMaxPiece) {
                fprintf(stderr, "boardhub-cli: the piece size must lie between 1 and %zu\n",
                        kMaxPiece);
                return kUsage;
            }
            piece = v;
        } else {
            names.push_back(args[i]);
        }
    }
    if (names.empty() || names.size() > 2) {
        fprintf(stderr, "usage: get [--whole] [--piece BYTES] REMOTE [LOCAL]\n");
        return kUsage;
    }
    std::string remote = normalise_path(names[0]);
    std::string name = base_name(remote);
    if (name.empty()) {
        fprintf(stderr, "boardhub-cli: get: name a file, not the root folder\n");
        return kUsage;
    }
    std::string local = names.size() == 2 ? names[1] : name;
    struct stat st;
    if (stat(local.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) local += "/" + name;

    // The size comes from the listing of the file's folder: the server does not announce the
    // end of a download in pieces.
    std::string folder = parent_of(remote);
    Listing listing;
    if (int rc = list(folder, true, listing)) return rc;
    if (listing.status == "CLOSED") {
        fprintf(stderr, "boardhub-cli: %s: closed (you may not enter this folder)\n",
                folder.c_str());
        return kRefused;
    }
    const Entry* entry = nullptr;
    for (const Entry& e : listing.entries)
        if (e.name == name) entry = &e;
    if (!entry) {
        fprintf(stderr, "boardhub-cli: %s: no such file\n", remote.c_str());
        return kRefused;
    }
    if (entry->folder) {
        fprintf(stderr, "boardhub-cli: %s: is a folder\n", remote.c_str());
        return kRefused;
    }
    const uint64_t size = entry->size;

    std::string temp = local;
    size_t slash = temp.find_last_of('/');
    std::string dir = slash == std::string::npos ? "." : temp.substr(0, slash);
    temp = dir + "/." + base_name(local) + ".XXXXXX.part";
    if (temp.size() >= sizeof(g_temp_path)) {
        fprintf(stderr, "boardhub-cli: %s: path too long\n", local.c_str());
        return kLocal;
    }
    std::vector<char> templ(temp.begin(), temp.end());
    templ.push_back('\0');
    watch_interrupts(true);
    // No interrupt between creating the file and recording its name for removal.
    sigset_t block, saved;
    sigemptyset(&block);
    sigaddset(&block, SIGINT);
    sigaddset(&block, SIGTERM);
    sigaddset(&block, SIGHUP);
    sigprocmask(SIG_BLOCK, &block, &saved);
    int fd = mkstemps(templ.data(), 5);
    if (fd >= 0) snprintf(g_temp_path, sizeof(g_temp_path), "%s", templ.data());
    sigprocmask(SIG_SETMASK, &saved, nullptr);
    if (fd < 0) {
        watch_interrupts(false);
        fprintf(stderr, "boardhub-cli: cannot create a file in %s: %s\n", dir.c_str(),
                strerror(errno));
        return kLocal;
    }
    temp = templ.data();
    // mkstemps makes the file private; the result gets the usual mode of a new file.
    mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0644 & ~mask);

    int rc = kOk;
    uint64_t done = 0;
    Progress progress(opt_.progress, size);
    if (whole) {
        JsonPtr c = make_command("FILE");
        add(c.get(), "FILE", remote);
        bh::Frame reply;
        rc = request(c.get(), reply);
        if (rc == kOk) {
            std::string result = member(parse(reply.payload).get(), "RESULT");
            if (result == "OK") {
                rc = receive_data("88", size, fd, nullptr, "FILE " + remote, 0, &progress);
                if (rc == kOk) done = size;
            } else if (result == "NONE") {
                fprintf(stderr, "boardhub-cli: %s: the server cannot open this file\n",
                        remote.c_str());
                rc = kRefused;
            } else {
                fprintf(stderr, "boardhub-cli: FILE %s: the server refused the request\n",
                        remote.c_str());
                rc = kRefused;
            }
        }
    } else {
        bool first = true;
        while (rc == kOk && (first || done < size)) {
            uint64_t want = size - done < piece ? size - done : piece;
            JsonPtr c = make_command(first ? "SEND" : "NEXT");
            if (first) add(c.get(), "FILE", remote);
            add(c.get(), "SIZE", static_cast<int64_t>(want));
            bh::Frame reply;
            rc = request(c.get(), reply);
            if (rc != kOk) break;
            std::string result = member(parse(reply.payload).get(), "RESULT");
            if (result == "NONE") {
                fprintf(stderr, "boardhub-cli: %s: the server cannot open this file\n",
                        remote.c_str());
                rc = kRefused;
                break;
            }
            if (result != "OK") {
                fprintf(stderr, "boardhub-cli: %s %s: the server refused the request\n",
                        first ? "SEND" : "NEXT", remote.c_str());
                rc = kRefused;
                break;
            }
            rc = receive_data("89", want, fd, nullptr, "SEND " + remote, done, &progress);
            if (rc == kOk) done += want;
            first = false;
        }
    }
    if (rc == kOk && fsync(fd) != 0 && errno != EINVAL) {
        fprintf(stderr, "boardhub-cli: %s: %s\n", temp.c_str(), strerror(errno));
        rc = kLocal;
    }
    if (close(fd) != 0 && rc == kOk) {
        fprintf(stderr, "boardhub-cli: %s: %s\n", temp.c_str(), strerror(errno));
        rc = kLocal;
    }
    // The final name only ever holds a complete file: the size on disk must match the listing.
    if (rc == kOk && (stat(temp.c_str(), &st) != 0 || static_cast<uint64_t>(st.st_size) != size ||
                      done != size)) {
        fprintf(stderr, "boardhub-cli: %s: received size does not match the listing\n",
                remote.c_str());
        rc = kConnection;
    }
    if (rc == kOk && rename(temp.c_str(), local.c_str()) != 0) {
        fprintf(stderr, "boardhub-cli: cannot rename to %s: %s\n", local.c_str(),
                strerror(errno));
        rc = kLocal;
    }
    if (rc != kOk) unlink(temp.c_str());
    g_temp_path[0] = '\0';
    watch_interrupts(false);
    if (rc == kOk && in_shell_) printf("%s: %" PRIu64 " bytes\n", local.c_str(), size);
    return rc;
}

int Session::cmd_check(const std::vector<std::string>& args) {
    if (args.size() != 2) {
        fprintf(stderr, "usage: check PATH\n");
        return kUsage;
    }
    std::string path = normalise_path(args[1]);
    JsonPtr c = make_command("CHECK");
    add(c.get(), "FILE", path);
    bh::Frame reply;
    if (int rc = request(c.get(), reply)) return rc;
    if (member(parse(reply.payload).get(), "RESULT") == "OK") {
        printf("%s: exists\n", path.c_str());
        return kOk;
    }
    fprintf(stderr, "boardhub-cli: %s: does not exist\n", path.c_str());
    return kRefused;
}

int Session::cmd_msg(const std::vector<std::string>& args) {
    if (args.size() < 3) {
        fprintf(stderr, "usage: msg USER TEXT...\n");
        return kUsage;
    }
    std::string text;
    for (size_t i = 2; i < args.size(); i++) text += (i > 2 ? " " : "") + args[i];
    if (text.size() > 255) {
        fprintf(stderr, "boardhub-cli: messages have at most 255 bytes\n");
        return kUsage;
    }
    JsonPtr c = make_command("MESSAGE");
    add(c.get(), "TO", args[1]);
    add(c.get(), "TYPE", static_cast<int64_t>(1));
    add(c.get(), "MESSAGE", text);
    bh::Frame reply;
    if (int rc = request(c.get(), reply)) return rc;
    if (member(parse(reply.payload).get(), "RESULT") == "OK") {
        if (in_shell_) printf("sent to %s\n", args[1].c_str());
        return kOk;
    }
    fprintf(stderr, "boardhub-cli: %s is not connected; message not delivered\n",
            args[1].c_str());
    return kRefused;
}

int Session::cmd_notice(const std::vector<std::string>& args) {
    if (args.size() == 1) {
        if (!logged_in_) {
            fprintf(stderr, "boardhub-cli: log in to read the notice (-u USER)\n");
            return kUsage;
        }
        printf("%s\n", notice_.empty() ? "(no notice)" : notice_.c_str());
        return kOk;
    }
    std::string text;
    for (size_t i = 1; i < args.size(); i++) text += (i > 1 ? " " : "") + args[i];
    if (text.size() > 255) {
        fprintf(stderr, "boardhub-cli: the notice has at most 255 bytes\n");
        return kUsage;
    }
    JsonPtr c = make_command("MOD");
    add(c.get(), "MOD", text);
    bh::Frame reply;
    if (int rc = request(c.get(), reply)) return rc;
    if (member(parse(reply.payload).get(), "RESULT") != "OK") {
        fprintf(stderr, "boardhub-cli: MOD: the server refused the request\n");
        return kRefused;
    }
    notice_ = text;
    if (in_shell_) printf(text.empty() ? "notice cleared\n" : "notice set\n");
    return kOk;
}

int Session::cmd_passwd() {
    if (!logged_in_) {
        fprintf(stderr, "boardhub-cli: log in first (-u USER)\n");
        return kUsage;
    }
    std::string fresh;
    if (const char* env = getenv("BOARDHUB_NEW_PASSWORD")) {
        fresh = env;
    } else {
        std::string again;
        if (!secret("New password: ", fresh) ||
            (isatty(STDIN_FILENO) && !secret("New password again: ", again))) {
            fprintf(stderr, "boardhub-cli: no new password given\n");
            return kUsage;
        }
        if (isatty(STDIN_FILENO) && fresh != again) {
            fprintf(stderr, "boardhub-cli: the passwords differ; nothing changed\n");
            return kUsage;
        }
    }
    if (fresh.empty() || fresh.size() > kMaxPassword) {
        fprintf(stderr, "boardhub-cli: a password has 1 to %zu bytes\n", kMaxPassword);
        return kUsage;
    }
    JsonPtr c = make_command("PASSWORD");
    add(c.get(), "CURRENT", password_);
    add(c.get(), "NEW", fresh);
    bh::Frame reply;
    if (int rc = request(c.get(), reply)) return rc;
    if (member(parse(reply.payload).get(), "RESULT") != "OK") {
        fprintf(stderr, "boardhub-cli: password not changed: the current password is wrong\n");
        return kRefused;
    }
    password_ = fresh;
    printf("password changed\n");
    return kOk;
}

int Session::cmd_caminfo() {
    JsonPtr c = make_command("CAMINFO");
    bh::Frame reply;
    if (int rc = request(c.get(), reply)) return rc;
    JsonPtr r = parse(reply.payload);
    if (member(r.get(), "RESULT") != "OK") {
        fprintf(stderr, "boardhub-cli: the server has no camera\n");
        return kRefused;
    }
    printf("camera: %" PRId64 "x%" PRId64 "\n", member_int(r.get(), "WIDTH"),
           member_int(r.get(), "HEIGHT"));
    return kOk;
}

int Session::cmd_snap(const std::vector<std::string>& args) {
    if (args.size() != 2) {
        fprintf(stderr, "usage: snap OUT.png\n");
        return kUsage;
    }
    JsonPtr info = make_command("CAMINFO");
    bh::Frame reply;
    if (int rc = request(info.get(), reply)) return rc;
    JsonPtr r = parse(reply.payload);
    if (member(r.get(), "RESULT") != "OK") {
        fprintf(stderr, "boardhub-cli: the server has no camera\n");
        return kRefused;
    }
    int64_t width = member_int(r.get(), "WIDTH"), height = member_int(r.get(), "HEIGHT");
    if (width <= 0 || height <= 0 || width > 8192 || height > 8192) {
        fprintf(stderr, "boardhub-cli: the camera reports an unusable size\n");
        return kConnection;
    }
    JsonPtr c = make_command("CAMERA");
    if (int rc = request(c.get(), reply)) return rc;
    if (member(parse(reply.payload).get(), "RESULT") != "OK") {
        fprintf(stderr, "boardhub-cli: the camera gave no frame\n");
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
        if (!ok) return lost("CAMERA");
        if (type == "21") {
            client_.messages.push_back(bh::Frame{type, message});
            continue;
        }
        break;
    }
    print_messages();
    size_t need = static_cast<size_t>(width) * static_cast<size_t>(height) * 2;
    if (frame.size() < need) {
        fprintf(stderr, "boardhub-cli: the frame holds %zu bytes, %zu expected for %" PRId64
                        "x%" PRId64 " YUYV\n",
                frame.size(), need, width, height);
        return kConnection;
    }
    std::string out = args[1];
    std::string temp = out + ".part";
    std::string err;
    if (!write_yuyv_png(temp, frame.data(), static_cast<int>(width), static_cast<int>(height),
                        err)) {
        unlink(temp.c_str());
        fprintf(stderr, "boardhub-cli: %s\n", err.c_str());
        return kLocal;
    }
    if (rename(temp.c_str(), out.c_str()) != 0) {
        unlink(temp.c_str());
        fprintf(stderr, "boardhub-cli: cannot rename to %s: %s\n", out.c_str(), strerror(errno));
        return kLocal;
    }
    if (in_shell_) printf("%s: %" PRId64 "x%" PRId64 "\n", out.c_str(), width, height);
    return kOk;
}

int Session::cmd_listen() {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    listening_ = true;
    printf("listening for messages (interrupt to stop)\n");
    for (;;) {
        bh::Frame f;
        if (!client_.recv_frame(f, -1)) {
            fprintf(stderr, "boardhub-cli: the connection closed\n");
            return kConnection;
        }
        if (f.type != "21") continue;
        print_message(f.payload);
        if (member_int(parse(f.payload).get(), "TYPE") == 1000) return kRefused;
    }
}

int Session::run(const std::vector<std::string>& args) {
    const std::string& w = args[0];
    if (w == "hello") return cmd_hello();
    if (w == "login") return cmd_login(args);
    if (w == "who") return cmd_who();
    if (w == "id") return cmd_id();
    if (w == "ls") return cmd_ls(args);
    if (w == "get") return cmd_get(args);
    if (w == "check") return cmd_check(args);
    if (w == "msg") return cmd_msg(args);
    if (w == "notice") return cmd_notice(args);
    if (w == "passwd") return cmd_passwd();
    if (w == "caminfo") return cmd_caminfo();
    if (w == "snap") return cmd_snap(args);
    if (w == "listen") return cmd_listen();
    fprintf(stderr, "boardhub-cli: unknown command '%s' (see --help)\n", w.c_str());
    return kUsage;
}

}  // namespace cli
