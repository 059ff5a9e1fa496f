// Start-up, the accept loop and shutdown. main reads the configuration, opens the listening
// socket, the account databases, the camera and the relay outputs, then starts one detached
// thread per connection. SIGINT only writes a byte to a pipe; the accept loop sees it and runs
// close_all in ordinary thread context.
#include <arpa/inet.h>
#include <fcntl.h>
#include <malloc.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "SERVO.h"
#include "V4L2.h"
#include "admin.h"
#include "config.h"
#include "logger.h"
#include "server.h"
#include "server_guard.h"
#include "server_tls.h"
#include "server_write.h"
#include "version.h"

ServerInfo server;
char device_video[NAME_SIZE];
bool camera = false;
int client_sockfd = -1;
char STR_MOD[MOD_SIZE];
std::mutex mod_lock;
std::atomic<bool> memory_to_trim{false};
const char* const USER_ADMIN = "관리자";

namespace {

constexpr int LISTEN_BACKLOG = MAX_USERS;
// The configuration the package installs: --identity reads it when given none.
const char* const DEFAULT_CONFIG = "/etc/boardhub/boardhub.ini";

int signal_pipe[2] = {-1, -1};

// The local socket's file as the server made it: removed at shutdown only while it is still
// that file (another server may have taken the path meanwhile).
struct stat local_file;
bool local_made = false;

// "2026년 12월 6일"
void log_date(const char* tag) {
    time_t now = time(nullptr);
    struct tm t;
    localtime_r(&now, &t);
    char text[64];
    snprintf(text, sizeof(text), "%d년 %d월 %d일", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday);
    logger.write(tag, LOG_SYSTEM, text);
}

// Copies a configuration value into its field; a value that does not fit stops start-up,
// since a silently cut path would serve the wrong folder.
template <size_t N>
void take_value(char (&dst)[N], const char* key) {
    std::string value = config.get_value("server", key);
    if (value.size() >= N) {
        fprintf(stderr, "configuration: the value of \"%s\" is longer than %zu bytes\n", key,
                N - 1);
        exit(1);
    }
    memcpy(dst, value.c_str(), value.size() + 1);
}

// The sections and keys this server reads. Anything else is named in one WARNING line and
// otherwise ignored: the file may be shared with other programs, but a misspelt key would
// otherwise go unnoticed.
const std::vector<Config::Known>& known_settings() {
    static const std::vector<Config::Known> known = {
        {"server", {"name", "port", "share", "data", "camera", "log", "login_timeout",
                    "frame_timeout", "prelogin_per_address", "prelogin_slots", "upload_max_size",
                    "upload_reserve", "upload_sync", "upload_min_rate", "upload_rate_window",
                    "socket", "stall_timeout", "local_trusted", "trusted_addresses", "tls",
                    "tls_cert", "tls_key"}},
        {"web", {}},  // the web gateway's settings
    };
    return known;
}

// A required key of [server] that is missing or empty stops start-up. A misspelt section or key
// is the likely cause, so what the file has beyond the known settings is named with it.
[[noreturn]] void refuse_missing(const char* key) {
    std::string sections, keys;
    for (const std::string& name : config.unknown(known_settings())) {
        std::string& list = name.back() == ']' ? sections : keys;
        if (!list.empty()) list += ", ";
        log_escape(list, name.c_str());
    }
    std::string hint;
    if (!sections.empty())
        hint += std::string(sections.find(',') == std::string::npos ? "an unknown section "
                                                                    : "unknown sections ") +
                sections;
    if (!keys.empty()) hint += (hint.empty() ? "" : " and ") + std::string("unknown settings ") + keys;
    fprintf(stderr, "configuration: \"%s\" is missing or empty in [server]%s%s%s\n", key,
            hint.empty() ? "" : " (the file has ", hint.c_str(), hint.empty() ? "" : ")");
    exit(1);
}

// "port": a whole number from 1 to 65535, required. Anything else stops start-up: a port cut
// to 16 bits, read up to a typing error, or left to the system would listen somewhere else.
int take_port() {
    if (config.get_value("server", "port").find_first_not_of(" \t\r\n\v\f") == std::string::npos)
        refuse_missing("port");
    try {
        return static_cast<int>(config.get_number("server", "port", 0, 1, 65535));
    } catch (const std::invalid_argument&) {
        refuse_setting("server", "port", "a whole number from 1 to 65535");
    }
}

// The upload settings: "upload_max_size" and "upload_reserve" (sizes such as "4G", "64M"),
// "upload_sync" ("no" turns off the flush before each upload's reply). A size that cannot be
// read stops start-up rather than silently allowing more than the owner meant.
void take_write_limits() {
    struct {
        const char* key;
        uint64_t* dst;
    } sizes[] = {{"upload_max_size", &write_limits.max_size},
                 {"upload_reserve", &write_limits.reserve}};
    for (const auto& s : sizes) {
        std::string value = config.get_value("server", s.key);
        if (value.empty()) continue;
        if (!parse_size(value, s.dst)) refuse_setting("server", s.key, "a size (like 4G or 64M)");
    }
    try {
        write_limits.sync = config.get_bool("server", "upload_sync", true);
    } catch (const std::invalid_argument&) {
        refuse_setting("server", "upload_sync", "yes or no");
    }
    std::string rate = config.get_value("server", "upload_min_rate");
    if (!rate.empty() && (!parse_size(rate, &write_limits.min_rate) ||
                          write_limits.min_rate > (1ULL << 30)))
        refuse_setting("server", "upload_min_rate",
                       "a size from 0 to 1G (bytes a second, like 64K)");
    try {
        write_limits.rate_window = static_cast<int>(
            config.get_number("server", "upload_rate_window", write_limits.rate_window, 1, 3600));
    } catch (const std::invalid_argument&) {
        refuse_setting("server", "upload_rate_window", "a whole number from 1 to 3600");
    }
}

// "stall_timeout": seconds a connection may take no byte of what is sent to it. A value that
// is not a whole number from 1 to 3600 stops start-up.
void take_stall_timeout() {
    try {
        send_stall_seconds = static_cast<int>(
            config.get_number("server", "stall_timeout", SEND_STALL_SECONDS, 1, 3600));
    } catch (const std::invalid_argument&) {
        refuse_setting("server", "stall_timeout", "a whole number from 1 to 3600");
    }
}

// A folder setting that must name something: an empty (or blank) value stops start-up, since
// every path would then be taken from the root of the file system.
void require_value(const char* value, const char* key) {
    if (value[strspn(value, " \t\r\n\v\f")] != '\0') return;
    refuse_missing(key);
}

// The share must be a folder the server can list and read, or every FILE would fail (or,
// with a typing error in the path, serve something else than meant).
void require_folder(const char* path, const char* key) {
    struct stat st;
    if (stat(path, &st) != 0 || !S_ISDIR(st.st_mode) || access(path, R_OK | X_OK) != 0) {
        fprintf(stderr, "configuration: \"%s\" (%s) is not a readable folder\n", key, path);
        exit(1);
    }
}

// Names what the file holds beyond the known settings in one WARNING line.
void warn_unknown_settings() {
    std::vector<std::string> names = config.unknown(known_settings());
    if (names.empty()) return;
    std::string text = "unknown settings ignored:";
    for (size_t i = 0; i < names.size(); i++) text += (i ? ", " : " ") + names[i];
    logger.write("configuration", LOG_WARNING, text.c_str());
}

// The data folder holds the account databases: without it every login fails as if the password
// were wrong. Start-up goes on (the folder may be mounted later), but says so first.
void warn_about_data_folder() {
    struct stat st;
    if (stat(server.data, &st) < 0)
        fprintf(stderr, "warning: the data folder \"%s\" cannot be used (%s): no account can log in\n",
                server.data, strerror(errno));
    else if (!S_ISDIR(st.st_mode))
        fprintf(stderr, "warning: the data folder \"%s\" is no folder: no account can log in\n",
                server.data);
}

void print_help(const char* program) {
    printf("usage: %s <config file>\n"
           "       %s --identity [-c <config file>]\n"
           "       %s --help | --version\n"
           "\n"
           "Serves the shared folder tree, messages and the camera of this board to the clients\n"
           "on the local network, as set in the configuration file (see boardhub.ini(5)).\n"
           "Stop it with an interrupt (Ctrl-C, or SIGINT from the service manager).\n"
           "--identity makes the TLS identity when missing and prints its fingerprint.\n",
           program, program, program);
}

// Errors of accept() that a peer or a passing shortage can cause; the loop goes on.
bool transient_accept_error(int err) {
    switch (err) {
        case EINTR:
        case ECONNABORTED:
        case EPROTO:
        case EMFILE:
        case ENFILE:
        case ENOBUFS:
        case ENOMEM:
        case EPERM:
        case ENETDOWN:
        case ENOPROTOOPT:
        case EHOSTDOWN:
        case ENONET:
        case EHOSTUNREACH:
        case EOPNOTSUPP:
        case ENETUNREACH:
            return true;
        default:
            return false;
    }
}

bool all_slots_taken() {
    std::lock_guard<std::mutex> g(users_lock);
    for (int i = 0; i < MAX_USERS; i++)
        if (users[i].in_use == 0) return false;
    return true;
}

}  // namespace

