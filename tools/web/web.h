// The web gateway: a browser-facing HTTP server that speaks the board's protocol as a client,
// one protocol session per signed-in browser, so the server stays the one place where access
// is decided. This header holds the settings, the request/response records that the HTTP layer
// (http.cpp, libmicrohttpd) fills and sends, and the units behind them:
//   settings.cpp   the [web] section of the configuration file
//   guard.cpp      the login delay per browser address, and the one-line log
//   sessions.cpp   signed-in browsers, their protocol connections, live events, expiry
//   camera.cpp     one capture loop shared by every viewer, YUYV to JPEG
//   api.cpp        routing: pages, JSON calls, downloads with ranges, the event stream
#pragma once

#include <sys/socket.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "client.h"

namespace web {

struct Settings {
    std::string listen = "0.0.0.0";  // address the gateway binds to
    int port = 8080;
    std::string server_host = "127.0.0.1";  // the board's server, reached over the protocol
    int server_port = 8000;
    // The server's local socket: sessions connect there when it is set (and may then take a
    // file's descriptor with OPEN instead of its bytes). Unset in [web]: the [server] socket of
    // the same file when server_host is this machine.
    std::string server_socket;
    std::string www = "/usr/share/boardhub/www";  // the page's files
    std::string tls_cert, tls_key;                // both set: HTTPS only
    int redirect_port = 0;  // with HTTPS: plain HTTP here answers only with a redirect; 0: none
    int idle_seconds = 1800;                      // a signed-in browser idle this long is signed out
    int max_sessions = 100;                       // signed-in browsers at once
    int max_connections = 256;                    // HTTP connections at once
    int max_connections_per_address = 32;
    int request_timeout = 30;  // seconds a request (line, headers, JSON body) has to arrive whole
    // Bytes a second an upload must keep up once its first request_timeout seconds are over:
    // by then it has sent at least upload_min_rate for every second past them, or is cut.
    int upload_min_rate = 4096;
    // Entries of one folder the gateway takes (a listing, each folder of an archive); a longer
    // folder is shown as incomplete. Two folders are read at once at most, so the memory of
    // listings stays within about twice what this many entries cost.
    int max_listing = 131072;
    int camera_fps = 15;  // frames per second of the shared capture loop
    int jpeg_quality = 80;
    std::string name = "boardhub";  // the title shown on the page
};

// Reads [web] (and the server's port from [server]) from an INI file. False with err set when
// the file cannot be read or a value is invalid.
bool load_settings(const std::string& path, Settings& s, std::string& err);

// One line on standard output, "HH:MM:SS[LEVEL] TAG text"; control bytes in text are shown as
// \xNN so that a browser's text never starts a line of its own.
void log_line(const char* level, const char* tag, const std::string& text);
std::string escape_log(const std::string& text);

// Login throttling per browser address: the first failure earns 1 s, each further one doubles
// it up to 15 s; a success forgets the address; an address quiet for 15 minutes starts again.
class LoginGuard {
public:
    static constexpr int FIRST_MS = 1000;
    static constexpr int MAX_MS = 15000;
    static constexpr size_t ENTRIES = 1024;
    static constexpr int FORGET_SECONDS = 15 * 60;
    // Records a failure, logs "auth failure from ADDR", returns the delay before answering.
    int failed(const std::string& addr);
    void succeeded(const std::string& addr);
    int delay_ms(const std::string& addr);
    // One sign-in of an address is checked at a time: enter waits while another of the same
    // address is being checked or is serving its delay, so guesses sent over many connections
    // at once are checked one delay after another. Every enter is followed by a leave.
    // enter is false once the gateway is closing (then no leave).
    bool enter(const std::string& addr);
    void leave(const std::string& addr);
    // Waits ms, or less when the gateway is closing.
    void pause(int ms);
    void close();

private:
    struct Entry {
        std::string addr;
        unsigned failures = 0;
        int64_t last = 0;
    };
    std::mutex lock_;
    std::vector<Entry> table_;
    std::condition_variable turn_;
    std::vector<std::string> checking_;  // addresses with a sign-in being checked
    bool closing_ = false;
};

// A lock whose waits can be bounded (try_lock_for), made of a mutex and a condition variable
// rather than std::timed_mutex, whose timed wait ThreadSanitizer does not follow.
class TimedLock {
public:
    void lock() {
        std::unique_lock<std::mutex> g(m_);
        free_.wait(g, [&] { return !held_; });
        held_ = true;
    }
    bool try_lock() {
        std::lock_guard<std::mutex> g(m_);
        if (held_) return false;
        held_ = true;
        return true;
    }
    template <class Rep, class Period>
    bool try_lock_for(const std::chrono::duration<Rep, Period>& wait) {
        std::unique_lock<std::mutex> g(m_);
        if (!free_.wait_for(g, wait, [&] { return !held_; })) return false;
        held_ = true;
        return true;
    }
    void unlock() {
        {
            std::lock_guard<std::mutex> g(m_);
            held_ = false;
        }
        free_.notify_all();
    }

private:
    std::mutex m_;
    std::condition_variable free_;
    bool held_ = false;
};

// A live event for a browser: a message, a notice, a message the browser sent, or the end of
// its session. The kept events are also what a reloaded page shows again (/api/recent).
struct Event {
    uint64_t seq = 0;
    std::string kind;  // "message", "notice", "sent", "ended"
    std::string json;  // the event's data
};

struct Session {
    std::string id;    // the cookie's value
    std::string csrf;  // carried by every state-changing request
    std::string user;
    std::string addr;  // browser address at sign-in
    int level = 0;
    std::vector<std::string> features;  // the server's extensions, from FEATURES at sign-in
    bool has(const char* feature) const {
        for (auto& f : features)
            if (f == feature) return true;
        return false;
    }

