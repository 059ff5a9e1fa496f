// File transfer: CHECK asks whether a share path exists, FILE and DATA send a whole file (share
// or data directory) as one "88" frame, SEND and NEXT send a file in pieces as "89" frames from
// the session's send stream. Paths are confined to their base directory and to folders the
// user may read; only regular files are served, opened without ever blocking. The "11" reply
// and its data frame go out together under the connection's send lock, the file bytes straight
// from the file with sendfile.
#include <fcntl.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <memory>

#include "logger.h"
#include "network.h"
#include "server.h"
#include "server_folder.h"
#include "server_tls.h"

namespace {

// The largest piece of SEND/NEXT: the reply buffer, which a piece may pass through.
constexpr int64_t MAX_PIECE = static_cast<int64_t>(TEXT_SIZE);
// The header's length field has ten digits.
constexpr uint64_t MAX_ANNOUNCED = 9999999999ULL;
// sendfile moves at most this much per call on Linux; ask for no more.
constexpr uint64_t SENDFILE_CHUNK = 0x7ffff000;

const char* const RESULT_OK = "OK";
const char* const RESULT_FAIL = "FAIL";
const char* const RESULT_NONE = "NONE";

// Files of the data directory that DATA never serves: the user database holds every password.
const char* const kAccountFiles[] = {"users.db", "users.db-journal", "users.db-wal",
                                     "users.db-shm"};

// The account databases and every journal SQLite may keep beside them. None of them is ever
// served from the share, whatever name or link leads there.
const char* const kDatabases[] = {"users.db", "group.db"};
const char* const kJournalSuffixes[] = {"", "-journal", "-wal", "-shm"};

struct FileCloser {
    void operator()(FILE* f) const { fclose(f); }
};

void result_text(Data* reply, const char* result, const char* tag) {
    json_object* obj = json_object_new_object();
    json_object_object_add(obj, "RESULT", json_object_new_string(result));
    json_reply(reply->text, obj);
    logger.write(tag, LOG_DEBUG, reply->text);
}

// A reply with no data frame after it.
int send_result(Data* reply, int slot, const char* result) {
    result_text(reply, result, "cmd_file");
    return slot_send_text(slot, TYPE_REPLY, reply->text) < 0 ? -1 : 0;
}

int session_level(int slot) {
    std::lock_guard<std::mutex> g(users_lock);
    return users[slot].level;
}

enum SendResult { SENT = 0, WRITE_FAILED = -1, FILE_SHORT = -2 };

// Sends n bytes of fd from its current offset, moving the offset. buf (TEXT_SIZE bytes) is used
// only where sendfile cannot read the file. FILE_SHORT: the file ended before n bytes. A peer
// that takes nothing for the stall limit (watch) ends it as WRITE_FAILED.
SendResult send_file_bytes(int sock, int fd, uint64_t n, char* buf, SendWatch* watch) {
    // sendfile would bypass TLS: an upgraded connection gets the file read and sealed in
    // records of up to 16 KiB.
    bool use_sendfile = !tls_active(sock);
    while (n > 0) {
        if (use_sendfile) {
            size_t chunk = static_cast<size_t>(n < SENDFILE_CHUNK ? n : SENDFILE_CHUNK);
            ssize_t r = sendfile(sock, fd, nullptr, chunk);
            if (r > 0) {
                watch->took();
                n -= static_cast<uint64_t>(r);
                continue;
            }
            if (r == 0) return FILE_SHORT;
            if (errno == EINTR) continue;
            // The socket's send time-out passed without room: one tick of the stall rule.
            if ((errno == EAGAIN || errno == EWOULDBLOCK) && watch->waited()) continue;
            if (errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP) {
                use_sendfile = false;  // a file system that cannot feed sendfile
                continue;
            }
            // EIO from the file cannot be told from a socket error here; either way the
            // announced length cannot be met.
            return WRITE_FAILED;
        }
        size_t chunk = static_cast<size_t>(n < TEXT_SIZE ? n : TEXT_SIZE);
        ssize_t r = read(fd, buf, chunk);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return FILE_SHORT;
        uint64_t got = static_cast<uint64_t>(r);
        if (send_pieces(sock, buf, got, nullptr, 0, got < n ? MSG_MORE : 0, watch) < 0)
            return WRITE_FAILED;
        n -= got;
    }
    return SENT;
}

// Sends the "11" reply OK and a data frame of type with len bytes of stream's file from its
// current offset, both under one hold of the send lock and the two headers in one write.
// -1 when the session must end.
int send_ok_and_data(Data* reply, int slot, const char* type, FILE* stream, uint64_t len) {
    result_text(reply, RESULT_OK, "cmd_file");
    size_t text_len = strlen(reply->text);
    char frames[2 * HEADER_SIZE + 64];
    if (text_len + 2 * HEADER_SIZE + 1 > sizeof(frames)) return -1;  // "{ "RESULT": "OK" }"
    form_header(frames, TYPE_REPLY, text_len);
    memcpy(frames + HEADER_SIZE, reply->text, text_len);
    char* data_header = frames + HEADER_SIZE + text_len;
    form_header(data_header, type, static_cast<size_t>(len));
    logger.write("cmd_file", LOG_DEBUG, data_header);
    size_t total = 2 * HEADER_SIZE + text_len;

    FrameLock lock(slot);
    if (!lock.ok()) return -1;
    if (send_pieces(lock.sock(), frames, total, nullptr, 0, len > 0 ? MSG_MORE : 0,
                    lock.watch()) < 0) {
        lock.fail();
        return -1;
    }
    SendResult r = send_file_bytes(lock.sock(), fileno(stream), len, reply->text, lock.watch());
    if (r == FILE_SHORT) {
        // The frame announced more than the file now holds: a padded or short frame would put
        // the stream out of step, so the connection ends here.
        logger.writef("cmd_file", LOG_ERROR, "file ended before the %llu bytes announced",
                      static_cast<unsigned long long>(len));
        lock.fail();
        return -1;
    }
    if (r == WRITE_FAILED) {
        lock.fail();
        return -1;
    }
    return 0;
}

// A piece of SEND or NEXT: "SIZE" bytes, or what remains of the file when that is less.
int send_piece(Data* reply, json_object** pair, int slot, FILE* stream) {
    if (!stream) return send_result(reply, slot, RESULT_NONE);
    json_object* member = nullptr;
    int64_t size = 0;
    if (pair && json_object_object_get_ex(pair[1], "SIZE", &member))
        size = json_object_get_int64(member);
    if (size < 0 || size > MAX_PIECE) return send_result(reply, slot, RESULT_FAIL);
    int fd = fileno(stream);
    struct stat st;
    off_t pos = lseek(fd, 0, SEEK_CUR);
    if (fstat(fd, &st) != 0 || pos < 0) return send_result(reply, slot, RESULT_NONE);
    int64_t remain = st.st_size > pos ? static_cast<int64_t>(st.st_size - pos) : 0;
    if (size > remain) size = remain;
    return send_ok_and_data(reply, slot, TYPE_PIECE, stream, static_cast<uint64_t>(size));
}

// Whether the open file is the user database or one of its journals, by identity, so that
// no other name (a link, "/./users.db") reaches it.
bool is_account_file(FILE* stream, const char* file) {
    const char* base = strrchr(file, '/');
    base = base ? base + 1 : file;
    for (const char* name : kAccountFiles)
        if (strcmp(base, name) == 0) return true;
    // The TLS key is kept like the passwords.
    if (tls_key_name()[0] != '\0' && strcmp(base, tls_key_name()) == 0) return true;
    struct stat st;
    if (fstat(fileno(stream), &st) != 0) return true;
    if (is_tls_key(st)) return true;
    char path[FILE_PATH_SIZE];
    for (const char* name : kAccountFiles) {
        struct stat acc;
        snprintf(path, sizeof(path), "%s/%s", server.data, name);
        if (stat(path, &acc) == 0 && acc.st_dev == st.st_dev && acc.st_ino == st.st_ino)
            return true;
    }
    return false;
}

// Whether st (of a file already opened, or found by a path) is one of the account databases or
// their journals in the data folder, by device and inode. A share path may reach them through
// a symbolic or hard link; the link itself stays allowed for everything else.
bool is_account_db(const struct stat& st) {
    if (is_tls_key(st)) return true;
    char path[FILE_PATH_SIZE];
    for (const char* db : kDatabases) {
        for (const char* suffix : kJournalSuffixes) {
            struct stat acc;
            snprintf(path, sizeof(path), "%s/%s%s", server.data, db, suffix);
            if (stat(path, &acc) == 0 && acc.st_dev == st.st_dev && acc.st_ino == st.st_ino)
                return true;
        }
    }
    return false;
}

// Closes a share stream that is an account database (or cannot be told apart from one) and
// logs the refusal; the caller then answers as for a missing file.
FILE* refuse_account_db(FILE* stream, const char* tag, const char* path) {
    if (!stream) return nullptr;
    struct stat st;
    if (fstat(fileno(stream), &st) == 0 && !is_account_db(st)) return stream;
    logger.writef(tag, LOG_WARNING, "refused: %s", path);
    fclose(stream);
    return nullptr;
}

// The "FILE" member, or a "11" FAIL reply (like an unknown command) when it is missing.
// Returns nullptr after replying; *rc gets the reply's result.
const char* file_member(Session* s, json_object* request, int* rc) {
    const char* file = json_text(request, "FILE");
    if (!file) {
        result_text(&s->reply, RESULT_FAIL, "client_handler");
        *rc = slot_send_text(s->slot, TYPE_REPLY, s->reply.text) < 0 ? -1 : 0;
    }
    return file;
}

// Copies a client path into the session's file name and joins it to base in full_path.
// False when it is refused: outside the base, or too long for its buffers.
bool form_full_path(Session* s, const char* file, const char* base) {
    if (!copy_text(s->file, file) || !client_path_ok(s->file)) return false;
    int n = snprintf(s->full_path, sizeof(s->full_path), "%s%s", base, s->file);
    return n >= 0 && static_cast<size_t>(n) < sizeof(s->full_path);
}

}  // namespace

