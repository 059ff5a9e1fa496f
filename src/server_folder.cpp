// Folder access and listings: get_dir_code judges one folder by the session's level and the
// folder's ".folder" access files (groups through the group database), LIST and LISTALL send
// one line per visible entry of a folder, ENTRIES the same in as many frames as it takes. Client
// paths are confined to the share ("/" first, no ".." component), and a folder
// inside a closed folder stays closed. Parsed access files are cached (see "The access-file
// cache" below), each checked against the file's status at every use.
#include "server_folder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

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
struct FdCloser {
    int fd;
    ~FdCloser() { close(fd); }
};

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

// The path of the share folder rel (a client path) into dst; false when it does not fit.
bool share_path(char (&dst)[FILE_PATH_SIZE], const char* rel) {
    if (rel[0] == '\0' || strcmp(rel, "/") == 0) return form_path(dst, "%s", server.share);
    return form_path(dst, "%s%s", server.share, rel);
}

// ---------------------------------------------------------------------------------------------
// The access-file cache. Listing a folder judges every sub-folder by its access files; reading
// and parsing them each time is most of a listing's cost. An entry holds the parsed lines of one
// access file, keyed by the file's (st_dev, st_ino) and valid only while the file's st_mtim,
// st_ctim and st_size are what they were when it was read: every use stats the file first, so
// a replaced file (another inode), a rewritten one (mtime and ctime) or one whose times were
// set back (ctime moves anyway) is read afresh. A change within one tick of the file system's
// clock could keep all three, so a file changed less than ACCESS_SETTLE_SECONDS ago is never
// served from the cache (nor stored in it). Group files keep only the group names: membership
// is looked up in the group database at every use.
constexpr size_t ACCESS_CACHE_ENTRIES = 4096;       // files held
constexpr size_t ACCESS_CACHE_BYTES = 4u << 20;     // bytes of their lines
constexpr off_t ACCESS_CACHE_FILE = 64 << 10;       // larger files are read each time
constexpr time_t ACCESS_SETTLE_SECONDS = 2;

struct AccessLines {
    std::vector<std::string> items;  // user lines as read (newline kept), or group names
    size_t bytes = 0;
};

struct AccessKey {
    dev_t dev;
    ino_t ino;
    bool operator==(const AccessKey& o) const { return dev == o.dev && ino == o.ino; }
};
struct AccessKeyHash {
    size_t operator()(const AccessKey& k) const {
        return std::hash<uint64_t>()(static_cast<uint64_t>(k.ino) * 1000003u ^
                                     static_cast<uint64_t>(k.dev));
    }
};
struct AccessEntry {
    struct timespec mtim;
    struct timespec ctim;
    off_t size;
    std::shared_ptr<const AccessLines> lines;
};

std::mutex access_cache_lock;  // guards the two below
std::unordered_map<AccessKey, AccessEntry, AccessKeyHash> access_cache;
size_t access_cache_bytes = 0;