// Starts a detached thread with the sessions' explicit stack and SIGINT blocked, so the signal
// always reaches the main thread. Returns pthread_create's result.
int start_thread(void* (*fn)(void*), void* arg) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, SESSION_STACK_SIZE);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    sigset_t block, old;
    sigemptyset(&block);
    sigaddset(&block, SIGINT);
    pthread_sigmask(SIG_BLOCK, &block, &old);
    pthread_t tid;
    int rc = pthread_create(&tid, &attr, fn, arg);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    pthread_attr_destroy(&attr);
    return rc;
}

namespace {

// Accepts one connection of a listening socket and starts its session. Returns false only
// on an error that the server cannot go on from.
bool accept_one(int listener) {
    struct sockaddr_storage peer;
    socklen_t peer_len = sizeof(peer);
    int sock = accept4(listener, reinterpret_cast<sockaddr*>(&peer), &peer_len, SOCK_CLOEXEC);
    if (sock < 0) {
        int err = errno;
        if (err == EAGAIN || err == EWOULDBLOCK) return true;
        if (transient_accept_error(err)) {
            // Out of descriptors: give running sessions a moment to end.
            logger.writef("main", LOG_WARNING, "accept: %s", strerror(err));
            if (err == EMFILE || err == ENFILE) usleep(100 * 1000);
            return true;
        }
        return false;
    }
    client_sockfd = sock;
    if (all_slots_taken()) {
        // Refused here, without a thread; client_handler refuses a lost race the same way.
        log_refusal("%s refused: all %d slots in use", identify_peer(sock).key, MAX_USERS);
        close(sock);
        return true;
    }
    int rc = start_thread(client_handler, reinterpret_cast<void*>(static_cast<intptr_t>(sock)));
    if (rc == EAGAIN) {
        // A shortage of threads is passing; the server keeps serving the others.
        logger.write("main", LOG_CRITICAL, "could not create thread");
        close(sock);
        return true;
    }
    if (rc != 0) {
        logger.write("main", LOG_CRITICAL, "could not create thread");
        exit(1);
    }
    return true;
}

[[noreturn]] void accept_loop() {
    using Clock = std::chrono::steady_clock;
    auto last_trim = Clock::now();
    for (;;) {
        // Memory freed by sessions that ended goes back to the system, at most once a second.
        int timeout = -1;
        if (memory_to_trim.load()) {
            auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(
                last_trim + std::chrono::seconds(1) - Clock::now());
            if (wait.count() <= 0) {
                memory_to_trim.store(false);
                malloc_trim(0);
                last_trim = Clock::now();
            } else {
                timeout = static_cast<int>(wait.count()) + 1;
            }
        }
        // A negative descriptor (no local socket) is skipped by poll.
        struct pollfd p[3] = {{server.sock, POLLIN, 0},
                              {server.local_sock, POLLIN, 0},
                              {signal_pipe[0], POLLIN, 0}};
        if (poll(p, 3, timeout) < 0) {
            if (errno == EINTR) continue;
            logger.write("main", LOG_CRITICAL, "ERROR on accept");
            exit(1);
        }
        if (p[2].revents & POLLIN) close_all();
        for (int i = 0; i < 2; i++) {
            if (!(p[i].revents & POLLIN)) continue;
            if (!accept_one(p[i].fd)) {
                logger.write("main", LOG_CRITICAL, "ERROR on accept");
                exit(1);
            }
        }
    }
}

// Whether a server answers on the Unix-domain socket at addr.
bool socket_answers(const sockaddr_un& addr) {
    int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (probe < 0) return true;  // cannot tell: leave the file alone
    int rc = connect(probe, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr));
    int err = errno;
    close(probe);
    // A full backlog (EAGAIN) is a live server too; only a refusal tells of nobody listening.
    return rc == 0 || (err != ECONNREFUSED && err != ENOENT);
}

