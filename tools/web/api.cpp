// Routing of the gateway's HTTP requests: the page's files, the JSON calls of the page,
// downloads (whole, or ranges mapped onto the protocol's pieces), the live event stream and the
// camera. Everything here works on Request and Response records; http.cpp moves them over
// libmicrohttpd.
#include <json-c/json.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "web.h"

namespace web {

namespace {

constexpr const char* COOKIE = "bh_session";
constexpr size_t PIECE = 65536;          // the largest piece the protocol sends
constexpr int PIECES_PER_EXCHANGE = 16;  // pieces asked for at once (pipelined)
constexpr int MAX_STREAMS_PER_SESSION = 4;
constexpr int MAX_VIEWERS = 32;
constexpr int MAX_VIEWERS_PER_SESSION = 4;
// Downloads at once in all: each holds a connection and, over TCP, a buffer of PIECE * 4.
constexpr int MAX_DOWNLOADS = 64;
// Folder archives at once in all (each counts as a download too, and in its browser's
// requests): each holds a buffer of ZIP_BLOCK and at most ZIP_INDEX_MAX of central directory
// and folders still to visit.
constexpr int MAX_ZIPS = 4;
constexpr size_t ZIP_BLOCK = PIECE * 4;
constexpr size_t ZIP_INDEX_MAX = 16u << 20;
// How long a download waits for another request of its browser between two of its blocks.
constexpr int STREAM_WAIT_MS = 15000;
// The longest password the board stores, in bytes (the server refuses a longer one as it
// refuses a wrong current password, so it is told apart here).
constexpr size_t PASSWORD_MAX = 31;
// Kept events a reloaded page shows again.
constexpr size_t RECENT_EVENTS = 50;
constexpr const char* CSP =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' blob: data:; "
    "media-src 'self'; connect-src 'self'; font-src 'self'; form-action 'self'; "
    "frame-ancestors 'none'; base-uri 'none'";

Response json_response(int status, const std::string& json) {
    Response r;
    r.status = status;
    r.body = json;
    r.header("Content-Type", "application/json; charset=utf-8");
    r.header("Cache-Control", "no-store");
    return r;
}

Response error(int status, const std::string& text) {
    return json_response(status, "{\"error\":" + json_text(text) + "}");
}

// A refusal that a later try may get past.
Response retry_later(int status, const std::string& text, int seconds) {
    Response r = error(status, text);
    r.header("Retry-After", std::to_string(seconds));
    return r;
}

Response too_many_requests() {
    return retry_later(429, "too many requests of this browser at once", 1);
}

// The answer when an exchange with the board's server did not happen.
Response not_exchanged(Sessions::Exchange e) {
    if (e == Sessions::Exchange::busy)
        return retry_later(503, "this browser's session is busy with another request", 2);
    return error(502, "the board's server does not answer");
}

// A JSON object held by its owner.
struct Json {
    json_object* o = nullptr;
    explicit Json(const std::string& text) {
        json_tokener* t = json_tokener_new_ex(16);
        if (!t) return;
        o = json_tokener_parse_ex(t, text.c_str(), static_cast<int>(text.size()));
        if (json_tokener_get_error(t) != json_tokener_success ||
            (o && !json_object_is_type(o, json_type_object))) {
            if (o) json_object_put(o);
            o = nullptr;
        }
        json_tokener_free(t);
    }
    ~Json() {
        if (o) json_object_put(o);
    }
    Json(const Json&) = delete;
    Json& operator=(const Json&) = delete;
    // A text member; false when missing or not a text.
    bool text(const char* key, std::string& out) const {
        json_object* m = nullptr;
        if (!o || !json_object_object_get_ex(o, key, &m) || !json_object_is_type(m, json_type_string))
            return false;
        out.assign(json_object_get_string(m), static_cast<size_t>(json_object_get_string_len(m)));
        return true;
    }
};

// A protocol command with text members and integer members.
std::string command(const char* cmd, std::initializer_list<std::pair<const char*, std::string>> texts,
                    std::initializer_list<std::pair<const char*, int64_t>> ints = {}) {
    json_object* o = json_object_new_object();
    json_object_object_add(o, "CMD", json_object_new_string(cmd));
    for (auto& [k, v] : texts)
        json_object_object_add(o, k, json_object_new_string_len(v.data(), static_cast<int>(v.size())));
    for (auto& [k, v] : ints) json_object_object_add(o, k, json_object_new_int64(v));
    std::string text = json_object_to_json_string(o);
    json_object_put(o);
    return text;
}

// Reads the reply to a command already sent: the next frame that is not a message.
bool read_reply(bh::Client& c, bh::Frame& reply) {
    for (;;) {
        if (!c.recv_frame(reply, 15000)) return false;
        if (reply.type != "21") return true;
        c.messages.push_back(reply);
    }
}

bool valid_path(const std::string& p) {
    if (p.empty() || p[0] != '/' || p.size() > 4000) return false;
    for (unsigned char ch : p)
        if (ch < 0x20 || ch == 0x7f) return false;
    size_t i = 0;
    while (i <= p.size()) {
        size_t e = p.find('/', i);
        if (e == std::string::npos) e = p.size();
        if (p.compare(i, e - i, "..") == 0 && e - i == 2) return false;
        i = e + 1;
    }
    return true;
}

std::string content_type(const std::string& name) {
    static const std::map<std::string, std::string> types = {
        {"txt", "text/plain; charset=utf-8"}, {"md", "text/plain; charset=utf-8"},
        {"log", "text/plain; charset=utf-8"}, {"csv", "text/csv; charset=utf-8"},
        {"pdf", "application/pdf"},           {"png", "image/png"},
        {"jpg", "image/jpeg"},                {"jpeg", "image/jpeg"},
        {"gif", "image/gif"},                 {"webp", "image/webp"},
        {"svg", "image/svg+xml"},             {"mp3", "audio/mpeg"},
        {"ogg", "audio/ogg"},                 {"oga", "audio/ogg"},
        {"wav", "audio/wav"},                 {"flac", "audio/flac"},
        {"m4a", "audio/mp4"},                 {"mp4", "video/mp4"},
        {"m4v", "video/mp4"},                 {"webm", "video/webm"},
        {"ogv", "video/ogg"},                 {"mkv", "video/x-matroska"},
        {"zip", "application/zip"},           {"gz", "application/gzip"},
        {"json", "application/json"},         {"html", "text/html; charset=utf-8"},
        {"htm", "text/html; charset=utf-8"},
    };
    size_t dot = name.rfind('.');
    if (dot == std::string::npos) return "application/octet-stream";
    std::string ext = name.substr(dot + 1);
    for (auto& ch : ext) ch = static_cast<char>(tolower(static_cast<unsigned char>(ch)));
    auto it = types.find(ext);
    return it == types.end() ? "application/octet-stream" : it->second;
}

// Types a browser may show in place without running anything of the file's own.
bool safe_inline(const std::string& type) {
    return type.rfind("image/", 0) == 0 ? type != "image/svg+xml"
                                        : type.rfind("audio/", 0) == 0 ||
                                              type.rfind("video/", 0) == 0 ||
                                              type.rfind("text/plain", 0) == 0 ||
                                              type == "application/pdf";
}

std::string disposition(const std::string& kind, const std::string& name) {
    std::string ascii, encoded;
    for (unsigned char ch : name) {
        ascii += (ch < 0x20 || ch >= 0x7f || ch == '"' || ch == '\\') ? '_' : static_cast<char>(ch);
        if (isalnum(ch) || strchr("-._~", ch)) {
            encoded += static_cast<char>(ch);
        } else {
            char b[4];
            snprintf(b, sizeof(b), "%%%02X", ch);
            encoded += b;
        }
    }
    return kind + "; filename=\"" + ascii + "\"; filename*=UTF-8''" + encoded;
}

// A folder's listing as the gateway uses it.
struct Listing {
    std::vector<Entry> entries;
    bool complete = true;    // false: the server may have left entries out
    bool changed = false;    // the folder changed while it was listed
    bool dated = false;      // entries carry their times and rights (the server lists ENTRIES)
    bool writable = false;   // a write in the folder can work
};

std::string entries_json(const Listing& l) {
    std::string out = "[";
    for (size_t i = 0; i < l.entries.size(); i++) {
        const Entry& e = l.entries[i];
        if (i) out += ",";
        out += "{\"name\":" + json_text(e.name) + ",\"dir\":" + (e.dir ? "true" : "false");
        if (e.dir) {
            out += std::string(",\"closed\":") + (e.closed ? "true" : "false") +
                   ",\"folders\":" + std::to_string(e.folders) +
                   ",\"files\":" + std::to_string(e.files);
        } else {
            out += ",\"size\":" + std::to_string(e.size);
        }
        out += std::string(",\"preview\":") + (e.preview ? "true" : "false");
        out += ",\"mtime\":" + (e.mtime == INT64_MIN ? std::string("null") : std::to_string(e.mtime));
        // Without ENTRIES a file is as writable as its folder; a folder's own right is unknown.
        out += std::string(",\"writable\":") +
               (l.dated || !e.dir ? (e.writable ? "true" : "false") : "null");
        out += "}";
    }
    return out + "]";
}

// Reads a listing of folder (dot-names too when all) over the session, with ENTRIES when the
// server lists it (any size, with times and rights), else LIST. Status "ok", "empty",
// "closed", "error" (no such folder, or a refused path); "busy" when another request held the
// session for wait_ms, empty when the session failed. With want_write, also whether a write in
// the folder can work: the listing's own WRITE when the server lists ENTRIES, else its ACCESS
// when it offers it, else whether it takes writes at all.
// Folders read at once by the whole gateway: each may hold max_listing entries in memory
// three times over (as received, as kept, as sent), so this bounds what listings cost.
class ListingGate {
public:
    static constexpr int AT_ONCE = 2;
    bool enter(int wait_ms) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!free_.wait_for(lock, std::chrono::milliseconds(wait_ms),
                            [this] { return inside_ < AT_ONCE; }))
            return false;
        inside_++;
        return true;
    }
    void leave() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            inside_--;
        }
        free_.notify_one();
    }

