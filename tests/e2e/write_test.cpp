// Writes through the protocol: FEATURES, PUT, MKDIR, RENAME, DELETE and SEND with an offset.
// Every refusal is checked to leave the share exactly as it was; uploads are checked to be
// whole or absent under a cut connection, a full disk, two writers of one name and a reader
// during a replace.
#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <random>
#include <thread>

#include "folder_helpers.h"

using e2e::cmd;
using folders::FAIL;
using folders::NONE;
using folders::OK;
using folders::reply_of;

namespace {

std::string random_bytes(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (auto& ch : s) ch = static_cast<char>(gen() & 0xff);
    return s;
}

// Every path below root (links not followed) with its size, or -1 for a folder, -2 a link.
std::map<std::string, long long> snapshot(const std::string& root, const std::string& rel = "") {
    std::map<std::string, long long> out;
    DIR* d = opendir((root + rel).c_str());
    if (!d) return out;
    while (struct dirent* e = readdir(d)) {
        std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        std::string path = rel + "/" + name;
        struct stat st;
        if (lstat((root + path).c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode)) {
            out[path] = -1;
            auto sub = snapshot(root, path);
            out.insert(sub.begin(), sub.end());
        } else {
            out[path] = S_ISLNK(st.st_mode) ? -2 : st.st_size;
        }
    }
    closedir(d);
    return out;
}

// An in-memory file holding content, for bh::put.
int memfile(const std::string& content) {
    int fd = memfd_create("upload", MFD_CLOEXEC);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
    lseek(fd, 0, SEEK_SET);
    return fd;
}

bh::Outcome put(bh::Client& c, const std::string& remote, const std::string& content,
                bool replace = false) {
    int fd = memfile(content);
    bh::Outcome o = bh::put(c, remote, fd, content.size(), replace);
    close(fd);
    return o;
}

std::string fail(const std::string& reason) {
    return "{ \"RESULT\": \"FAIL\", \"REASON\": \"" + reason + "\" }";
}

std::string put_cmd(const std::string& file, long long size) {
    return "{\"CMD\": \"PUT\", \"FILE\": \"" + file + "\", \"SIZE\": " + std::to_string(size) + "}";
}

// A header of an "87" content frame.
std::string content_header(size_t len) {
    char h[16];
    snprintf(h, sizeof(h), "87%10zu", len);
    return std::string(h, 12);
}

// The world of the write tests: /pub open to all, /team writable by ann and the group crew
// (lee), readable by bob, /team/closed closed to everyone judged by the lists, /ro readable by
// all, /links with a link to a file and one to a folder.
void make_world(e2e::TestServer& srv) {
    e2e::write_file(srv.share + "/pub/old.txt", "old");
    e2e::write_file(srv.share + "/team/.folder/users_w", "ann\n");
    e2e::write_file(srv.share + "/team/.folder/users_r", "bob\n");
    e2e::write_file(srv.share + "/team/.folder/group_w", "crew\n");
    e2e::write_file(srv.share + "/team/closed/.folder/users_r", "");
    e2e::write_file(srv.share + "/team/closed/.folder/users_w", "");
    e2e::write_file(srv.share + "/ro/.folder/users_r", "ann\nbob\n");
    e2e::write_file(srv.share + "/ro/under/.folder/users_w", "ann\n");
    e2e::write_file(srv.share + "/team/closed/sub/.folder/users_w", "ann\n");
    e2e::write_file(srv.share + "/links/target.txt", "target");
    e2e::make_dirs(srv.share + "/links/dir");
    EXPECT_EQ(symlink("target.txt", (srv.share + "/links/file-link").c_str()), 0);
    EXPECT_EQ(symlink("dir", (srv.share + "/links/dir-link").c_str()), 0);
    EXPECT_EQ(symlink("/tmp", (srv.share + "/pub/out").c_str()), 0);
    e2e::add_group(srv.data, "crew", "lee");
}

bool start(e2e::TestServer& srv, std::map<std::string, std::string> keys = {}) {
    for (const char* name : {"ann", "bob", "cid", "lee"}) e2e::add_user(srv.data, name, "pw", 5);
    e2e::add_user(srv.data, "reader", "pw", 1);
    e2e::add_user(srv.data, "root", "pw", 9);
    e2e::ServerOptions o;
    o.keys = std::move(keys);
    return srv.start(o);
}

}  // namespace