// Binds and listens on the local socket at path (mode 0666). A stale socket file there (nobody
// answers) is replaced; a live one or any other kind of file is left alone. -1 with the reason
// in why when the server must run without it.
int open_local_socket(const char* path, std::string* why) {
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof(addr));
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path, path, strlen(path) + 1);  // fits: SOCKET_PATH_SIZE
    int sock = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (sock < 0) {
        *why = std::string("socket: ") + strerror(errno);
        return -1;
    }
    int rc = bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    if (rc < 0 && errno == EADDRINUSE) {
        struct stat st;
        if (lstat(path, &st) == 0 && !S_ISSOCK(st.st_mode)) {
            *why = std::string(path) + " exists and is no socket";
        } else if (socket_answers(addr)) {
            *why = std::string("another server answers on ") + path;
        } else if (unlink(path) == 0 || errno == ENOENT) {
            rc = bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
        } else {
            *why = std::string("the stale ") + path + " cannot be removed: " + strerror(errno);
        }
        if (rc < 0 && why->empty()) *why = std::string(path) + ": " + strerror(errno);
    } else if (rc < 0) {
        *why = std::string(path) + ": " + strerror(errno);
    }
    if (rc < 0) {
        close(sock);
        return -1;
    }
    // Any local user may connect (as anyone on this board reaches the TCP port); every command
    // still needs a login, and only root and "local_trusted" are spared the login guard and the
    // per-address limits (identify_peer asks the kernel who connected).
    if (chmod(path, 0666) < 0 || listen(sock, LISTEN_BACKLOG) < 0 || lstat(path, &local_file) < 0) {
        *why = std::string(path) + ": " + strerror(errno);
        unlink(path);
        close(sock);
        return -1;
    }
    local_made = true;
    return sock;
}

