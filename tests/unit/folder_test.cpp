// Folder access rules and listings on real temporary trees: levels, the four access files,
// prefix matching, groups from a real group database, links, confinement and listing lines.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "admin.h"
#include "server.h"
#include "server_folder.h"
#include "utils.h"
#include "../../tools/client/client.h"

namespace fs = std::filesystem;

// Clients tell a listing the server may have cut by its length: one frame at most, cut at a
// whole line, every line within the line buffer. Their figures must be the server's.
static_assert(bh::kMaxListing == MAX_PAYLOAD && bh::kMaxListingLine == LINE_SIZE - 1);

namespace {

constexpr int kSlot = MAX_USERS - 1;

class FolderTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/boardhub-folder-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root_ = tmpl;
        share_ = root_ + "/share";
        fs::create_directories(share_);
        saved_ = server;
        ASSERT_TRUE(copy_text(server.share, share_.c_str()));
        ASSERT_TRUE(copy_text(server.data, root_.c_str()));
        set_user("ann", 5);
    }
    void TearDown() override {
        set_user("", 0);
        server = saved_;
        std::error_code ec;
        fs::remove_all(root_, ec);
    }

    void set_user(const char* name, int level) {
        std::lock_guard<std::mutex> g(users_lock);
        snprintf(users[kSlot].name, sizeof(users[kSlot].name), "%s", name);
        users[kSlot].level = level;
    }
    void write(const std::string& rel, const std::string& content) {
        fs::path p = share_ + rel;
        fs::create_directories(p.parent_path());
        std::ofstream(p, std::ios::binary) << content;
    }
    void mkdir(const std::string& rel) { fs::create_directories(share_ + rel); }
    int code(const std::string& rel) { return get_dir_code(kSlot, (share_ + rel).c_str()); }

    // Opens a group database with the given rows (name, members); false when the account
    // database cannot be opened.
    bool groups(std::initializer_list<std::pair<const char*, const char*>> rows) {
        std::string path = root_ + "/group.db";
        sqlite3* db = nullptr;
        EXPECT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
        sqlite3_exec(db, "CREATE TABLE groups (name TEXT, memo TEXT, members TEXT);", nullptr,
                     nullptr, nullptr);
        for (const auto& r : rows) {
            sqlite3_stmt* st = nullptr;
            sqlite3_prepare_v2(db, "INSERT INTO groups (name, members) VALUES (?1, ?2)", -1, &st,
                               nullptr);
            sqlite3_bind_text(st, 1, r.first, -1, SQLITE_TRANSIENT);
            sqlite3_bind_text(st, 2, r.second, -1, SQLITE_TRANSIENT);
            EXPECT_EQ(sqlite3_step(st), SQLITE_DONE);
            sqlite3_finalize(st);
        }
        sqlite3_close(db);
        return admin.set_group_db(path.c_str()) == 0;
    }

    std::set<std::string> list(const std::string& path, bool all) {
        auto reply = std::make_unique<Data>();
        EXPECT_EQ(cmd_list(reply.get(), nullptr, kSlot, path.c_str(), all), 0);
        std::set<std::string> lines;
        std::istringstream in(reply->text);
        for (std::string l; std::getline(in, l);) lines.insert(l);
        last_ = reply->text;
        return lines;
    }

    std::string root_, share_, last_;
    ServerInfo saved_;
};

TEST(Strip, CutsAtFirstLineBreakOnly) {
    char a[] = "staff\r\nrest";
    strip(a);
    EXPECT_STREQ(a, "staff");
    char b[] = " staff ";
    strip(b);
    EXPECT_STREQ(b, " staff ");
    char c[] = "\n";
    strip(c);
    EXPECT_STREQ(c, "");
}

TEST(ClientPath, OnlyRootedPathsWithoutDotDot) {
    EXPECT_TRUE(client_path_ok(""));
    EXPECT_TRUE(client_path_ok("/"));
    EXPECT_TRUE(client_path_ok("/a/b.txt"));
    EXPECT_TRUE(client_path_ok("/a/..b/c.."));
    EXPECT_TRUE(client_path_ok("/.folder/./x"));
    // Without a leading "/", a share "/srv/share" and "2/x" would reach "/srv/share2/x".
    EXPECT_FALSE(client_path_ok("2/x"));
    EXPECT_FALSE(client_path_ok("a"));
    EXPECT_FALSE(client_path_ok("/.."));
    EXPECT_FALSE(client_path_ok("/../etc/passwd"));
    EXPECT_FALSE(client_path_ok("/a/../../x"));
    EXPECT_FALSE(client_path_ok("//..//x"));
    EXPECT_FALSE(client_path_ok("/a/.."));
}

