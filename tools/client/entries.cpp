// Folder listings of any size: ENTRIES, or LIST/LISTALL on a server without it. Whatever the
// server sends, the result is a listing (possibly marked incomplete) or a refusal; a reply out of
// protocol closes the connection.
#include <json-c/json.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "client.h"

namespace bh {

namespace {

// A listing frame of ENTRIES holds at most this much.
constexpr uint64_t kMaxEntriesFrame = 65535;
// Replies to a listing command may take long on a slow disk.
constexpr int kListReplyMs = 30000;

struct JsonFree {
    void operator()(json_object* o) const { json_object_put(o); }
};
using Json = std::unique_ptr<json_object, JsonFree>;

bool parse_unsigned(const char* p, size_t len, uint64_t& value) {
    if (len == 0 || len > 20) return false;
    value = 0;
    for (size_t i = 0; i < len; i++) {
        if (p[i] < '0' || p[i] > '9') return false;
        uint64_t digit = static_cast<uint64_t>(p[i] - '0');
        if (value > (UINT64_MAX - digit) / 10) return false;
        value = value * 10 + digit;
    }
    return true;
}

bool parse_signed(const char* p, size_t len, int64_t& value) {
    size_t sign = len > 0 && p[0] == '-' ? 1 : 0;
    uint64_t magnitude = 0;
    if (!parse_unsigned(p + sign, len - sign, magnitude)) return false;
    // INT64_MIN itself is the mark of an unknown time and is refused with everything below.
    if (magnitude > static_cast<uint64_t>(INT64_MAX)) return false;
    value = sign ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
    return true;
}

void note(ListInfo& info, const std::string& problem) {
    info.complete = false;
    if (info.problem.empty()) info.problem = problem;
}

// Splits text into lines and adds those in form; counts every line. A text that does not end
// in a newline has a last line out of form.
void take_lines(const std::string& text, bool with_times, std::vector<Entry>& entries,
                ListInfo& info, uint64_t& lines, size_t max_entries = kMaxEntries) {
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) {
            lines++;
            note(info, "a listing line without its end");
            return;
        }
        lines++;
        Entry e;
        if (!parse_entry_line(text.data() + pos, end - pos, with_times, e)) {
            note(info, "a listing line out of form");
        } else if (entries.size() >= max_entries) {
            note(info, "more than " + std::to_string(max_entries) + " entries");
        } else {
            entries.push_back(std::move(e));
        }
        pos = end + 1;
    }
}

bool member_bool(json_object* obj, const char* key, bool& value) {
    json_object* m = nullptr;
    if (!json_object_object_get_ex(obj, key, &m) || !json_object_is_type(m, json_type_boolean))
        return false;
    value = json_object_get_boolean(m);
    return true;
}

Outcome refused(const std::string& reason) {
    Outcome o;
    o.done = true;
    o.result = "FAIL";
    o.reason = reason;
    return o;
}

Outcome by_list(Client& c, const std::string& path, bool dots, std::vector<Entry>& entries,
                ListInfo& info) {
    Json cmd(json_object_new_object());
    json_object_object_add(cmd.get(), "CMD", json_object_new_string(dots ? "LISTALL" : "LIST"));
    json_object_object_add(cmd.get(), "PATH",
                           json_object_new_string_len(path.data(), static_cast<int>(path.size())));
    Frame f;
    if (!c.send_frame("11", json_object_to_json_string_ext(cmd.get(), JSON_C_TO_STRING_PLAIN)) ||
        !next_reply(c, f, kListReplyMs))
        return Outcome{};
    if (f.type != "10") {
        if (f.type != "11") {
            c.fail("a reply of type " + f.type + " to " + (dots ? "LISTALL" : "LIST"));
            return Outcome{};
        }
        return refused(json_member(f.payload, "REASON"));
    }
    if (f.payload == "CLOSED\n") return refused("DENIED");
    if (f.payload == "ERROR\n") return refused("ERROR");
    Outcome ok;
    ok.done = true;
    ok.result = "OK";
    if (f.payload == "NONE\n") return ok;
    uint64_t lines = 0;
    take_lines(f.payload, false, entries, info, lines);
    if (listing_filled(f.payload)) note(info, "the listing filled the server's reply");
    return ok;
}