    // The protocol connection: one exchange at a time, under io. busy tells the watcher to
    // leave the socket to the exchange. Waits for io are bounded (try_lock_for), so a request
    // behind another of the same browser (an upload holds io until its last byte) fails soon.
    TimedLock io;
    bh::Client conn;             // guarded by io
    std::string stream_path;     // guarded by io: the file SEND opened, and where it stands
    uint64_t stream_pos = 0;
    bool stream_open = false;
    std::atomic<bool> busy{false};

    std::atomic<int64_t> last_used{0};  // monotonic seconds of the last request
    // Requests being served: JSON calls, downloads until their response ends, an upload (event
    // streams and live views have caps of their own). An expiry waits for them. At most
    // MAX_REQUESTS are admitted, so that one browser holds no more than its share of the
    // gateway's connections and threads.
    static constexpr int MAX_REQUESTS = 8;
    std::atomic<int> inflight{0};
    // Counts a request in; false (nothing counted) when MAX_REQUESTS are being served.
    bool admit() {
        if (inflight.fetch_add(1) >= MAX_REQUESTS) {
            inflight--;
            return false;
        }
        return true;
    }

    // Events, newest last, at most MAX_EVENTS kept; guarded by ev_lock.
    static constexpr size_t MAX_EVENTS = 64;
    std::mutex ev_lock;
    std::condition_variable ev_cv;
    std::deque<Event> events;
    uint64_t ev_seq = 0;
    std::string notice;     // the server's notice as last seen
    std::string end_reason; // non-empty once the session has ended
    int streams = 0;        // event streams open
    std::atomic<bool> ended{false};
};

using SessionPtr = std::shared_ptr<Session>;

// The signed-in browsers. A watcher thread reads the messages that arrive on idle protocol
// connections; a reaper signs out idle sessions.
class Sessions {
public:
    explicit Sessions(const Settings& s);
    ~Sessions();
    void start();
    void stop();

    enum class LoginResult { ok, refused, suspended, unavailable, full };
    // Connects to the server and logs in. The password is forgotten on return.
    LoginResult login(const std::string& user, const std::string& password, const std::string& addr,
                      SessionPtr& out);
    SessionPtr find(const std::string& id);
    // Ends a session: LOGOUT when reason is "signed out" or "expired", closes the connection,
    // tells its event streams.
    void end(const SessionPtr& s, const std::string& reason);
    size_t count();
    // Why a session that no longer exists ended ("replaced", "expired", ...), for a while after.
    std::string gone(const std::string& id);