TEST(Hidden, TableAndDotNames) {
    EXPECT_EQ(is_hidden(".profile", false), 1);
    EXPECT_EQ(is_hidden(".profile", true), 0);
    EXPECT_EQ(is_hidden("..", true), 1);
    EXPECT_EQ(is_hidden(".", true), 1);
    EXPECT_EQ(is_hidden("users_r", true), 1);
    EXPECT_EQ(is_hidden("Thumbs.db", true), 1);
    EXPECT_EQ(is_hidden("thumbs.db", false), 0);
    EXPECT_EQ(is_hidden("X.download", false), 1);
    EXPECT_EQ(is_hidden("lost+found", false), 1);
    EXPECT_EQ(is_hidden("a.txt", false), 0);
}

TEST_F(FolderTest, LevelsBypassTheFiles) {
    write("/d/.folder/users_r", "");
    set_user("", 0);
    EXPECT_EQ(code("/d"), 0);
    EXPECT_EQ(code("/open"), 0);  // no access files: still nothing before login
    set_user("ann", -3);
    EXPECT_EQ(code("/open"), 0);
    set_user("ann", 1);
    write("/w/.folder/users_w", "ann\n");
    EXPECT_EQ(code("/w"), 1);
    EXPECT_EQ(code("/d"), 1);
    set_user("ann", 9);
    EXPECT_EQ(code("/d"), 2);
}

TEST_F(FolderTest, NoFilesOpenEmptyFileClosed) {
    mkdir("/plain");
    EXPECT_EQ(code("/plain"), 2);
    mkdir("/only/.folder");
    EXPECT_EQ(code("/only"), 2);
    write("/closed/.folder/users_r", "");
    EXPECT_EQ(code("/closed"), 0);
    // An access file that cannot be read still counts as present.
    mkdir("/odd/.folder/users_w");
    EXPECT_EQ(code("/odd"), 0);
}

TEST_F(FolderTest, UserLinesMatchByPrefix) {
    write("/a/.folder/users_r", "annabel\n");
    EXPECT_EQ(code("/a"), 1);
    write("/b/.folder/users_r", "an\nbob\n");
    EXPECT_EQ(code("/b"), 0);
    write("/c/.folder/users_r", " ann\nAnn\n");  // no trimming, case-sensitive
    EXPECT_EQ(code("/c"), 0);
    write("/d/.folder/users_r", "lee\r\nann\r\n");
    EXPECT_EQ(code("/d"), 1);
    write("/e/.folder/users_r", "lee\nann");  // last line without a line end
    EXPECT_EQ(code("/e"), 1);
}

TEST_F(FolderTest, WriteEntryBeatsRead) {
    write("/a/.folder/users_r", "ann\n");
    write("/a/.folder/users_w", "ann\n");
    EXPECT_EQ(code("/a"), 2);
    write("/b/.folder/users_w", "ann\n");
    EXPECT_EQ(code("/b"), 2);
    write("/c/.folder/users_w", "lee\n");
    write("/c/.folder/users_r", "ann\n");
    EXPECT_EQ(code("/c"), 1);
}

TEST_F(FolderTest, FifoAccessFileDoesNotBlock) {
    mkdir("/f/.folder");
    ASSERT_EQ(mkfifo((share_ + "/f/.folder/users_r").c_str(), 0644), 0);
    EXPECT_EQ(code("/f"), 0);
}

TEST_F(FolderTest, GroupsGrantThroughMembers) {
    ASSERT_TRUE(groups({{"staff", "lee,ann"},
                        {"spaced", "lee, ann"},
                        {"sparse", ",,lee,,annabel,"},
                        {"readers", "ann"}}));
    write("/w/.folder/group_w", "staff\r\n");
    EXPECT_EQ(code("/w"), 2);
    write("/s/.folder/group_w", "spaced\n");
    EXPECT_EQ(code("/s"), 0);  // " ann" is not "ann"
    write("/p/.folder/group_r", "sparse\n");
    EXPECT_EQ(code("/p"), 1);
    // A line naming no group grants nothing, whatever was looked up before it.
    write("/n/.folder/group_r", "staff-old\nnosuch\n");
    write("/n/.folder/group_w", "readers-x\n");
    EXPECT_EQ(code("/n"), 0);
    // Read through a user file, write through a group.
    write("/m/.folder/users_r", "ann\n");
    write("/m/.folder/group_w", "staff\n");
    EXPECT_EQ(code("/m"), 2);
    set_user("bob", 5);
    EXPECT_EQ(code("/w"), 0);
    EXPECT_EQ(code("/m"), 0);
    // An overlong group name is not supported: it grants nothing and does not end the file.
    write("/l/.folder/group_r", std::string(100, 'g') + "\nreaders\n");
    set_user("ann", 5);
    EXPECT_EQ(code("/l"), 1);
}

