// Writes to the share. A write is decided in this order: the names (valid UTF-8, no control
// byte, no hidden or reserved name, nothing inside ".folder", at most 255 bytes), the access
// (write access to the folder changed, no closed folder above it), then the file system, walked
// one folder at a time from the share root with O_NOFOLLOW so that no symbolic link is ever
// taken. An upload goes to a part file beside its target, which is flushed and renamed into
// place only when every byte has arrived: readers see the old file or the new one, never a part.
#include "server_write.h"

#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "logger.h"
#include "network.h"
#include "server_folder.h"
#include "server_tls.h"

WriteLimits write_limits;

namespace {

// Longest name of one folder entry (the limit of the common Linux file systems).
constexpr size_t MAX_NAME = 255;
// An upload whose client sends nothing for this long ends the session.
constexpr int UPLOAD_IDLE_SECONDS = 60;

const char* const FOLDER_DIR = ".folder";

// Why a write was refused; the text goes into the reply's "REASON".
// PERM is the file system refusing the server's own process (the share's owner and modes, a
// read-only mount); DENIED is the access files refusing the user.
enum class Why { OK, DENIED, NAME, EXISTS, NOTFOUND, LINK, TOOBIG, NOSPACE, NOTEMPTY, CANCELLED,
                 BUSY, SLOW, PERM, ERROR };

const char* reason_text(Why why) {
    switch (why) {
        case Why::OK: return "OK";
        case Why::DENIED: return "DENIED";
        case Why::NAME: return "NAME";
        case Why::EXISTS: return "EXISTS";
        case Why::NOTFOUND: return "NOTFOUND";
        case Why::LINK: return "LINK";
        case Why::TOOBIG: return "TOOBIG";
        case Why::NOSPACE: return "NOSPACE";
        case Why::NOTEMPTY: return "NOTEMPTY";
        case Why::CANCELLED: return "CANCELLED";
        case Why::BUSY: return "BUSY";
        case Why::SLOW: return "SLOW";
        case Why::PERM: return "PERM";
        case Why::ERROR: return "ERROR";
    }
    return "ERROR";
}

// The reason for a failed system call on the share.
Why errno_reason(int err) {
    switch (err) {
        case ENOSPC:
        case EDQUOT: return Why::NOSPACE;
        case EEXIST: return Why::EXISTS;
        case ENOENT: return Why::NOTFOUND;
        case ELOOP: return Why::LINK;
        case ENOTEMPTY: return Why::NOTEMPTY;
        case EACCES:
        case EPERM:
        case EROFS: return Why::PERM;
        default: return Why::ERROR;
    }
}

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    void reset(int fd) {
        if (fd_ >= 0) close(fd_);
        fd_ = fd;
    }
    // Closes and reports close's result (a delayed write error shows here).
    int close_now() {
        int r = fd_ >= 0 ? close(fd_) : 0;
        fd_ = -1;
        return r;
    }

private:
    int fd_;
};

// A JSON "11" reply {"RESULT": result[, "REASON": reason]}, sent now.
int send_reply(Session* s, Why why) {
    json_object* obj = json_object_new_object();
    json_object_object_add(obj, "RESULT", json_object_new_string(why == Why::OK ? "OK" : "FAIL"));
    if (why != Why::OK) json_object_object_add(obj, "REASON", json_object_new_string(reason_text(why)));
    json_reply(s->reply.text, obj);
    logger.write("cmd_write", LOG_DEBUG, s->reply.text);
    return slot_send_text(s->slot, TYPE_REPLY, s->reply.text) < 0 ? -1 : 0;
}

// {"RESULT": "FAIL"} for a request that lacks a member the command needs.
int send_plain_fail(Session* s) {
    json_object* obj = json_object_new_object();
    json_object_object_add(obj, "RESULT", json_object_new_string("FAIL"));
    json_reply(s->reply.text, obj);
    return slot_send_text(s->slot, TYPE_REPLY, s->reply.text) < 0 ? -1 : 0;
}