    // How long a request waits for the exchange of another request of the same browser.
    static constexpr int BUSY_WAIT_MS = 2000;
    enum class Exchange { ok, busy, failed };
    // Runs f with the protocol connection held; events that arrived meanwhile are delivered
    // after. busy (f not run) when another exchange held the connection for wait_ms; failed
    // when the session has ended or the connection failed (then it ends).
    Exchange exchange(const SessionPtr& s, const std::function<bool(bh::Client&)>& f,
                      int wait_ms = BUSY_WAIT_MS);
    void push_event(const SessionPtr& s, const std::string& kind, const std::string& json);

    const Settings& settings() const { return settings_; }

private:
    // Connects to the server: its local socket when set and reachable, else TCP.
    bool connect(bh::Client& c);
    bool secure(bh::Client& c);
    void deliver(const SessionPtr& s, const bh::Frame& f);  // a "21" frame
    void watch();
    void reap();

    const Settings& settings_;
    std::mutex lock_;  // sessions_
    std::map<std::string, SessionPtr> sessions_;
    std::deque<std::pair<std::string, std::string>> gone_;  // id, reason; the latest 256
    std::atomic<bool> running_{false};
    std::atomic<bool> local_warned_{false};
    std::thread watcher_, reaper_;
};

// Receives the data frame that follows an "OK" reply, handing "21" frames that come before it
// to messages. sink gets the payload in pieces. False on a failure or an unexpected frame.
bool recv_data(bh::Client& c, const char* type, uint64_t& length,
               const std::function<bool(const char*, size_t)>& sink, int timeout_ms = 10000);

// One capture loop for every viewer: it runs while a viewer is registered, takes frames with
// CAMERA over a viewer's protocol session, at most camera_fps a second, and encodes each once.
class Camera {
public:
    explicit Camera(Sessions& sessions);
    ~Camera();
    struct Jpeg {
        uint64_t seq = 0;
        std::string bytes;
        int width = 0, height = 0;
    };
    using JpegPtr = std::shared_ptr<const Jpeg>;
    // Registers a viewer; the returned id unregisters it. 0 when max_total viewers are
    // registered, -1 when s has max_per_session of them.
    int join(const SessionPtr& s, int max_total, int max_per_session);
    void leave(int id);
    // Waits for a frame newer than after, up to timeout_ms; nullptr on time-out or when the
    // camera fails.
    JpegPtr next(uint64_t after, int timeout_ms);
    void stop();
    int viewers();

private:
    void run();
    // busy: the session was held by another request for longer than a frame's time.
    bool grab(const SessionPtr& s, std::string& jpeg, int& w, int& h, bool& busy);

