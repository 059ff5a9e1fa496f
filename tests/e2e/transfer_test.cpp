// CHECK, FILE, DATA, SEND and NEXT over the wire: exact frames, pieces, the send stream kept
// between commands, and every refusal (confinement, access, account files, non-regular files,
// bad sizes).
#include <sys/stat.h>
#include <unistd.h>

#include <random>

#include "folder_helpers.h"

using e2e::cmd;
using folders::data_frame;
using folders::FAIL;
using folders::NONE;
using folders::OK;
using folders::piece_cmd;
using folders::reply_of;

namespace {

std::string random_bytes(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (auto& ch : s) ch = static_cast<char>(gen() & 0xff);
    return s;
}

uint64_t fnv1a(uint64_t h, const char* p, size_t n) {
    for (size_t i = 0; i < n; i++) h = (h ^ static_cast<unsigned char>(p[i])) * 1099511628211ULL;
    return h;
}

// A file command answered "11" NONE (or FAIL) with no data frame behind it.
void expect_refused(bh::Client& c, const std::string& json, const char* result = NONE) {
    EXPECT_EQ(reply_of(c, json), result) << json;
    folders::expect_in_step(c);
}

// SEND or NEXT: "11" OK, then an "89" frame whose payload is returned.
std::string piece(bh::Client& c, const std::string& json) {
    EXPECT_EQ(reply_of(c, json), OK) << json;
    bh::Frame f = data_frame(c);
    EXPECT_EQ(f.type, "89");
    return f.payload;
}

std::string whole(bh::Client& c, const std::string& word, const std::string& file) {
    EXPECT_EQ(reply_of(c, cmd(word, {{"FILE", file}})), OK) << word << " " << file;
    bh::Frame f = data_frame(c);
    EXPECT_EQ(f.type, "88");
    return f.payload;
}

}  // namespace

TEST(Transfer, FileFramesAreExact) {
    e2e::TestServer srv;
    std::string body = random_bytes(1000, 1);
    body[10] = '\0';
    e2e::write_file(srv.share + "/docs/a.bin", body);
    e2e::write_file(srv.share + "/empty", "");
    ASSERT_TRUE(folders::start(srv)) << srv.out() << srv.err();
    bh::Client c = folders::user(srv, "ann");

    EXPECT_EQ(reply_of(c, cmd("FILE", {{"FILE", "/docs/a.bin"}})), OK);
    EXPECT_EQ(folders::raw_header(c), "88      1000");
    std::string got;
    while (got.size() < 1000) {
        char buf[1000];
        ssize_t n = recv(c.fd(), buf, 1000 - got.size(), 0);
        ASSERT_GT(n, 0);
        got.append(buf, static_cast<size_t>(n));
    }
    EXPECT_EQ(got, body);

    EXPECT_EQ(reply_of(c, cmd("FILE", {{"FILE", "/empty"}})), OK);
    EXPECT_EQ(folders::raw_header(c), "88         0");
    expect_refused(c, cmd("FILE", {{"FILE", "/docs/missing"}}));
    EXPECT_EQ(reply_of(c, cmd("CHECK", {{"FILE", "/docs"}})), OK);  // a folder exists too
    EXPECT_EQ(reply_of(c, cmd("CHECK", {{"FILE", "/docs/a.bin"}})), OK);
    EXPECT_EQ(reply_of(c, cmd("CHECK", {{"FILE", "/docs/b.bin"}})), FAIL);
    EXPECT_EQ(folders::finish(srv, {&c}), 0) << srv.err();
}

