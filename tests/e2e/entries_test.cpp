// ENTRIES over the raw protocol: a folder of 100,000 entries listed whole and exactly, a folder
// changing while it is listed, the refusals, readers that stop reading, and the access-file
// cache never answering from a file that has changed.
#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <ctime>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "client.h"
#include "folder_helpers.h"
#include "raw_conn.h"
#include "stress.h"

using Clock = std::chrono::steady_clock;

namespace {

// One line of ENTRIES: "KIND,a,b,mtime,w,name".
struct Line {
    std::string kind, a, b, w, name;
    long long mtime = 0;
};

bool parse_line(const std::string& text, Line* out) {
    size_t p[5];
    size_t from = 0;
    for (size_t& c : p) {
        c = text.find(',', from);
        if (c == std::string::npos) return false;
        from = c + 1;
    }
    out->kind = text.substr(0, p[0]);
    out->a = text.substr(p[0] + 1, p[1] - p[0] - 1);
    out->b = text.substr(p[1] + 1, p[2] - p[1] - 1);
    out->mtime = atoll(text.substr(p[2] + 1, p[3] - p[2] - 1).c_str());
    out->w = text.substr(p[3] + 1, p[4] - p[3] - 1);
    out->name = text.substr(p[4] + 1);
    return true;
}

// The result of one ENTRIES: its lines, the ending reply, the frames' sizes.
struct Listing {
    std::vector<Line> lines;
    std::string reply;
    std::vector<size_t> frames;
    bool whole_lines = true;
};

// Reads the "10" frames and the ending "11" of an ENTRIES already sent. after_first runs once
// the first "10" frame is in.
Listing read_entries(rawconn::Conn& c, const std::function<void()>& after_first = nullptr) {
    Listing out;
    for (;;) {
        std::string type;
        std::string payload = c.read_frame(60000, &type);
        if (type == "21") continue;
        if (type != "10") {
            out.reply = payload;
            return out;
        }
        out.frames.push_back(payload.size());
        if (payload.empty() || payload.back() != '\n') out.whole_lines = false;
        size_t from = 0;
        while (from < payload.size()) {
            size_t nl = payload.find('\n', from);
            if (nl == std::string::npos) nl = payload.size();
            Line l;
            if (parse_line(payload.substr(from, nl - from), &l))
                out.lines.push_back(l);
            else
                out.whole_lines = false;
            from = nl + 1;
        }
        if (after_first && out.frames.size() == 1) after_first();
    }
}

std::string entries_cmd(const std::string& path, bool dots = false) {
    std::string json = "{\"CMD\": \"ENTRIES\", \"PATH\": \"" + path + "\"";
    if (dots) json += ", \"DOTS\": true";
    return json + "}";
}

rawconn::Conn logged_in(const char* from, int port, const std::string& user) {
    rawconn::Conn c;
    EXPECT_TRUE(c.tcp(from, port));
    EXPECT_NE(c.command(rawconn::login_json(user, "pw")).find("\"OK\""), std::string::npos);
    return c;
}

// Makes count empty files named by name(i) in dir, each through openat and close.
void make_files(const std::string& dir, int count, const std::function<std::string(int)>& name) {
    e2e::make_dirs(dir);
    int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(dfd, 0);
    for (int i = 0; i < count; i++) {
        int fd = openat(dfd, name(i).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0) << name(i);
        // Some sizes, without writing: a hole of i bytes.
        if (i % 97 == 0) {
            ASSERT_EQ(ftruncate(fd, i), 0);
        }
        close(fd);
    }
    close(dfd);
}

std::string korean_name(int i) {
    char buf[64];
    snprintf(buf, sizeof(buf), "문서 %06d, 사본.txt", i);
    return buf;
}

constexpr int MANY = 100000;

}  // namespace