TEST(Write, FeaturesAndUploadRoundTrip) {
    e2e::TestServer srv;
    make_world(srv);
    ASSERT_TRUE(start(srv)) << srv.out() << srv.err();
    bh::Client c = folders::user(srv, "ann");

    EXPECT_EQ(reply_of(c, "{\"CMD\": \"FEATURES\"}"),
              "{ \"RESULT\": \"OK\", \"FEATURES\": [ \"write\", \"offset\", \"access\", \"tls\" ] }");

    // Exact bytes: go-ahead, content in frames of any size, final reply.
    ASSERT_TRUE(c.send_frame("11", put_cmd("/pub/a.txt", 11)));
    bh::Frame f;
    ASSERT_TRUE(c.recv_frame(f));
    EXPECT_EQ(f.payload, OK);
    std::string raw = content_header(5) + "hello" + content_header(0) + content_header(6) + " world";
    ASSERT_TRUE(c.send_raw(raw.data(), raw.size()));
    ASSERT_TRUE(c.recv_frame(f));
    EXPECT_EQ(f.type, "11");
    EXPECT_EQ(f.payload, OK);
    EXPECT_EQ(e2e::read_file(srv.share + "/pub/a.txt"), "hello world");

    // Through the library: an empty file, a large one byte for byte, and replacing.
    EXPECT_TRUE(put(c, "/pub/empty", "").ok());
    std::string big = random_bytes(3 * 1024 * 1024 + 7, 1);
    EXPECT_TRUE(put(c, "/pub/big.bin", big).ok());
    EXPECT_EQ(e2e::read_file(srv.share + "/pub/big.bin"), big);
    EXPECT_EQ(folders::lines(folders::list(c, "/pub")).count("FN,0,3145735,big.bin"), 1u);

    bh::Outcome o = put(c, "/pub/old.txt", "new");
    EXPECT_EQ(o.reason, "EXISTS");
    EXPECT_EQ(e2e::read_file(srv.share + "/pub/old.txt"), "old");
    EXPECT_TRUE(put(c, "/pub/old.txt", "new", true).ok());
    EXPECT_EQ(e2e::read_file(srv.share + "/pub/old.txt"), "new");
    // A Korean name is a valid name.
    EXPECT_TRUE(put(c, "/pub/보고서.txt", "x").ok());

    // No part file is left and each write is one NOTICE line with the user and the path.
    for (const auto& entry : snapshot(srv.share))
        EXPECT_EQ(entry.first.find(".boardhub-part-"), std::string::npos) << entry.first;
    EXPECT_TRUE(srv.wait_for_output("ann PUT /pub/big.bin (3145735 bytes)")) << srv.out();
    EXPECT_EQ(folders::finish(srv, {&c}), 0) << srv.err();
}

