// The folder access rules against a reference written from their description: a temporary
// folder gets the four access files and two groups get member lists, all from the input, and
// get_dir_code must give the code that the rules give.
//
// Input: fields separated by NUL bytes: level selector (first byte), user name, then users_w,
// users_r, group_w, group_r (a missing field: no such file; "\x01" alone: a file that exists but
// cannot be read), then the member lists of the groups "g1" and "g2".
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "admin.h"
#include "server.h"
#include "server_folder.h"
#include "world.h"

namespace fs = std::filesystem;

namespace {

std::vector<std::string> split(const std::string& s, char sep) {
    std::vector<std::string> out;
    size_t pos = 0;
    for (;;) {
        size_t end = s.find(sep, pos);
        if (end == std::string::npos) {
            out.push_back(s.substr(pos));
            return out;
        }
        out.push_back(s.substr(pos, end - pos));
        pos = end + 1;
    }
}

// Lines as a line reader yields them: each with its LF, the last one without when the file
// does not end in LF; a file without bytes has no line.
std::vector<std::string> lines_of(const std::string& content) {
    std::vector<std::string> out;
    size_t pos = 0;
    while (pos < content.size()) {
        size_t nl = content.find('\n', pos);
        size_t end = nl == std::string::npos ? content.size() : nl + 1;
        out.push_back(content.substr(pos, end - pos));
        pos = end;
    }
    return out;
}

// As C code sees it: up to the first NUL.
std::string c_text(const std::string& s) { return s.substr(0, s.find('\0')); }

// An empty name matches nothing (rather than every line): a row with an empty name must not
// open every folder that has an access list.
bool prefix_match(const std::string& item, const std::string& name) {
    std::string t = c_text(item);
    return !name.empty() && t.size() >= name.size() && t.compare(0, name.size(), name) == 0;
}

// Whether the account database answers group lookups in this build (it may still be a
// stand-in that finds nothing; then no group line can grant anything).
bool groups_work = false;

bool group_match(const std::string& line, const std::string& name,
                 const std::string& m1, const std::string& m2) {
    if (!groups_work) return false;
    std::string g = c_text(line);
    g = g.substr(0, g.find_first_of("\r\n"));
    // g1 and g2 come from the input; the others are the world's groups (world.cpp).
    static const std::map<std::string, std::string> world_groups = {
        {"staff", "lee,ann"}, {"spaced", "lee, ann"}, {"empty", ""}, {"commas", ",,,ann,,"},
        {"null", ""}};
    const std::string* members = g == "g1" ? &m1 : g == "g2" ? &m2 : nullptr;
    auto it = world_groups.find(g);
    if (!members && it != world_groups.end()) members = &it->second;
    if (!members) return false;
    for (const auto& item : split(*members, ','))
        if (!item.empty() && prefix_match(item, name)) return true;
    return false;
}

int reference(int level, const std::string& name, const std::vector<const std::string*>& files,
              const std::string& m1, const std::string& m2) {
    if (level <= 0) return 0;
    if (level == 1) return 1;
    if (level == 9) return 2;
    bool present = false, flag[4] = {false, false, false, false};
    for (int i = 0; i < 4; i++) {
        if (!files[static_cast<size_t>(i)]) continue;
        present = true;
        const std::string& content = *files[static_cast<size_t>(i)];
        if (content == "\x01") continue;  // unreadable
        for (const auto& line : lines_of(content)) {
            bool m = i < 2 ? prefix_match(line, name) : group_match(line, name, m1, m2);
            if (m) {
                flag[i] = true;
                break;
            }
        }
    }
    if (!present) return 2;
    if (flag[0] || flag[2]) return 2;
    if (flag[1] || flag[3]) return 1;
    return 0;
}

sqlite3* group_db() {
    static sqlite3* db = [] {
        sqlite3* h = nullptr;
        std::string path = std::string(server.data) + "/group.db";
        if (sqlite3_open(path.c_str(), &h) != SQLITE_OK) abort();
        sqlite3_busy_timeout(h, 5000);
        sqlite3_exec(h, "PRAGMA synchronous=OFF; INSERT INTO groups (name, members) VALUES "
                        "('g1', ''), ('g2', '');", nullptr, nullptr, nullptr);
        return h;
    }();
    return db;
}

void set_members(const char* group, const std::string& members) {
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(group_db(), "UPDATE groups SET members = ?1 WHERE name = ?2", -1, &st, nullptr);
    sqlite3_bind_text(st, 1, members.data(), static_cast<int>(members.size()), SQLITE_TRANSIENT);
    sqlite3_bind_text(st, 2, group, -1, SQLITE_STATIC);
    if (sqlite3_step(st) != SQLITE_DONE) abort();
    sqlite3_finalize(st);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzw::world();
    group_db();
    GroupInfo probe;
    memset(&probe, 0, sizeof(probe));
    copy_text(probe.name, "staff");
    groups_work = admin.get_group_info(&probe) == 0 && strcmp(probe.members, "lee,ann") == 0;
    fprintf(stderr, "fuzz_access: group lookups %s\n", groups_work ? "work" : "find nothing");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > 8192) return 0;
    static const int kLevels[] = {0, 1, 2, 5, 9, -1, 3, 10};
    int level = kLevels[data[0] & 7];
    std::vector<std::string> f = split(std::string(reinterpret_cast<const char*>(data) + 1, size - 1), '\0');
    std::string name = f[0];
    if (name.size() >= NAME_SIZE || name.find('\0') != std::string::npos) return 0;
    std::vector<const std::string*> files;
    for (size_t i = 1; i <= 4; i++) files.push_back(i < f.size() ? &f[i] : nullptr);
    std::string m1 = f.size() > 5 ? c_text(f[5]) : "", m2 = f.size() > 6 ? c_text(f[6]) : "";
    if (m1.size() > 2000 || m2.size() > 2000) return 0;

    static const std::string dir = fuzzw::world() + "/access";
    const char* names[] = {"users_w", "users_r", "group_w", "group_r"};
    fs::create_directories(dir + "/.folder");
    for (int i = 0; i < 4; i++) {
        std::string p = dir + "/.folder/" + names[i];
        unlink(p.c_str());
        rmdir(p.c_str());
        const std::string* content = files[static_cast<size_t>(i)];
        if (!content) continue;
        if (*content == "\x01")
            mkdir(p.c_str(), 0755);  // exists, but yields no line when read
        else
            fuzzw::write_file(p, *content);
    }
    set_members("g1", m1);
    set_members("g2", m2);
    {
        std::lock_guard<std::mutex> g(users_lock);
        copy_text(users[0].name, name.c_str());
        users[0].level = level;
    }
    int got = get_dir_code(0, dir.c_str());
    int want = reference(level, name, files, m1, m2);
    if (got != want) {
        fprintf(stderr, "get_dir_code %d, the rules give %d (level %d, name '%s')\n", got, want,
                level, name.c_str());
        abort();
    }
    return 0;
}