TEST_F(FolderTest, ConcurrentGroupLookupsStayApart) {
    ASSERT_TRUE(groups({{"a-team", "ann"}, {"b-team", "bob"}}));
    write("/x/.folder/group_r", "a-team\nb-team\n");
    write("/y/.folder/group_w", "b-team\n");
    const char* names[] = {"ann", "bob", "cid", "dan"};
    for (int i = 0; i < 4; i++) {
        std::lock_guard<std::mutex> g(users_lock);
        snprintf(users[kSlot - 1 - i].name, NAME_SIZE, "%s", names[i]);
        users[kSlot - 1 - i].level = 5;
    }
    int wrong[4] = {0, 0, 0, 0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; i++) {
        threads.emplace_back([&, i] {
            int slot = kSlot - 1 - i;
            int want_x = i < 2 ? 1 : 0;
            int want_y = i == 1 ? 2 : 0;
            for (int n = 0; n < 100; n++) {
                if (get_dir_code(slot, (share_ + "/x").c_str()) != want_x) wrong[i]++;
                if (get_dir_code(slot, (share_ + "/y").c_str()) != want_y) wrong[i]++;
            }
        });
    }
    for (auto& t : threads) t.join();
    for (int i = 0; i < 4; i++) {
        EXPECT_EQ(wrong[i], 0) << names[i];
        std::lock_guard<std::mutex> g(users_lock);
        users[kSlot - 1 - i].name[0] = '\0';
        users[kSlot - 1 - i].level = 0;
    }
}

TEST_F(FolderTest, ClosedAllTheWayDown) {
    write("/closed/.folder/users_r", "lee\n");
    mkdir("/closed/sub");
    mkdir("/open/sub");
    write("/open/shut/.folder/users_r", "");
    EXPECT_EQ(code("/closed/sub"), 2);  // by its own files alone
    EXPECT_EQ(get_path_code(kSlot, "/closed/sub"), 0);
    EXPECT_EQ(get_path_code(kSlot, "//closed//sub/"), 0);
    EXPECT_EQ(get_path_code(kSlot, "/open/sub"), 2);
    EXPECT_EQ(get_path_code(kSlot, "/open/shut"), 0);
    EXPECT_EQ(get_holder_code(kSlot, "/closed/sub/x.txt"), 0);
    EXPECT_EQ(get_holder_code(kSlot, "/closed"), 2);  // the root holds it
    EXPECT_EQ(get_holder_code(kSlot, "/open/sub/x.txt"), 2);
    write("/.folder/users_r", "ann\n");
    EXPECT_EQ(get_path_code(kSlot, "/"), 1);
    EXPECT_EQ(get_path_code(kSlot, "/open/sub"), 1);
    set_user("bob", 5);
    EXPECT_EQ(get_path_code(kSlot, ""), 0);
    EXPECT_EQ(get_holder_code(kSlot, "/x.txt"), 0);
}

TEST_F(FolderTest, LinkKinds) {
    write("/d/file.txt", "12345");
    mkdir("/d/sub");
    std::string d = share_ + "/d";
    ASSERT_EQ(symlink("file.txt", (d + "/to_file").c_str()), 0);
    ASSERT_EQ(symlink("sub", (d + "/to_dir").c_str()), 0);
    ASSERT_EQ(symlink("to_file", (d + "/to_link").c_str()), 0);
    ASSERT_EQ(symlink("missing", (d + "/dangling").c_str()), 0);
    ASSERT_EQ(symlink((d + "/file.txt").c_str(), (d + "/absolute").c_str()), 0);
    EXPECT_EQ(isLinkFile(d.c_str(), "to_file"), 1);
    EXPECT_EQ(isLinkFile(d.c_str(), "to_dir"), 0);
    EXPECT_EQ(isLinkFile(d.c_str(), "to_link"), -1);
    EXPECT_EQ(isLinkFile(d.c_str(), "dangling"), -1);
    EXPECT_EQ(isLinkFile(d.c_str(), "file.txt"), -1);
    EXPECT_EQ(isLinkFile(d.c_str(), "absolute"), 1);
    EXPECT_EQ(get_file_size((d + "/to_file").c_str()), 5);
    EXPECT_EQ(get_file_size((d + "/dangling").c_str()), 0);
}