// 100,000 files (Korean, blanks and commas in their names) and a few folders: every visible
// name exactly once, with its size and modification time, in frames of whole lines; the count
// in the ending reply matches; WRITE and the w flags follow the access files.
TEST(Entries, WholeFolderExactly) {
    e2e::TestServer srv;
    const std::string dir = srv.share + "/many";
    make_files(dir, MANY, korean_name);
    e2e::make_dirs(dir + "/open, sub/inner");
    e2e::write_file(dir + "/open, sub/a.txt", "abc");
    e2e::write_file(dir + "/shut/.folder/users_r", "bob\n");
    e2e::write_file(dir + "/.dot", "x");
    e2e::write_file(dir + "/users_r", "never listed");
    e2e::write_file(srv.share + "/ro/.folder/users_r", "ann\n");
    e2e::write_file(srv.share + "/ro/f.txt", "f");
    ASSERT_TRUE(folders::start(srv)) << srv.out();

    rawconn::Conn c = logged_in("127.0.0.2", srv.port, "ann");
    auto t0 = Clock::now();
    ASSERT_TRUE(c.send_frame("11", entries_cmd("/many")));
    Listing got = read_entries(c);
    double ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
    printf("[ figures  ] ENTRIES of %d entries: %.0f ms, %zu frames\n", MANY + 2, ms,
           got.frames.size());

    EXPECT_EQ(got.reply, "{ \"RESULT\": \"OK\", \"ENTRIES\": " + std::to_string(MANY + 2) +
                             ", \"WRITE\": true, \"CHANGED\": false }");
    EXPECT_TRUE(got.whole_lines);
    for (size_t n : got.frames) EXPECT_LE(n, 65535u);
    std::map<std::string, Line> by_name;
    for (const Line& l : got.lines) EXPECT_TRUE(by_name.emplace(l.name, l).second) << l.name;
    EXPECT_EQ(got.lines.size(), static_cast<size_t>(MANY + 2));
    EXPECT_EQ(by_name.count(".dot") + by_name.count("users_r"), 0u);
    for (int i = 0; i < MANY; i++) {
        std::string name = korean_name(i);
        auto it = by_name.find(name);
        if (it == by_name.end()) {
            ADD_FAILURE() << "missing " << name;
            break;
        }
        struct stat st;
        ASSERT_EQ(stat((dir + "/" + name).c_str(), &st), 0);
        const Line& l = it->second;
        if (l.kind != "FN" || l.a != "0" || l.b != std::to_string(st.st_size) ||
            l.mtime != static_cast<long long>(st.st_mtim.tv_sec) || l.w != "w") {
            ADD_FAILURE() << "wrong line for " << name << ": " << l.kind << "," << l.a << ","
                          << l.b << "," << l.mtime << "," << l.w;
            break;
        }
    }
    struct stat st;
    ASSERT_EQ(stat((dir + "/open, sub").c_str(), &st), 0);
    const Line& open = by_name["open, sub"];
    EXPECT_EQ(open.kind + "," + open.a + "," + open.b + "," + open.w, "DN,1,1,w");
    EXPECT_EQ(open.mtime, static_cast<long long>(st.st_mtim.tv_sec));
    const Line& shut = by_name["shut"];
    EXPECT_EQ(shut.kind + "," + shut.a + "," + shut.b + "," + shut.w, "DC,0,0,-");
    EXPECT_EQ(shut.mtime, 0) << "a closed folder tells nothing of when it changed";

    // DOTS shows dot-names as LISTALL does; a read-only folder gives WRITE false and no w.
    ASSERT_TRUE(c.send_frame("11", entries_cmd("/many/open, sub", true)));
    got = read_entries(c);
    EXPECT_EQ(got.reply, "{ \"RESULT\": \"OK\", \"ENTRIES\": 2, \"WRITE\": true, \"CHANGED\": false }");
    ASSERT_TRUE(c.send_frame("11", entries_cmd("/ro")));
    got = read_entries(c);
    EXPECT_EQ(got.reply, "{ \"RESULT\": \"OK\", \"ENTRIES\": 1, \"WRITE\": false, \"CHANGED\": false }");
    ASSERT_EQ(got.lines.size(), 1u);
    EXPECT_EQ(got.lines[0].kind + "," + got.lines[0].b + "," + got.lines[0].w + "," +
                  got.lines[0].name,
              "FN,1,-,f.txt");
    // The server logged one line for the request.
    EXPECT_NE(srv.out().find("ENTRIES /many"), std::string::npos);
}

