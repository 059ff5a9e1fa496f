// Folder access and listings: get_dir_code judges one folder by the session's level and the
// folder's ".folder" access files (groups through the group database), LIST and LISTALL send
// one line per visible entry of a folder. Nothing is cached: every request reads the files
// afresh. Client paths are confined to the share ("/" first, no ".." component), and a folder
// inside a closed folder stays closed.
#include "server_folder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <memory>

#include "admin.h"
#include "logger.h"
#include "server_write.h"
#include "utils.h"

namespace {

const char* const _hidden_files[] = {
    ".",       "..",      "lost+found", "$RECYCLE.BIN", "RECYCLER", "System Volume Information",
    "Thumbs.db", "group_r", "group_w",  "users_r",      "users_w",  "X.download",
    nullptr,
};

const char* const TEXT_CLOSED = "CLOSED\n";
const char* const TEXT_ERROR = "ERROR\n";
const char* const TEXT_NONE = "NONE\n";

// The access files in the order they are examined; what each grants.
enum AccessFile { USERS_W, USERS_R, GROUP_W, GROUP_R, ACCESS_FILES };
const char* const kAccessFiles[ACCESS_FILES] = {"users_w", "users_r", "group_w", "group_r"};

struct FileCloser {
    void operator()(FILE* f) const { fclose(f); }
};
struct DirCloser {
    void operator()(DIR* d) const { closedir(d); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;
using DirPtr = std::unique_ptr<DIR, DirCloser>;

// snprintf into a fixed buffer; false when the text did not fit (the caller refuses it rather
// than using a cut path, which would name another file).
template <size_t N>
bool form_path(char (&dst)[N], const char* fmt, ...) __attribute__((format(printf, 2, 3)));
template <size_t N>
bool form_path(char (&dst)[N], const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(dst, N, fmt, ap);
    va_end(ap);
    return n >= 0 && static_cast<size_t>(n) < N;
}

bool exists(const char* path) { return access(path, F_OK) == 0; }

// A name that would cut its listing line in two (and could forge lines after it).
bool breaks_line(const char* name) { return strpbrk(name, "\r\n") != nullptr; }

// An item of a list (a line, a group member) names the user when its first len bytes are the
// name; a longer item that begins with the name matches too.
bool names_user(const char* item, size_t item_len, const char* name, size_t len) {
    return len > 0 && item_len >= len && memcmp(item, name, len) == 0;
}

// True when the comma-separated members name the user. Empty items are skipped; blanks stay
// part of their item. members is cut up in place; the position is kept per call.
bool member_of(char* members, const char* name, size_t len) {
    char* save = nullptr;
    for (char* item = strtok_r(members, ",", &save); item; item = strtok_r(nullptr, ",", &save)) {
        if (names_user(item, strlen(item), name, len)) return true;
    }
    return false;
}

// Opens an access file without ever blocking (a FIFO named like one must not hang the session).
FILE* open_access_file(const char* path) {
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return nullptr;
    FILE* f = fdopen(fd, "r");
    if (!f) close(fd);
    return f;
}

// Reads one access file; true when a line grants the user. line/cap: the call's line buffer.
bool file_grants(FILE* f, bool group, const char* name, size_t len, char** line, size_t* cap,
                 std::unique_ptr<GroupInfo>& group_info) {
    ssize_t n;
    while ((n = getline(line, cap, f)) >= 0) {
        if (!group) {
            if (names_user(*line, static_cast<size_t>(n), name, len)) return true;
            continue;
        }
        strip(*line);
        // A group name must fit the record's name field; a longer one is not supported.
        if (strlen(*line) >= sizeof(GroupInfo::name)) continue;
        if (!group_info) group_info.reset(new GroupInfo);
        memset(group_info->name, 0, sizeof(group_info->name));
        strcpy(group_info->name, *line);
        group_info->members[0] = '\0';
        // A record of our own: concurrent evaluations never see each other's members.
        if (admin.get_group_info(group_info.get()) < 0) continue;
        group_info->members[sizeof(group_info->members) - 1] = '\0';
        if (member_of(group_info->members, name, len)) return true;
    }
    return false;
}

// The session's name and level, read together.
int slot_user(int slot, char (&name)[NAME_SIZE]) {
    std::lock_guard<std::mutex> g(users_lock);
    memcpy(name, users[slot].name, NAME_SIZE);
    name[NAME_SIZE - 1] = '\0';
    return users[slot].level;
}

// What a status call finds at path, links not followed: 1 a folder, 0 anything else, -1 gone.
int entry_is_folder(const char* path) {
    struct stat st;
    if (lstat(path, &st) != 0) return -1;
    return S_ISDIR(st.st_mode) ? 1 : 0;
}

// Whether the directory read reports a folder. Only DT_DIR is: block devices and sockets are
// not folders and are listed by the status-call rules like every other non-folder.
bool reported_folder(const struct dirent* e, const char* path) {
    if (e->d_type == DT_DIR) return true;
    if (e->d_type == DT_UNKNOWN) return entry_is_folder(path) == 1;
    return false;
}

// The path of the share folder rel (a client path) into dst; false when it does not fit.
bool share_path(char (&dst)[FILE_PATH_SIZE], const char* rel) {
    if (rel[0] == '\0' || strcmp(rel, "/") == 0) return form_path(dst, "%s", server.share);
    return form_path(dst, "%s%s", server.share, rel);
}

}  // namespace

bool client_path_ok(const char* path) {
    if (path[0] == '\0') return true;
    if (path[0] != '/') return false;
    const char* p = path;
    while (*p) {
        while (*p == '/') p++;
        const char* end = strchrnul(p, '/');
        if (end - p == 2 && p[0] == '.' && p[1] == '.') return false;
        p = end;
    }
    return true;
}

int get_dir_code(int slot, const char* dir) {
    char name[NAME_SIZE];
    int level = slot_user(slot, name);
    if (level <= 0) return 0;
    if (level == 1) return 1;
    if (level == 9) return 2;
    size_t len = strlen(name);

    char path[FILE_PATH_SIZE];
    bool present = false;
    bool granted[ACCESS_FILES] = {false, false, false, false};
    char* line = nullptr;
    size_t cap = 0;
    std::unique_ptr<GroupInfo> group_info;
    for (int i = 0; i < ACCESS_FILES; i++) {
        if (!form_path(path, "%s/.folder/%s", dir, kAccessFiles[i])) {
            free(line);
            return 0;
        }
        if (!exists(path)) continue;
        // An access file closes the folder as soon as it exists, readable or not.
        present = true;
        FilePtr f(open_access_file(path));
        if (!f) continue;
        granted[i] = file_grants(f.get(), i >= GROUP_W, name, len, &line, &cap, group_info);
    }
    free(line);
    if (!present) return 2;
    if (granted[USERS_W] || granted[GROUP_W]) return 2;
    if (granted[USERS_R] || granted[GROUP_R]) return 1;
    return 0;
}

int get_path_code(int slot, const char* rel) {
    char path[FILE_PATH_SIZE];
    if (!form_path(path, "%s", server.share)) return 0;
    int code = get_dir_code(slot, path);
    size_t base = strlen(path);
    size_t rel_len = strlen(rel);
    if (base + rel_len >= sizeof(path)) return 0;
    // Every folder on the way down, each judged by its own files.
    for (size_t i = 0; code > 0 && i < rel_len;) {
        size_t end = i + 1;
        while (end < rel_len && rel[end] != '/') end++;
        if (end > i + 1) {  // skips empty components ("//", a trailing "/")
            memcpy(path + base, rel, end);
            path[base + end] = '\0';
            int c = get_dir_code(slot, path);
            if (c < code) code = c;
        }
        i = end;
    }
    return code;
}

int get_holder_code(int slot, const char* rel) {
    const char* last = strrchr(rel, '/');
    size_t len = last ? static_cast<size_t>(last - rel) : 0;
    char holder[FILE_PATH_SIZE];
    if (len >= sizeof(holder)) return 0;
    memcpy(holder, rel, len);
    holder[len] = '\0';
    return get_path_code(slot, holder);
}

int is_hidden(const char* name, bool show_dot) {
    if (!show_dot && name[0] == '.') return 1;
    if (is_upload_part(name)) return 1;  // an upload in progress
    for (const char* const* h = _hidden_files; *h; h++)
        if (strcmp(*h, name) == 0) return 1;
    return 0;
}

int isLinkFile(const char* dir, const char* name) {
    char link[FILE_PATH_SIZE];
    char target[FILE_PATH_SIZE] = {0};
    if (!form_path(link, "%s/%s", dir, name)) {
        logger.writef("isLinkFile", LOG_ERROR, "readlink error:%s", link);
        return -1;
    }
    ssize_t n = readlink(link, target, sizeof(target) - 1);
    if (n < 0 || static_cast<size_t>(n) >= sizeof(target) - 1) {
        logger.writef("isLinkFile", LOG_ERROR, "readlink error:%s", link);
        return -1;
    }
    target[n] = '\0';
    logger.write("isLinkFile", LOG_DEBUG, link);
    char joined[FILE_PATH_SIZE];
    bool fits = target[0] == '/' ? form_path(joined, "%s", target)
                                 : form_path(joined, "%s/%s", dir, target);
    struct stat st;
    if (fits && lstat(joined, &st) == 0) {
        if (S_ISREG(st.st_mode)) return 1;
        if (S_ISDIR(st.st_mode)) return 0;
    }
    logger.write("isLinkFile", LOG_ERROR, joined);
    return -1;
}

int64_t get_file_size(const char* path) {
    struct stat st;
    if (stat(path, &st) != 0) {
        logger.writef("get_file_size", LOG_ERROR, "'stat' failed for '%s':%s", path,
                      strerror(errno));
        return 0;
    }
    return static_cast<int64_t>(st.st_size);
}

void get_dir_list(int slot, const char* path, const char* name, char* line, bool all) {
    bool root = path[0] == '\0' || strcmp(path, "/") == 0;
    char dir[FILE_PATH_SIZE];
    bool fits = root ? form_path(dir, "%s/%s", server.share, name)
                     : form_path(dir, "%s%s/%s", server.share, path, name);
    if (!fits || get_dir_code(slot, dir) == 0) {
        snprintf(line, LINE_SIZE, "DC,%d,%d,%s\n", 0, 0, name);
        return;
    }
    int folders = 0;
    int files = 0;
    DirPtr d(opendir(dir));
    if (d) {
        char entry[FILE_PATH_SIZE];
        while (struct dirent* e = readdir(d.get())) {
            if (is_hidden(e->d_name, all) || breaks_line(e->d_name)) continue;
            if (!form_path(entry, "%s/%s", dir, e->d_name)) continue;
            if (reported_folder(e, entry)) {
                folders++;
                continue;
            }
            struct stat st;
            if (lstat(entry, &st) == 0 && S_ISLNK(st.st_mode)) {
                if (isLinkFile(dir, e->d_name) == 1)
                    files++;
                else
                    folders++;
            } else {
                files++;
            }
        }
    }
    snprintf(line, LINE_SIZE, "DN,%d,%d,%s\n", folders, files, name);
    char icon[FILE_PATH_SIZE];
    if (form_path(icon, "%s/.folder.png", dir) && exists(icon)) line[1] = 'P';
    logger.write("get_dir_list", LOG_DEBUG, line);
}

int cmd_list(Data* reply, json_object**, int slot, const char* path, bool all) {
    char name[NAME_SIZE];
    slot_user(slot, name);
    bool root = path[0] == '\0' || strcmp(path, "/") == 0;
    if (root)
        logger.write(name, LOG_INFO, "LIST /");
    else
        logger.writef(name, LOG_INFO, "LIST %s", path);

    char* out = reply->text;
    out[0] = '\0';
    char dir[FILE_PATH_SIZE];
    if (!client_path_ok(path) || !share_path(dir, path)) {
        strcpy(out, TEXT_ERROR);
        return 0;
    }
    if (get_path_code(slot, path) == 0) {
        strcpy(out, TEXT_CLOSED);
        return 0;
    }
    DirPtr d(opendir(dir));
    if (!d) {
        strcpy(out, TEXT_ERROR);
        return 0;
    }
    // Entries are joined to "<share><path>" as the client named it; the root is "" here.
    const char* rel = root ? "" : path;
    size_t used = 0;
    char line[LINE_SIZE];
    char entry[FILE_PATH_SIZE];
    while (struct dirent* e = readdir(d.get())) {
        const char* ename = e->d_name;
        if (is_hidden(ename, all)) continue;
        if (breaks_line(ename)) {
            logger.writef("cmd_list", LOG_WARNING, "name with a line break left out in %s", dir);
            continue;
        }
        if (!form_path(entry, "%s%s/%s", server.share, rel, ename)) {
            logger.writef("cmd_list", LOG_WARNING, "path too long, left out: %s/%.64s...", dir,
                          ename);
            continue;
        }
        bool folder = reported_folder(e, entry);
        struct stat st;
        bool have_stat = false;
        if (!folder) {
            if (lstat(entry, &st) != 0) continue;  // gone meanwhile
            have_stat = true;
            if (S_ISLNK(st.st_mode)) {
                if (isLinkFile(dir, ename) == 1)
                    have_stat = stat(entry, &st) == 0;
                else
                    folder = true;
            }
        }
        if (folder) {
            get_dir_list(slot, rel, ename, line, all);
        } else {
            unsigned long size = have_stat ? static_cast<unsigned long>(st.st_size) : 0;
            snprintf(line, sizeof(line), "FN,0,%lu,%s\n", size, ename);
            char snap[FILE_PATH_SIZE];
            if (form_path(snap, "%s%s/.folder/snap/%s.png", server.share, rel, ename) &&
                exists(snap))
                line[1] = 'P';
            logger.write("cmd_list", LOG_DEBUG, line);
        }
        size_t n = strlen(line);
        if (used + n > MAX_PAYLOAD) {
            // The reply holds one frame's payload: cut at the last whole line.
            logger.writef("cmd_list", LOG_WARNING, "listing of %s cut at %zu bytes", dir, used);
            break;
        }
        memcpy(out + used, line, n + 1);
        used += n;
    }
    if (used == 0) strcpy(out, TEXT_NONE);
    return 0;
}

int dispatch_list(Session* s, json_object* request, bool all) {
    const char* path = json_text(request, "PATH");
    if (!path) {
        json_object* obj = json_object_new_object();
        json_object_object_add(obj, "RESULT", json_object_new_string("FAIL"));
        json_reply(s->reply.text, obj);
        logger.write("cmd_list", LOG_DEBUG, s->reply.text);
        return slot_send_text(s->slot, TYPE_REPLY, s->reply.text) < 0 ? -1 : 0;
    }
    // A path that does not fit the buffer is longer than any path of the share can be: it is
    // answered as one that cannot be opened, never cut (a cut path names another folder).
    if (copy_text(s->path, path))
        cmd_list(&s->reply, nullptr, s->slot, s->path, all);
    else
        strcpy(s->reply.text, "ERROR\n");
    return slot_send_text(s->slot, TYPE_TEXT, s->reply.text) < 0 ? -1 : 0;
}