    Sessions& sessions_;
    std::mutex lock_;
    std::condition_variable cv_;
    std::map<int, std::weak_ptr<Session>> viewers_;
    int next_id_ = 1;
    JpegPtr latest_;
    uint64_t failures_ = 0;  // consecutive failed grabs
    bool running_ = false, stopping_ = false;
    std::thread thread_;
};

// YUYV 4:2:2 to JPEG with libjpeg-turbo. False when the size is not usable.
bool yuyv_to_jpeg(const unsigned char* yuyv, size_t length, int width, int height, int quality,
                  std::string& out);

// An HTTP request as the HTTP layer hands it over.
struct Request {
    std::string method;
    std::string path;                                // decoded
    std::map<std::string, std::string> query;        // decoded
    std::map<std::string, std::string> headers;      // names in lower case
    std::string body;
    std::string peer;  // browser address
    bool tls = false;
    std::string header(const std::string& name) const {
        auto it = headers.find(name);
        return it == headers.end() ? "" : it->second;
    }
};

// A descriptor owned by one holder at a time, closed with it.
class OwnedFd {
public:
    OwnedFd() = default;
    explicit OwnedFd(int fd) : fd_(fd) {}
    ~OwnedFd() { reset(); }
    OwnedFd(OwnedFd&& o) noexcept : fd_(o.release()) {}
    OwnedFd& operator=(OwnedFd&& o) noexcept {
        if (this != &o) {
            reset();
            fd_ = o.release();
        }
        return *this;
    }
    int get() const { return fd_; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset();

private:
    int fd_ = -1;
};

// A response: a body in memory, a stream that a callback produces, or total bytes of an open
// file from file_offset on (sent by the HTTP layer, with sendfile where it can). The stream
// callback returns the bytes written into buf (at most max), 0 at the end, -1 on failure;
// total is the length when known (Content-Length), else -1.
struct Response {
    int status = 200;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    std::function<long(uint64_t pos, char* buf, size_t max)> stream;
    OwnedFd file;
    uint64_t file_offset = 0;
    int64_t total = -1;
    size_t block = 16384;        // the HTTP layer's buffer for a stream
    std::function<void()> done;  // called once when the response ends
    void header(const std::string& name, const std::string& value) {
        headers.emplace_back(name, value);
    }
};

// Parses "bytes=A-B", "bytes=A-", "bytes=-N" against size. 1: a range [first, last]; 0: no
// usable single range (serve the whole file); -1: unsatisfiable (416).
int parse_range(const std::string& header, uint64_t size, uint64_t& first, uint64_t& last);
// An HTTP date (the fixed form, "Sun, 06 Nov 1994 08:49:37 GMT") in seconds since the epoch,
// -1 when the text is not one; and the other way.
int64_t parse_http_date(const std::string& text);
std::string http_date(int64_t seconds);
// Whether the entity tags of an If-None-Match header name etag (weak comparison: "W/" is
// ignored; "*" names any).
bool etag_listed(const std::string& header, const std::string& etag);
// Whether an If-Range header still names the file (its strong ETag, or exactly its date).
bool if_range_holds(const std::string& header, const std::string& etag, int64_t mtime);
// The value of a cookie in a Cookie header, "" when absent.
std::string cookie_value(const std::string& header, const std::string& name);

// One entry of a folder listing.
struct Entry {
    std::string name;
    bool dir = false, closed = false, preview = false;
    uint64_t size = 0;
    long folders = 0, files = 0;
    int64_t mtime = INT64_MIN;  // seconds since the epoch; INT64_MIN when the server does not say
    bool writable = false;      // a folder: the user may write in it; a file: may change it
};
// Parses a listing reply: status "ok" with entries, or "closed", "error", "empty"; "bad" when
// the text is no listing.
std::string parse_listing(const std::string& text, std::vector<Entry>& entries);

// Where a folder's archive comes from. list: 1 with the folder's entries (complete: none left
// out; changed: the folder changed while it was listed), 0 when it cannot be listed (closed,
// gone), -1 when the session failed. fetch: the bytes of path from off into dst (at most
// want), 0 when it has none there (ended, refused), -1 when the session failed.
struct ZipSource {
    std::function<int(const std::string& folder, std::vector<Entry>& entries, bool& complete,
                      bool& changed)>
        list;
    std::function<long(const std::string& path, uint64_t off, char* dst, size_t want)> fetch;
};

// A folder of the board as a store-only ZIP archive produced while it is read (zip.cpp):
// read() fills buf with the next bytes, 0 at the end, -1 when the source failed (the
// connection is then cut: the browser sees a short archive, not a wrong one). Entries are
// named prefix/path-below-root. What cannot be put in (closed folders, files shorter than
// listed, listings cut or changed) is named in a README-incomplete.txt at the end. The
// central directory and the folders still to visit take at most index_max bytes; past that
// the archive ends early, with the note saying so.
class ZipStream {
public:
    ZipStream(ZipSource src, std::string root, std::string prefix, size_t index_max);
    long read(char* buf, size_t max);
    uint64_t entries() const { return entries_; }

private:
    struct Current {
        std::string name;
        uint16_t flags = 0, time = 0, date = 0;
        int64_t mtime = INT64_MIN;
        bool dir = false, zip64 = false;
        uint64_t offset = 0, size = 0;
        uint32_t crc = 0;
    };
    bool next_entry();  // false when no entry is left (or full_, failed_)
    void local_header(const std::string& name, int64_t mtime, bool dir, bool zip64);
    void close_entry();
    void finish();
    void note(const std::string& line);
    std::string archive_name(const std::string& board_path) const;