private:
    std::mutex mutex_;
    std::condition_variable free_;
    int inside_ = 0;
};
ListingGate listing_gate;

std::string list_folder(Sessions& sessions, const SessionPtr& s, const std::string& folder, bool all,
                        Listing& out, bool want_write, int wait_ms = Sessions::BUSY_WAIT_MS) {
    out = Listing();
    out.writable = s->has("write");
    // The gate is taken once the browser's own session is: a request waiting for its busy
    // session holds no place that other browsers' listings need.
    struct Leave {
        bool inside = false;
        ~Leave() {
            if (inside) listing_gate.leave();
        }
    } gate;
    std::vector<bh::Entry> got;
    bh::ListInfo info;
    bh::Outcome o;
    size_t most = static_cast<size_t>(sessions.settings().max_listing);
    auto done = sessions.exchange(s, [&](bh::Client& c) {
        gate.inside = listing_gate.enter(wait_ms);
        if (!gate.inside) return true;
        o = bh::list_entries(c, folder, all, got, info, &s->features, most);
        if (!o.done) return false;
        if (!o.ok() || info.write_known || !want_write || !out.writable || !s->has("access"))
            return true;
        bh::Frame reply;
        if (!c.command(command("ACCESS", {{"PATH", folder}}), reply, 15000) || reply.type != "11")
            return false;
        Json j(reply.payload);
        json_object* w = nullptr;
        out.writable = j.o && json_object_object_get_ex(j.o, "WRITE", &w) &&
                       json_object_is_type(w, json_type_boolean) && json_object_get_boolean(w);
        return true;
    }, wait_ms);
    if (done == Sessions::Exchange::busy || (done == Sessions::Exchange::ok && !gate.inside))
        return "busy";
    if (done != Sessions::Exchange::ok) return "";
    if (!o.ok()) return o.reason == "DENIED" ? "closed" : "error";
    out.complete = info.complete;
    out.changed = info.changed;
    out.dated = info.used_entries;
    if (info.write_known) out.writable = out.writable && info.write;
    out.entries.reserve(got.size());
    for (bh::Entry& b : got) {
        Entry e;
        e.name = std::move(b.name);
        e.dir = b.folder;
        e.closed = b.closed;
        e.preview = b.preview;
        e.size = b.size;
        e.folders = static_cast<long>(std::min<uint64_t>(b.folders, 0x7fffffff));
        e.files = static_cast<long>(std::min<uint64_t>(b.files, 0x7fffffff));
        e.mtime = b.mtime;
        // Without ENTRIES a file is as writable as its folder.
        e.writable = info.used_entries ? b.writable : !e.dir && out.writable;
        out.entries.push_back(std::move(e));
    }
    got.clear();
    got.shrink_to_fit();
    std::stable_sort(out.entries.begin(), out.entries.end(), [](const Entry& x, const Entry& y) {
        if (x.dir != y.dir) return x.dir;
        return x.name < y.name;
    });
    return out.entries.empty() ? "empty" : "ok";
}

// Reads the data frame of one piece into dst (room bytes at most), handing messages that come
// before it to c.messages. False on a failure or an unexpected frame.
bool recv_piece(bh::Client& c, char* dst, size_t room, uint64_t& length) {
    for (;;) {
        std::string type;
        if (!c.recv_header(type, length, 15000)) return false;
        if (type == "21") {
            // Messages are short; a long one is no message.
            if (length > 65536) return false;
            bh::Frame f{type, std::string(static_cast<size_t>(length), '\0')};
            if (!c.recv_payload(f.payload.data(), f.payload.size(), 15000)) return false;
            c.messages.push_back(std::move(f));
            continue;
        }
        return type == "89" && length <= room &&
               c.recv_payload(dst, static_cast<size_t>(length), 15000);
    }
}

