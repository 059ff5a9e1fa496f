// The extension commands of the client library: FEATURES, PUT with its content frames, MKDIR,
// RENAME, DELETE and SEND with an offset.
#include <json-c/json.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "client.h"

namespace bh {

namespace {

// Content frames carry at most this much; a batch of them goes out in one write.
constexpr size_t PIECE = 65535;
constexpr size_t BATCH = 16;
// The final reply of an upload may wait for the server's flush to disk.
constexpr int FINAL_REPLY_MS = 120000;

struct JsonFree {
    void operator()(json_object* o) const { json_object_put(o); }
};
using Json = std::unique_ptr<json_object, JsonFree>;

Json command_object(const char* word) {
    Json obj(json_object_new_object());
    json_object_object_add(obj.get(), "CMD", json_object_new_string(word));
    return obj;
}

void add_text(json_object* obj, const char* key, const std::string& value) {
    json_object_object_add(obj, key, json_object_new_string_len(value.data(),
                                                                 static_cast<int>(value.size())));
}

void add_int(json_object* obj, const char* key, uint64_t value) {
    json_object_object_add(obj, key, json_object_new_int64(static_cast<int64_t>(value)));
}

Outcome parse_outcome(const Frame& f) {
    Outcome o;
    o.done = true;
    if (f.type != "11") {
        o.result = "FAIL";
        return o;
    }
    o.result = json_member(f.payload, "RESULT");
    o.reason = json_member(f.payload, "REASON");
    return o;
}

Outcome exchange(Client& c, const Json& obj, int timeout_ms = 10000) {
    Frame f;
    if (!c.send_frame("11", json_object_to_json_string_ext(obj.get(), JSON_C_TO_STRING_PLAIN)) ||
        !next_reply(c, f, timeout_ms))
        return Outcome{};
    return parse_outcome(f);
}

// Reads up to len bytes from fd; fewer only at its end. -1 on a read error.
ssize_t read_full(int fd, char* dst, size_t len) {
    size_t got = 0;
    while (got < len) {
        ssize_t n = read(fd, dst + got, len - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) break;
        got += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(got);
}

}  // namespace

bool next_reply(Client& c, Frame& reply, int timeout_ms) {
    for (;;) {
        if (!c.recv_frame(reply, timeout_ms)) return false;
        if (reply.type != "21") return true;
        c.messages.push_back(reply);
    }
}

bool features(Client& c, std::vector<std::string>* list) {
    list->clear();
    Frame f;
    if (!c.send_frame("11", "{\"CMD\": \"FEATURES\"}") || !next_reply(c, f)) return false;
    Json obj(json_tokener_parse(f.payload.c_str()));
    json_object* names = nullptr;
    if (f.type == "11" && obj && json_object_object_get_ex(obj.get(), "FEATURES", &names) &&
        json_object_is_type(names, json_type_array)) {
        for (size_t i = 0; i < json_object_array_length(names); i++) {
            json_object* n = json_object_array_get_idx(names, i);
            if (json_object_is_type(n, json_type_string)) list->push_back(json_object_get_string(n));
        }
    }
    return true;
}

bool listing_filled(const std::string& payload) {
    return payload.size() > kMaxListing - kMaxListingLine;
}

bool has_feature(const std::vector<std::string>& list, const std::string& name) {
    for (const auto& f : list)
        if (f == name) return true;
    return false;
}

std::string reason_text(const std::string& reason) {
    if (reason == "DENIED") return "no write access to that folder";
    if (reason == "NAME") return "that name cannot be written (reserved, hidden or invalid)";
    if (reason == "EXISTS") return "the name already exists";
    if (reason == "NOTFOUND") return "no such file or folder";
    if (reason == "LINK") return "a symbolic link is in the way";
    if (reason == "TOOBIG") return "the file is larger than the server accepts";
    if (reason == "NOSPACE") return "not enough free space on the server";
    if (reason == "NOTEMPTY") return "the folder is not empty";
    if (reason == "CANCELLED") return "the upload was cancelled";
    if (reason == "BUSY") return "another upload of this account is under way";
    if (reason == "SLOW") return "the upload was too slow and the server cut it off";
    if (reason == "PERM")
        return "the server's own file permissions do not let it write there (ask its operator)";
    if (reason.empty()) return "the server refused";
    return "the server failed (" + reason + ")";
}

Outcome put(Client& c, const std::string& remote, int fd, uint64_t size, bool replace,
            const Progress& progress) {
    Json obj = command_object("PUT");
    add_text(obj.get(), "FILE", remote);
    add_int(obj.get(), "SIZE", size);
    if (replace) json_object_object_add(obj.get(), "REPLACE", json_object_new_boolean(1));
    Outcome go = exchange(c, obj);
    if (!go.ok()) return go;

    std::unique_ptr<char[]> buf(new char[PIECE * BATCH]);
    char headers[BATCH][13];
    struct iovec iov[2 * BATCH];
    uint64_t sent = 0;
    bool cut = false;
    while (sent < size && !cut) {
        uint64_t want64 = size - sent;
        size_t want = want64 < PIECE * BATCH ? static_cast<size_t>(want64) : PIECE * BATCH;
        ssize_t got = read_full(fd, buf.get(), want);
        if (got <= 0) {
            cut = true;  // the source ended or failed before size bytes
            break;
        }
        int count = 0;
        for (size_t off = 0, i = 0; off < static_cast<size_t>(got); off += PIECE, i++) {
            size_t len = static_cast<size_t>(got) - off < PIECE ? static_cast<size_t>(got) - off
                                                                 : PIECE;
            snprintf(headers[i], sizeof(headers[i]), "87%10zu", len);
            iov[count++] = {headers[i], 12};
            iov[count++] = {buf.get() + off, len};
        }
        if (!c.send_parts(iov, count)) return Outcome{};
        sent += static_cast<uint64_t>(got);
        if (progress) progress(sent, size);
    }
    // An empty "10" frame tells the server to drop what it has.
    if (cut && !c.send_frame("10", "")) return Outcome{};
    Frame f;
    if (!next_reply(c, f, FINAL_REPLY_MS)) return Outcome{};
    return parse_outcome(f);
}

Outcome make_folder(Client& c, const std::string& path) {
    Json obj = command_object("MKDIR");
    add_text(obj.get(), "PATH", path);
    return exchange(c, obj);
}

Outcome rename_entry(Client& c, const std::string& from, const std::string& to) {
    Json obj = command_object("RENAME");
    add_text(obj.get(), "FROM", from);
    add_text(obj.get(), "TO", to);
    return exchange(c, obj);
}

Outcome delete_entry(Client& c, const std::string& path) {
    Json obj = command_object("DELETE");
    add_text(obj.get(), "FILE", path);
    return exchange(c, obj);
}

Outcome send_at(Client& c, const std::string& file, uint64_t piece_size, uint64_t offset) {
    Json obj = command_object("SEND");
    add_text(obj.get(), "FILE", file);
    add_int(obj.get(), "SIZE", piece_size);
    if (offset > 0) add_int(obj.get(), "OFFSET", offset);
    return exchange(c, obj);
}

bool open_file(Client& c, const std::string& path, int& fd, uint64_t& size, std::string& reason) {
    fd = -1;
    size = 0;
    reason.clear();
    Json obj = command_object("OPEN");
    add_text(obj.get(), "FILE", path);
    Frame f;
    if (!c.send_frame("11", json_object_to_json_string_ext(obj.get(), JSON_C_TO_STRING_PLAIN)) ||
        !next_reply(c, f))
        return false;
    Outcome o = parse_outcome(f);
    if (o.result != "OK") {
        reason = o.reason.empty() ? "FAIL" : o.reason;
        return false;
    }
    fd = c.take_fd();
    if (fd < 0) {
        reason = "NOFD";
        return false;
    }
    std::string text = json_member(f.payload, "SIZE");
    size = text.empty() ? 0 : strtoull(text.c_str(), nullptr, 10);
    return true;
}

}  // namespace bh