FILE* open_regular(const char* path) {
    // O_NONBLOCK: opening a FIFO must not wait for a writer. Only regular files are served.
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return nullptr;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return nullptr;
    }
    int flags = fcntl(fd, F_GETFL);
    if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    FILE* f = fdopen(fd, "rb");
    if (!f) close(fd);
    return f;
}

void cmd_check(Data* reply, json_object** pair, int slot) {
    const char* file = pair ? json_text(pair[1], "FILE") : nullptr;
    bool found = false;
    char path[FILE_PATH_SIZE];
    if (file && client_path_ok(file)) {
        int n = snprintf(path, sizeof(path), "%s%s", server.share, file);
        struct stat st;
        if (n >= 0 && static_cast<size_t>(n) < sizeof(path) && get_holder_code(slot, file) > 0)
            found = stat(path, &st) == 0 && !is_account_db(st);
    }
    result_text(reply, found ? RESULT_OK : RESULT_FAIL, "cmd_check");
}

int cmd_file(Data* reply, json_object**, int slot, FILE* stream) {
    if (!stream) return send_result(reply, slot, RESULT_NONE);
    std::unique_ptr<FILE, FileCloser> owner(stream);
    struct stat st;
    if (fstat(fileno(stream), &st) != 0 || static_cast<uint64_t>(st.st_size) > MAX_ANNOUNCED) {
        logger.write("cmd_file", LOG_ERROR, "file size cannot be announced");
        return send_result(reply, slot, RESULT_NONE);
    }
    return send_ok_and_data(reply, slot, TYPE_FILE, stream, static_cast<uint64_t>(st.st_size));
}