// The "socket" setting: the local socket, or one WARNING and none.
void start_local_socket() {
    server.local_sock = -1;
    if (server.socket_path[0] == '\0') return;
    std::string why;
    server.local_sock = open_local_socket(server.socket_path, &why);
    if (server.local_sock < 0)
        logger.writef("main", LOG_WARNING, "the server runs without its local socket: %s",
                      why.c_str());
}

}  // namespace

void INThandler(int) {
    int saved = errno;
    char c = 1;
    ssize_t r = write(signal_pipe[1], &c, 1);
    (void)r;
    errno = saved;
}

void close_all() {
    log_date("SERVER STOP");
    if (camera) v4l2_close(video_fildes);
    admin.close();
    // The last accepted connection's session may be writing on it: shut it down rather than
    // close it, so its descriptor is not freed (and reused) under that session's send. The
    // process closes it at exit a moment later.
    if (client_sockfd >= 0) shutdown(client_sockfd, SHUT_RDWR);
    close(server.sock);
    if (local_made) {
        struct stat st;
        if (lstat(server.socket_path, &st) == 0 && st.st_dev == local_file.st_dev &&
            st.st_ino == local_file.st_ino)
            unlink(server.socket_path);
    }
    fflush(stdout);
    fflush(stderr);
    // Session threads still run: leave without running static destructors under them.
    _exit(0);
}