TEST(Write, RefusalsChangeNothing) {
    e2e::TestServer srv;
    make_world(srv);
    ASSERT_TRUE(start(srv, {{"upload_max_size", "1M"}})) << srv.out() << srv.err();
    auto before = snapshot(srv.share);
    bh::Client ann = folders::user(srv, "ann");
    bh::Client bob = folders::user(srv, "bob");
    bh::Client reader = folders::user(srv, "reader");
    bh::Client anon = srv.connect();

    struct Case {
        bh::Client* c;
        std::string path;
        std::string reason;
    };
    std::string long_name(256, 'n');
    std::vector<Case> cases = {
        {&bob, "/team/x", "DENIED"},             // read access only
        {&reader, "/pub/x", "DENIED"},           // level 1 reads only
        {&anon, "/pub/x", ""},                   // not logged in: a plain FAIL
        {&ann, "/team/closed/x", "DENIED"},      // closed folder
        {&ann, "/team/closed/sub/x", "DENIED"},  // writable, but below a closed folder
        {&ann, "/pub/bad\xff", "NAME"},          // not UTF-8
        {&ann, "/pub/\xc0\xaf", "NAME"},         // overlong "/"
        {&ann, "/pub/tab\there", "NAME"},        // control byte
        {&ann, "/pub/Thumbs.db", "NAME"},        // hidden names
        {&ann, "/pub/lost+found", "NAME"},
        {&ann, "/pub/users_w", "NAME"},
        {&ann, "/team/.folder/users_w", "NAME"}, // access lists are never written
        {&ann, "/pub/.folder", "NAME"},
        {&ann, "/pub/.boardhub-part-1", "NAME"}, // part files
        {&ann, "/pub/" + long_name, "NAME"},
        {&ann, "/pub/../x", "NAME"},
        {&ann, "/pub/", "NAME"},
        {&ann, "pub/x", "NAME"},
        {&ann, "/links/dir-link/x", "LINK"},     // a link on the way
        {&ann, "/links/file-link", "LINK"},      // a link as the target
        {&ann, "/pub/out/x", "LINK"},            // a link out of the share
        {&ann, "/nowhere/x", "NOTFOUND"},
        {&ann, "/pub/old.txt", "EXISTS"},
        {&ann, "/pub//x", "NAME"},
    };
    for (const auto& k : cases) {
        int fd = memfile("abc");
        bh::Outcome o = bh::put(*k.c, k.path, fd, 3, false);
        close(fd);
        EXPECT_TRUE(o.done) << k.path;
        EXPECT_EQ(o.reason, k.reason) << "PUT " << k.path;
        if (k.reason != "EXISTS" && k.path != "/links/file-link") {
            EXPECT_EQ(reply_of(*k.c, "{\"CMD\": \"MKDIR\", \"PATH\": \"" + k.path + "\"}"),
                      k.reason.empty() ? FAIL : fail(k.reason)) << "MKDIR " << k.path;
        }
    }
    // Replacing a folder or a link is refused like a new name there.
    EXPECT_EQ(put(ann, "/links/dir", "x", true).reason, "EXISTS");
    EXPECT_EQ(put(ann, "/links/file-link", "x", true).reason, "LINK");
    // Over the configured maximum: refused before any byte.
    EXPECT_EQ(reply_of(ann, put_cmd("/pub/big", (1 << 20) + 1)), fail("TOOBIG"));
    EXPECT_EQ(reply_of(ann, put_cmd("/pub/big", 1LL << 50)), fail("TOOBIG"));
    EXPECT_EQ(reply_of(ann, put_cmd("/pub/neg", -1)), FAIL);
    EXPECT_EQ(reply_of(ann, "{\"CMD\": \"PUT\", \"FILE\": \"/pub/x\"}"), FAIL);

    // Rename and delete: the same rules on both ends.
    auto rn = [&](bh::Client& c, const std::string& from, const std::string& to) {
        return bh::rename_entry(c, from, to).reason;
    };
    EXPECT_EQ(rn(bob, "/team/.folder", "/team/y"), "NAME");
    EXPECT_EQ(rn(ann, "/pub/old.txt", "/ro/old.txt"), "DENIED");
    EXPECT_EQ(rn(ann, "/ro/.folder/users_r", "/pub/x"), "NAME");
    EXPECT_EQ(rn(bob, "/pub/old.txt", "/team/old.txt"), "DENIED");
    EXPECT_EQ(rn(ann, "/links/file-link", "/links/f2"), "LINK");
    EXPECT_EQ(rn(ann, "/pub/old.txt", "/links/target.txt"), "EXISTS");
    EXPECT_EQ(rn(ann, "/pub/missing", "/pub/x"), "NOTFOUND");
    EXPECT_EQ(rn(ann, "/links", "/links/dir/inside"), "NAME");
    EXPECT_EQ(bh::delete_entry(ann, "/links/file-link").reason, "LINK");
    EXPECT_EQ(bh::delete_entry(ann, "/links").reason, "NOTEMPTY");
    EXPECT_EQ(bh::delete_entry(ann, "/team/.folder/users_w").reason, "NAME");
    EXPECT_EQ(bh::delete_entry(ann, "/team/closed").reason, "DENIED");
    EXPECT_EQ(bh::delete_entry(reader, "/pub/.").reason, "NAME");
    EXPECT_EQ(bh::delete_entry(anon, "/pub").result, "FAIL");
    EXPECT_EQ(bh::delete_entry(ann, "/").reason, "NAME");
    EXPECT_EQ(snapshot(srv.share), before);
    // At the maximum itself: taken whole.
    EXPECT_TRUE(put(ann, "/pub/edge.bin", std::string(1 << 20, 'e')).ok());
    EXPECT_EQ(e2e::read_file(srv.share + "/pub/edge.bin").size(), 1u << 20);
    folders::expect_in_step(ann);
    EXPECT_EQ(folders::finish(srv, {&ann, &bob, &reader, &anon}), 0) << srv.err();
}

TEST(Write, FoldersRenameDeleteAndTheAccessLists) {
    e2e::TestServer srv;
    make_world(srv);
    ASSERT_TRUE(start(srv)) << srv.out() << srv.err();
    bh::Client ann = folders::user(srv, "ann");
    bh::Client lee = folders::user(srv, "lee");
    bh::Client root = folders::user(srv, "root");

    EXPECT_TRUE(bh::make_folder(lee, "/team/new").ok());  // through the group crew
    EXPECT_EQ(bh::make_folder(ann, "/team/new").reason, "EXISTS");
    EXPECT_TRUE(put(ann, "/team/new/f.txt", "f").ok());
    EXPECT_TRUE(bh::rename_entry(ann, "/team/new/f.txt", "/pub/g.txt").ok());
    EXPECT_EQ(e2e::read_file(srv.share + "/pub/g.txt"), "f");
    EXPECT_TRUE(bh::rename_entry(ann, "/team/new", "/pub/moved").ok());
    EXPECT_TRUE(bh::delete_entry(ann, "/pub/moved").ok());
    EXPECT_TRUE(bh::delete_entry(ann, "/pub/g.txt").ok());
    // A folder that the lists open for writing below a read-only one.
    EXPECT_TRUE(put(ann, "/ro/under/u.txt", "u").ok());
    EXPECT_EQ(put(ann, "/ro/u.txt", "u").reason, "DENIED");
    // Level 9 writes where the lists name nobody.
    EXPECT_TRUE(put(root, "/team/closed/r.txt", "r").ok());
    EXPECT_TRUE(bh::delete_entry(root, "/team/closed/r.txt").ok());
    struct stat st;
    EXPECT_NE(lstat((srv.share + "/pub/moved").c_str(), &st), 0);
    EXPECT_TRUE(srv.wait_for_output("ann RENAME /team/new -> /pub/moved")) << srv.out();
    EXPECT_TRUE(srv.wait_for_output("lee MKDIR /team/new")) << srv.out();
    EXPECT_EQ(folders::finish(srv, {&ann, &lee, &root}), 0) << srv.err();
}