TEST(Transfer, PiecesAndTheSendStream) {
    e2e::TestServer srv;
    std::string a = random_bytes(2500, 2);
    std::string b = random_bytes(300, 3);
    e2e::write_file(srv.share + "/a.bin", a);
    e2e::write_file(srv.share + "/b.bin", b);
    ASSERT_TRUE(folders::start(srv)) << srv.out() << srv.err();
    bh::Client c = folders::user(srv, "ann");

    expect_refused(c, piece_cmd("NEXT", "", 100));  // no SEND yet
    EXPECT_EQ(piece(c, piece_cmd("SEND", "/a.bin", 1024)), a.substr(0, 1024));
    // FILE and DATA between pieces do not move the SEND position.
    EXPECT_EQ(whole(c, "FILE", "/b.bin"), b);
    EXPECT_EQ(piece(c, piece_cmd("NEXT", "", 1024)), a.substr(1024, 1024));
    EXPECT_EQ(piece(c, piece_cmd("NEXT", "", 0)), "");
    EXPECT_EQ(piece(c, "{ \"CMD\": \"NEXT\" }"), "");  // missing SIZE reads as 0
    EXPECT_EQ(piece(c, piece_cmd("NEXT", "", 452)), a.substr(2048, 452));
    EXPECT_EQ(piece(c, piece_cmd("NEXT", "", 10)), "");  // nothing remains: announced 0

    // A piece larger than what remains announces and sends only the rest.
    EXPECT_EQ(piece(c, piece_cmd("SEND", "/a.bin", 2000)), a.substr(0, 2000));
    EXPECT_EQ(piece(c, piece_cmd("NEXT", "", 65536)), a.substr(2000));

    // A second SEND replaces the stream.
    EXPECT_EQ(piece(c, piece_cmd("SEND", "/a.bin", 10)), a.substr(0, 10));
    EXPECT_EQ(piece(c, piece_cmd("SEND", "/b.bin", 10)), b.substr(0, 10));
    EXPECT_EQ(piece(c, piece_cmd("NEXT", "", 10)), b.substr(10, 10));

    // Sizes outside 0..65536 are refused with no data frame; the stream stays where it was.
    expect_refused(c, piece_cmd("NEXT", "", -1), FAIL);
    expect_refused(c, piece_cmd("NEXT", "", 65537), FAIL);
    expect_refused(c, piece_cmd("NEXT", "", 4294967296LL + 10), FAIL);
    EXPECT_EQ(piece(c, piece_cmd("NEXT", "", 10)), b.substr(20, 10));

    // A file that shrank since SEND: NEXT announces only what is there.
    ASSERT_EQ(truncate((srv.share + "/b.bin").c_str(), 35), 0);
    EXPECT_EQ(piece(c, piece_cmd("NEXT", "", 100)), b.substr(30, 5));

    // A SEND that fails closes the old stream: NEXT has nothing.
    expect_refused(c, piece_cmd("SEND", "/missing", 10));
    expect_refused(c, piece_cmd("NEXT", "", 10));
    EXPECT_EQ(folders::finish(srv, {&c}), 0) << srv.err();
}

TEST(Transfer, LargeDownloadMatchesItsChecksum) {
    e2e::TestServer srv;
    const size_t size = 5 * 1024 * 1024 + 12345;
    std::string body = random_bytes(size, 4);
    e2e::write_file(srv.share + "/big.bin", body);
    ASSERT_TRUE(folders::start(srv)) << srv.out() << srv.err();
    bh::Client c = folders::user(srv, "ann");
    const uint64_t basis = 1469598103934665603ULL;

    EXPECT_EQ(reply_of(c, cmd("FILE", {{"FILE", "/big.bin"}})), OK);
    std::string type;
    uint64_t length = 0;
    uint64_t h = basis;
    uint64_t got = 0;
    ASSERT_TRUE(c.recv_frame_to(type, length, [&](const char* p, size_t n) {
        h = fnv1a(h, p, n);
        got += n;
        return true;
    }));
    EXPECT_EQ(type, "88");
    EXPECT_EQ(length, size);
    EXPECT_EQ(got, size);
    EXPECT_EQ(h, fnv1a(basis, body.data(), body.size()));

    // The same file in pieces of 65536, the last one short.
    uint64_t hp = basis;
    size_t done = 0;
    std::string p = piece(c, piece_cmd("SEND", "/big.bin", 65536));
    while (!p.empty()) {
        hp = fnv1a(hp, p.data(), p.size());
        done += p.size();
        p = piece(c, piece_cmd("NEXT", "", 65536));
    }
    EXPECT_EQ(done, size);
    EXPECT_EQ(hp, h);
    EXPECT_EQ(folders::finish(srv, {&c}), 0) << srv.err();
}