TEST_F(FolderTest, ListingLines) {
    write("/pics/.folder.png", "icon");
    mkdir("/pics/a");
    mkdir("/pics/b");
    write("/pics/1", "");
    write("/pics/2", "");
    write("/pics/3", "");
    write("/a.jpg", std::string(1000, 'x'));
    write("/.folder/snap/a.jpg.png", "snap");
    write("/b.txt", "hello");
    write("/private/.folder/users_r", "lee\n");
    write("/private/x", "");
    write("/.profile", "");
    write("/Thumbs.db", "");
    write("/a,b", "comma");
    EXPECT_EQ(list("/", false),
              (std::set<std::string>{"DP,2,3,pics", "FP,0,1000,a.jpg", "FN,0,5,b.txt",
                                     "DC,0,0,private", "FN,0,5,a,b"}));
    EXPECT_EQ(list("", true),
              (std::set<std::string>{"DP,2,4,pics", "FP,0,1000,a.jpg", "FN,0,5,b.txt",
                                     "DC,0,0,private", "FN,0,5,a,b", "FN,0,0,.profile",
                                     "DN,1,0,.folder"}));
    EXPECT_EQ(list("/pics", false), (std::set<std::string>{"DN,0,0,a", "DN,0,0,b", "FN,0,0,1",
                                                           "FN,0,0,2", "FN,0,0,3"}));
}

TEST_F(FolderTest, ListingStatusLines) {
    mkdir("/empty");
    write("/dots/.profile", "");
    write("/closed/.folder/users_r", "");
    write("/closed/sub/x", "");
    write("/file", "x");
    list("/empty", false);
    EXPECT_EQ(last_, "NONE\n");
    list("/dots", false);
    EXPECT_EQ(last_, "NONE\n");
    EXPECT_EQ(list("/dots", true), (std::set<std::string>{"FN,0,0,.profile"}));
    list("/missing", false);
    EXPECT_EQ(last_, "ERROR\n");
    list("/file", false);
    EXPECT_EQ(last_, "ERROR\n");
    list("/closed", false);
    EXPECT_EQ(last_, "CLOSED\n");
    list("/closed/sub", true);
    EXPECT_EQ(last_, "CLOSED\n");
    list("/../", false);
    EXPECT_EQ(last_, "ERROR\n");
    list("empty", false);
    EXPECT_EQ(last_, "ERROR\n");
    set_user("", 0);
    list("/", false);
    EXPECT_EQ(last_, "CLOSED\n");
    list("/missing", false);
    EXPECT_EQ(last_, "CLOSED\n");
}

TEST_F(FolderTest, ListingLinksFifoAndBrokenNames) {
    write("/d/data.bin", std::string(321, 'x'));
    write("/d/sub/one", "");
    mkdir("/d/sub/two");
    std::string d = share_ + "/d";
    ASSERT_EQ(symlink("data.bin", (d + "/lf").c_str()), 0);
    ASSERT_EQ(symlink("sub", (d + "/ld").c_str()), 0);
    ASSERT_EQ(symlink("nowhere", (d + "/lx").c_str()), 0);
    ASSERT_EQ(mkfifo((d + "/pipe").c_str(), 0644), 0);
    // A socket is no folder, whatever bits its directory type shares with one.
    int sock = socket(AF_UNIX, SOCK_STREAM, 0);
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof(addr.sun_path), "%s/sock", d.c_str());
    ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    close(sock);
    write("/d/evil\nFN,0,1,forged", "");
    write("/d/cr\rname", "");
    EXPECT_EQ(list("/d", false),
              (std::set<std::string>{"FN,0,321,data.bin", "DN,1,1,sub", "FN,0,321,lf",
                                     "DN,1,1,ld", "DN,0,0,lx", "FN,0,0,pipe", "FN,0,0,sock"}));
    // The sub-folder counts see links by where they lead.
    EXPECT_EQ(list("/", false), (std::set<std::string>{"DN,3,4,d"}));
}

TEST_F(FolderTest, LongListingIsCutAtALine) {
    // 400 names of 200 bytes: about 82 KB of lines.
    for (int i = 0; i < 400; i++) {
        char name[256];
        snprintf(name, sizeof(name), "/big/%03d%s", i, std::string(197, 'n').c_str());
        write(name, "");
    }
    list("/big", false);
    size_t len = last_.size();
    EXPECT_LE(len, MAX_PAYLOAD);
    EXPECT_GT(len, MAX_PAYLOAD - 300);
    EXPECT_EQ(last_.back(), '\n');
    EXPECT_EQ(last_.rfind("FN,0,0,", len - 2), len - 1 - 207);
}

TEST_F(FolderTest, OverlongPathIsRefused) {
    std::string path = "/" + std::string(5000, 'a');
    list(path, false);
    EXPECT_EQ(last_, "ERROR\n");
    EXPECT_EQ(get_path_code(kSlot, path.c_str()), 0);
}

}  // namespace