int cmd_send(Data* reply, json_object** pair, int slot, FILE* stream) {
    return send_piece(reply, pair, slot, stream);
}

int cmd_next(Data* reply, json_object** pair, int slot, FILE* stream) {
    return send_piece(reply, pair, slot, stream);
}

int dispatch_file(Session* s, json_object* request, bool data) {
    int rc = 0;
    const char* file = file_member(s, request, &rc);
    if (!file) return rc;
    const char* tag = data ? "cmd_data" : "cmd_file";
    FILE* stream = nullptr;
    if (form_full_path(s, file, data ? server.data : server.share)) {
        logger.write(tag, LOG_DEBUG, s->full_path);
        // DATA: logged-in sessions only; FILE: folders the user may read.
        bool allowed = data ? session_level(s->slot) >= 1 : get_holder_code(s->slot, s->file) > 0;
        if (allowed) stream = open_regular(s->full_path);
        if (stream && data && is_account_file(stream, s->file)) {
            logger.writef(tag, LOG_WARNING, "refused: %s", s->full_path);
            fclose(stream);
            stream = nullptr;
        }
        if (!data) stream = refuse_account_db(stream, tag, s->full_path);
    }
    json_object* pair[2] = {nullptr, request};
    return cmd_file(&s->reply, pair, s->slot, stream);
}