TEST(Write, CutConnectionAndCancelLeaveNothing) {
    e2e::TestServer srv;
    make_world(srv);
    e2e::write_file(srv.share + "/pub/.boardhub-part-0123", "left by a crash");
    ASSERT_TRUE(start(srv)) << srv.out() << srv.err();
    struct stat st;
    EXPECT_NE(lstat((srv.share + "/pub/.boardhub-part-0123").c_str(), &st), 0);
    auto before = snapshot(srv.share);

    {
        bh::Client c = folders::user(srv, "ann");
        ASSERT_TRUE(c.send_frame("11", put_cmd("/pub/cut.bin", 1000000)));
        bh::Frame f;
        ASSERT_TRUE(c.recv_frame(f));
        ASSERT_EQ(f.payload, OK);
        std::string half = content_header(60000) + std::string(60000, 'x');
        ASSERT_TRUE(c.send_raw(half.data(), half.size()));
        // While it is open, the part file exists but no listing shows it.
        for (int i = 0; i < 100 && snapshot(srv.share) == before; i++) usleep(10000);
        bh::Client other = folders::user(srv, "bob");
        EXPECT_EQ(folders::list(other, "/pub", true).find("part"), std::string::npos);
        c.close();
    }
    for (int i = 0; i < 500 && snapshot(srv.share) != before; i++) usleep(10000);
    EXPECT_EQ(snapshot(srv.share), before);

    // Another frame in the middle cancels; the session goes on.
    bh::Client c = folders::user(srv, "ann");
    ASSERT_TRUE(c.send_frame("11", put_cmd("/pub/cancel.bin", 100)));
    bh::Frame f;
    ASSERT_TRUE(c.recv_frame(f));
    std::string raw = content_header(10) + std::string(10, 'y');
    ASSERT_TRUE(c.send_raw(raw.data(), raw.size()));
    EXPECT_EQ(reply_of(c, "{\"CMD\": \"DELETE\", \"FILE\": \"/pub/old.txt\"}"), fail("CANCELLED"));
    EXPECT_EQ(snapshot(srv.share), before);  // the DELETE in the cancelling frame was not run
    // More content than announced breaks the protocol: the session ends, nothing written.
    ASSERT_TRUE(c.send_frame("11", put_cmd("/pub/over.bin", 5)));
    ASSERT_TRUE(c.recv_frame(f));
    raw = content_header(6) + "123456";
    ASSERT_TRUE(c.send_raw(raw.data(), raw.size()));
    EXPECT_FALSE(c.recv_frame(f, 5000));
    for (int i = 0; i < 500 && snapshot(srv.share) != before; i++) usleep(10000);
    EXPECT_EQ(snapshot(srv.share), before);
    EXPECT_EQ(folders::finish(srv, {&c}), 0) << srv.err();
}

TEST(Write, FullDisk) {
    e2e::TestServer srv;
    make_world(srv);
    std::string small = srv.share + "/small";
    e2e::make_dirs(small);
    if (mount("tmpfs", small.c_str(), "tmpfs", 0, "size=1m") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here (" << strerror(errno) << "): run as root";
    struct Unmount {
        std::string path;
        ~Unmount() { umount2(path.c_str(), MNT_DETACH); }
    } unmount{small};
    ASSERT_TRUE(start(srv, {{"upload_reserve", "0"}})) << srv.out() << srv.err();
    bh::Client c = folders::user(srv, "ann");

    EXPECT_EQ(put(c, "/small/too-big", random_bytes(2 << 20, 5)).reason, "NOSPACE");
    std::string fits = random_bytes(600 << 10, 6);
    EXPECT_TRUE(put(c, "/small/fits", fits).ok());
    // The second no longer fits beside the first; the first stays whole.
    EXPECT_EQ(put(c, "/small/second", fits).reason, "NOSPACE");
    EXPECT_EQ(put(c, "/small/fits", random_bytes(600 << 10, 7), true).reason, "NOSPACE");
    EXPECT_EQ(e2e::read_file(small + "/fits"), fits);
    auto left = snapshot(small);
    EXPECT_EQ(left.size(), 1u);
    folders::expect_in_step(c);
    EXPECT_EQ(folders::finish(srv, {&c}), 0) << srv.err();
}

TEST(Write, ConcurrentUploadsAndReadersDuringReplace) {
    e2e::TestServer srv;
    make_world(srv);
    const size_t size = 2 << 20;
    std::string old_body = random_bytes(size, 8);
    e2e::write_file(srv.share + "/pub/shared.bin", old_body);
    ASSERT_TRUE(start(srv)) << srv.out() << srv.err();

    // Two writers of one new name: one wins whole, the other is told it exists.
    std::string a = random_bytes(size, 9), b = random_bytes(size, 10);
    bh::Client ca = folders::user(srv, "ann"), cb = folders::user(srv, "bob");
    bh::Outcome oa, ob;
    std::thread ta([&] { oa = put(ca, "/pub/one.bin", a); });
    std::thread tb([&] { ob = put(cb, "/pub/one.bin", b); });
    ta.join();
    tb.join();
    EXPECT_NE(oa.ok(), ob.ok()) << oa.reason << " " << ob.reason;
    EXPECT_EQ((oa.ok() ? ob : oa).reason, "EXISTS");
    EXPECT_EQ(e2e::read_file(srv.share + "/pub/one.bin"), oa.ok() ? a : b);

    // A download in pieces during repeated replaces sees one version from start to end.
    bh::Client reader = folders::user(srv, "cid");
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (int i = 0; !stop && i < 20; i++)
            put(ca, "/pub/shared.bin", (i % 2) ? old_body : a, true);
    });
    for (int round = 0; round < 5; round++) {
        std::string got;
        bh::Outcome o = bh::send_at(reader, "/pub/shared.bin", 65536, 0);
        ASSERT_TRUE(o.ok());
        for (;;) {
            bh::Frame f;
            ASSERT_TRUE(reader.recv_frame(f));
            got += f.payload;
            if (got.size() >= size || f.payload.empty()) break;
            ASSERT_EQ(reply_of(reader, folders::piece_cmd("NEXT", "", 65536)), OK);
        }
        EXPECT_TRUE(got == old_body || got == a) << "round " << round << ": a mixed file";
    }
    stop = true;
    writer.join();
    std::string last = e2e::read_file(srv.share + "/pub/shared.bin");
    EXPECT_TRUE(last == old_body || last == a);
    EXPECT_EQ(folders::finish(srv, {&ca, &cb, &reader}), 0) << srv.err();
}