bool same_time(const struct timespec& a, const struct timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// Unchanged for long enough that a later change shows in its times.
bool settled(const struct stat& st) {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    time_t limit = now.tv_sec - ACCESS_SETTLE_SECONDS;
    return st.st_mtim.tv_sec < limit && st.st_ctim.tv_sec < limit;
}

std::shared_ptr<const AccessLines> cache_find(const struct stat& st) {
    if (!settled(st)) return nullptr;
    std::lock_guard<std::mutex> g(access_cache_lock);
    auto it = access_cache.find(AccessKey{st.st_dev, st.st_ino});
    if (it == access_cache.end()) return nullptr;
    const AccessEntry& e = it->second;
    if (!same_time(e.mtim, st.st_mtim) || !same_time(e.ctim, st.st_ctim) || e.size != st.st_size)
        return nullptr;
    return e.lines;
}

// st: the status of the file taken before its lines were read.
void cache_store(const struct stat& st, const std::shared_ptr<const AccessLines>& lines) {
    if (!settled(st)) return;
    std::lock_guard<std::mutex> g(access_cache_lock);
    AccessKey key{st.st_dev, st.st_ino};
    auto it = access_cache.find(key);
    if (it != access_cache.end()) {
        access_cache_bytes -= it->second.lines->bytes;
        access_cache.erase(it);
    }
    // Full: start again rather than track ages (a share has far fewer access files).
    if (access_cache.size() >= ACCESS_CACHE_ENTRIES ||
        access_cache_bytes + lines->bytes > ACCESS_CACHE_BYTES) {
        access_cache.clear();
        access_cache_bytes = 0;
    }
    access_cache.emplace(key, AccessEntry{st.st_mtim, st.st_ctim, st.st_size, lines});
    access_cache_bytes += lines->bytes;
}

// Reads the lines of an open access file as file_grants takes them; nullptr when it holds
// more than ACCESS_CACHE_FILE bytes.
std::shared_ptr<const AccessLines> read_access_lines(FILE* f, bool group) {
    auto out = std::make_shared<AccessLines>();
    char* line = nullptr;
    size_t cap = 0;
    ssize_t n;
    while ((n = getline(&line, &cap, f)) >= 0) {
        out->bytes += static_cast<size_t>(n) + sizeof(std::string);
        if (out->bytes > static_cast<size_t>(ACCESS_CACHE_FILE)) {
            free(line);
            return nullptr;
        }
        if (!group) {
            out->items.emplace_back(line, static_cast<size_t>(n));
            continue;
        }
        strip(line);
        // A group name must fit the record's name field; a longer one is not supported.
        if (strlen(line) >= sizeof(GroupInfo::name)) continue;
        out->items.emplace_back(line);
    }
    free(line);
    return out;
}

// True when a group of the list has the user as a member.
bool group_grants(const AccessLines& lines, const char* name, size_t len,
                  std::unique_ptr<GroupInfo>& group_info) {
    for (const std::string& g : lines.items) {
        if (!group_info) group_info.reset(new GroupInfo);
        memset(group_info->name, 0, sizeof(group_info->name));
        memcpy(group_info->name, g.c_str(), g.size() + 1);
        group_info->members[0] = '\0';
        // A record of our own: concurrent evaluations never see each other's members.
        if (admin.get_group_info(group_info.get()) < 0) continue;
        group_info->members[sizeof(group_info->members) - 1] = '\0';
        if (member_of(group_info->members, name, len)) return true;
    }
    return false;
}

// ---------------------------------------------------------------------------------------------
// The sub-folder cache. A folder line counts the folders and files inside the sub-folder: an
// open and a directory read for every sub-folder of a listing. An entry holds what one read of
// a sub-folder found, keyed by the sub-folder's (st_dev, st_ino) and valid only while its
// st_mtim and st_ctim are what they were before the read: a name added, removed or renamed
// inside moves the modification time, a change of its owner or permissions the change time.
// What is cached depends on nothing else: the kind of each entry (a name is replaced only by
// a change of the folder), the names themselves. A symbolic link inside is counted by what it
// leads to, which can change while the folder does not: a folder holding one (or an entry whose
// kind could not be read, or a name too long to count) is never cached. The settle rule of the
// access cache applies (nothing changed less than ACCESS_SETTLE_SECONDS ago is stored or
// served).
constexpr size_t COUNT_CACHE_ENTRIES = 8192;  // sub-folders held

struct FolderCounts {
    bool counted = false;     // the members below are known (else only access_names is)
    int folders[2] = {0, 0};  // [0] with dot-names left out (LIST), [1] shown (LISTALL, DOTS)
    int files[2] = {0, 0};
    size_t longest = 0;       // the longest name counted
    bool icon = false;        // ".folder.png" can be reached inside
    bool access_dir = false;  // an entry named ".folder" exists
    unsigned access_names = 0;  // names of access files that exist: bit (1 << USERS_W), ...
};

struct CountEntry {
    struct timespec mtim;
    struct timespec ctim;
    FolderCounts counts;
};

std::mutex count_cache_lock;  // guards the one below
std::unordered_map<AccessKey, CountEntry, AccessKeyHash> count_cache;

// The counts of the sub-folder of status st (links followed), when cached and still valid.
bool counts_find(const struct stat& st, FolderCounts* out) {
    if (!S_ISDIR(st.st_mode) || !settled(st)) return false;
    std::lock_guard<std::mutex> g(count_cache_lock);
    auto it = count_cache.find(AccessKey{st.st_dev, st.st_ino});
    if (it == count_cache.end()) return false;
    if (!same_time(it->second.mtim, st.st_mtim) || !same_time(it->second.ctim, st.st_ctim))
        return false;
    *out = it->second.counts;
    return true;
}

// st: the status of the sub-folder taken before it was read.
void counts_store(const struct stat& st, const FolderCounts& counts) {
    if (!settled(st)) return;
    std::lock_guard<std::mutex> g(count_cache_lock);
    // Full: start again rather than track ages.
    if (count_cache.size() >= COUNT_CACHE_ENTRIES) count_cache.clear();
    count_cache[AccessKey{st.st_dev, st.st_ino}] = CountEntry{st.st_mtim, st.st_ctim, counts};
}


// The user a folder is judged for.
struct Viewer {
    char name[NAME_SIZE];
    size_t len;
    int level;
};

// Levels 0 and below, 1 and 9 are judged by the level alone.
bool judged_by_files(const Viewer& who) { return who.level > 1 && who.level != 9; }

enum class Grant { ABSENT, PRESENT, GRANTS };

// One access file (file: its path relative to at, a folder descriptor or AT_FDCWD; which:
// which one it is): absent, present without granting the user, or granting.
Grant access_file(const Viewer& who, int at, const char* file, int which,
                  std::unique_ptr<GroupInfo>& group_info) {
    bool group = which >= GROUP_W;
    struct stat st;
    // An access file closes the folder as soon as it exists, readable or not.
    if (fstatat(at, file, &st, 0) != 0) return Grant::ABSENT;
    std::shared_ptr<const AccessLines> lines;
    if (S_ISREG(st.st_mode) && st.st_size <= ACCESS_CACHE_FILE) lines = cache_find(st);
    if (!lines) {
        // Never blocks: a FIFO named like an access file must not hang the session.
        int fd = openat(at, file, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
        if (fd < 0) return Grant::PRESENT;
        FilePtr f(fdopen(fd, "r"));
        if (!f) {
            close(fd);
            return Grant::PRESENT;
        }
        // The status before the read: a change during the read leaves the entry unusable. A
        // file changed too lately to be stored is not parsed for the cache at all.
        bool cacheable = settled(st) && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
                         st.st_size <= ACCESS_CACHE_FILE;
        if (cacheable) lines = read_access_lines(f.get(), group);
        if (lines) {
            cache_store(st, lines);
        } else {
            // Large or special: read as it streams, from the start.
            rewind(f.get());
            char* line = nullptr;
            size_t cap = 0;
            bool granted = file_grants(f.get(), group, who.name, who.len, &line, &cap, group_info);
            free(line);
            return granted ? Grant::GRANTS : Grant::PRESENT;
        }
    }
    if (group) return group_grants(*lines, who.name, who.len, group_info) ? Grant::GRANTS
                                                                          : Grant::PRESENT;
    for (const std::string& item : lines->items)
        if (names_user(item.data(), item.size(), who.name, who.len)) return Grant::GRANTS;
    return Grant::PRESENT;
}

// Which access files exist as names in the folder ".folder" at folder_rel (relative to at) of
// status st: bit (1 << USERS_W) and so on, every bit when not known. From the sub-folder cache
// while ".folder" is unchanged (a name appears or goes only with a change of the folder; what a
// name is, a link included, is left to the status call of each file that exists); read and
// stored once it has been quiet for ACCESS_SETTLE_SECONDS, never read before.
unsigned access_names(int at, const char* folder_rel, const struct stat& st) {
    const unsigned all = (1u << ACCESS_FILES) - 1;
    FolderCounts counts;
    if (counts_find(st, &counts)) return counts.access_names;
    if (!settled(st)) return all;
    int fd = openat(at, folder_rel, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return all;
    struct stat before;
    DirPtr d(fstat(fd, &before) == 0 && S_ISDIR(before.st_mode) ? fdopendir(fd) : nullptr);
    if (!d) {
        close(fd);
        return all;
    }
    counts.counted = false;
    counts.access_names = 0;
    for (;;) {
        errno = 0;
        struct dirent* e = readdir(d.get());
        if (!e) {
            if (errno != 0) return all;
            break;
        }
        for (int which = 0; which < ACCESS_FILES; which++)
            if (strcmp(e->d_name, kAccessFiles[which]) == 0) counts.access_names |= 1u << which;
    }
    counts_store(before, counts);
    return counts.access_names;
}

// The access code (0, 1, 2 as get_dir_code) of the folder whose ".folder" is folder_rel,
// relative to at (a folder descriptor or AT_FDCWD). The write files are looked at first, so
// that a grant ends the search: users_w, group_w, users_r, group_r.
int folder_code(const Viewer& who, int at, const char* folder_rel) {
    if (who.level <= 0) return 0;
    if (who.level == 1) return 1;
    if (who.level == 9) return 2;
    struct stat fst;
    if (fstatat(at, folder_rel, &fst, 0) != 0) {
        // No ".folder" (or none that can be searched): no access file exists. Anything else
        // (a loop of links) closes the folder rather than open it.
        return errno == ENOENT || errno == ENOTDIR || errno == EACCES ? 2 : 0;
    }
    if (!S_ISDIR(fst.st_mode)) return 2;
    char file[FILE_PATH_SIZE];
    size_t n = strlen(folder_rel);
    if (n + sizeof("/users_w") > sizeof(file)) return 0;
    memcpy(file, folder_rel, n);
    file[n] = '/';
    unsigned names = access_names(at, folder_rel, fst);
    std::unique_ptr<GroupInfo> group_info;
    bool present = false;
    int code = -1;
    static const int order[ACCESS_FILES] = {USERS_W, GROUP_W, USERS_R, GROUP_R};
    for (int which : order) {
        if (!(names & (1u << which))) continue;  // no such name in ".folder"
        memcpy(file + n + 1, kAccessFiles[which], strlen(kAccessFiles[which]) + 1);
        Grant g = access_file(who, at, file, which, group_info);
        if (g == Grant::ABSENT) continue;
        present = true;
        if (g == Grant::GRANTS) {
            code = which == USERS_W || which == GROUP_W ? 2 : 1;
            break;
        }
    }
    if (code >= 0) return code;
    return present ? 0 : 2;
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
    Viewer who;
    who.level = slot_user(slot, who.name);
    who.len = strlen(who.name);
    if (!judged_by_files(who)) return folder_code(who, AT_FDCWD, "");
    // The access files' paths must fit, as every other path of the share must.
    size_t n = strlen(dir);
    if (n + sizeof("/.folder/users_w") > FILE_PATH_SIZE) return 0;
    char folder[FILE_PATH_SIZE];
    memcpy(folder, dir, n);
    memcpy(folder + n, "/.folder", sizeof("/.folder"));
    return folder_code(who, AT_FDCWD, folder);
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

namespace {

// One listing in progress: the folder open as dfd, and what every line needs.
struct Lister {
    Viewer who;
    int dfd = -1;             // the listed folder
    int snap_fd = -1;         // its ".folder/snap", or -1
    const char* dir = "";     // its path on disk ("<share><path>")
    size_t base_len = 0;      // strlen(share) + strlen(rel): an entry is "<share><rel>/<name>"
    bool all = false;         // dot-names shown
    bool meta = false;        // ENTRIES: modification times and write flags wanted
    bool write_path = false;  // ENTRIES: writes inside the folder pass the name and link rules
    Lister() = default;
    Lister(const Lister&) = delete;
    Lister& operator=(const Lister&) = delete;
    ~Lister() {
        if (snap_fd >= 0) close(snap_fd);
    }
};

// What a listing line says of one entry.
struct EntryLine {
    char kind[3];
    int a;            // folders inside (folder lines), else 0
    unsigned long b;  // files inside (folder lines) or the file's size
    long long mtime;  // seconds since the epoch (ENTRIES)
    bool write;       // the user may write inside this folder (ENTRIES folder lines)
};

// Counts the folders and files inside the sub-folder name of the listed folder (dir_len: the
// length of its path on disk) into out, both with and without dot-names, and stores them in the
// sub-folder cache when nothing in them can change without the sub-folder changing.
void count_folder(const Lister& l, const char* name, size_t dir_len, FolderCounts* out) {
    *out = FolderCounts();
    char icon[LINE_SIZE];
    snprintf(icon, sizeof(icon), "%s/.folder.png", name);
    out->icon = faccessat(l.dfd, icon, F_OK, 0) == 0;
    int sfd = openat(l.dfd, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (sfd < 0) return;
    FdCloser closer{sfd};
    struct stat st;
    bool cacheable = fstat(sfd, &st) == 0;
    char sub[FILE_PATH_SIZE];  // for links only: isLinkFile takes the folder's path
    sub[0] = '\0';
    // The directory read straight into a buffer of our own (a sub-folder is small: one call and
    // the one that says the end).
    alignas(struct dirent64) char buf[8192];
    for (;;) {
        ssize_t got = getdents64(sfd, buf, sizeof(buf));
        if (got <= 0) {
            if (got < 0) cacheable = false;  // cut short: counts of part of it
            break;
        }
        for (ssize_t off = 0; off < got;) {
            const struct dirent64* e = reinterpret_cast<const struct dirent64*>(buf + off);
            off += e->d_reclen;
            const char* n = e->d_name;
            if (strcmp(n, ".folder") == 0) out->access_dir = true;
            for (int which = 0; which < ACCESS_FILES; which++)
                if (strcmp(n, kAccessFiles[which]) == 0) out->access_names |= 1u << which;
            bool shown = !is_hidden(n, true);       // with dot-names
            bool shown_plain = shown && n[0] != '.';  // without
            if (!shown || breaks_line(n)) continue;
            size_t len = strlen(n);
            if (dir_len + 1 + len >= FILE_PATH_SIZE) {
                cacheable = false;
                continue;
            }
            if (len > out->longest) out->longest = len;
            unsigned char type = e->d_type;
            if (type == DT_UNKNOWN) {
                struct stat est;
                if (fstatat(sfd, n, &est, AT_SYMLINK_NOFOLLOW) == 0)
                    type = S_ISDIR(est.st_mode) ? DT_DIR : S_ISLNK(est.st_mode) ? DT_LNK : DT_REG;
                else
                    cacheable = false;
            }
            bool folder;
            if (type == DT_DIR) {
                folder = true;
            } else if (type == DT_LNK) {
                cacheable = false;
                if (!sub[0]) snprintf(sub, sizeof(sub), "%s/%s", l.dir, name);
                folder = isLinkFile(sub, n) != 1;
            } else {
                folder = false;
            }
            int* count = folder ? out->folders : out->files;
            count[1]++;
            if (shown_plain) count[0]++;
        }
    }
    out->counted = true;
    if (cacheable) counts_store(st, *out);
}

// The line of the sub-folder name of the listed folder: "DC" when closed, else "DN"/"DP" with
// its folder and file counts (d_type where the directory read gives it, a status call where
// not; from the sub-folder cache while the sub-folder is unchanged). real_dir: the entry itself
// is a folder, not a link to one.
void folder_line(const Lister& l, const char* name, bool real_dir, EntryLine* out) {
    memcpy(out->kind, "DC", 3);
    out->a = 0;
    out->b = 0;
    out->mtime = 0;
    out->write = false;
    // The folder (the target of a link): its time for ENTRIES, and the key of its counts.
    struct stat st;
    bool have_st = fstatat(l.dfd, name, &st, 0) == 0;
    auto stat_time = [&]() {
        if (!l.meta) return;
        if (have_st || fstatat(l.dfd, name, &st, AT_SYMLINK_NOFOLLOW) == 0)
            out->mtime = static_cast<long long>(st.st_mtim.tv_sec);
    };
    size_t name_len = strlen(name);
    size_t dir_len = l.base_len + 1 + name_len;  // "<share><rel>/<name>"
    // Its path, and the paths of its access files where they are read, must fit like every
    // path of the share.
    if (dir_len >= FILE_PATH_SIZE) return;
    FolderCounts counts;
    bool cached = have_st && counts_find(st, &counts) && counts.counted &&
                  dir_len + 1 + counts.longest < FILE_PATH_SIZE;
    int code;
    if (judged_by_files(l.who) && dir_len + sizeof("/.folder/users_w") > FILE_PATH_SIZE) {
        code = 0;
    } else if (cached && !counts.access_dir && judged_by_files(l.who)) {
        code = 2;  // no ".folder", so no access file
    } else {
        char rel[LINE_SIZE];
        memcpy(rel, name, name_len);
        memcpy(rel + name_len, "/.folder", sizeof("/.folder"));
        code = folder_code(l.who, l.dfd, rel);
    }
    // A closed folder shows no time, as it shows no counts: when it last changed is news of
    // what happens inside it.
    if (code == 0) return;

    if (!cached) count_folder(l, name, dir_len, &counts);
    memcpy(out->kind, "DN", 3);
    out->a = counts.folders[l.all ? 1 : 0];
    out->b = static_cast<unsigned long>(counts.files[l.all ? 1 : 0]);
    if (counts.icon && dir_len + sizeof("/.folder.png") <= FILE_PATH_SIZE) out->kind[1] = 'P';
    stat_time();
    if (l.meta) {
        out->write = code == 2 && real_dir && l.write_path && write_name_ok(name) &&
                     faccessat(l.dfd, name, W_OK | X_OK, AT_EACCESS) == 0;
    }
}

// The line of one entry of the listed folder; false when the entry is not listed (hidden, a
// name with a line break, a path too long, gone meanwhile).
bool entry_line(const Lister& l, const struct dirent* e, EntryLine* out) {
    const char* name = e->d_name;
    if (is_hidden(name, l.all)) return false;
    if (breaks_line(name)) {
        logger.writef("cmd_list", LOG_WARNING, "name with a line break left out in %s", l.dir);
        return false;
    }
    size_t name_len = strlen(name);
    if (l.base_len + 1 + name_len >= FILE_PATH_SIZE) {
        logger.writef("cmd_list", LOG_WARNING, "path too long, left out: %s/%.64s...", l.dir, name);
        return false;
    }
    struct stat st;
    bool folder = e->d_type == DT_DIR;
    if (e->d_type == DT_UNKNOWN)
        folder = fstatat(l.dfd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
    bool real_dir = folder;
    bool have_stat = false;
    if (!folder) {
        if (fstatat(l.dfd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return false;  // gone meanwhile
        have_stat = true;
        if (S_ISLNK(st.st_mode)) {
            if (isLinkFile(l.dir, name) == 1)
                have_stat = fstatat(l.dfd, name, &st, 0) == 0;
            else
                folder = true;
        }
    }
    if (folder) {
        folder_line(l, name, real_dir, out);
        return true;
    }
    memcpy(out->kind, "FN", 3);
    out->a = 0;
    out->b = have_stat ? static_cast<unsigned long>(st.st_size) : 0;
    out->mtime = have_stat ? static_cast<long long>(st.st_mtim.tv_sec) : 0;
    out->write = false;
    // "<share><rel>/.folder/snap/<name>.png" must fit, as the path it stands for.
    if (l.snap_fd >= 0 && l.base_len + sizeof("/.folder/snap/") + name_len + 4 < FILE_PATH_SIZE) {
        char snap[LINE_SIZE];
        snprintf(snap, sizeof(snap), "%s.png", name);
        if (faccessat(l.snap_fd, snap, F_OK, 0) == 0) out->kind[1] = 'P';
    }
    return true;
}

// The decimal digits of v at p; the end of them.
char* put_decimal(char* p, long long v) {
    unsigned long long u = v < 0 ? 0ULL - static_cast<unsigned long long>(v)
                                 : static_cast<unsigned long long>(v);
    if (v < 0) *p++ = '-';
    char digits[20];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + u % 10);
        u /= 10;
    } while (u);
    while (n) *p++ = digits[--n];
    return p;
}

// The text of a listing line, NUL-terminated, into line (LINE_SIZE bytes): "KIND,a,b,name\n" of
// LIST, or with w ('w' or '-') "KIND,a,b,mtime,w,name\n" of ENTRIES. Its length without the NUL.
size_t format_line(char* line, const EntryLine& e, const char* name, char w) {
    char* p = line;
    *p++ = e.kind[0];
    *p++ = e.kind[1];
    *p++ = ',';
    p = put_decimal(p, e.a);
    *p++ = ',';
    p = put_decimal(p, static_cast<long long>(e.b));
    *p++ = ',';
    if (w) {
        p = put_decimal(p, e.mtime);
        *p++ = ',';
        *p++ = w;
        *p++ = ',';
    }
    size_t n = strlen(name);  // at most NAME_MAX: the line always fits
    memcpy(p, name, n);
    p += n;
    *p++ = '\n';
    *p = '\0';
    return static_cast<size_t>(p - line);
}

// Opens the folder dir (links followed) for a listing; -1 with errno when it cannot be.
int open_listed(const char* dir, Lister* l) {
    int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return -1;
    l->dfd = fd;
    l->dir = dir;
    l->snap_fd = openat(fd, ".folder/snap", O_PATH | O_DIRECTORY | O_CLOEXEC);
    return fd;
}

}  // namespace

int cmd_list(Data* reply, json_object**, int slot, const char* path, bool all) {
    Lister l;
    l.who.level = slot_user(slot, l.who.name);
    l.who.len = strlen(l.who.name);
    bool root = path[0] == '\0' || strcmp(path, "/") == 0;
    if (root)
        logger.write(l.who.name, LOG_INFO, "LIST /");
    else
        logger.writef(l.who.name, LOG_INFO, "LIST %s", path);

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
    int fd = open_listed(dir, &l);
    DirPtr d(fd >= 0 ? fdopendir(fd) : nullptr);
    if (!d) {
        if (fd >= 0) close(fd);
        strcpy(out, TEXT_ERROR);
        return 0;
    }
    // Entries are "<share><path>/<name>" as the client named the path; the root is "" here.
    const char* rel = root ? "" : path;
    l.base_len = strlen(server.share) + strlen(rel);
    l.all = all;
    size_t used = 0;
    char line[LINE_SIZE];
    EntryLine entry;
    while (struct dirent* e = readdir(d.get())) {
        if (!entry_line(l, e, &entry)) continue;
        size_t len = format_line(line, entry, e->d_name, 0);
        logger.write("cmd_list", LOG_DEBUG, line);
        if (used + len > MAX_PAYLOAD) {
            // The reply holds one frame's payload: cut at the last whole line.
            logger.writef("cmd_list", LOG_WARNING, "listing of %s cut at %zu bytes", dir, used);
            break;
        }
        memcpy(out + used, line, len + 1);
        used += len;
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

namespace {

// {"RESULT": "FAIL"[, "REASON": reason]} as the "11" of ENTRIES.
int entries_fail(Session* s, const char* reason) {
    json_object* obj = json_object_new_object();
    json_object_object_add(obj, "RESULT", json_object_new_string("FAIL"));
    if (reason) json_object_object_add(obj, "REASON", json_object_new_string(reason));
    json_reply(s->reply.text, obj);
    return slot_send_text(s->slot, TYPE_REPLY, s->reply.text) < 0 ? -1 : 0;
}

bool same_folder(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && same_time(a.st_mtim, b.st_mtim);
}

}  // namespace

int dispatch_entries(Session* s, json_object* request) {
    const char* path = json_text(request, "PATH");
    if (!path) return entries_fail(s, nullptr);
    json_object* dots = nullptr;
    bool all = json_object_object_get_ex(request, "DOTS", &dots) &&
               json_object_is_type(dots, json_type_boolean) && json_object_get_boolean(dots);

    Lister l;
    l.who.level = slot_user(s->slot, l.who.name);
    l.who.len = strlen(l.who.name);
    bool root = path[0] == '\0' || strcmp(path, "/") == 0;
    logger.writef(l.who.name, LOG_INFO, "ENTRIES %s", root ? "/" : path);

    // A path longer than any path of the share is refused, never cut (it would name another).
    char* dir = s->full_path;
    if (!copy_text(s->path, path) || !client_path_ok(s->path) || !share_path(s->full_path, s->path))
        return entries_fail(s, "NAME");
    if (get_path_code(s->slot, s->path) == 0) return entries_fail(s, "DENIED");
    int fd = open_listed(dir, &l);
    if (fd < 0) return entries_fail(s, errno == ENOENT || errno == ENOTDIR ? "NOTFOUND" : "ERROR");
    struct stat before;
    DirPtr d(fdopendir(fd));
    if (!d || fstat(fd, &before) != 0) {
        if (!d) close(fd);
        return entries_fail(s, "ERROR");
    }
    const char* rel = root ? "" : s->path;
    l.base_len = strlen(server.share) + strlen(rel);
    l.all = all;
    l.meta = true;
    // WRITE as ACCESS answers it: the access files, the name and link rules of writes on the
    // way, and the server's own permission.
    l.write_path = write_path_ok(s->path);
    bool write = l.write_path && folder_code(l.who, fd, ".folder") == 2 &&
                 faccessat(fd, ".", W_OK | X_OK, AT_EACCESS) == 0;

    // Whole lines into the session's reply buffer, sent as a "10" frame whenever the next line
    // would not fit; nothing of the folder is held beyond one frame.
    char* buf = s->reply.text;
    size_t used = 0;
    long long count = 0;
    bool frames = false;
    bool broken = false;
    char line[LINE_SIZE];
    EntryLine entry;
    for (;;) {
        errno = 0;
        struct dirent* e = readdir(d.get());
        if (!e) {
            broken = errno != 0;
            break;
        }
        if (!entry_line(l, e, &entry)) continue;
        size_t len = format_line(line, entry, e->d_name,
                                 (entry.kind[0] == 'D' ? entry.write : write) ? 'w' : '-');
        if (used + len > MAX_PAYLOAD) {
            if (slot_send(s->slot, TYPE_TEXT, buf, used) < 0) return -1;
            frames = true;
            used = 0;
        }
        memcpy(buf + used, line, len);
        used += len;
        count++;
    }
    // A read error before anything was sent fails the request; after, the listing is marked
    // changed (entries may be missing).
    if (broken && !frames) {
        logger.writef(l.who.name, LOG_WARNING, "ENTRIES %s: %s", root ? "/" : path, strerror(errno));
        return entries_fail(s, "ERROR");
    }
    if (used > 0 && slot_send(s->slot, TYPE_TEXT, buf, used) < 0) return -1;
    struct stat after;
    bool changed = broken || stat(dir, &after) != 0 || !same_folder(before, after);

    json_object* obj = json_object_new_object();
    json_object_object_add(obj, "RESULT", json_object_new_string("OK"));
    json_object_object_add(obj, "ENTRIES", json_object_new_int64(count));
    json_object_object_add(obj, "WRITE", json_object_new_boolean(write));
    json_object_object_add(obj, "CHANGED", json_object_new_boolean(changed));
    json_reply(s->reply.text, obj);
    return slot_send_text(s->slot, TYPE_REPLY, s->reply.text) < 0 ? -1 : 0;
}