namespace {

// The optional "OFFSET" of SEND: where the first piece starts. False when it is present but
// not a non-negative integer, or when "SIZE" is out of range: such a SEND opens nothing.
bool send_offset(json_object* request, off_t* offset) {
    *offset = 0;
    json_object* member = nullptr;
    if (!json_object_object_get_ex(request, "OFFSET", &member)) return true;
    if (!json_object_is_type(member, json_type_int)) return false;
    int64_t v = json_object_get_int64(member);
    if (v < 0) return false;
    *offset = static_cast<off_t>(v);
    return true;
}

bool send_size_ok(json_object* request) {
    json_object* member = nullptr;
    if (!json_object_object_get_ex(request, "SIZE", &member)) return true;
    int64_t size = json_object_get_int64(member);
    return size >= 0 && size <= MAX_PIECE;
}

}  // namespace

int dispatch_send(Session* s, json_object* request) {
    // Every SEND replaces the stream, also one that is refused: a NEXT after it must never
    // carry on with the previous file.
    if (s->send_stream) {
        fclose(s->send_stream);
        s->send_stream = nullptr;
    }
    int rc = 0;
    const char* file = file_member(s, request, &rc);
    if (!file) return rc;
    off_t offset = 0;
    if (!send_offset(request, &offset) || !send_size_ok(request)) {
        result_text(&s->reply, RESULT_FAIL, "cmd_file");
        return slot_send_text(s->slot, TYPE_REPLY, s->reply.text) < 0 ? -1 : 0;
    }
    char name[NAME_SIZE];
    {
        std::lock_guard<std::mutex> g(users_lock);
        memcpy(name, users[s->slot].name, sizeof(name));
    }
    logger.writef(name, LOG_INFO, "SEND %s", file);
    bool ok = form_full_path(s, file, server.share);
    if (ok) logger.write("cmd_send", LOG_DEBUG, s->full_path);
    if (ok && get_holder_code(s->slot, s->file) > 0)
        s->send_stream = refuse_account_db(open_regular(s->full_path), "cmd_send", s->full_path);
    // A download that was cut continues from where it stopped. An offset at or past the end
    // starts at the end (a piece of length 0): the file system may refuse to seek that far.
    if (s->send_stream && offset > 0) {
        struct stat st;
        int fd = fileno(s->send_stream);
        if (fstat(fd, &st) == 0 && offset > st.st_size) offset = st.st_size;
        if (lseek(fd, offset, SEEK_SET) < 0) {
            fclose(s->send_stream);
            s->send_stream = nullptr;
        }
    }
    json_object* pair[2] = {nullptr, request};
    return cmd_send(&s->reply, pair, s->slot, s->send_stream);
}