int server_main(int argc, char** argv) {
    if (argc >= 2 && strcmp(argv[1], "--identity") == 0) {
        if (argc == 2) return print_identity(DEFAULT_CONFIG);
        if (argc == 4 && strcmp(argv[2], "-c") == 0) return print_identity(argv[3]);
        printf("usage: %s --identity [-c <config file>]\n", argv[0]);
        return 1;
    }
    if (argc != 2) {
        printf("usage: %s <config file>\n", argv[0]);
        return 1;
    }
    if (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0) {
        print_help(argv[0]);
        return 0;
    }
    if (strcmp(argv[1], "--version") == 0) {
        printf("boardhub %s\n", BOARDHUB_VERSION);
        return 0;
    }
    // A send to a vanished peer fails with EPIPE; it never ends the process.
    signal(SIGPIPE, SIG_IGN);
    // glibc gives each new thread an arena of its own up to 8 per core, each reserving 64 MiB
    // of address space: with 200 sessions that is over 1 GiB of virtual size for nothing.
    // A few arenas serve two cores as well.
    mallopt(M_ARENA_MAX, 4);
    // Every block of 64 KiB or more (a Session, a frame-sized string) is mapped on its own and
    // given back whole when freed. Without a fixed threshold glibc raises it after the first such
    // free, and the Sessions of ended connections then stay resident in the arenas.
    mallopt(M_MMAP_THRESHOLD, 64 * 1024);

    try {
        config.open(argv[1]);
    } catch (const std::invalid_argument& e) {
        fprintf(stderr, "%s\n", e.what());
        return 1;
    }

    take_value(server.name, "name");
    take_value(server.share, "share");
    take_value(server.data, "data");
    take_value(device_video, "camera");
    take_value(server.socket_path, "socket");
    require_value(server.share, "share");
    require_value(server.data, "data");
    server.port = take_port();
    require_folder(server.share, "share");
    take_write_limits();
    char log_dir[1024] = "";
    try {
        if (config.get_bool("server", "log", false))
            snprintf(log_dir, sizeof(log_dir), "%s/logs", server.data);
    } catch (const std::invalid_argument&) {
        refuse_setting("server", "log", "yes or no");
    }
    logger.set(6, log_dir);
    warn_unknown_settings();
    read_connection_limits();
    take_stall_timeout();
    take_tls_settings();
    if (!start_tls()) return 1;

    server.sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (server.sock < 0) {
        printf("[main] socket() error\n");
        return 1;
    }
    int one = 1;
    if (setsockopt(server.sock, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one)) < 0) {
        printf("[main] setsockopt() error\n");
        return 1;
    }
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(static_cast<uint16_t>(server.port));
    if (bind(server.sock, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) < 0) {
        int err = errno;
        printf("[main] ERROR on binding\n");
        fflush(stdout);
        fprintf(stderr, "cannot listen on port %d: %s%s\n", server.port, strerror(err),
                err == EADDRINUSE ? " (another program, or another boardhub, has it)"
                : err == EACCES   ? " (ports below 1024 need privileges)"
                                  : "");
        return 1;
    }
    // A backlog of 5 overflows when more than a handful of clients connect at once: the kernel
    // drops their handshakes, and a client whose connect() already succeeded may then wait
    // for ever for a server that never accepted it. Room for every slot avoids that.
    if (listen(server.sock, LISTEN_BACKLOG) < 0) {
        printf("[main] listen() error\n");
        return 1;
    }

    start_local_socket();

    signal(SIGCHLD, SIG_IGN);
    {
        std::lock_guard<std::mutex> g(users_lock);
        for (auto& u : users) u.in_use = 0;
    }

    warn_about_data_folder();
    char path[CONF_PATH_SIZE + 16];
    snprintf(path, sizeof(path), "%s/users.db", server.data);
    admin.set_users_db(path);
    snprintf(path, sizeof(path), "%s/group.db", server.data);
    admin.set_group_db(path);
    // The hash that refusals of names without a row are checked against, made before the
    // first login so that none of them costs more than another.
    make_dummy_hash();

    remove_stale_parts(server.share);
    if (!start_account_watch()) {
        logger.write("main", LOG_CRITICAL, "could not create thread");
        return 1;
    }

    camera = init_camera();
    init_gpio();

    {
        std::lock_guard<std::mutex> g(mod_lock);
        STR_MOD[0] = '\0';
    }

    printf("\n[*] %s Server started at %d\n\n", server.name, server.port);
    fflush(stdout);
    log_date("SERVER START");
    log_tls_identity();

    if (pipe2(signal_pipe, O_CLOEXEC) < 0) {
        printf("[main] pipe() error\n");
        return 1;
    }
    struct sigaction sa;
    memset(&sa, 0, sizeof(sa));
    sa.sa_handler = INThandler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGINT, &sa, nullptr);

    accept_loop();
}