TEST(Write, SendOffsetAndRefusedSendClosesTheStream) {
    e2e::TestServer srv;
    make_world(srv);
    std::string body = random_bytes(5000, 11);
    e2e::write_file(srv.share + "/pub/r.bin", body);
    ASSERT_TRUE(start(srv)) << srv.out() << srv.err();
    bh::Client c = folders::user(srv, "ann");
    bh::Frame f;

    ASSERT_TRUE(bh::send_at(c, "/pub/r.bin", 1000, 3000).ok());
    ASSERT_TRUE(c.recv_frame(f));
    EXPECT_EQ(f.payload, body.substr(3000, 1000));
    ASSERT_EQ(reply_of(c, folders::piece_cmd("NEXT", "", 5000)), OK);
    ASSERT_TRUE(c.recv_frame(f));
    EXPECT_EQ(f.payload, body.substr(4000));
    // At or past the end, however far (beyond what the file system can seek): a piece of 0.
    for (uint64_t far : {uint64_t{5000}, uint64_t{9999}, uint64_t{1} << 62, uint64_t{INT64_MAX}}) {
        ASSERT_EQ(reply_of(c, "{\"CMD\": \"SEND\", \"FILE\": \"/pub/r.bin\", \"SIZE\": 10, "
                              "\"OFFSET\": " + std::to_string(far) + "}"), OK) << far;
        ASSERT_TRUE(c.recv_frame(f));
        EXPECT_EQ(f.type, "89");
        EXPECT_EQ(f.payload, "") << far;
        ASSERT_EQ(reply_of(c, folders::piece_cmd("NEXT", "", 10)), OK) << far;
        ASSERT_TRUE(c.recv_frame(f));
        EXPECT_EQ(f.payload, "") << far;
    }

    // Whatever refuses a SEND, the NEXT after it never carries the previous file's bytes.
    const std::vector<std::pair<std::string, std::string>> refused = {
        {"{\"CMD\": \"SEND\", \"FILE\": \"/pub/../pub/r.bin\", \"SIZE\": 10}", NONE},
        {"{\"CMD\": \"SEND\", \"FILE\": \"/team/closed/x\", \"SIZE\": 10}", NONE},
        {"{\"CMD\": \"SEND\", \"FILE\": \"/pub/missing\", \"SIZE\": 10}", NONE},
        {"{\"CMD\": \"SEND\", \"SIZE\": 10}", FAIL},
        {"{\"CMD\": \"SEND\", \"FILE\": \"/pub/r.bin\", \"SIZE\": 10, \"OFFSET\": -1}", FAIL},
        {"{\"CMD\": \"SEND\", \"FILE\": \"/pub/r.bin\", \"SIZE\": 10, \"OFFSET\": \"5\"}", FAIL},
        {"{\"CMD\": \"SEND\", \"FILE\": \"/pub/r.bin\", \"SIZE\": 70000}", FAIL},
    };
    for (const auto& r : refused) {
        ASSERT_TRUE(bh::send_at(c, "/pub/r.bin", 10, 0).ok());
        ASSERT_TRUE(c.recv_frame(f));
        EXPECT_EQ(reply_of(c, r.first), r.second) << r.first;
        EXPECT_EQ(reply_of(c, folders::piece_cmd("NEXT", "", 10)), NONE) << "after " << r.first;
    }
    folders::expect_in_step(c);
    EXPECT_EQ(folders::finish(srv, {&c}), 0) << srv.err();
}