    ZipSource src_;
    std::string prefix_, root_path_;
    size_t index_max_, index_used_ = 0;
    std::vector<std::string> pending_, subfolders_;  // folders to visit, the last first
    std::string folder_;                             // the folder being read
    std::vector<Entry> listing_;
    size_t pos_ = 0;
    bool complete_ = true, changed_ = false;
    std::string file_path_;
    uint64_t file_size_ = 0;
    bool in_file_ = false, full_ = false, failed_ = false, finished_ = false;
    Current cur_;
    std::string out_;  // headers waiting to go out
    size_t out_used_ = 0;
    uint64_t offset_ = 0;  // bytes of the archive before out_
    std::string central_;
    uint64_t entries_ = 0;
    std::string note_;
    size_t notes_dropped_ = 0;
};

// An upload in progress: the session's connection is held from the go-ahead to the final
// reply (the protocol takes no other command meanwhile). Destroyed unfinished, it cancels.
class Upload {
public:
    Upload(Sessions& sessions, SessionPtr s, std::unique_lock<TimedLock> io, uint64_t size)
        : sessions_(sessions), s_(std::move(s)), io_(std::move(io)), size_(size) {}
    ~Upload();
    bool write(const char* data, size_t n);  // false: the board's server failed
    Response finish();
    void refused() { done_ = true; }  // the server said no before any content

private:
    Sessions& sessions_;
    SessionPtr s_;
    std::unique_lock<TimedLock> io_;
    uint64_t size_, sent_ = 0;
    bool done_ = false, failed_ = false;
};

class Gateway {
public:
    // Starts an upload from a request's headers (no body yet): a go-ahead from the server, or
    // a refusal to send at once.
    std::unique_ptr<Upload> begin_upload(const Request& r, Response& refusal);
    explicit Gateway(const Settings& s);
    ~Gateway();
    bool load_pages(std::string& err);  // reads the page's files from settings.www
    void start();
    // Before the HTTP layer stops: ends the event streams and live views, which would otherwise
    // hold their connections' threads until their next event.
    void closing();
    void stop();
    Response handle(const Request& r);
    Sessions& sessions() { return sessions_; }

private:
    Response page(const Request& r);
    Response api(const Request& r, const std::string& route);
    Response login(const Request& r);
    Response download(const Request& r, const SessionPtr& s, const std::string& path);
    // A download from the file's descriptor: validators, conditional requests, ranges.
    Response send_file(const Request& r, const SessionPtr& s, const std::string& name, OwnedFd file,
                       const struct stat& st);
    // The folder at path as a ZIP archive made while it is sent (see ZipStream).
    Response zip(const Request& r, const SessionPtr& s, const std::string& path);
    Response events(const Request& r, const SessionPtr& s);
    Response camera(const Request& r, const SessionPtr& s, bool live);

    const Settings& settings_;
    Sessions sessions_;
    std::atomic<bool> closing_{false};
    std::atomic<int> downloads_{0};  // downloads being served, at most MAX_DOWNLOADS
    std::atomic<int> zips_{0};       // of them archives, at most MAX_ZIPS
    LoginGuard guard_;
    Camera camera_;
    std::map<std::string, std::pair<std::string, std::string>> pages_;  // name: type, bytes
};

struct Watchdog;

// The HTTP server (libmicrohttpd) in front of a Gateway. False with err set on failure.
class HttpServer {
public:
    HttpServer(Gateway& g, const Settings& s);
    ~HttpServer();
    bool start(std::string& err);
    void stop();
    int port() const { return bound_port_; }

private:
    bool start_redirect(const sockaddr_storage& listen_addr, std::string& err);
    Gateway& gateway_;
    const Settings& settings_;
    void* daemon_ = nullptr;
    void* redirect_ = nullptr;  // plain HTTP on redirect_port, when set
    std::string cert_, key_;
    int bound_port_ = 0;
    std::unique_ptr<Watchdog> watchdog_;  // ends requests that take too long to arrive
    std::unique_ptr<Watchdog> redirect_watchdog_;
};

// Small helpers shared by the units.
std::string random_token(size_t bytes);
int64_t now_seconds();  // monotonic
std::string json_text(const std::string& s);  // a JSON string literal

}  // namespace web