TEST(Transfer, PathsOutsideTheShareAreRefused) {
    e2e::TestServer srv;
    e2e::write_file(srv.share + "/in.txt", "in");
    e2e::write_file(srv.share + "2/x", "sibling");
    e2e::write_file(srv.dir.path + "/outside.txt", "outside");
    ASSERT_TRUE(folders::start(srv)) << srv.out() << srv.err();
    bh::Client c = folders::user(srv, "root");
    for (const char* path : {"2/x", "in.txt", "/../outside.txt", "/../share2/x",
                             "/sub/../../outside.txt", "/..", "/../data/users.db"}) {
        expect_refused(c, cmd("FILE", {{"FILE", path}}));
        expect_refused(c, cmd("DATA", {{"FILE", path}}));
        expect_refused(c, piece_cmd("SEND", path, 10));
        expect_refused(c, cmd("CHECK", {{"FILE", path}}), FAIL);
    }
    std::string longer = "/" + std::string(5000, 'a');
    expect_refused(c, cmd("FILE", {{"FILE", longer}}));
    expect_refused(c, cmd("CHECK", {{"FILE", longer}}), FAIL);
    expect_refused(c, piece_cmd("SEND", longer, 10));

    // Without "FILE": answered like an unknown command.
    for (const char* word : {"FILE", "DATA", "SEND", "CHECK"}) expect_refused(c, cmd(word), FAIL);
    EXPECT_EQ(whole(c, "FILE", "/in.txt"), "in");
    EXPECT_EQ(folders::finish(srv, {&c}), 0) << srv.err();
}

TEST(Transfer, AccessOfTheHoldingFolder) {
    e2e::TestServer srv;
    e2e::write_file(srv.share + "/lee/.folder/users_r", "lee\n");
    e2e::write_file(srv.share + "/lee/note.txt", "lee's");
    e2e::write_file(srv.share + "/lee/open/deep.txt", "deep");
    e2e::write_file(srv.share + "/team/.folder/group_r", "staff\n");
    e2e::write_file(srv.share + "/team/t.txt", "team");
    e2e::write_file(srv.share + "/pub.txt", "pub");
    e2e::add_group(srv.data, "staff", "lee,ann");
    ASSERT_TRUE(folders::start(srv)) << srv.out() << srv.err();

    bh::Client ann = folders::user(srv, "ann");
    for (const char* path : {"/lee/note.txt", "/lee/open/deep.txt"}) {
        expect_refused(ann, cmd("FILE", {{"FILE", path}}));
        expect_refused(ann, piece_cmd("SEND", path, 4));
        expect_refused(ann, cmd("CHECK", {{"FILE", path}}), FAIL);
    }
    EXPECT_EQ(whole(ann, "FILE", "/team/t.txt"), "team");
    EXPECT_EQ(piece(ann, piece_cmd("SEND", "/pub.txt", 3)), "pub");
    // The folder itself is held by an open folder.
    EXPECT_EQ(reply_of(ann, cmd("CHECK", {{"FILE", "/lee"}})), OK);

    bh::Client lee = folders::user(srv, "lee");
    EXPECT_EQ(whole(lee, "FILE", "/lee/open/deep.txt"), "deep");
    EXPECT_EQ(reply_of(lee, cmd("CHECK", {{"FILE", "/lee/note.txt"}})), OK);

    // Not logged in: level 0 gets nothing.
    bh::Client anon = srv.connect();
    expect_refused(anon, cmd("FILE", {{"FILE", "/pub.txt"}}));
    expect_refused(anon, piece_cmd("SEND", "/pub.txt", 3));
    expect_refused(anon, cmd("CHECK", {{"FILE", "/pub.txt"}}), FAIL);
    expect_refused(anon, cmd("DATA", {{"FILE", "/group.db"}}));
    EXPECT_EQ(folders::finish(srv, {&ann, &lee, &anon}), 0) << srv.err();
}

TEST(Transfer, DataNeverServesTheUserDatabase) {
    e2e::TestServer srv;
    e2e::add_group(srv.data, "staff", "ann");
    e2e::write_file(srv.share + "/group.db", "share copy");
    ASSERT_TRUE(folders::start(srv)) << srv.out() << srv.err();
    bh::Client c = folders::user(srv, "ann");
    ASSERT_EQ(symlink("users.db", (srv.data + "/alias").c_str()), 0);
    ASSERT_EQ(link((srv.data + "/users.db").c_str(), (srv.data + "/hard").c_str()), 0);
    e2e::write_file(srv.data + "/users.db-journal", "journal");
    for (const char* path : {"/users.db", "//users.db", "/./users.db", "/alias", "/hard",
                             "/users.db-journal", "/users.db-wal"}) {
        expect_refused(c, cmd("DATA", {{"FILE", path}}));
    }
    EXPECT_EQ(whole(c, "DATA", "/group.db"), e2e::read_file(srv.data + "/group.db"));
    EXPECT_EQ(whole(c, "FILE", "/group.db"), "share copy");
    EXPECT_EQ(folders::finish(srv, {&c}), 0) << srv.err();
}

