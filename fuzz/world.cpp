#include "world.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>

#include "admin.h"
#include "logger.h"
#include "server.h"
#include "server_write.h"

namespace fs = std::filesystem;

namespace fuzzw {

void write_file(const std::string& path, const std::string& content) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << content;
}

void sql(const std::string& db, const std::string& statement) {
    sqlite3* h = nullptr;
    if (sqlite3_open(db.c_str(), &h) != SQLITE_OK) abort();
    sqlite3_busy_timeout(h, 5000);
    char* err = nullptr;
    if (sqlite3_exec(h, statement.c_str(), nullptr, nullptr, &err) != SQLITE_OK) {
        fprintf(stderr, "sql: %s: %s\n", statement.c_str(), err ? err : "?");
        abort();
    }
    sqlite3_close(h);
}

size_t drain(int fd) {
    char buf[65536];
    size_t total = 0;
    for (;;) {
        ssize_t n = read(fd, buf, sizeof(buf));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return total;
        total += static_cast<size_t>(n);
    }
}

namespace {

std::string share_root;

// The share tree; made again by reset_share after a session that may have written to it.
void make_share(const std::string& share) {
    write_file(share + "/pub/a.txt", std::string(1000, 'a'));
    write_file(share + "/pub/big.bin", std::string(70000, 'b'));
    write_file(share + "/pub/empty", "");
    write_file(share + "/pub/sub/inner.txt", "inner\n");
    write_file(share + "/pub/.hidden", "dot\n");
    write_file(share + "/pub/comma,name.txt", "c");
    mkfifo((share + "/pub/pipe").c_str(), 0644);
    write_file(share + "/private/.folder/users_r", "ann\r\n");
    write_file(share + "/private/doc.txt", "private\n");
    write_file(share + "/staff/.folder/group_w", "staff\r\nnosuchgroup\n");
    write_file(share + "/staff/.folder/group_r", "");
    write_file(share + "/staff/x.txt", "x");
    write_file(share + "/closed/.folder/users_r", "");
    write_file(share + "/closed/inner/f.txt", "f");
    write_file(share + "/pics/.folder.png", "png");
    write_file(share + "/pics/a.jpg", std::string(300, 'j'));
    write_file(share + "/pics/.folder/snap/a.jpg.png", "snap");
    write_file(share + "/pics/.folder/users_w", "annabel\nlee\n");
    symlink("pub/a.txt", (share + "/link_file").c_str());
    symlink("pub", (share + "/link_dir").c_str());
    symlink("missing", (share + "/dangling").c_str());
    symlink("/etc", (share + "/absolute").c_str());
}

std::string make_world() {
    char tmpl[] = "/tmp/boardhub-fuzz-XXXXXX";
    if (!mkdtemp(tmpl)) abort();
    std::string root = tmpl;
    std::string share = root + "/share";
    std::string data = root + "/data";

    make_share(share);
    write_file(root + "/outside.txt", "outside the share\n");

    fs::create_directories(data + "/logs");
    sql(data + "/users.db",
        "CREATE TABLE users (name TEXT, phone TEXT, mobile TEXT, address TEXT, office TEXT, "
        "phone1 TEXT, fax TEXT, memo TEXT, level INT, hostids TEXT, passwd TEXT);"
        "INSERT INTO users (name, level, passwd) VALUES ('ann', 5, 'secret'), ('root', 9, 'pw'),"
        " ('reader', 1, 'pw'), ('susp', 0, 'pw'), ('lee', 5, ''), ('o''hara', 3, 'q''q'),"
        " ('long', 5, '0123456789012345678901234567890123456789');"
        "INSERT INTO users (name, level, passwd) VALUES (NULL, NULL, NULL);"
        // Passwords stay as seeded: every run starts from the same accounts.
        "CREATE TRIGGER keep BEFORE UPDATE ON users BEGIN SELECT RAISE(IGNORE); END;");
    sql(data + "/group.db",
        "CREATE TABLE groups (name TEXT, memo TEXT, members TEXT);"
        "INSERT INTO groups (name, members) VALUES ('staff', 'lee,ann'), ('spaced', 'lee, ann'),"
        " ('empty', ''), ('commas', ',,,ann,,');"
        "INSERT INTO groups (name, members) VALUES ('null', NULL);");

    // File logging at DEBUG exercises every trace line; the day files lead to /dev/null.
    time_t now = time(nullptr);
    for (int d = -1; d <= 2; d++) {
        time_t t = now + d * 86400;
        struct tm tm;
        localtime_r(&t, &tm);
        char name[64];
        snprintf(name, sizeof(name), "%s/logs/%d%02d%02d.log", data.c_str(), tm.tm_year + 1900,
                 tm.tm_mon + 1, tm.tm_mday);
        symlink("/dev/null", name);
    }

    copy_text(server.name, "fuzzhub");
    server.port = 0;
    server.sock = -1;
    if (!copy_text(server.share, share.c_str()) || !copy_text(server.data, data.c_str())) abort();
    share_root = share;
    // Uploads stay small and unflushed: the fuzzer runs many of them.
    write_limits.max_size = 1 << 20;
    write_limits.reserve = 0;
    write_limits.sync = false;
    copy_text(device_video, "NONE");
    camera = false;
    logger.set(7, (data + "/logs").c_str());
    admin.set_users_db((data + "/users.db").c_str());
    admin.set_group_db((data + "/group.db").c_str());
    return root;
}

}  // namespace

const std::string& world() {
    static const std::string root = make_world();
    static bool registered = [] {
        atexit([] {
            std::error_code ec;
            fs::remove_all(root, ec);
        });
        return true;
    }();
    (void)registered;
    return root;
}

void reset_share() {
    std::error_code ec;
    fs::remove_all(share_root, ec);
    make_share(share_root);
}

}  // namespace fuzzw