// Reads up to want bytes of path from offset off straight into dst, over the session's one
// SEND stream: a stream already at off goes on with NEXT; otherwise SEND opens the file again
// (at off when the server takes an offset, else the pieces before off are skipped). Returns
// the bytes read; 0 when the file has none there or the server refused; -1 when the session
// failed.
long fetch_into(Sessions& sessions, const SessionPtr& s, const std::string& path, uint64_t off,
                char* dst, size_t want) {
    s->last_used = now_seconds();
    long got = 0;
    auto done = sessions.exchange(s, [&](bh::Client& c) {
        bh::Frame reply;
        uint64_t length = 0;
        auto discard = [](const char*, size_t) { return true; };
        if (!s->stream_open || s->stream_path != path || s->stream_pos > off ||
            (s->stream_pos < off && s->has("offset"))) {
            bool at = s->has("offset");
            s->stream_open = false;
            std::string send = at ? command("SEND", {{"FILE", path}},
                                            {{"SIZE", 0}, {"OFFSET", static_cast<int64_t>(off)}})
                                  : command("SEND", {{"FILE", path}}, {{"SIZE", 0}});
            if (!c.command(send, reply, 15000) || reply.type != "11") return false;
            if (bh::json_member(reply.payload, "RESULT") != "OK") return true;  // nothing got
            if (!recv_data(c, "89", length, discard)) return false;
            s->stream_open = true;
            s->stream_path = path;
            s->stream_pos = at ? off : 0;
        }
        while (s->stream_pos < off) {
            uint64_t n = std::min<uint64_t>(PIECE, off - s->stream_pos);
            if (!c.command(command("NEXT", {}, {{"SIZE", static_cast<int64_t>(n)}}), reply, 15000) ||
                reply.type != "11" || bh::json_member(reply.payload, "RESULT") != "OK" ||
                !recv_data(c, "89", length, discard))
                return false;
            if (length == 0) return true;  // the file ends before off
            s->stream_pos += length;
        }
        // Several pieces asked for at once: the server answers them in order.
        int k = static_cast<int>(std::min<size_t>((want + PIECE - 1) / PIECE, PIECES_PER_EXCHANGE));
        std::string batch;
        size_t asked = 0;
        for (int i = 0; i < k; i++) {
            size_t n = std::min(PIECE, want - asked);
            std::string cmd = command("NEXT", {}, {{"SIZE", static_cast<int64_t>(n)}});
            char header[13];
            snprintf(header, sizeof(header), "11%10zu", cmd.size());
            batch.append(header, 12);
            batch += cmd;
            asked += n;
        }
        if (!c.send_raw(batch.data(), batch.size())) return false;
        bool all = true;
        for (int i = 0; i < k; i++) {
            if (!read_reply(c, reply) || reply.type != "11") return false;
            if (bh::json_member(reply.payload, "RESULT") != "OK") {
                all = false;  // read the other replies; the stream is unusable
                continue;
            }
            if (!recv_piece(c, dst + got, want - static_cast<size_t>(got), length)) return false;
            got += static_cast<long>(length);
            s->stream_pos += length;
        }
        if (!all) s->stream_open = false;
        return true;
    }, STREAM_WAIT_MS);
    return done == Sessions::Exchange::ok ? got : -1;
}

// The headers of every download, and the range asked for when ranges may be served: false
// with out made a 416 when the range cannot be satisfied.
bool file_response(const Request& r, const std::string& name, uint64_t size, bool ranges,
                   Response& out, uint64_t& first, uint64_t& total) {
    uint64_t last = size ? size - 1 : 0;
    first = 0;
    std::string type = content_type(name);
    out.header("Content-Type", type);
    bool in_place = r.query.count("inline") && safe_inline(type);
    out.header("Content-Disposition", disposition(in_place ? "inline" : "attachment", name));
    out.header("Accept-Ranges", "bytes");
    out.header("Cache-Control", "private, no-cache");
    int range = ranges ? parse_range(r.header("range"), size, first, last) : 0;
    if (range < 0) {
        out = error(416, "range not satisfiable");
        out.header("Content-Range", "bytes */" + std::to_string(size));
        return false;
    }
    if (range > 0) {
        out.status = 206;
        out.header("Content-Range", "bytes " + std::to_string(first) + "-" + std::to_string(last) +
                                        "/" + std::to_string(size));
    }
    total = size == 0 ? 0 : last - first + 1;
    out.total = static_cast<int64_t>(total);
    return true;
}

// The answer to a write: OK, or FAIL with the server's REASON told in words.
Response write_result(const std::string& reply) {
    if (bh::json_member(reply, "RESULT") == "OK") return json_response(200, "{\"ok\":true}");
    static const std::map<std::string, std::pair<int, const char*>> reasons = {
        {"DENIED", {403, "you may not change this folder"}},
        {"NAME", {400, "this name cannot be used"}},
        {"EXISTS", {409, "the name exists already"}},
        {"NOTFOUND", {404, "it is not there (any more)"}},
        {"LINK", {403, "a link is in the way"}},
        {"TOOBIG", {413, "the file is larger than the board takes"}},
        {"NOSPACE", {507, "the board has no room for it"}},
        {"NOTEMPTY", {409, "the folder is not empty"}},
        {"CANCELLED", {400, "the upload was cancelled"}},
        {"BUSY", {409, "another upload of yours is still running"}},
        {"SLOW", {408, "the upload came too slowly and was stopped"}},
        {"PERM", {403, "the board's own file permissions do not let it write in this folder"}},
        {"ERROR", {500, "the board could not do it"}},
    };
    std::string reason = bh::json_member(reply, "REASON");
    auto it = reasons.find(reason);
    if (it == reasons.end()) return error(400, "the board refused");
    Response out = error(it->second.first, it->second.second);
    out.body = "{\"error\":" + json_text(it->second.second) + ",\"reason\":" + json_text(reason) + "}";
    return out;
}

}  // namespace

Upload::~Upload() {
    if (!done_ && !failed_ && io_.owns_lock() && !s_->ended) {
        // Cut short: an empty "10" frame cancels, and the server answers FAIL CANCELLED.
        bh::Client& c = s_->conn;
        bh::Frame reply;
        if (!c.send_frame("10", "") || !read_reply(c, reply)) {
            c.close();
            failed_ = true;
        }
    }
    std::deque<bh::Frame> arrived;
    if (io_.owns_lock()) {
        arrived.swap(s_->conn.messages);
        if (s_->ended) s_->conn.close();  // signed out meanwhile: the end left it to us
        s_->busy = false;
        io_.unlock();
    }
    s_->inflight--;
    if (failed_) sessions_.end(s_, "closed");
}

bool Upload::write(const char* data, size_t n) {
    if (failed_ || s_->ended) return false;
    s_->last_used = now_seconds();
    while (n > 0) {
        size_t k = std::min<size_t>(n, 65535);
        if (sent_ + k > size_ || !s_->conn.send_frame("87", std::string(data, k))) {
            failed_ = true;
            s_->conn.close();
            return false;
        }
        sent_ += k;
        data += k;
        n -= k;
    }
    return true;
}

Response Upload::finish() {
    if (failed_ || sent_ != size_) return error(400, "the upload was cut short");
    bh::Frame reply;
    // The server flushes the file to disk before it answers.
    bool ok = false;
    for (;;) {
        if (!s_->conn.recv_frame(reply, 120000)) break;
        if (reply.type == "21") {
            s_->conn.messages.push_back(reply);
            continue;
        }
        ok = reply.type == "11";
        break;
    }
    done_ = true;
    if (!ok) {
        failed_ = true;
        s_->conn.close();
        return error(502, "the board's server does not answer");
    }
    return write_result(reply.payload);
}