namespace {

// A refusal of OPEN: "11" { "RESULT": "FAIL", "REASON": reason }, no descriptor.
int send_open_refusal(Session* s, const char* reason) {
    json_object* obj = json_object_new_object();
    json_object_object_add(obj, "RESULT", json_object_new_string(RESULT_FAIL));
    json_object_object_add(obj, "REASON", json_object_new_string(reason));
    json_reply(s->reply.text, obj);
    logger.write("cmd_open", LOG_DEBUG, s->reply.text);
    return slot_send_text(s->slot, TYPE_REPLY, s->reply.text) < 0 ? -1 : 0;
}

// Waits until the peer has read every byte sent to it so far, so that a connection never has
// more than one descriptor on its way: a client that asks and never reads cannot make the
// server's user hold files without end. False once the peer has taken no byte for the stall
// limit.
bool peer_took_all(int sock) {
    SendWatch watch(sock, send_stall_seconds * 1000);
    useconds_t pause = 100;
    for (;;) {
        int queued = 0;
        if (ioctl(sock, SIOCOUTQ, &queued) < 0 || queued == 0) return true;
        if (!watch.waited()) return false;
        usleep(pause);
        if (pause < 20000) pause *= 2;
    }
}

}  // namespace

int dispatch_open(Session* s, json_object* request) {
    int rc = 0;
    const char* file = file_member(s, request, &rc);
    if (!file) return rc;
    // A descriptor passes only over the local socket; TCP is told so before anything is looked
    // at.
    if (!s->local) return send_open_refusal(s, "LOCAL");
    char name[NAME_SIZE];
    {
        std::lock_guard<std::mutex> g(users_lock);
        memcpy(name, users[s->slot].name, sizeof(name));
    }
    logger.writef(name, LOG_INFO, "OPEN %s", file);
    if (!form_full_path(s, file, server.share)) return send_open_refusal(s, "NAME");
    if (get_holder_code(s->slot, s->file) <= 0) return send_open_refusal(s, "DENIED");
    logger.write("cmd_open", LOG_DEBUG, s->full_path);
    std::unique_ptr<FILE, FileCloser> stream(
        refuse_account_db(open_regular(s->full_path), "cmd_open", s->full_path));
    struct stat st;
    if (!stream || fstat(fileno(stream.get()), &st) != 0) return send_open_refusal(s, "NOTFOUND");

    json_object* obj = json_object_new_object();
    json_object_object_add(obj, "RESULT", json_object_new_string(RESULT_OK));
    json_object_object_add(obj, "SIZE", json_object_new_int64(static_cast<int64_t>(st.st_size)));
    json_reply(s->reply.text, obj);
    logger.write("cmd_open", LOG_DEBUG, s->reply.text);
    FrameLock lock(s->slot);
    if (!lock.ok()) return -1;
    if (!peer_took_all(lock.sock())) {
        logger.writef("CLIENT", LOG_WARNING, "slot %d takes no data, disconnecting", s->slot);
        lock.fail();
        return -1;
    }
    if (send_frame_with_fd(lock.sock(), TYPE_REPLY, s->reply.text, strlen(s->reply.text),
                           fileno(stream.get())) < 0) {
        lock.fail();
        return -1;
    }
    // The server's own copy closes here (stream's end): the client holds the only one.
    return 0;
}

int dispatch_next(Session* s, json_object* request) {
    json_object* pair[2] = {nullptr, request};
    return cmd_next(&s->reply, pair, s->slot, s->send_stream);
}