void session_name(int slot, char (&name)[NAME_SIZE]) {
    std::lock_guard<std::mutex> g(users_lock);
    memcpy(name, users[slot].name, NAME_SIZE);
    name[NAME_SIZE - 1] = '\0';
}

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool valid_utf8(const unsigned char* s, size_t n) {
    size_t i = 0;
    while (i < n) {
        unsigned char c = s[i];
        if (c < 0x80) {
            i++;
            continue;
        }
        size_t len;
        uint32_t cp;
        if (c >= 0xC2 && c <= 0xDF) {
            len = 2;
            cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3;
            cp = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (i + len > n) return false;
        for (size_t k = 1; k < len; k++) {
            if ((s[i + k] & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (s[i + k] & 0x3F);
        }
        if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
            (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += len;
    }
    return true;
}

// The code point at s[i] of valid UTF-8, and its length in *len.
uint32_t code_point(const unsigned char* s, size_t* len) {
    unsigned char c = s[0];
    if (c < 0x80) {
        *len = 1;
        return c;
    }
    size_t n = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
    uint32_t cp = c & (0x7F >> n);
    for (size_t k = 1; k < n; k++) cp = (cp << 6) | (s[k] & 0x3F);
    *len = n;
    return cp;
}

// Characters that make a name read as another on a screen: C1 controls, the bidirectional
// controls, the zero-width space, the byte order mark and the line and paragraph separators.
bool misleading(uint32_t cp) {
    return (cp >= 0x80 && cp <= 0x9F) || (cp >= 0x202A && cp <= 0x202E) ||
           (cp >= 0x2066 && cp <= 0x2069) || cp == 0x200E || cp == 0x200F || cp == 0x061C ||
           cp == 0x200B || cp == 0xFEFF || cp == 0x2028 || cp == 0x2029;
}

// Characters that show nothing, or only blank space.
bool blank(uint32_t cp) {
    return cp == 0x20 || cp == 0xA0 || cp == 0xAD || cp == 0x034F || cp == 0x115F ||
           cp == 0x1160 || cp == 0x1680 || cp == 0x180E || (cp >= 0x2000 && cp <= 0x200F) ||
           cp == 0x202F || (cp >= 0x205F && cp <= 0x2064) || cp == 0x2800 || cp == 0x3000 ||
           cp == 0x3164 || (cp >= 0xFE00 && cp <= 0xFE0F) || cp == 0xFEFF || cp == 0xFFA0 ||
           (cp >= 0xE0000 && cp <= 0xE0FFF);
}

// A new name (what PUT, MKDIR and the TO of RENAME create) must also read as itself: none of
// the misleading characters, and not only blanks or invisible characters. name is valid UTF-8.
bool shows_as_itself(const std::string& name) {
    const auto* p = reinterpret_cast<const unsigned char*>(name.data());
    bool seen = false;
    for (size_t i = 0, len = 0; i < name.size(); i += len) {
        uint32_t cp = code_point(p + i, &len);
        if (misleading(cp)) return false;
        if (!blank(cp)) seen = true;
    }
    return seen;
}

// A name that a write may create, change or remove.
bool name_ok(const std::string& name) {
    if (name.empty() || name.size() > MAX_NAME) return false;
    if (!valid_utf8(reinterpret_cast<const unsigned char*>(name.data()), name.size())) return false;
    for (unsigned char c : name)
        if (c < 0x20 || c == 0x7F) return false;  // NUL included: the name ends at its first NUL
    if (is_hidden(name.c_str(), true)) return false;  // ".", "..", the access files, ...
    if (name == FOLDER_DIR || is_upload_part(name.c_str())) return false;
    return true;
}

// A client path split into the folder that holds the entry ("" for the root, else "/a/b")
// and the entry's name.
struct Target {
    std::string folder;
    std::vector<std::string> parts;  // the folder's components
    std::string name;
};

// fresh: the entry's name is one the write creates (judged by shows_as_itself too); names
// that exist already keep the plain rules, so they can still be renamed or deleted.
Why split_target(const char* file, Target* t, bool fresh) {
    size_t len = strlen(file);
    if (len >= FILE_PATH_SIZE || file[0] != '/' || !client_path_ok(file)) return Why::NAME;
    // "/a/b": every component between single slashes; "//" or a trailing "/" names nothing.
    std::vector<std::string> comps;
    const char* p = file;
    while (*p == '/') {
        p++;
        const char* end = strchrnul(p, '/');
        comps.emplace_back(p, static_cast<size_t>(end - p));
        p = end;
    }
    for (const auto& c : comps)
        if (!name_ok(c)) return Why::NAME;
    if (fresh && !shows_as_itself(comps.back())) return Why::NAME;
    t->name = comps.back();
    comps.pop_back();
    t->folder.clear();
    for (const auto& c : comps) t->folder += "/" + c;
    t->parts = std::move(comps);
    return Why::OK;
}

// Write access to the folder: it is open for read and write to the user, and no folder above
// it is closed.
bool may_write(int slot, const Target& t) {
    if (get_holder_code(slot, t.folder.c_str()) == 0) return false;
    std::string dir = std::string(server.share) + t.folder;
    if (dir.size() >= FILE_PATH_SIZE) return false;
    return get_dir_code(slot, dir.c_str()) == 2;
}

// RENAME and DELETE take the entry itself: a folder, and every folder inside it that a move
// carries along, must be open for read and write to the user by its own access files (the
// rules LIST shows), not only the folder that holds it.
thread_local int judged_slot = -1;

int judge_folder(const char* path, const struct stat*, int type, struct FTW* ftw) {
    if (type == FTW_DNR) return FTW_STOP;  // a folder that cannot be read is not judged open
    if (type != FTW_D) return FTW_CONTINUE;
    if (strcmp(path + ftw->base, FOLDER_DIR) == 0) return FTW_SKIP_SUBTREE;
    return get_dir_code(judged_slot, path) == 2 ? FTW_CONTINUE : FTW_STOP;
}

bool may_take_folder(int slot, const Target& t) {
    std::string path = std::string(server.share) + t.folder + "/" + t.name;
    if (path.size() >= FILE_PATH_SIZE) return false;
    judged_slot = slot;
    // Links are not followed: a link is moved as a link.
    return nftw(path.c_str(), judge_folder, 8, FTW_PHYS | FTW_ACTIONRETVAL) == 0;
}

// Opens the target's folder, one component at a time from the share root, never following a
// symbolic link.
Why open_folder(const Target& t, Fd* out) {
    Fd dir(open(server.share, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() < 0) return Why::ERROR;
    for (const auto& c : t.parts) {
        int next = openat(dir.get(), c.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0) {
            int err = errno;
            struct stat st;
            if (fstatat(dir.get(), c.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
                return S_ISLNK(st.st_mode) ? Why::LINK : Why::NOTFOUND;  // a link, or no folder
            return err == ENOENT ? Why::NOTFOUND : errno_reason(err);
        }
        dir.reset(next);
    }
    out->reset(dir.get() >= 0 ? dup(dir.get()) : -1);
    return out->get() >= 0 ? Why::OK : Why::ERROR;
}

// Names, access and folder of a request's path in one go.
Why resolve(Session* s, const char* file, Target* t, Fd* dir, bool fresh) {
    Why why = split_target(file, t, fresh);
    if (why != Why::OK) return why;
    if (!may_write(s->slot, *t)) return Why::DENIED;
    return open_folder(*t, dir);
}

void sync_dir(int dir) {
    if (write_limits.sync) fsync(dir);
}

// A refusal by the file system's permissions is the operator's to fix: a WARNING that names
// the folder on disk. path passed split_target, so it holds no control byte.
void log_perm(const char* user, const char* what, const char* path) {
    std::string folder(path, strlen(path));
    folder.erase(folder.rfind('/'));
    logger.writef(user, LOG_WARNING,
                  "%s %s refused: the server's process may not write in %s%s (file permissions "
                  "or a read-only file system)",
                  what, path, server.share, folder.c_str());
}

// The logged form of a refusal.
void log_refused(int slot, const char* what, const char* path, Why why) {
    char name[NAME_SIZE];
    session_name(slot, name);
    if (why == Why::PERM) return log_perm(name, what, path);
    logger.writef(name, LOG_INFO, "%s %s refused: %s", what, path, reason_text(why));
}

// ---------------------------------------------------------------------------------------------
// Upload.

struct PartFile {
    int dir = -1;
    std::string name;
    Fd fd;
    bool linked = false;  // the part file's name still exists
    ~PartFile() { discard(); }
    // Removes the part file now: before any reply, so that a client never sees it.
    void discard() {
        if (linked) unlinkat(dir, name.c_str(), 0);
        linked = false;
    }
    void forget() { linked = false; }
};

// Creates a part file with a random name in dir.
Why create_part(int dir, PartFile* part) {
    for (int attempt = 0; attempt < 8; attempt++) {
        unsigned char rnd[8];
        if (getrandom(rnd, sizeof(rnd), 0) != sizeof(rnd)) return Why::ERROR;
        char name[64];
        int n = snprintf(name, sizeof(name), "%s", UPLOAD_PART_PREFIX);
        for (unsigned char b : rnd) n += snprintf(name + n, sizeof(name) - n, "%02x", b);
        int fd = openat(dir, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd >= 0) {
            part->dir = dir;
            part->name = name;
            part->fd.reset(fd);
            part->linked = true;
            return Why::OK;
        }
        if (errno != EEXIST) return errno_reason(errno);
    }
    return Why::ERROR;
}

// What became of the content of an upload.
enum class Content { COMPLETE, CANCELLED, BROKEN, SLOW };

// The pace of an upload. It ends (BROKEN) after UPLOAD_IDLE_SECONDS without a byte, and (SLOW)
// when a window of write_limits.rate_window seconds brought fewer than min_rate bytes a second,
// or fewer than were left to send when the window began: a client cannot hold the space it
// reserved, and its account's one upload, by sending a byte now and then.
class Pace {
public:
    using Clock = std::chrono::steady_clock;
    explicit Pace(uint64_t size) : left_(size), window_left_(size) {
        last_byte_ = window_start_ = Clock::now();
    }
    // Waits until sock has something to read (or has closed). COMPLETE when it has.
    Content wait(int sock) {
        for (;;) {
            auto now = Clock::now();
            auto idle_end = last_byte_ + std::chrono::seconds(UPLOAD_IDLE_SECONDS);
            auto end = idle_end;
            if (write_limits.min_rate > 0) {
                auto window_end = window_start_ + std::chrono::seconds(write_limits.rate_window);
                if (now >= window_end) {
                    uint64_t need = write_limits.min_rate * write_limits.rate_window;
                    if (need > window_left_) need = window_left_;
                    if (window_left_ - left_ < need) return Content::SLOW;
                    window_start_ = window_end;
                    window_left_ = left_;
                    continue;
                }
                if (window_end < end) end = window_end;
            }
            if (now >= idle_end) return Content::BROKEN;
            // Bytes TLS has read ahead are there already; poll would not see them.
            if (tls_pending(sock)) return Content::COMPLETE;
            auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(end - now).count();
            struct pollfd p = {sock, POLLIN, 0};
            int n = poll(&p, 1, static_cast<int>(ms) + 1);
            if (n > 0) return Content::COMPLETE;
            if (n < 0 && errno != EINTR) return Content::BROKEN;
        }
    }
    // n bytes of content (not of headers) arrived.
    void content(size_t n) {
        left_ -= n;
        last_byte_ = Clock::now();
    }
    void header() { last_byte_ = Clock::now(); }
    uint64_t left() const { return left_; }

private:
    uint64_t left_;         // content bytes still to come
    uint64_t window_left_;  // left_ when the window began
    Clock::time_point last_byte_;
    Clock::time_point window_start_;
};

// Receives 1 to len bytes into dst at the upload's pace. COMPLETE, or why the upload ends.
Content recv_some(int sock, Pace* pace, char* dst, size_t len, size_t* got) {
    for (;;) {
        Content c = pace->wait(sock);
        if (c != Content::COMPLETE) return c;
        ssize_t n = transport_recv(sock, dst, len, true);
        if (n > 0) {
            *got = static_cast<size_t>(n);
            return Content::COMPLETE;
        }
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
        return Content::BROKEN;  // closed or failed
    }
}

Content recv_exact(int sock, Pace* pace, char* dst, size_t len) {
    while (len > 0) {
        size_t got = 0;
        Content c = recv_some(sock, pace, dst, len, &got);
        if (c != Content::COMPLETE) return c;
        pace->header();
        dst += got;
        len -= got;
    }
    return Content::COMPLETE;
}

// Receives size bytes of content in "87" frames and writes them to fd, gathering them in buf
// (TEXT_SIZE bytes: the session's frame buffer, free while the upload runs, since no command is
// read before its final reply). A write error is kept in *write_err and
// the rest is received and dropped, so the connection stays in step. Another frame in between
// cancels the upload (its payload is read and dropped). BROKEN: the connection closed, stayed
// idle, or sent a frame that breaks the protocol; SLOW: it fell below the minimum rate.
Content receive_content(int sock, int fd, uint64_t size, int* write_err, char* buf) {
    constexpr size_t cap = TEXT_SIZE;
    size_t used = 0;
    Pace pace(size);
    auto flush = [&]() {
        size_t off = 0;
        while (*write_err == 0 && off < used) {
            ssize_t w = write(fd, buf + off, used - off);
            if (w < 0) {
                if (errno == EINTR) continue;
                *write_err = errno;
            } else if (w == 0) {
                *write_err = EIO;
            } else {
                off += static_cast<size_t>(w);
            }
        }
        used = 0;
    };
    while (pace.left() > 0) {
        char header[HEADER_SIZE + 1];
        Content c = recv_exact(sock, &pace, header, HEADER_SIZE);
        if (c != Content::COMPLETE) return c;
        header[HEADER_SIZE] = '\0';
        if (!is_valid(header)) return Content::BROKEN;
        uint64_t length = strtoull(header + 2, nullptr, 10);
        if (length > MAX_PAYLOAD) return Content::BROKEN;
        if (memcmp(header, TYPE_UPLOAD, 2) != 0) {
            // Any other frame cancels: drop its payload, the command in it is not run.
            while (length > 0) {
                size_t got = 0;
                size_t want = length < cap ? static_cast<size_t>(length) : cap;
                c = recv_some(sock, &pace, buf, want, &got);
                if (c != Content::COMPLETE) return c;
                pace.header();
                length -= got;
            }
            return Content::CANCELLED;
        }
        if (length > pace.left()) return Content::BROKEN;  // more content than was announced
        while (length > 0) {
            if (used == cap) flush();
            size_t room = cap - used;
            size_t want = length < room ? static_cast<size_t>(length) : room;
            size_t got = 0;
            c = recv_some(sock, &pace, buf + used, want, &got);
            if (c != Content::COMPLETE) return c;
            pace.content(got);
            used += got;
            length -= got;
        }
    }
    flush();
    return Content::COMPLETE;
}

// The accounts with an upload in progress: one at a time per account, across its sessions.
std::mutex uploads_lock;
std::vector<std::string> uploading;  // at most one name per session

class UploadClaim {
public:
    // False when another session of the account is uploading.
    bool take(const char* account) {
        std::lock_guard<std::mutex> g(uploads_lock);
        for (const auto& n : uploading)
            if (n == account) return false;
        uploading.emplace_back(account);
        name_ = account;
        held_ = true;
        return true;
    }
    ~UploadClaim() {
        if (!held_) return;
        std::lock_guard<std::mutex> g(uploads_lock);
        for (auto it = uploading.begin(); it != uploading.end(); ++it) {
            if (*it == name_) {
                uploading.erase(it);
                break;
            }
        }
    }

private:
    std::string name_;
    bool held_ = false;
};

// Puts the finished part file in place of the target: no replacing unless asked to.
Why place_part(PartFile* part, const std::string& name, bool replace) {
    int dir = part->dir;
    if (replace) {
        if (renameat(dir, part->name.c_str(), dir, name.c_str()) != 0)
            return errno == EISDIR || errno == ENOTEMPTY ? Why::EXISTS : errno_reason(errno);
        part->forget();
        return Why::OK;
    }
    if (renameat2(dir, part->name.c_str(), dir, name.c_str(), RENAME_NOREPLACE) == 0) {
        part->forget();
        return Why::OK;
    }
    if (errno != EINVAL && errno != ENOSYS) return errno_reason(errno);
    // A file system without no-replace renames: a hard link fails when the name exists.
    if (linkat(dir, part->name.c_str(), dir, name.c_str(), 0) != 0) return errno_reason(errno);
    return Why::OK;  // the part's own name goes with the PartFile
}

// The kind of the entry name in dir, links not followed: 'f' a regular file, 'd' a folder,
// 'l' a link, 'o' anything else, 0 none.
char entry_kind(int dir, const std::string& name) {
    struct stat st;
    if (fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return 0;
    if (S_ISREG(st.st_mode)) return 'f';
    if (S_ISDIR(st.st_mode)) return 'd';
    if (S_ISLNK(st.st_mode)) return 'l';
    return 'o';
}

// Everything before the go-ahead: the request's members, names, access, the target and the
// space. On success part holds the new part file.
Why prepare_upload(Session* s, const char* file, uint64_t size, bool replace, Target* t, Fd* dir,
                   PartFile* part) {
    Why why = resolve(s, file, t, dir, true);
    if (why != Why::OK) return why;
    switch (entry_kind(dir->get(), t->name)) {
        case 0: break;
        case 'f':
            if (!replace) return Why::EXISTS;
            break;
        case 'l': return Why::LINK;
        default: return Why::EXISTS;  // a folder or a special file is never replaced
    }
    if (size > write_limits.max_size) return Why::TOOBIG;
    struct statvfs vfs;
    if (fstatvfs(dir->get(), &vfs) == 0) {
        uint64_t avail = static_cast<uint64_t>(vfs.f_bavail) * vfs.f_frsize;
        if (avail < write_limits.reserve || avail - write_limits.reserve < size) return Why::NOSPACE;
    }
    why = create_part(dir->get(), part);
    if (why != Why::OK) return why;
    // Taking the space now turns most full disks into a refusal before any byte is sent, and
    // two uploads cannot both count on the same free space.
    if (size > 0 && fallocate(part->fd.get(), 0, 0, static_cast<off_t>(size)) != 0 &&
        (errno == ENOSPC || errno == EDQUOT))
        return Why::NOSPACE;
    return Why::OK;
}

// A JSON member that is a non-negative integer (an int64), or false.
bool member_size(json_object* request, const char* key, uint64_t* out) {
    json_object* m = nullptr;
    if (!json_object_object_get_ex(request, key, &m) || !json_object_is_type(m, json_type_int))
        return false;
    int64_t v = json_object_get_int64(m);
    if (v < 0) return false;
    *out = static_cast<uint64_t>(v);
    return true;
}

bool member_true(json_object* request, const char* key) {
    json_object* m = nullptr;
    if (!json_object_object_get_ex(request, key, &m)) return false;
    return (json_object_is_type(m, json_type_boolean) || json_object_is_type(m, json_type_int)) &&
           json_object_get_boolean(m);
}

// ---------------------------------------------------------------------------------------------
// Start-up clean-up of part files.

int stale_removed = 0;  // only the main thread walks, before any session

int remove_part(const char* path, const struct stat*, int type, struct FTW* ftw) {
    if (type == FTW_F && is_upload_part(path + ftw->base)) {
        if (unlink(path) == 0) {
            logger.writef("main", LOG_NOTICE, "removed an unfinished upload: %s", path);
            stale_removed++;
        }
    }
    return 0;
}

}  // namespace

bool is_upload_part(const char* name) {
    return strncmp(name, UPLOAD_PART_PREFIX, strlen(UPLOAD_PART_PREFIX)) == 0;
}

int remove_stale_parts(const char* share) {
    stale_removed = 0;
    nftw(share, remove_part, 16, FTW_PHYS);
    return stale_removed;
}

int dispatch_features(Session* s, json_object*) {
    json_object* obj = json_object_new_object();
    json_object_object_add(obj, "RESULT", json_object_new_string("OK"));
    json_object* list = json_object_new_array();
    json_object_array_add(list, json_object_new_string("write"));
    json_object_array_add(list, json_object_new_string("offset"));
    json_object_array_add(list, json_object_new_string("access"));
    if (tls_offered(s)) json_object_array_add(list, json_object_new_string("tls"));
    // A descriptor can only pass over the local socket.
    if (s->local) json_object_array_add(list, json_object_new_string("open"));
    json_object_object_add(obj, "FEATURES", list);
    json_reply(s->reply.text, obj);
    return slot_send_text(s->slot, TYPE_REPLY, s->reply.text) < 0 ? -1 : 0;
}

int dispatch_access(Session* s, json_object* request) {
    const char* path = json_text(request, "PATH");
    if (!path) return send_plain_fail(s);
    // The folder as a Target whose folder is PATH itself (the root: "" or "/").
    Target t;
    if (path[0] != '\0' && strcmp(path, "/") != 0) {
        Why why = split_target(path, &t, false);
        if (why != Why::OK) return send_reply(s, why);
        t.parts.push_back(t.name);
        t.folder += "/" + t.name;
    }
    bool read = get_path_code(s->slot, t.folder.c_str()) > 0, write = false;
    if (read) {
        Fd dir;
        Why why = open_folder(t, &dir);
        if (why == Why::NOTFOUND) return send_reply(s, why);
        // A link on the way is followed for reads but refuses every write.
        write = why == Why::OK && may_write(s->slot, t) &&
                faccessat(dir.get(), ".", W_OK | X_OK, AT_EACCESS) == 0;
    }
    json_object* obj = json_object_new_object();
    json_object_object_add(obj, "RESULT", json_object_new_string("OK"));
    json_object_object_add(obj, "READ", json_object_new_boolean(read));
    json_object_object_add(obj, "WRITE", json_object_new_boolean(write));
    json_reply(s->reply.text, obj);
    return slot_send_text(s->slot, TYPE_REPLY, s->reply.text) < 0 ? -1 : 0;
}

int dispatch_put(Session* s, json_object* request) {
    const char* file = json_text(request, "FILE");
    uint64_t size = 0;
    if (!file || !member_size(request, "SIZE", &size)) return send_plain_fail(s);
    bool replace = member_true(request, "REPLACE");

    char name[NAME_SIZE];
    session_name(s->slot, name);
    UploadClaim claim;  // released when the upload ends, whatever its end
    Target t;
    Fd dir;
    PartFile part;
    Why why = claim.take(name) ? prepare_upload(s, file, size, replace, &t, &dir, &part)
                               : Why::BUSY;
    if (why != Why::OK) {
        part.discard();
        log_refused(s->slot, "PUT", file, why);
        return send_reply(s, why);
    }
    if (send_reply(s, Why::OK) < 0) return -1;  // the go-ahead

    int write_err = 0;
    auto began = std::chrono::steady_clock::now();
    Content got = receive_content(s->sock, part.fd.get(), size, &write_err, s->request.text);
    if (got != Content::COMPLETE) {
        part.discard();
        part.fd.close_now();  // the space reserved for it is free again before any reply
    }
    if (got == Content::BROKEN) {
        logger.writef(name, LOG_NOTICE, "PUT %s cut off, nothing written", file);
        return -1;
    }
    if (got == Content::SLOW) {
        long secs = static_cast<long>(std::chrono::duration_cast<std::chrono::seconds>(
                                          std::chrono::steady_clock::now() - began).count());
        logger.writef(name, LOG_NOTICE,
                      "PUT %s cancelled: slower than %llu bytes/s over %d s (%ld s), nothing "
                      "written", file, static_cast<unsigned long long>(write_limits.min_rate),
                      write_limits.rate_window, secs);
        // The rest of the content would be read as commands: the session ends after telling
        // the client why.
        send_reply(s, Why::SLOW);
        return -1;
    }
    if (got == Content::CANCELLED) {
        logger.writef(name, LOG_NOTICE, "PUT %s cancelled, nothing written", file);
        return send_reply(s, Why::CANCELLED);
    }
    if (write_err == 0 && write_limits.sync && fsync(part.fd.get()) != 0) write_err = errno;
    if (part.fd.close_now() != 0 && write_err == 0) write_err = errno;
    if (write_err != 0) {
        part.discard();
        why = errno_reason(write_err);
        if (why == Why::EXISTS || why == Why::NOTFOUND) why = Why::ERROR;
        logger.writef(name, LOG_WARNING, "PUT %s failed: %s", file, strerror(write_err));
        return send_reply(s, why);
    }
    why = place_part(&part, t.name, replace);
    part.discard();  // a part left after a hard link, or after a failed rename
    if (why != Why::OK) {
        log_refused(s->slot, "PUT", file, why);
        return send_reply(s, why);
    }
    sync_dir(dir.get());
    logger.writef(name, LOG_NOTICE, "PUT %s (%llu bytes%s)", file,
                  static_cast<unsigned long long>(size), replace ? ", replace" : "");
    return send_reply(s, Why::OK);
}

int dispatch_mkdir(Session* s, json_object* request) {
    const char* path = json_text(request, "PATH");
    if (!path) return send_plain_fail(s);
    Target t;
    Fd dir;
    Why why = resolve(s, path, &t, &dir, true);
    if (why == Why::OK && mkdirat(dir.get(), t.name.c_str(), 0755) != 0) why = errno_reason(errno);
    if (why != Why::OK) {
        log_refused(s->slot, "MKDIR", path, why);
        return send_reply(s, why);
    }
    sync_dir(dir.get());
    char name[NAME_SIZE];
    session_name(s->slot, name);
    logger.writef(name, LOG_NOTICE, "MKDIR %s", path);
    return send_reply(s, Why::OK);
}

int dispatch_rename(Session* s, json_object* request) {
    const char* from = json_text(request, "FROM");
    const char* to = json_text(request, "TO");
    if (!from || !to) return send_plain_fail(s);
    Target src, dst;
    Fd src_dir, dst_dir;
    Why why = resolve(s, from, &src, &src_dir, false);
    if (why == Why::OK) why = resolve(s, to, &dst, &dst_dir, true);
    if (why == Why::OK) {
        char kind = entry_kind(src_dir.get(), src.name);
        if (kind == 0) why = Why::NOTFOUND;
        if (kind == 'l') why = Why::LINK;
        if (kind == 'd' && !may_take_folder(s->slot, src)) why = Why::DENIED;
    }
    if (why == Why::OK && renameat2(src_dir.get(), src.name.c_str(), dst_dir.get(),
                                    dst.name.c_str(), RENAME_NOREPLACE) != 0) {
        int err = errno;
        if (err == EINVAL && entry_kind(dst_dir.get(), dst.name) == 0) {
            // No no-replace renames on this file system (or a folder moved into itself, which
            // the plain rename refuses the same way).
            if (renameat(src_dir.get(), src.name.c_str(), dst_dir.get(), dst.name.c_str()) != 0)
                err = errno;
            else
                err = 0;
        } else if (err == EINVAL) {
            err = EEXIST;
        }
        if (err != 0) why = err == EINVAL ? Why::NAME : errno_reason(err);
    }
    if (why != Why::OK) {
        char name[NAME_SIZE];
        session_name(s->slot, name);
        if (why == Why::PERM)
            log_perm(name, "RENAME", to);
        else
            logger.writef(name, LOG_INFO, "RENAME %s -> %s refused: %s", from, to, reason_text(why));
        return send_reply(s, why);
    }
    sync_dir(dst_dir.get());
    sync_dir(src_dir.get());
    char name[NAME_SIZE];
    session_name(s->slot, name);
    logger.writef(name, LOG_NOTICE, "RENAME %s -> %s", from, to);
    return send_reply(s, Why::OK);
}

int dispatch_delete(Session* s, json_object* request) {
    const char* path = json_text(request, "FILE");
    if (!path) return send_plain_fail(s);
    Target t;
    Fd dir;
    Why why = resolve(s, path, &t, &dir, false);
    if (why == Why::OK) {
        char kind = entry_kind(dir.get(), t.name);
        if (kind == 0) why = Why::NOTFOUND;
        else if (kind == 'l') why = Why::LINK;
        else if (kind == 'd' && !may_take_folder(s->slot, t)) why = Why::DENIED;
        else if (unlinkat(dir.get(), t.name.c_str(), kind == 'd' ? AT_REMOVEDIR : 0) != 0)
            why = errno == EEXIST ? Why::NOTEMPTY : errno_reason(errno);
    }
    if (why != Why::OK) {
        log_refused(s->slot, "DELETE", path, why);
        return send_reply(s, why);
    }
    sync_dir(dir.get());
    char name[NAME_SIZE];
    session_name(s->slot, name);
    logger.writef(name, LOG_NOTICE, "DELETE %s", path);
    return send_reply(s, Why::OK);
}