Outcome by_entries(Client& c, const std::string& path, bool dots, std::vector<Entry>& entries,
                   ListInfo& info, size_t max_entries) {
    Json cmd(json_object_new_object());
    json_object_object_add(cmd.get(), "CMD", json_object_new_string("ENTRIES"));
    json_object_object_add(cmd.get(), "PATH",
                           json_object_new_string_len(path.data(), static_cast<int>(path.size())));
    if (dots) json_object_object_add(cmd.get(), "DOTS", json_object_new_boolean(1));
    if (!c.send_frame("11", json_object_to_json_string_ext(cmd.get(), JSON_C_TO_STRING_PLAIN)))
        return Outcome{};
    info.used_entries = true;
    uint64_t lines = 0;
    std::string text;
    for (;;) {
        std::string type;
        uint64_t length = 0;
        if (!c.recv_header(type, length, kListReplyMs)) return Outcome{};
        if (type == "10" && length <= kMaxEntriesFrame) {
            text.resize(static_cast<size_t>(length));
            if (!c.recv_payload(text.data(), text.size(), kListReplyMs)) return Outcome{};
            take_lines(text, true, entries, info, lines, max_entries);
            continue;
        }
        if (type == "10") {
            // Larger than the server may send: read past it, keep nothing of it.
            note(info, "a listing frame larger than " + std::to_string(kMaxEntriesFrame) +
                           " bytes");
            text.resize(static_cast<size_t>(kMaxEntriesFrame));
            for (uint64_t left = length; left > 0;) {
                size_t piece = static_cast<size_t>(std::min<uint64_t>(left, text.size()));
                if (!c.recv_payload(text.data(), piece, kListReplyMs)) return Outcome{};
                left -= piece;
            }
            continue;
        }
        if ((type != "11" && type != "21") || length > kMaxEntriesFrame) {
            c.fail("a reply of type " + type + " (" + std::to_string(length) +
                   " bytes) to ENTRIES");
            entries.clear();
            return Outcome{};
        }
        Frame f{type, std::string(static_cast<size_t>(length), '\0')};
        if (!c.recv_payload(f.payload.data(), f.payload.size(), kListReplyMs)) return Outcome{};
        if (type == "21") {
            c.messages.push_back(std::move(f));
            continue;
        }
        Json reply(json_tokener_parse(f.payload.c_str()));
        json_object* result = nullptr;
        std::string word;
        if (reply && json_object_is_type(reply.get(), json_type_object) &&
            json_object_object_get_ex(reply.get(), "RESULT", &result) && result)
            word = json_object_get_string(result);
        if (word != "OK") {
            entries.clear();
            info = ListInfo();
            info.used_entries = true;
            return refused(json_member(f.payload, "REASON"));
        }
        json_object* count = nullptr;
        if (!json_object_object_get_ex(reply.get(), "ENTRIES", &count) ||
            !json_object_is_type(count, json_type_int) || json_object_get_int64(count) < 0 ||
            static_cast<uint64_t>(json_object_get_int64(count)) != lines)
            note(info, "the server's count of entries does not match the lines it sent");
        info.write_known = member_bool(reply.get(), "WRITE", info.write);
        bool changed = false;
        if (member_bool(reply.get(), "CHANGED", changed) && changed) info.changed = true;
        Outcome ok;
        ok.done = true;
        ok.result = "OK";
        return ok;
    }
}

}  // namespace

void Client::fail(const std::string& why) {
    close();
    error_ = why;
}

bool parse_entry_line(const char* line, size_t len, bool with_times, Entry& e) {
    e = Entry();
    // KIND,a,b[,mtime,w],name: the name is all after the last fixed comma, commas included.
    size_t fields = with_times ? 5 : 3;
    size_t commas[5];
    size_t pos = 0;
    for (size_t i = 0; i < fields; i++) {
        const void* at = memchr(line + pos, ',', len - pos);
        if (!at) return false;
        commas[i] = static_cast<size_t>(static_cast<const char*>(at) - line);
        pos = commas[i] + 1;
    }
    if (commas[0] != 2 || pos >= len) return false;  // a kind of two letters, a name
    if (memchr(line, '\0', len)) return false;
    e.kind.assign(line, 2);
    if (e.kind == "DN" || e.kind == "DP" || e.kind == "DC") {
        e.folder = true;
        e.closed = e.kind == "DC";
    } else if (e.kind != "FN" && e.kind != "FP") {
        return false;
    }
    e.preview = e.kind[1] == 'P';
    uint64_t a = 0, b = 0;
    if (!parse_unsigned(line + 3, commas[1] - 3, a) ||
        !parse_unsigned(line + commas[1] + 1, commas[2] - commas[1] - 1, b))
        return false;
    if (e.folder) {
        e.folders = a;
        e.files = b;
    } else {
        e.size = b;
    }
    if (with_times) {
        if (!parse_signed(line + commas[2] + 1, commas[3] - commas[2] - 1, e.mtime)) return false;
        size_t wlen = commas[4] - commas[3] - 1;
        char w = line[commas[3] + 1];
        if (wlen != 1 || (w != 'w' && w != '-')) return false;
        e.writable = w == 'w';
    }
    e.name.assign(line + pos, len - pos);
    return true;
}

Outcome list_entries(Client& c, const std::string& path, bool dots, std::vector<Entry>& entries,
                     ListInfo& info, const std::vector<std::string>* features,
                     size_t max_entries) {
    entries.clear();
    info = ListInfo();
    std::vector<std::string> asked;
    if (!features) {
        if (!bh::features(c, &asked)) return Outcome{};
        features = &asked;
    }
    if (has_feature(*features, "entries")) return by_entries(c, path, dots, entries, info,
                                                                  std::min(max_entries, kMaxEntries));
    return by_list(c, path, dots, entries, info);
}

}  // namespace bh