// A folder renamed into and added to while a reader pauses after the first frame: CHANGED is
// true, and no entry left unchanged appears twice or is lost.
TEST(Entries, ChangedDuringListing) {
    e2e::TestServer srv;
    const std::string dir = srv.share + "/busy";
    // Long names: about 10 MB of lines, far more than the socket buffers hold (4 MiB on the
    // server's side at most), so the server is still reading the folder when the reader pauses.
    const int count = 50000;
    auto name = [](int i) { return std::string(200, 'n') + std::to_string(i); };
    make_files(dir, count, name);
    ASSERT_TRUE(folders::start(srv)) << srv.out();

    rawconn::Conn c = logged_in("127.0.0.2", srv.port, "ann");
    ASSERT_TRUE(c.send_frame("11", entries_cmd("/busy")));
    Listing got = read_entries(c, [&] {
        for (int i = 0; i < count; i += 100)
            ASSERT_EQ(rename((dir + "/" + name(i)).c_str(), (dir + "/moved" + std::to_string(i)).c_str()), 0);
        for (int i = 0; i < 500; i++) e2e::write_file(dir + "/added" + std::to_string(i), "");
    });
    EXPECT_NE(got.reply.find("\"CHANGED\": true"), std::string::npos) << got.reply;
    EXPECT_NE(got.reply.find("\"ENTRIES\": " + std::to_string(got.lines.size()) + ","),
              std::string::npos) << got.reply;
    std::map<std::string, int> seen;
    for (const Line& l : got.lines) seen[l.name]++;
    for (int i = 0; i < count; i++) {
        if (i % 100 == 0) continue;
        ASSERT_EQ(seen[name(i)], 1) << "unchanged entry " << i;
    }
}

// Refusals answer an "11" without any "10": a closed folder, a session that has not logged
// in, a missing folder, a path leaving the share, a missing PATH; an empty folder is the "11"
// alone; FEATURES names the extension.
TEST(Entries, RefusalsAndEmpty) {
    e2e::TestServer srv;
    e2e::write_file(srv.share + "/closed/.folder/users_r", "bob\n");
    e2e::write_file(srv.share + "/closed/x.txt", "x");
    e2e::make_dirs(srv.share + "/empty");
    e2e::write_file(srv.share + "/file.txt", "x");
    ASSERT_TRUE(folders::start(srv)) << srv.out();

    rawconn::Conn anon;
    ASSERT_TRUE(anon.tcp("127.0.0.3", srv.port));
    ASSERT_TRUE(anon.send_frame("11", entries_cmd("/empty")));
    EXPECT_EQ(read_entries(anon).reply, "{ \"RESULT\": \"FAIL\", \"REASON\": \"DENIED\" }");

    rawconn::Conn c = logged_in("127.0.0.2", srv.port, "ann");
    EXPECT_NE(c.command("{\"CMD\": \"FEATURES\"}").find("\"entries\""), std::string::npos);
    const std::pair<std::string, std::string> cases[] = {
        {entries_cmd("/closed"), "{ \"RESULT\": \"FAIL\", \"REASON\": \"DENIED\" }"},
        {entries_cmd("/closed/sub"), "{ \"RESULT\": \"FAIL\", \"REASON\": \"DENIED\" }"},
        {entries_cmd("/nowhere"), "{ \"RESULT\": \"FAIL\", \"REASON\": \"NOTFOUND\" }"},
        {entries_cmd("/file.txt"), "{ \"RESULT\": \"FAIL\", \"REASON\": \"NOTFOUND\" }"},
        {entries_cmd("/../etc"), "{ \"RESULT\": \"FAIL\", \"REASON\": \"NAME\" }"},
        {entries_cmd("etc"), "{ \"RESULT\": \"FAIL\", \"REASON\": \"NAME\" }"},
        {entries_cmd("/" + std::string(5000, 'a')), "{ \"RESULT\": \"FAIL\", \"REASON\": \"NAME\" }"},
        {"{\"CMD\": \"ENTRIES\"}", "{ \"RESULT\": \"FAIL\" }"},
        {entries_cmd("/empty"),
         "{ \"RESULT\": \"OK\", \"ENTRIES\": 0, \"WRITE\": true, \"CHANGED\": false }"},
    };
    for (const auto& [request, reply] : cases) {
        ASSERT_TRUE(c.send_frame("11", request));
        Listing got = read_entries(c);
        EXPECT_TRUE(got.frames.empty()) << request;
        EXPECT_EQ(got.reply, reply) << request;
    }
}