std::unique_ptr<Upload> Gateway::begin_upload(const Request& r, Response& refusal) {
    SessionPtr s = sessions_.find(cookie_value(r.header("cookie"), COOKIE));
    auto refuse = [&](Response x) {
        refusal = std::move(x);
        return nullptr;
    };
    if (!s) return refuse(error(401, "signed out"));
    if (r.header("x-csrf-token") != s->csrf) return refuse(error(403, "missing or wrong CSRF token"));
    if (!s->has("write")) return refuse(error(501, "this server does not take changes"));
    auto it = r.query.find("path");
    if (it == r.query.end() || !valid_path(it->second) || it->second.back() == '/')
        return refuse(error(400, "bad path"));
    std::string length = r.header("content-length");
    if (length.empty() || length.size() > 15 || length.find_first_not_of("0123456789") != std::string::npos)
        return refuse(error(411, "the size must be given"));
    uint64_t size = std::stoull(length);
    bool replace = r.query.count("replace") && r.query.at("replace") == "1";
    if (!s->admit()) return refuse(too_many_requests());
    s->last_used = now_seconds();
    // Another upload of the same browser holds the connection until its last byte.
    std::unique_lock<TimedLock> io(s->io, std::defer_lock);
    if (!io.try_lock_for(std::chrono::milliseconds(Sessions::BUSY_WAIT_MS))) {
        s->inflight--;
        return refuse(not_exchanged(Sessions::Exchange::busy));
    }
    s->busy = true;
    auto up = std::make_unique<Upload>(sessions_, s, std::move(io), size);
    json_object* o = json_object_new_object();
    json_object_object_add(o, "CMD", json_object_new_string("PUT"));
    json_object_object_add(o, "FILE", json_object_new_string(it->second.c_str()));
    json_object_object_add(o, "SIZE", json_object_new_int64(static_cast<int64_t>(size)));
    if (replace) json_object_object_add(o, "REPLACE", json_object_new_boolean(1));
    std::string cmd = json_object_to_json_string(o);
    json_object_put(o);
    bh::Frame reply;
    if (s->ended || !s->conn.connected() || !s->conn.command(cmd, reply) || reply.type != "11") {
        s->conn.close();
        up.reset();
        return refuse(error(502, "the board's server does not answer"));
    }
    if (bh::json_member(reply.payload, "RESULT") != "OK") {
        up->refused();
        refusal = write_result(reply.payload);
        return nullptr;
    }
    return up;  // with SIZE 0 the final reply is already on its way
}

int parse_range(const std::string& header, uint64_t size, uint64_t& first, uint64_t& last) {
    const std::string unit = "bytes=";
    if (header.compare(0, unit.size(), unit) != 0) return 0;
    std::string ranges = header.substr(unit.size());
    if (ranges.find(',') != std::string::npos) return 0;  // several ranges: the whole file
    size_t dash = ranges.find('-');
    if (dash == std::string::npos) return 0;
    auto number = [](const std::string& t, uint64_t& v) {
        if (t.empty() || t.size() > 19) return false;
        v = 0;
        for (char ch : t) {
            if (ch < '0' || ch > '9') return false;
            v = v * 10 + static_cast<uint64_t>(ch - '0');
        }
        return true;
    };
    std::string a = ranges.substr(0, dash), b = ranges.substr(dash + 1);
    uint64_t x = 0, y = 0;
    if (a.empty()) {  // the last y bytes
        if (!number(b, y)) return 0;
        if (y == 0 || size == 0) return -1;
        first = y >= size ? 0 : size - y;
        last = size - 1;
        return 1;
    }
    if (!number(a, x)) return 0;
    if (!b.empty() && (!number(b, y) || y < x)) return 0;
    if (x >= size) return -1;
    first = x;
    last = b.empty() || y >= size ? size - 1 : y;
    return 1;
}

std::string cookie_value(const std::string& header, const std::string& name) {
    size_t i = 0;
    while (i < header.size()) {
        size_t e = header.find(';', i);
        if (e == std::string::npos) e = header.size();
        std::string item = header.substr(i, e - i);
        size_t b = item.find_first_not_of(' ');
        if (b != std::string::npos) item = item.substr(b);
        size_t eq = item.find('=');
        if (eq != std::string::npos && item.compare(0, eq, name) == 0 && eq == name.size())
            return item.substr(eq + 1);
        i = e + 1;
    }
    return "";
}

void OwnedFd::reset() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
}

