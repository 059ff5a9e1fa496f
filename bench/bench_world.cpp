// The benchmark's world: a share with one large file and a folder of many files and
// sub-folders carrying access files, account databases written with SQLite, and the server's
// configuration files.
#include "bench_world.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <vector>

namespace fs = std::filesystem;

namespace bench {

namespace {

void write_text(const std::string& path, const std::string& text) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << text;
}

bool sql(sqlite3* db, const std::string& statement) {
    char* err = nullptr;
    if (sqlite3_exec(db, statement.c_str(), nullptr, nullptr, &err) != SQLITE_OK) {
        fprintf(stderr, "sqlite: %s\n", err ? err : "?");
        sqlite3_free(err);
        return false;
    }
    return true;
}

bool make_databases(const std::string& data, int users) {
    sqlite3* db = nullptr;
    fs::remove(data + "/users.db");
    fs::remove(data + "/group.db");
    if (sqlite3_open((data + "/users.db").c_str(), &db) != SQLITE_OK) return false;
    bool ok = sql(db,
                  "CREATE TABLE users (name TEXT, phone TEXT, mobile TEXT, address TEXT, office "
                  "TEXT, phone1 TEXT, fax TEXT, memo TEXT, level INT, hostids TEXT, passwd TEXT);"
                  "BEGIN;");
    std::string members;
    for (int i = 0; i < users && ok; i++) {
        std::string name = user_name(i);
        ok = sql(db, "INSERT INTO users (name, passwd, level) VALUES ('" + name + "', '" +
                         USER_PASSWORD + "', 5);");
        members += (i ? "," : "") + name;
    }
    ok = ok && sql(db, "COMMIT;");
    sqlite3_close(db);
    if (!ok || sqlite3_open((data + "/group.db").c_str(), &db) != SQLITE_OK) return false;
    ok = sql(db, "CREATE TABLE groups (name TEXT, memo TEXT, members TEXT);") &&
         sql(db, "INSERT INTO groups (name, members) VALUES ('benchers', '" + members + "');");
    sqlite3_close(db);
    return ok;
}

// Access files that let the benchmark's users in: one user line and one group line, so a
// listing reads both kinds.
void make_access(const std::string& folder) {
    fs::create_directories(folder + "/.folder");
    write_text(folder + "/.folder/users_r", "nobody\n" + user_name(0) + "\n");
    write_text(folder + "/.folder/group_r", "benchers\n");
}

}  // namespace

std::string user_name(int i) {
    char name[16];
    snprintf(name, sizeof(name), "u%03d", i);
    return name;
}

bool make_world(const WorldLayout& layout) {
    std::error_code ec;
    std::string share = layout.dir + "/share";
    std::string data = layout.dir + "/data";
    fs::create_directories(share, ec);
    fs::create_directories(data, ec);

    // The large file: a cheap pseudo-random pattern, rewritten only when its size changed.
    std::string big = share + BIG_FILE;
    struct stat st;
    if (stat(big.c_str(), &st) != 0 || static_cast<uint64_t>(st.st_size) != layout.big_bytes) {
        FILE* f = fopen(big.c_str(), "wb");
        if (!f) return false;
        std::vector<uint64_t> chunk(1 << 17);
        uint64_t x = 0x9E3779B97F4A7C15ull;
        uint64_t left = layout.big_bytes;
        while (left > 0) {
            for (auto& w : chunk) {
                x ^= x << 13;
                x ^= x >> 7;
                x ^= x << 17;
                w = x;
            }
            size_t n = static_cast<size_t>(std::min<uint64_t>(left, chunk.size() * 8));
            if (fwrite(chunk.data(), 1, n, f) != n) {
                fclose(f);
                return false;
            }
            left -= n;
        }
        if (fclose(f) != 0) return false;
    }

    std::string many = share + MANY_FOLDER;
    fs::remove_all(many, ec);
    fs::create_directories(many, ec);
    make_access(many);
    for (int i = 0; i < layout.files; i++) {
        char name[32];
        snprintf(name, sizeof(name), "/file_%04d.dat", i);
        write_text(many + name, std::string(100 + i % 900, 'x'));
    }
    for (int i = 0; i < layout.folders; i++) {
        char name[32];
        snprintf(name, sizeof(name), "/sub_%03d", i);
        std::string sub = many + name;
        fs::create_directories(sub + "/inner", ec);
        make_access(sub);
        for (int k = 0; k < 3; k++) write_text(sub + "/doc" + std::to_string(k) + ".txt", "text\n");
    }
    return make_databases(data, layout.users);
}

bool write_config(const std::string& path, const std::string& dir, int port,
                  const std::string& camera, const std::string& socket) {
    std::string text = "[server]\nname = bench\nport = " + std::to_string(port) + "\nshare = " +
                       dir + "/share\ndata = " + dir + "/data\ncamera = " + camera + "\nlog = no\n" +
                       // nginx's PUT does not flush to disk either: the upload case compares
                       // like with like.
                       "upload_sync = no\n" +
                       // The load comes from this machine's many connections: spared the
                       // per-address limits as the board's own programs are.
                       "trusted_addresses = 127.0.0.1\n" +
                       (socket.empty() ? "" : "socket = " + socket + "\n");
    write_text(path, text);
    return true;
}

}  // namespace bench