// Names that would read as another name on a screen are never created: C1 and bidirectional
// controls, zero-width and separator characters, and names of nothing but blanks or invisible
// characters. A name of that kind that already exists can still be renamed away and deleted.
TEST(Write, NamesThatLieOnAScreenAreRefused) {
    e2e::TestServer srv;
    make_world(srv);
    const std::string odd = "/pub/odd\u202Efdp.exe";  // made on disk by someone else
    e2e::write_file(srv.share + odd, "x");
    ASSERT_TRUE(start(srv)) << srv.out() << srv.err();
    bh::Client ann = folders::user(srv, "ann");
    auto before = snapshot(srv.share);

    const std::vector<std::string> lying = {
        "evil\u202Etxt.exe", "a\u202Ab", "a\u202Bb", "a\u202Cb", "a\u202Db", "a\u2066b",
        "a\u2067b",          "a\u2068b", "a\u2069b", "a\u200Eb", "a\u200Fb", "a\u061Cb",
        "a\u200Bb",          "\uFEFFa",  "a\u2028b", "a\u2029b", "a\u0085b", "a\u009Bb",
        "a\u0080",           " ",        "   ",      "\u3000",   "\u00A0\u200D", "\u2800",
    };
    for (const auto& name : lying) {
        SCOPED_TRACE(name);
        EXPECT_EQ(put(ann, "/pub/" + name, "abc").reason, "NAME");
        EXPECT_EQ(bh::make_folder(ann, "/pub/" + name).reason, "NAME");
        EXPECT_EQ(bh::rename_entry(ann, "/pub/old.txt", "/pub/" + name).reason, "NAME");
    }
    EXPECT_EQ(snapshot(srv.share), before);
    // Blanks inside a name, and scripts that need joiners, stay valid.
    EXPECT_TRUE(put(ann, "/pub/a b.txt", "x").ok());
    EXPECT_TRUE(bh::make_folder(ann, "/pub/\u0645\u06CC\u200C\u062E\u0648\u0627\u0647\u0645").ok());
    EXPECT_TRUE(bh::rename_entry(ann, odd, "/pub/plain.exe").ok());
    EXPECT_TRUE(bh::rename_entry(ann, "/pub/plain.exe", "/pub/odd2").ok());
    e2e::write_file(srv.share + odd, "x");
    EXPECT_TRUE(bh::delete_entry(ann, odd).ok());
    EXPECT_EQ(folders::finish(srv, {&ann}), 0) << srv.err();
}

// RENAME and DELETE need read-write access to the entry they take, not only to the folder
// that holds it: bob may write /pub but not take ann's folder out of it, at any depth, nor
// a folder that carries hers inside it.
TEST(Write, AFolderIsMovedOrDeletedOnlyWithAccessToItself) {
    e2e::TestServer srv;
    make_world(srv);
    for (const char* dir : {"/pub/alices", "/pub/a/b/alices", "/pub/box/in/alices"}) {
        e2e::write_file(srv.share + dir + "/.folder/users_w", "ann\n");
        e2e::write_file(srv.share + dir + "/mine.txt", "ann's");
    }
    e2e::write_file(srv.share + "/pub/ro/.folder/users_r", "bob\n");
    e2e::make_dirs(srv.share + "/pub/open/sub");
    e2e::make_dirs(srv.share + "/staff");
    ASSERT_TRUE(start(srv)) << srv.out() << srv.err();
    bh::Client bob = folders::user(srv, "bob");
    bh::Client ann = folders::user(srv, "ann");
    auto before = snapshot(srv.share);

    for (const char* from : {"/pub/alices", "/pub/a/b/alices", "/pub/box", "/pub/ro"}) {
        EXPECT_EQ(bh::rename_entry(bob, from, "/staff/hidden").reason, "DENIED") << from;
        EXPECT_EQ(bh::delete_entry(bob, from).reason, "DENIED") << from;
    }
    EXPECT_EQ(snapshot(srv.share), before);
    // What bob may write whole he moves; ann moves her own folders.
    EXPECT_TRUE(bh::rename_entry(bob, "/pub/open", "/staff/open").ok());
    EXPECT_TRUE(bh::rename_entry(ann, "/pub/a/b/alices", "/pub/alices2").ok());
    EXPECT_EQ(e2e::read_file(srv.share + "/pub/alices2/mine.txt"), "ann's");
    EXPECT_EQ(folders::finish(srv, {&bob, &ann}), 0) << srv.err();
}