// A link in the share to the data folder (or a hard link to a database) is followed for
// everything else, but FILE, SEND and CHECK never reach the account databases or journals.
TEST(Transfer, ShareLinksNeverReachTheAccountDatabases) {
    e2e::TestServer srv;
    e2e::add_group(srv.data, "staff", "ann");
    e2e::write_file(srv.data + "/users.db-journal", "journal");
    e2e::write_file(srv.data + "/notes.txt", "notes");
    e2e::make_dirs(srv.share + "/public");
    ASSERT_EQ(symlink(srv.data.c_str(), (srv.share + "/public/data_link").c_str()), 0);
    ASSERT_EQ(link((srv.data + "/group.db").c_str(), (srv.share + "/public/hard.db").c_str()), 0);
    ASSERT_TRUE(folders::start(srv)) << srv.out() << srv.err();
    bh::Client c = folders::user(srv, "reader");
    for (const char* path : {"/public/data_link/users.db", "/public/data_link/group.db",
                             "/public/data_link/users.db-journal", "/public/hard.db"}) {
        expect_refused(c, cmd("FILE", {{"FILE", path}}));
        expect_refused(c, piece_cmd("SEND", path, 100));
        expect_refused(c, piece_cmd("NEXT", "", 100));
        EXPECT_EQ(reply_of(c, cmd("CHECK", {{"FILE", path}})), FAIL) << path;
    }
    EXPECT_EQ(whole(c, "FILE", "/public/data_link/notes.txt"), "notes");
    EXPECT_EQ(piece(c, piece_cmd("SEND", "/public/data_link/notes.txt", 3)), "not");
    EXPECT_EQ(reply_of(c, cmd("CHECK", {{"FILE", "/public/data_link/notes.txt"}})), OK);
    EXPECT_EQ(folders::finish(srv, {&c}), 0) << srv.err();
}

TEST(Transfer, NonRegularFilesAnswerNone) {
    e2e::TestServer srv;
    e2e::make_dirs(srv.share + "/dir");
    ASSERT_EQ(mkfifo((srv.share + "/pipe").c_str(), 0644), 0);
    ASSERT_EQ(mkfifo((srv.data + "/pipe").c_str(), 0644), 0);
    ASSERT_EQ(symlink("/dev/zero", (srv.share + "/zero").c_str()), 0);
    e2e::write_file(srv.share + "/ok.txt", "ok");
    ASSERT_TRUE(folders::start(srv)) << srv.out() << srv.err();
    bh::Client c = folders::user(srv, "ann");
    for (const char* path : {"/pipe", "/dir", "/zero", "", "/"}) {
        expect_refused(c, cmd("FILE", {{"FILE", path}}));
        expect_refused(c, piece_cmd("SEND", path, 10));
    }
    expect_refused(c, cmd("DATA", {{"FILE", "/pipe"}}));
    expect_refused(c, cmd("DATA", {{"FILE", ""}}));
    EXPECT_EQ(reply_of(c, cmd("CHECK", {{"FILE", "/pipe"}})), OK);
    EXPECT_EQ(whole(c, "FILE", "/ok.txt"), "ok");
    EXPECT_EQ(folders::finish(srv, {&c}), 0) << srv.err();
}

// A file that yields fewer bytes than its size announced (a sysfs attribute claims 4096): the
// frame cannot be completed honestly, so the connection ends; the server goes on.
TEST(Transfer, FileShorterThanAnnouncedEndsTheSession) {
    const char* attr = "/sys/devices/system/cpu/online";
    struct stat st;
    if (stat(attr, &st) != 0 || st.st_size != 4096) GTEST_SKIP() << "no sysfs attribute";
    e2e::TestServer srv;
    ASSERT_EQ(symlink(attr, (srv.share + "/short").c_str()), 0);
    ASSERT_TRUE(folders::start(srv)) << srv.out() << srv.err();
    bh::Client c = folders::user(srv, "ann");
    EXPECT_EQ(reply_of(c, cmd("FILE", {{"FILE", "/short"}})), OK);
    bh::Frame f;
    EXPECT_FALSE(c.recv_frame(f, 5000));
    EXPECT_TRUE(srv.wait_for_output("file ended before the 4096 bytes announced"));
    bh::Client again = folders::user(srv, "bob");
    EXPECT_EQ(reply_of(again, piece_cmd("SEND", "/short", 100)), OK);
    EXPECT_FALSE(again.recv_frame(f, 5000));
    bh::Client third = folders::user(srv, "cid");
    folders::expect_in_step(third);
    EXPECT_EQ(folders::finish(srv, {&c, &again, &third}), 0) << srv.err();
}