namespace {
const char* const DAYS[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const MONTHS[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
}  // namespace

std::string http_date(int64_t seconds) {
    time_t t = static_cast<time_t>(seconds);
    struct tm g;
    if (!gmtime_r(&t, &g)) return "";
    char out[40];
    snprintf(out, sizeof(out), "%s, %02d %s %04d %02d:%02d:%02d GMT", DAYS[g.tm_wday % 7], g.tm_mday,
             MONTHS[g.tm_mon % 12], g.tm_year + 1900, g.tm_hour, g.tm_min, g.tm_sec);
    return out;
}

int64_t parse_http_date(const std::string& t) {
    // "Sun, 06 Nov 1994 08:49:37 GMT"
    if (t.size() != 29 || t.compare(3, 2, ", ") != 0 || t[7] != ' ' || t[11] != ' ' ||
        t[16] != ' ' || t[19] != ':' || t[22] != ':' || t.compare(25, 4, " GMT") != 0)
        return -1;
    auto num = [&](size_t at, size_t n, int& v) {
        v = 0;
        for (size_t i = at; i < at + n; i++) {
            if (t[i] < '0' || t[i] > '9') return false;
            v = v * 10 + (t[i] - '0');
        }
        return true;
    };
    struct tm g = {};
    int mon = -1;
    for (int i = 0; i < 12; i++)
        if (t.compare(8, 3, MONTHS[i]) == 0) mon = i;
    bool day = false;
    for (const char* d : DAYS) day |= t.compare(0, 3, d) == 0;
    int year = 0;
    if (!day || mon < 0 || !num(5, 2, g.tm_mday) || !num(12, 4, year) || !num(17, 2, g.tm_hour) ||
        !num(20, 2, g.tm_min) || !num(23, 2, g.tm_sec) || g.tm_mday < 1 || g.tm_mday > 31 ||
        g.tm_hour > 23 || g.tm_min > 59 || g.tm_sec > 60 || year < 1970)
        return -1;
    g.tm_mon = mon;
    g.tm_year = year - 1900;
    return static_cast<int64_t>(timegm(&g));
}

bool etag_listed(const std::string& header, const std::string& etag) {
    size_t i = header.find_first_not_of(" \t");
    if (i != std::string::npos && header.compare(i, 1, "*") == 0 &&
        header.find_first_not_of(" \t", i + 1) == std::string::npos)
        return true;
    while (i != std::string::npos && i < header.size()) {
        if (header.compare(i, 2, "W/") == 0) i += 2;
        if (i >= header.size() || header[i] != '"') return false;
        size_t e = header.find('"', i + 1);
        if (e == std::string::npos) return false;
        if (header.compare(i, e + 1 - i, etag) == 0) return true;
        i = header.find_first_not_of(" \t,", e + 1);
    }
    return false;
}

bool if_range_holds(const std::string& header, const std::string& etag, int64_t mtime) {
    if (!header.empty() && (header[0] == '"' || header.compare(0, 2, "W/") == 0))
        return header == etag;  // a weak tag never matches here
    int64_t t = parse_http_date(header);
    return t >= 0 && t == mtime;
}

std::string parse_listing(const std::string& text, std::vector<Entry>& entries) {
    entries.clear();
    if (text == "CLOSED\n") return "closed";
    if (text == "ERROR\n") return "error";
    if (text == "NONE\n") return "empty";
    size_t i = 0;
    while (i < text.size()) {
        size_t e = text.find('\n', i);
        if (e == std::string::npos) return "bad";
        std::string line = text.substr(i, e - i);
        i = e + 1;
        // KIND,A,B,name: the name is everything after the third comma.
        size_t c1 = line.find(','), c2 = c1 == std::string::npos ? c1 : line.find(',', c1 + 1);
        size_t c3 = c2 == std::string::npos ? c2 : line.find(',', c2 + 1);
        if (c1 != 2 || c3 == std::string::npos || c3 + 1 >= line.size()) return "bad";
        Entry en;
        char kind = line[0], mark = line[1];
        if ((kind != 'D' && kind != 'F') || (mark != 'N' && mark != 'P' && mark != 'C'))
            return "bad";
        en.dir = kind == 'D';
        en.closed = mark == 'C';
        en.preview = mark == 'P';
        std::string a = line.substr(c1 + 1, c2 - c1 - 1), b = line.substr(c2 + 1, c3 - c2 - 1);
        if (a.empty() || b.empty() || a.size() > 19 || b.size() > 19) return "bad";
        for (char ch : a + b)
            if (ch < '0' || ch > '9') return "bad";
        en.name = line.substr(c3 + 1);
        if (en.dir) {
            en.folders = static_cast<long>(std::stoull(a) & 0x7fffffff);
            en.files = static_cast<long>(std::stoull(b) & 0x7fffffff);
        } else {
            en.size = std::stoull(b);
        }
        entries.push_back(std::move(en));
    }
    std::stable_sort(entries.begin(), entries.end(), [](const Entry& x, const Entry& y) {
        if (x.dir != y.dir) return x.dir;
        return x.name < y.name;
    });
    return "ok";
}

Gateway::Gateway(const Settings& s) : settings_(s), sessions_(s), camera_(sessions_) {}

Gateway::~Gateway() { stop(); }

void Gateway::start() { sessions_.start(); }

void Gateway::closing() {
    closing_ = true;
    guard_.close();  // sign-ins waiting for their turn or their delay end now
    camera_.stop();
}

void Gateway::stop() {
    camera_.stop();
    sessions_.stop();
}

bool Gateway::load_pages(std::string& err) {
    static const std::pair<const char*, const char*> files[] = {
        {"index.html", "text/html; charset=utf-8"},
        {"app.js", "text/javascript; charset=utf-8"},
        {"style.css", "text/css; charset=utf-8"},
        {"icon.svg", "image/svg+xml"},
    };
    for (auto& [name, type] : files) {
        std::ifstream in(settings_.www + "/" + name, std::ios::binary);
        if (!in) {
            err = "cannot read " + settings_.www + "/" + name;
            return false;
        }
        std::ostringstream b;
        b << in.rdbuf();
        pages_[name] = {type, b.str()};
    }
    return true;
}

Response Gateway::handle(const Request& r) {
    Response out;
    if (r.path.rfind("/api/", 0) == 0) {
        out = api(r, r.path.substr(5));
    } else if (r.path.rfind("/files/", 0) == 0 || r.path.rfind("/camera/", 0) == 0) {
        SessionPtr s = sessions_.find(cookie_value(r.header("cookie"), COOKIE));
        if (r.method != "GET" && r.method != "HEAD") {
            out = error(405, "method not allowed");
        } else if (!s) {
            out = error(401, "signed out");
        } else if (r.path.rfind("/files/", 0) == 0) {
            // Counted while it is looked up; a response that sends the file counts itself.
            if (s->admit()) {
                out = download(r, s, r.path.substr(6));
                s->inflight--;
            } else {
                out = too_many_requests();
            }
        } else if (r.path == "/camera/snapshot.jpg") {
            out = camera(r, s, false);
        } else if (r.path == "/camera/live") {
            out = camera(r, s, true);
        } else {
            out = error(404, "not found");
        }
    } else {
        out = page(r);
    }
    out.header("Content-Security-Policy", CSP);
    out.header("X-Content-Type-Options", "nosniff");
    out.header("Referrer-Policy", "no-referrer");
    out.header("X-Frame-Options", "DENY");
    return out;
}

Response Gateway::page(const Request& r) {
    if (r.method != "GET" && r.method != "HEAD") return error(405, "method not allowed");
    // A request target that is not an absolute path ("*", an empty one) names no page.
    if (r.path.empty() || r.path[0] != '/') return error(404, "not found");
    std::string name = r.path == "/" ? "index.html" : r.path.substr(1);
    auto it = pages_.find(name);
    if (it == pages_.end()) return error(404, "not found");
    Response out;
    out.body = it->second.second;
    out.header("Content-Type", it->second.first);
    out.header("Cache-Control", "no-cache");
    return out;
}

Response Gateway::login(const Request& r) {
    Json body(r.body);
    std::string user, password;
    if (!body.text("user", user) || !body.text("password", password) || user.empty() ||
        user.size() > 63 || password.size() > 255)
        return error(400, "user and password are needed");
    // One check at a time per browser address, its delay included (see LoginGuard::enter).
    if (!guard_.enter(r.peer)) return error(503, "the gateway is stopping");
    struct Turn {
        LoginGuard& guard;
        const std::string& addr;
        ~Turn() { guard.leave(addr); }
    } turn{guard_, r.peer};
    SessionPtr s;
    auto result = sessions_.login(user, password, r.peer, s);
    password.assign(password.size(), '\0');
    switch (result) {
        case Sessions::LoginResult::ok:
            break;
        case Sessions::LoginResult::unavailable:
            return error(502, "the board's server does not answer");
        case Sessions::LoginResult::full:
            return error(503, "too many people are signed in; try again later");
        case Sessions::LoginResult::refused:
        case Sessions::LoginResult::suspended: {
            // The same delay as the server's own guard, per browser address: the server sees
            // every gateway session as coming from the board itself.
            int delay = guard_.failed(r.peer);
            guard_.pause(delay);
            return error(401, result == Sessions::LoginResult::suspended
                                  ? "this account is suspended"
                                  : "wrong user name or password");
        }
    }
    guard_.succeeded(r.peer);
    log_line("INFO", "WEB", s->user + " signed in (" + r.peer + ")");
    Response out = api(r, "session-of:" + s->id);
    std::string cookie = std::string(COOKIE) + "=" + s->id + "; Path=/; HttpOnly; SameSite=Strict";
    if (r.tls) cookie += "; Secure";
    out.header("Set-Cookie", cookie);
    return out;
}

Response Gateway::api(const Request& r, const std::string& route) {
    const bool post = r.method == "POST";
    if (post && r.header("content-type").rfind("application/json", 0) != 0)
        return error(415, "JSON requests only");
    if (route == "login") return post ? login(r) : error(405, "method not allowed");

    SessionPtr s;
    if (route.rfind("session-of:", 0) == 0) {
        s = sessions_.find(route.substr(11));
    } else {
        std::string id = cookie_value(r.header("cookie"), COOKIE);
        s = sessions_.find(id);
        if (!s) {
            std::string why = sessions_.gone(id);
            return json_response(401, "{\"error\":\"signed out\",\"reason\":" +
                                          json_text(why.empty() ? "none" : why) + "}");
        }
        if (post && (r.header("x-csrf-token") != s->csrf || s->csrf.empty()))
            return error(403, "missing or wrong CSRF token");
    }
    if (!s) return error(401, "signed out");
    if (!s->admit()) return too_many_requests();
    struct Inflight {
        Session& s;
        ~Inflight() { s.inflight--; }
    } inflight{*s};
    if (route != "events") s->last_used = now_seconds();

    if (route == "session" || route.rfind("session-of:", 0) == 0) {
        if (post && route == "session") return error(405, "method not allowed");
        std::string notice, features = "[";
        {
            std::lock_guard<std::mutex> g(s->ev_lock);
            notice = s->notice;
        }
        for (size_t i = 0; i < s->features.size(); i++)
            features += (i ? "," : "") + json_text(s->features[i]);
        features += "]";
        return json_response(200, "{\"user\":" + json_text(s->user) +
                                      ",\"level\":" + std::to_string(s->level) +
                                      ",\"csrf\":" + json_text(s->csrf) +
                                      ",\"notice\":" + json_text(notice) +
                                      ",\"title\":" + json_text(settings_.name) +
                                      ",\"features\":" + features + "}");
    }
    if (route == "logout") {
        if (!post) return error(405, "method not allowed");
        sessions_.end(s, "signed out");
        Response out = json_response(200, "{\"ok\":true}");
        out.header("Set-Cookie", std::string(COOKIE) + "=; Path=/; HttpOnly; SameSite=Strict; Max-Age=0");
        return out;
    }
    if (route == "list") {
        auto it = r.query.find("path");
        std::string path = it == r.query.end() || it->second.empty() ? "/" : it->second;
        if (!valid_path(path)) return error(400, "bad path");
        if (path.size() > 1 && path.back() == '/') path.pop_back();
        bool all = r.query.count("all") && r.query.at("all") == "1";
        Listing l;
        std::string status = list_folder(sessions_, s, path, all, l, true);
        if (status.empty()) return not_exchanged(Sessions::Exchange::failed);
        if (status == "busy") return not_exchanged(Sessions::Exchange::busy);
        if (status == "closed") return error(403, "this folder is closed to you");
        if (status == "error") return error(404, "no such folder");
        // "incomplete" is the older name of !complete, kept for pages that read it.
        return json_response(200, "{\"path\":" + json_text(path) +
                                      ",\"writable\":" + (l.writable ? "true" : "false") +
                                      ",\"complete\":" + (l.complete ? "true" : "false") +
                                      ",\"changed\":" + (l.changed ? "true" : "false") +
                                      ",\"incomplete\":" + (l.complete ? "false" : "true") +
                                      ",\"entries\":" + entries_json(l) + "}");
    }
    if (route == "zip") {
        if (post) return error(405, "method not allowed");
        auto it = r.query.find("path");
        std::string path = it == r.query.end() || it->second.empty() ? "/" : it->second;
        if (!valid_path(path)) return error(400, "bad path");
        if (path.size() > 1 && path.back() == '/') path.pop_back();
        return zip(r, s, path);
    }
    if (route == "who") {
        std::string users;
        auto done = sessions_.exchange(s, [&](bh::Client& c) {
            bh::Frame reply;
            if (!c.command("{\"CMD\": \"WHO\"}", reply) || reply.type != "11") return false;
            Json j(reply.payload);
            json_object* list = nullptr;
            users = "[";
            if (j.o && json_object_object_get_ex(j.o, "USERS", &list) &&
                json_object_is_type(list, json_type_array)) {
                size_t n = json_object_array_length(list);
                for (size_t i = 0; i < n; i++) {
                    json_object* u = json_object_array_get_idx(list, i);
                    if (i) users += ",";
                    users += json_text(u && json_object_is_type(u, json_type_string)
                                           ? json_object_get_string(u)
                                           : "");
                }
            }
            users += "]";
            return true;
        });
        if (done != Sessions::Exchange::ok) return not_exchanged(done);
        return json_response(200, "{\"users\":" + users + "}");
    }
    if (route == "events") {
        if (post) return error(405, "method not allowed");
        return events(r, s);
    }
    if (route == "recent") {
        // The latest messages and notices of this session, for a page loaded again; "seq" is
        // where its event stream goes on (/api/events?after=seq).
        if (post) return error(405, "method not allowed");
        std::vector<std::string> items;
        uint64_t seq = 0;
        {
            std::lock_guard<std::mutex> g(s->ev_lock);
            seq = s->ev_seq;
            for (auto it = s->events.rbegin(); it != s->events.rend() && items.size() < RECENT_EVENTS;
                 ++it)
                if (it->kind == "message" || it->kind == "notice" || it->kind == "sent")
                    items.push_back("{\"kind\":" + json_text(it->kind) + ",\"data\":" + it->json + "}");
        }
        std::string out = "{\"seq\":" + std::to_string(seq) + ",\"items\":[";
        for (size_t i = items.size(); i-- > 0;) out += items[i] + (i ? "," : "");
        return json_response(200, out + "]}");
    }
    if (route == "camera") {
        if (post) return error(405, "method not allowed");
        std::string reply_text;
        auto done = sessions_.exchange(s, [&](bh::Client& c) {
            bh::Frame reply;
            if (!c.command("{\"CMD\": \"CAMINFO\"}", reply) || reply.type != "11") return false;
            reply_text = reply.payload;
            return true;
        });
        if (done != Sessions::Exchange::ok) return not_exchanged(done);
        if (bh::json_member(reply_text, "RESULT") != "OK") return json_response(200, "{\"camera\":false}");
        Json j(reply_text);
        json_object *w = nullptr, *h = nullptr;
        int width = j.o && json_object_object_get_ex(j.o, "WIDTH", &w) ? json_object_get_int(w) : 0;
        int height = j.o && json_object_object_get_ex(j.o, "HEIGHT", &h) ? json_object_get_int(h) : 0;
        return json_response(200, "{\"camera\":true,\"width\":" + std::to_string(width) +
                                      ",\"height\":" + std::to_string(height) + "}");
    }
    if (route == "message" || route == "notice" || route == "password") {
        if (!post) return error(405, "method not allowed");
        Json body(r.body);
        std::string cmd, a, b;
        if (route == "message") {
            if (!body.text("to", a) || !body.text("text", b) || a.empty() || a.size() > 63 ||
                b.size() > 255)
                return error(400, "a user name and a text of at most 255 bytes are needed");
            cmd = command("MESSAGE", {{"TO", a}, {"MESSAGE", b}}, {{"TYPE", 0}});
        } else if (route == "notice") {
            if (!body.text("text", a) || a.size() > 255)
                return error(400, "a text of at most 255 bytes is needed");
            cmd = command("MOD", {{"MOD", a}});
        } else {
            if (!body.text("current", a) || !body.text("new", b) || b.empty())
                return error(400, "the current password and a new one are needed");
            if (b.size() > PASSWORD_MAX)
                return error(400, "the new password is " + std::to_string(b.size()) +
                                      " bytes long; the board takes at most " +
                                      std::to_string(PASSWORD_MAX) + " bytes");
            cmd = command("PASSWORD", {{"CURRENT", a}, {"NEW", b}});
        }
        std::string result;
        auto done = sessions_.exchange(s, [&](bh::Client& c) {
            bh::Frame reply;
            if (!c.command(cmd, reply) || reply.type != "11") return false;
            result = bh::json_member(reply.payload, "RESULT");
            return true;
        });
        if (done != Sessions::Exchange::ok) return not_exchanged(done);
        if (result == "OK") {
            if (route == "message")
                sessions_.push_event(s, "sent", "{\"to\":" + json_text(a) + ",\"text\":" + json_text(b) + "}");
            return json_response(200, "{\"ok\":true}");
        }
        if (route == "message") return error(404, a + " is not connected");
        if (route == "password") return error(403, "the current password is wrong");
        return error(502, "the server refused");
    }
    if (route == "mkdir" || route == "rename" || route == "delete") {
        if (!post) return error(405, "method not allowed");
        if (!s->has("write")) return error(501, "this server does not take changes");
        Json body(r.body);
        std::string a, b, cmd;
        if (route == "rename") {
            if (!body.text("from", a) || !body.text("to", b) || !valid_path(a) || !valid_path(b))
                return error(400, "two paths are needed");
            cmd = command("RENAME", {{"FROM", a}, {"TO", b}});
        } else {
            if (!body.text("path", a) || !valid_path(a)) return error(400, "a path is needed");
            cmd = route == "mkdir" ? command("MKDIR", {{"PATH", a}}) : command("DELETE", {{"FILE", a}});
        }
        std::string reply_text;
        auto done = sessions_.exchange(s, [&](bh::Client& c) {
            bh::Frame reply;
            if (!c.command(cmd, reply) || reply.type != "11") return false;
            reply_text = reply.payload;
            return true;
        });
        if (done != Sessions::Exchange::ok) return not_exchanged(done);
        return write_result(reply_text);
    }
    return error(404, "not found");
}

Response Gateway::download(const Request& r, const SessionPtr& s, const std::string& path) {
    if (!valid_path(path) || path.size() < 2 || path.back() == '/') return error(400, "bad path");
    size_t slash = path.rfind('/');
    std::string folder = slash == 0 ? "/" : path.substr(0, slash), name = path.substr(slash + 1);
    // Counted while it is looked up; a response that sends the file counts itself.
    if (downloads_.fetch_add(1) >= MAX_DOWNLOADS) {
        downloads_--;
        return retry_later(503, "too many downloads at once", 5);
    }
    struct Counted {
        std::atomic<int>& n;
        ~Counted() { n--; }
    } counted{downloads_};
    if (s->has("open")) {
        // The server checks and opens the file; the bytes then go from its descriptor.
        OwnedFd file;
        std::string reason;
        auto done = sessions_.exchange(s, [&](bh::Client& c) {
            int fd = -1;
            uint64_t size = 0;
            bool opened = bh::open_file(c, path, fd, size, reason);
            file = OwnedFd(fd);
            return opened || !reason.empty();  // no reason: no reply came
        });
        if (done != Sessions::Exchange::ok) return not_exchanged(done);
        struct stat st;
        if (file.get() >= 0 && fstat(file.get(), &st) == 0 && S_ISREG(st.st_mode))
            return send_file(r, s, name, std::move(file), st);
        if (reason == "DENIED") return error(403, "this folder is closed to you");
        if (reason == "NOTFOUND") return error(404, "no such file");
        if (reason == "NAME") return error(400, "bad path");
        if (reason != "LOCAL") return error(502, "the board's server could not open the file");
        // Not served on this connection after all: the pieces below serve it.
    }
    // The size and the right to read it come from the folder's listing, as for any client.
    Listing listing;
    std::string status = list_folder(sessions_, s, folder, name[0] == '.', listing, false);
    if (status.empty()) return not_exchanged(Sessions::Exchange::failed);
    if (status == "busy") return not_exchanged(Sessions::Exchange::busy);
    if (status == "closed") return error(403, "this folder is closed to you");
    const Entry* found = nullptr;
    for (const Entry& e : listing.entries)
        if (e.name == name) found = &e;
    // Left out of a cut listing is not the same as absent.
    if (!found && !listing.complete)
        return error(502, "the board's listing of this folder is incomplete and leaves this file out");
    if (!found || found->dir) return error(404, "no such file");
    Response out;
    uint64_t first = 0, total = 0;
    // Without validators of its own here, an If-Range cannot be checked: the whole file.
    if (!file_response(r, name, found->size, r.header("if-range").empty(), out, first, total))
        return out;
    if (total == 0 || r.method == "HEAD") return out;
    Sessions* sessions = &sessions_;
    std::atomic<int>* downloads = &downloads_;
    s->inflight++;
    downloads_++;
    out.done = [s, downloads] {
        s->inflight--;
        (*downloads)--;
    };
    out.block = PIECE * 4;
    out.stream = [sessions, s, path, first, total](uint64_t pos, char* buf, size_t max) -> long {
        if (pos >= total) return 0;
        size_t want = static_cast<size_t>(std::min<uint64_t>(max, total - pos));
        long n = fetch_into(*sessions, s, path, first + pos, buf, want);
        // A failure cuts the connection: the browser sees a short file, not a wrong one.
        return n > 0 ? n : -1;
    };
    return out;
}

Response Gateway::zip(const Request& r, const SessionPtr& s, const std::string& path) {
    if (downloads_.fetch_add(1) >= MAX_DOWNLOADS) {
        downloads_--;
        return retry_later(503, "too many downloads at once", 5);
    }
    if (zips_.fetch_add(1) >= MAX_ZIPS) {
        zips_--;
        downloads_--;
        return retry_later(503, "too many folder downloads at once", 5);
    }
    struct Counted {
        std::atomic<int>& downloads;
        std::atomic<int>& zips;
        bool keep = false;
        ~Counted() {
            if (keep) return;
            downloads--;
            zips--;
        }
    } counted{downloads_, zips_};
    // The folder itself is listed first, so that a closed or missing one is an HTTP error.
    struct First {
        Listing l;
        bool used = false;
    };
    auto first = std::make_shared<First>();
    std::string status = list_folder(sessions_, s, path, false, first->l, false);
    if (status.empty()) return not_exchanged(Sessions::Exchange::failed);
    if (status == "busy") return not_exchanged(Sessions::Exchange::busy);
    if (status == "closed") return error(403, "this folder is closed to you");
    if (status == "error") return error(404, "no such folder");
    std::string base = path == "/" ? settings_.name : path.substr(path.rfind('/') + 1);
    for (char& ch : base)
        if (ch == '/' || static_cast<unsigned char>(ch) < 0x20) ch = '_';
    if (base.empty()) base = "boardhub";
    Response out;
    out.header("Content-Type", "application/zip");
    out.header("Content-Disposition", disposition("attachment", base + ".zip"));
    out.header("Cache-Control", "no-store");
    if (r.method == "HEAD") return out;
    Sessions* sessions = &sessions_;
    ZipSource src;
    src.list = [sessions, s, first](const std::string& folder, std::vector<Entry>& entries,
                                    bool& complete, bool& changed) -> int {
        Listing l;
        if (!first->used) {
            first->used = true;
            l = std::move(first->l);
        } else {
            std::string st = list_folder(*sessions, s, folder, false, l, false, STREAM_WAIT_MS);
            if (st.empty() || st == "busy") return -1;
            if (st != "ok" && st != "empty") return 0;
        }
        entries = std::move(l.entries);
        complete = l.complete;
        changed = l.changed;
        return 1;
    };
    src.fetch = [sessions, s](const std::string& file, uint64_t off, char* dst, size_t want) -> long {
        return fetch_into(*sessions, s, file, off, dst, want);
    };
    auto zs = std::make_shared<ZipStream>(std::move(src), path, base, ZIP_INDEX_MAX);
    s->inflight++;
    counted.keep = true;
    std::atomic<int>* downloads = &downloads_;
    std::atomic<int>* zips = &zips_;
    out.done = [s, downloads, zips] {
        s->inflight--;
        (*downloads)--;
        (*zips)--;
    };
    out.block = ZIP_BLOCK;
    out.stream = [zs](uint64_t, char* buf, size_t max) -> long { return zs->read(buf, max); };
    return out;
}

Response Gateway::send_file(const Request& r, const SessionPtr& s, const std::string& name,
                            OwnedFd file, const struct stat& st) {
    uint64_t size = static_cast<uint64_t>(st.st_size);
    int64_t mtime = static_cast<int64_t>(st.st_mtim.tv_sec);
    char tag[64];
    snprintf(tag, sizeof(tag), "\"%" PRIx64 "-%" PRIx64 "-%" PRIx64 "\"", size,
             static_cast<uint64_t>(mtime) * 1000000000u + static_cast<uint64_t>(st.st_mtim.tv_nsec),
             static_cast<uint64_t>(st.st_ino));
    std::string etag = tag, modified = http_date(mtime);
    // Unchanged since the browser's copy: If-None-Match decides when present, else
    // If-Modified-Since.
    std::string none_match = r.header("if-none-match"), since = r.header("if-modified-since");
    bool unchanged = false;
    if (!none_match.empty()) {
        unchanged = etag_listed(none_match, etag);
    } else if (!since.empty()) {
        int64_t t = parse_http_date(since);
        unchanged = t >= 0 && mtime <= t;
    }
    if (unchanged) {
        Response out;
        out.status = 304;
        out.header("ETag", etag);
        out.header("Last-Modified", modified);
        out.header("Cache-Control", "private, no-cache");
        return out;
    }
    std::string if_range = r.header("if-range");
    Response out;
    uint64_t first = 0, total = 0;
    if (!file_response(r, name, size, if_range.empty() || if_range_holds(if_range, etag, mtime), out,
                       first, total))
        return out;
    out.header("ETag", etag);
    out.header("Last-Modified", modified);
    if (total == 0 || r.method == "HEAD") return out;
    out.file = std::move(file);
    out.file_offset = first;
    std::atomic<int>* downloads = &downloads_;
    s->inflight++;
    downloads_++;
    out.done = [s, downloads] {
        s->inflight--;
        (*downloads)--;
    };
    return out;
}

Response Gateway::events(const Request& r, const SessionPtr& s) {
    {
        std::lock_guard<std::mutex> g(s->ev_lock);
        if (s->streams >= MAX_STREAMS_PER_SESSION) return error(429, "too many live streams");
        s->streams++;
    }
    struct State {
        uint64_t seen = 0;
        std::string pending = "retry: 3000\n\n";
        size_t used = 0;
        bool finished = false;
    };
    auto st = std::make_shared<State>();
    {
        // Only what arrives from now on, or after the event a reloaded page has shown.
        std::lock_guard<std::mutex> g(s->ev_lock);
        st->seen = s->ev_seq;
        auto after = r.query.find("after");
        if (after != r.query.end() && !after->second.empty() && after->second.size() < 20 &&
            after->second.find_first_not_of("0123456789") == std::string::npos)
            st->seen = std::min<uint64_t>(st->seen, std::stoull(after->second));
    }
    Response out;
    out.header("Content-Type", "text/event-stream; charset=utf-8");
    out.header("Cache-Control", "no-store");
    out.header("X-Accel-Buffering", "no");
    out.done = [s] {
        std::lock_guard<std::mutex> g(s->ev_lock);
        s->streams--;
    };
    std::atomic<bool>* closing = &closing_;
    out.stream = [s, st, closing](uint64_t, char* buf, size_t max) -> long {
        while (st->used == st->pending.size()) {
            if (st->finished || *closing) return 0;
            st->pending.clear();
            st->used = 0;
            std::unique_lock<std::mutex> g(s->ev_lock);
            auto fresh = [&] {
                return !s->end_reason.empty() || (!s->events.empty() && s->events.back().seq > st->seen);
            };
            // In slices of a second, so that a closing gateway is not kept waiting.
            bool got = false;
            for (int i = 0; i < 15 && !got && !*closing; i++)
                got = s->ev_cv.wait_for(g, std::chrono::seconds(1), fresh);
            if (*closing) return 0;
            if (!got) {
                st->pending = ": still here\n\n";  // keeps proxies and the browser's timer quiet
                break;
            }
            for (const Event& e : s->events) {
                if (e.seq <= st->seen) continue;
                st->pending += "event: " + e.kind + "\ndata: " + e.json + "\n\n";
                st->seen = e.seq;
            }
            if (!s->end_reason.empty()) {
                st->pending += "event: ended\ndata: {\"reason\":" + json_text(s->end_reason) + "}\n\n";
                st->finished = true;
            }
        }
        size_t n = std::min(max, st->pending.size() - st->used);
        memcpy(buf, st->pending.data() + st->used, n);
        st->used += n;
        return static_cast<long>(n);
    };
    return out;
}

Response Gateway::camera(const Request& r, const SessionPtr& s, bool live) {
    s->last_used = now_seconds();
    // One browser cannot take every place: a few views each, and a cap on them all.
    int id = camera_.join(s, MAX_VIEWERS, MAX_VIEWERS_PER_SESSION);
    if (id == 0) return error(503, "too many viewers");
    if (id < 0) return error(429, "too many live views open in this browser");
    if (!live) {
        Camera::JpegPtr j = camera_.next(0, 5000);
        // A frame taken before this request may be one period old; a snapshot wants a new one.
        if (j) j = camera_.next(j->seq, 5000);
        camera_.leave(id);
        if (!j) {
            // The server without a camera is told as such, as the shell tells it.
            std::string info;
            sessions_.exchange(s, [&](bh::Client& c) {
                bh::Frame reply;
                if (!c.command("{\"CMD\": \"CAMINFO\"}", reply) || reply.type != "11") return false;
                info = bh::json_member(reply.payload, "RESULT");
                return true;
            });
            return error(503, info == "FAIL" ? "the server has no camera" : "the camera gives no picture");
        }
        Response out;
        out.body = j->bytes;
        out.header("Content-Type", "image/jpeg");
        out.header("Cache-Control", "no-store");
        out.header("Content-Disposition", "inline; filename=\"snapshot.jpg\"");
        return out;
    }
    (void)r;
    struct State {
        uint64_t seen = 0;
        Camera::JpegPtr frame;
        std::string head;
        size_t used = 0;  // of head + frame + "\r\n"
    };
    auto st = std::make_shared<State>();
    Camera* cam = &camera_;
    Response out;
    out.header("Content-Type", "multipart/x-mixed-replace; boundary=frame");
    out.header("Cache-Control", "no-store");
    out.done = [cam, id] { cam->leave(id); };
    out.stream = [cam, s, st](uint64_t, char* buf, size_t max) -> long {
        size_t whole = st->frame ? st->head.size() + st->frame->bytes.size() + 2 : 0;
        if (st->used == whole) {
            if (s->ended) return 0;
            Camera::JpegPtr j = cam->next(st->seen, 5000);
            if (!j) return 0;  // the camera stopped giving pictures
            st->frame = j;
            st->seen = j->seq;
            st->head = "--frame\r\nContent-Type: image/jpeg\r\nContent-Length: " +
                       std::to_string(j->bytes.size()) + "\r\n\r\n";
            st->used = 0;
            whole = st->head.size() + j->bytes.size() + 2;
        }
        size_t n = 0;
        while (n < max && st->used < whole) {
            size_t h = st->head.size(), f = st->frame->bytes.size();
            size_t k;
            if (st->used < h) {
                k = std::min(max - n, h - st->used);
                memcpy(buf + n, st->head.data() + st->used, k);
            } else if (st->used < h + f) {
                k = std::min(max - n, h + f - st->used);
                memcpy(buf + n, st->frame->bytes.data() + (st->used - h), k);
            } else {
                k = std::min(max - n, whole - st->used);
                static const char crlf[] = "\r\n";
                memcpy(buf + n, crlf + (st->used - h - f), k);
            }
            n += k;
            st->used += k;
        }
        return static_cast<long>(n);
    };
    return out;
}

}  // namespace web