// An account uploads one file at a time across all its sessions, and an upload slower than
// the minimum rate is cancelled: its part file goes and the space it reserved is free again.
TEST(Write, OneUploadPerAccountAndSlowUploadsGiveTheirSpaceBack) {
    e2e::TestServer srv;
    make_world(srv);
    std::string small = srv.share + "/small";
    e2e::make_dirs(small);
    if (mount("tmpfs", small.c_str(), "tmpfs", 0, "size=4m") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here (" << strerror(errno) << "): run as root";
    struct Unmount {
        std::string path;
        ~Unmount() { umount2(path.c_str(), MNT_DETACH); }
    } unmount{small};
    ASSERT_TRUE(start(srv, {{"upload_reserve", "0"}, {"upload_min_rate", "64K"},
                            {"upload_rate_window", "2"}}))
        << srv.out() << srv.err();
    auto free_bytes = [&] {
        struct statvfs v;
        return statvfs(small.c_str(), &v) == 0 ? static_cast<uint64_t>(v.f_bavail) * v.f_frsize : 0;
    };
    const uint64_t free0 = free_bytes();
    const std::string one = content_header(1) + "x";

    // Three sessions of ann, one after another, each start an upload and send one byte. While
    // an earlier upload of the account runs, a PUT is refused; it may go ahead only when that
    // upload was cut together with its (replaced) session.
    std::vector<bh::Client> ann;
    int uploading = -1;
    for (int k = 0; k < 3; k++) {
        ann.push_back(folders::user(srv, "ann"));
        std::string r = reply_of(ann[k], put_cmd("/pub/u" + std::to_string(k), 1 << 20));
        if (k > 0 && r == fail("BUSY")) continue;
        EXPECT_EQ(r, OK) << k;
        if (uploading >= 0) {
            bh::Frame f;
            while (ann[uploading].recv_frame(f, 3000)) {
            }
            EXPECT_NE(ann[uploading].error(), "timed out") << "two uploads of ann at once";
        }
        ASSERT_TRUE(ann[k].send_raw(one.data(), one.size()));
        uploading = k;
    }

    // cid reserves 3 MiB of the 4 and sends one byte: bob finds no space.
    bh::Client cid = folders::user(srv, "cid"), bob = folders::user(srv, "bob");
    ASSERT_EQ(reply_of(cid, put_cmd("/small/slow.bin", 3 << 20)), OK);
    ASSERT_TRUE(cid.send_raw(one.data(), one.size()));
    EXPECT_LT(free_bytes(), free0 - (2 << 20));
    const std::string body = random_bytes(2 << 20, 12);
    EXPECT_EQ(put(bob, "/small/bob.bin", body).reason, "NOSPACE");

    // Too slow: told so, and cut off; the part file and its space are gone.
    bh::Frame f;
    ASSERT_TRUE(cid.recv_frame(f, 15000)) << cid.error();
    EXPECT_EQ(f.payload, fail("SLOW"));
    EXPECT_FALSE(cid.recv_frame(f, 5000));
    EXPECT_NE(cid.error(), "timed out");
    EXPECT_TRUE(snapshot(small).empty());
    EXPECT_GE(free_bytes() + (64 << 10), free0);
    EXPECT_TRUE(srv.wait_for_output("PUT /small/slow.bin cancelled: slower than 65536 bytes/s"))
        << srv.out();
    // ann's uploads went the same way: no part file is left anywhere.
    for (int i = 0; i < 500; i++) {
        bool parts = false;
        for (const auto& entry : snapshot(srv.share))
            parts = parts || entry.first.find(".boardhub-part-") != std::string::npos;
        if (!parts) break;
        usleep(10000);
    }
    for (const auto& entry : snapshot(srv.share))
        EXPECT_EQ(entry.first.find(".boardhub-part-"), std::string::npos) << entry.first;

    // Space and the account's upload are free again; a fast upload is never cut.
    EXPECT_TRUE(put(bob, "/small/bob.bin", body).ok());
    bh::Client again = folders::user(srv, "ann");
    EXPECT_TRUE(put(again, "/pub/second", "2").ok());
    EXPECT_EQ(e2e::read_file(small + "/bob.bin"), body);
    for (auto& c : ann) c.close();
    EXPECT_EQ(folders::finish(srv, {&again, &bob}), 0) << srv.err();
}

// Every byte of the refused classes, as a whole name and inside one, in every write that takes
// a name (PUT, MKDIR, both ends of RENAME): each control byte 0x01 to 0x1F, DEL, bytes that
// are no UTF-8 and surrogates. The printable neighbours (space, "~", U+00A0) are taken inside
// a name.
TEST(Write, EveryRefusedByteOfANameIsRefusedEverywhere) {
    e2e::TestServer srv;
    make_world(srv);
    ASSERT_TRUE(start(srv)) << srv.out() << srv.err();
    bh::Client ann = folders::user(srv, "ann");
    auto before = snapshot(srv.share);
    std::vector<std::string> bad;
    for (int c = 0x01; c < 0x20; c++) bad.push_back(std::string(1, static_cast<char>(c)));
    for (const char* b : {"\x7f", "\x80", "\xc2", "\xff", "\xed\xa0\x80", "\xf4\x90\x80\x80"})
        bad.push_back(b);
    for (const std::string& b : bad) {
        for (const std::string& name : {b, "a" + b + "z"}) {
            const std::string path = "/pub/" + name;
            std::string shown;
            for (unsigned char ch : name) shown += std::to_string(ch) + " ";
            EXPECT_EQ(put(ann, path, "x").reason, "NAME") << shown;
            EXPECT_EQ(bh::make_folder(ann, path).reason, "NAME") << shown;
            EXPECT_EQ(bh::rename_entry(ann, "/pub/old.txt", path).reason, "NAME") << shown;
            EXPECT_EQ(bh::rename_entry(ann, path, "/pub/new.txt").reason, "NAME") << shown;
        }
    }
    EXPECT_EQ(snapshot(srv.share), before);
    for (const char* ok : {" x", "~", "a b~\xc2\xa0"}) {
        EXPECT_TRUE(bh::make_folder(ann, std::string("/pub/") + ok).ok()) << ok;
        EXPECT_TRUE(bh::delete_entry(ann, std::string("/pub/") + ok).ok()) << ok;
    }
    EXPECT_EQ(folders::finish(srv, {&ann}), 0) << srv.err();
}

namespace {

// A folder the server's process may not write in, whatever the access files say: read-only
// modes for an ordinary user, the immutable flag for root (which modes do not stop). Undone
// when it goes, so that the test's folder can be removed.
class Unwritable {
public:
    explicit Unwritable(const std::string& dir) : dir_(dir) {
        if (geteuid() != 0) {
            ok_ = chmod(dir.c_str(), 0555) == 0;
            return;
        }
        int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        int flags = 0;
        if (fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
            flags |= FS_IMMUTABLE_FL;
            ok_ = ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
        }
        if (fd >= 0) close(fd);
    }
    ~Unwritable() {
        if (!ok_) return;
        if (geteuid() != 0) {
            chmod(dir_.c_str(), 0755);
            return;
        }
        int fd = open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        int flags = 0;
        if (fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
            flags &= ~FS_IMMUTABLE_FL;
            ioctl(fd, FS_IOC_SETFLAGS, &flags);
        }
        if (fd >= 0) close(fd);
    }
    bool ok() const { return ok_; }

private:
    std::string dir_;
    bool ok_ = false;
};

std::string access_of(bh::Client& c, const std::string& path) {
    return reply_of(c, cmd("ACCESS", {{"PATH", path}}));
}

std::string access_reply(bool read, bool write) {
    return std::string("{ \"RESULT\": \"OK\", \"READ\": ") + (read ? "true" : "false") +
           ", \"WRITE\": " + (write ? "true" : "false") + " }";
}

}  // namespace

// ACCESS tells the access files and the server's own permissions apart from each other, and a
// write the file system refuses says so (PERM, not DENIED) with the folder named in the log.
TEST(Write, AccessAndTheServersOwnPermissions) {
    e2e::TestServer srv;
    make_world(srv);
    e2e::make_dirs(srv.share + "/pub/locked");
    ASSERT_TRUE(start(srv)) << srv.out() << srv.err();
    bh::Client ann = folders::user(srv, "ann");
    bh::Client bob = folders::user(srv, "bob");

    EXPECT_EQ(access_of(ann, "/"), access_reply(true, true));
    EXPECT_EQ(access_of(ann, "/team"), access_reply(true, true));
    EXPECT_EQ(access_of(bob, "/team"), access_reply(true, false));
    EXPECT_EQ(access_of(ann, "/team/closed"), access_reply(false, false));
    EXPECT_EQ(access_of(ann, "/links/dir-link"), access_reply(true, false));  // no write via links
    EXPECT_EQ(access_of(ann, "/nothing"), fail("NOTFOUND"));
    EXPECT_EQ(access_of(ann, "/pub/../team"), fail("NAME"));
    EXPECT_EQ(reply_of(ann, "{\"CMD\": \"ACCESS\"}"), FAIL);
    bh::Client anon = srv.connect();
    EXPECT_EQ(access_of(anon, "/pub"), FAIL);  // needs a login

    Unwritable locked(srv.share + "/pub/locked");
    if (!locked.ok()) GTEST_SKIP() << "cannot make a folder unwritable here";
    EXPECT_EQ(access_of(ann, "/pub/locked"), access_reply(true, false));
    auto before = snapshot(srv.share);
    EXPECT_EQ(put(ann, "/pub/locked/a.txt", "x").reason, "PERM");
    EXPECT_EQ(reply_of(ann, cmd("MKDIR", {{"PATH", "/pub/locked/new"}})), fail("PERM"));
    EXPECT_EQ(reply_of(ann, cmd("RENAME", {{"FROM", "/pub/old.txt"}, {"TO", "/pub/locked/o"}})),
              fail("PERM"));
    EXPECT_EQ(snapshot(srv.share), before);
    EXPECT_TRUE(srv.wait_for_output("MKDIR /pub/locked/new refused: the server's process may not "
                                    "write in " + srv.share + "/pub/locked"))
        << srv.out();
    EXPECT_EQ(folders::finish(srv, {&ann, &bob, &anon}), 0) << srv.err();
}