// 20 readers of a 100,000-entry folder that stop reading: each is cut at the stall limit
// (2 s here), and the server's peak memory grows by far less than a listing held whole would
// take per reader.
TEST(Entries, StalledReadersCutWithBoundedMemory) {
    e2e::TestServer srv;
    make_files(srv.share + "/many", MANY, korean_name);
    const int readers = 20;
    for (int i = 0; i < readers; i++) e2e::add_user(srv.data, "r" + std::to_string(i), "pw", 5);
    e2e::ServerOptions o;
    o.keys["stall_timeout"] = "2";
    ASSERT_TRUE(srv.start(o)) << srv.out();
    long before = e2e::proc_status(srv.pid, "VmHWM");

    std::vector<rawconn::Conn> conns;
    for (int i = 0; i < readers; i++) {
        std::string from = "127.0.0." + std::to_string(2 + i);
        conns.push_back(logged_in(from.c_str(), srv.port, "r" + std::to_string(i)));
        int small = 4096;
        setsockopt(conns.back().fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
    }
    auto t0 = Clock::now();
    for (auto& c : conns) ASSERT_TRUE(c.send_frame("11", entries_cmd("/many")));
    EXPECT_TRUE(stress::wait_until(
        [&] { return stress::count_of(srv.out(), "CLIENT CLOSE r") == readers; }, 60000))
        << srv.out();
    double cut_ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
    long after = e2e::proc_status(srv.pid, "VmHWM");
    printf("[ figures  ] %d stalled ENTRIES readers cut after %.0f ms (limit 2 s); VmHWM %ld -> "
           "%ld KiB\n", readers, cut_ms, before, after);
    EXPECT_NE(srv.out().find("takes no data"), std::string::npos);
    EXPECT_LT(cut_ms, 30000);
    // A listing of this folder held whole is over 4 MiB of lines alone.
    // The sanitizers' own memory grows with the threads they watch: no figure there.
    if (!stress::kSanitized) {
        EXPECT_LT(after - before, 24L * 1024) << "KiB";
    }
}

// The access-file cache: a users_r rewritten with the same size within the same second, and
// one rewritten long after it was cached with its modification time set back, are both read
// afresh; several sessions listing at once share the cache.
TEST(Entries, AccessCacheNeverStale) {
    e2e::TestServer srv;
    const std::string users_r = srv.share + "/p/.folder/users_r";
    e2e::write_file(users_r, "ann\n");
    e2e::write_file(srv.share + "/p/f.txt", "f");
    for (int i = 0; i < 3; i++) e2e::make_dirs(srv.share + "/p/sub" + std::to_string(i));
    ASSERT_TRUE(folders::start(srv)) << srv.out();
    bh::Client ann = folders::user(srv, "ann");

    EXPECT_EQ(folders::lines(folders::list(ann, "/")), (std::set<std::string>{"DN,3,1,p"}));
    e2e::write_file(users_r, "bob\n");  // same size, same second
    EXPECT_EQ(folders::list(ann, "/p"), "CLOSED\n");
    EXPECT_EQ(folders::lines(folders::list(ann, "/")), (std::set<std::string>{"DC,0,0,p"}));

    // Settled: changed more than 2 s ago, so the next listing stores it in the cache.
    e2e::write_file(users_r, "ann\n");
    struct stat old;
    ASSERT_EQ(stat(users_r.c_str(), &old), 0);
    ASSERT_TRUE(stress::wait_until([&] { return time(nullptr) > old.st_ctim.tv_sec + 3; }, 10000));
    EXPECT_EQ(folders::lines(folders::list(ann, "/")), (std::set<std::string>{"DN,3,1,p"}));
    EXPECT_EQ(folders::lines(folders::list(ann, "/p")).size(), 4u);
    // Same size, and the modification time put back: only the change time tells.
    e2e::write_file(users_r, "cid\n");
    struct timespec times[2] = {old.st_atim, old.st_mtim};
    ASSERT_EQ(utimensat(AT_FDCWD, users_r.c_str(), times, 0), 0);
    EXPECT_EQ(folders::list(ann, "/p"), "CLOSED\n");

    // Sessions listing at once while the file changes under them.
    std::atomic<int> bad{0};
    std::vector<std::thread> listers;
    for (const char* who : {"bob", "cid", "lee"}) {
        listers.emplace_back([&, who] {
            bh::Client c = folders::user(srv, who);
            for (int k = 0; k < 30; k++) {
                std::string text = folders::list(c, "/p");
                bool closed = text == "CLOSED\n";
                // Only lee is ever named; lee sees the folder whole or closed.
                if (!closed && (strcmp(who, "lee") != 0 || folders::lines(text).size() != 4))
                    bad++;
            }
        });
    }
    for (int k = 0; k < 30; k++) e2e::write_file(users_r, k % 2 ? "ann\n" : "lee\n");
    for (auto& t : listers) t.join();
    EXPECT_EQ(bad.load(), 0);
    e2e::write_file(users_r, "lee\n");
    EXPECT_EQ(folders::list(ann, "/p"), "CLOSED\n");
}

// The sub-folder cache (counts of a sub-folder, names in a ".folder"): filled once everything
// has been quiet for more than 2 s, it never answers for a folder that changed since, nor for
// one whose link leads elsewhere now; LIST and LISTALL count dot-names each their own way.
TEST(Entries, FolderCountsNeverStale) {
    e2e::TestServer srv;
    const std::string p = srv.share + "/p";
    e2e::write_file(p + "/s1/a", "a");
    e2e::write_file(p + "/s1/.hid", "h");
    e2e::make_dirs(p + "/s1/d");
    e2e::write_file(p + "/t", "t");
    e2e::make_dirs(p + "/s2");
    ASSERT_EQ(symlink("../t", (p + "/s2/l").c_str()), 0);
    e2e::write_file(p + "/s3/x", "x");
    e2e::write_file(p + "/s4/.folder/users_w", "bob\n");
    ASSERT_TRUE(folders::start(srv)) << srv.out();
    bh::Client ann = folders::user(srv, "ann");
    auto settle = [] {
        time_t from = time(nullptr);
        ASSERT_TRUE(stress::wait_until([&] { return time(nullptr) > from + 3; }, 10000));
    };
    auto listed = [&](bool all) {
        std::set<std::string> out;
        for (const std::string& l : folders::lines(folders::list(ann, "/p", all)))
            if (l.find(",s") != std::string::npos) out.insert(l);
        return out;
    };

    settle();
    const std::set<std::string> before = {"DN,1,1,s1", "DN,0,1,s2", "DN,0,1,s3", "DC,0,0,s4"};
    for (int pass = 0; pass < 2; pass++) {  // the second from the cache
        EXPECT_EQ(listed(false), before);
        EXPECT_EQ(listed(true).count("DN,1,2,s1"), 1u);
    }
    // The link in s2 now leads to a folder; s2 itself is unchanged.
    ASSERT_EQ(unlink((p + "/t").c_str()), 0);
    e2e::make_dirs(p + "/t");
    EXPECT_EQ(listed(false).count("DN,1,0,s2"), 1u);

    e2e::write_file(p + "/s1/b", "b");
    e2e::write_file(p + "/s3/.folder/users_r", "bob\n");
    e2e::write_file(p + "/s4/.folder/users_r", "ann\n");  // s4 unchanged, its .folder not
    settle();  // the changed folders are cacheable again: only their times tell
    const std::set<std::string> after = {"DN,1,2,s1", "DN,1,0,s2", "DC,0,0,s3", "DN,0,0,s4"};
    EXPECT_EQ(listed(false), after);
    EXPECT_EQ(listed(false), after);
    EXPECT_EQ(listed(true).count("DN,1,3,s1"), 1u);
}
