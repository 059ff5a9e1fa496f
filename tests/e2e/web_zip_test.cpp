// Folder downloads as ZIP archives made by the gateway while it sends them: read back with
// Python's zipfile (an implementation that is not ours) and compared with the share byte for
// byte.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "web.h"
#include "web_harness.h"

using namespace web_e2e;

namespace {

// Checks an archive against the share: every file entry has the bytes of share/NAME and a
// good CRC, Korean names carry the UTF-8 flag. Prints one line per entry ("F name", "D name",
// "N name" for the note), "BAD ..." lines for faults, then the note's text.
const char* const CHECKER = R"PY(
import sys, zipfile
path, share = sys.argv[1], sys.argv[2]
z = zipfile.ZipFile(path)
bad = z.testzip()
if bad: print("BAD crc", bad)
note = ""
for i in z.infolist():
    if any(ord(c) > 127 for c in i.filename) and not i.flag_bits & 0x800:
        print("BAD no UTF-8 flag", i.filename)
    if i.is_dir():
        print("D", i.filename); continue
    data = z.read(i)
    if i.filename.endswith("README-incomplete.txt"):
        print("N", i.filename); note = data.decode(); continue
    print("F", i.filename)
    with open(share + "/" + i.filename, "rb") as f:
        if f.read() != data: print("BAD bytes", i.filename)
print(note)
)PY";

std::string run(const std::string& command) {
    std::string out;
    FILE* p = popen(command.c_str(), "r");
    if (!p) return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), p)) > 0) out.append(buf, n);
    pclose(p);
    return out;
}

}  // namespace

TEST(WebZip, AFolderComesWholeAndByteForByteWithClosedFoldersNamed) {
    Gateway g;
    // Over TCP the files come in SEND/NEXT pieces; a file larger than the gateway's block
    // (256 KiB) takes several.
    ASSERT_TRUE(g.start("server_socket = " + g.srv.dir.path + "/none.sock\n")) << g.output();
    const std::string root = g.srv.share + "/보관";
    e2e::write_file(root + "/a.txt", "first\n");
    e2e::write_file(root + "/회의록 3분기.txt", "안녕하세요\n");
    e2e::write_file(root + "/sub/데이터.bin", pattern(600000, 5));
    e2e::write_file(root + "/sub/empty.txt", "");
    e2e::write_file(root + "/sub/deeper/x.bin", pattern(70000, 9));
    e2e::make_dirs(root + "/빈 폴더");
    e2e::write_file(root + "/staff/.folder/users_r", "alice\n");
    e2e::write_file(root + "/staff/plan.txt", "alice only");
    std::string cookie;
    ASSERT_EQ(g.login("bob", "bob", &cookie).status, 200);

    Reply r = http(g.port, "GET", "/api/zip?path=/%EB%B3%B4%EA%B4%80", {cookie});
    ASSERT_EQ(r.status, 200) << r.body;
    EXPECT_EQ(r.header("content-type"), "application/zip");
    EXPECT_NE(r.header("content-disposition").find("filename*=UTF-8''%EB%B3%B4%EA%B4%80.zip"),
              std::string::npos)
        << r.header("content-disposition");
    std::string zip = g.srv.dir.path + "/got.zip", checker = g.srv.dir.path + "/check.py";
    e2e::write_file(zip, r.body);
    e2e::write_file(checker, CHECKER);
    std::string out = run("python3 " + checker + " " + zip + " " + g.srv.share + " 2>&1");
    EXPECT_EQ(out.find("BAD"), std::string::npos) << out;
    EXPECT_EQ(out.find("Traceback"), std::string::npos) << out;
    for (const char* line : {"F 보관/a.txt\n", "F 보관/회의록 3분기.txt\n", "F 보관/sub/데이터.bin\n",
                             "F 보관/sub/empty.txt\n", "F 보관/sub/deeper/x.bin\n",
                             "D 보관/빈 폴더/\n", "D 보관/sub/deeper/\n",
                             "N 보관/README-incomplete.txt\n"})
        EXPECT_NE(out.find(line), std::string::npos) << line << " missing in:\n" << out;
    // The closed folder: not in the archive, named in the note.
    EXPECT_EQ(out.find("plan.txt"), std::string::npos) << out;
    EXPECT_NE(out.find("skipped, closed to you: /보관/staff"), std::string::npos) << out;

    // A folder with nothing left out has no note; the share's root is named after the board.
    r = http(g.port, "GET", "/api/zip?path=/%EB%B3%B4%EA%B4%80/sub", {cookie});
    ASSERT_EQ(r.status, 200);
    e2e::write_file(zip, r.body);
    out = run("python3 " + checker + " " + zip + " " + g.srv.share + "/보관 2>&1");
    EXPECT_EQ(out.find("BAD"), std::string::npos) << out;
    EXPECT_NE(out.find("F sub/deeper/x.bin\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("README"), std::string::npos) << out;

    // Refusals come as HTTP errors before any archive byte.
    EXPECT_EQ(http(g.port, "GET", "/api/zip?path=/private", {cookie}).status, 403);
    EXPECT_EQ(http(g.port, "GET", "/api/zip?path=/nothing", {cookie}).status, 404);
    EXPECT_EQ(http(g.port, "GET", "/api/zip?path=/a/../private", {cookie}).status, 400);
    EXPECT_EQ(http(g.port, "GET", "/api/zip?path=/", {}).status, 401);
}

// The archive's ZIP64 records, without a server: a source of one file past 4 GiB (zeros but
// its last bytes) and 70,000 empty files after it, whose headers then lie past 4 GiB too. The
// archive goes to a sparse file (zero blocks are skipped over), and Python reads it back.
TEST(WebZip, Zip64ForAFilePast4GiBAndMoreThan65535Entries) {
    const uint64_t big = (4ull << 30) + 100;
    const std::string tail = pattern(100, 1);
    const int files = 70000;
    bool with_big = true;
    web::ZipSource src;
    src.list = [&](const std::string& folder, std::vector<web::Entry>& entries, bool& complete,
                   bool& changed) {
        complete = true;
        changed = false;
        if (folder != "/") return 0;
        web::Entry e;
        e.name = "big.bin";
        e.size = big;
        e.mtime = 1796767500;
        if (with_big) entries.push_back(e);
        for (int i = 0; i < files; i++) {
            web::Entry f;
            f.name = "f" + std::to_string(i);
            entries.push_back(f);
        }
        return 1;
    };
    src.fetch = [&](const std::string& path, uint64_t off, char* dst, size_t want) -> long {
        if (path != "/big.bin") return 0;
        for (size_t i = 0; i < want; i++)
            dst[i] = off + i < big - tail.size() ? 0 : tail[off + i - (big - tail.size())];
        return static_cast<long>(want);
    };
    web::ZipStream zs(src, "/", "", 16u << 20);
    e2e::TempDir dir;
    std::string zip = dir.path + "/big.zip";
    int fd = open(zip.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    std::vector<char> buf(262144), zero(262144, 0);
    uint64_t total = 0;
    for (;;) {
        long n = zs.read(buf.data(), buf.size());
        ASSERT_GE(n, 0);
        if (n == 0) break;
        if (static_cast<size_t>(n) == buf.size() && memcmp(buf.data(), zero.data(), buf.size()) == 0)
            ASSERT_GE(lseek(fd, n, SEEK_CUR), 0);
        else
            ASSERT_EQ(write(fd, buf.data(), static_cast<size_t>(n)), n);
        total += static_cast<uint64_t>(n);
    }
    ASSERT_EQ(ftruncate(fd, static_cast<off_t>(total)), 0);
    close(fd);
    EXPECT_EQ(zs.entries(), static_cast<uint64_t>(files) + 1);
    std::string checker = dir.path + "/check.py";
    e2e::write_file(checker, R"PY(
import sys, zipfile, zlib
z = zipfile.ZipFile(sys.argv[1])
infos = z.infolist()
print("entries", len(infos))
b = z.getinfo("big.bin")
print("big", b.file_size, b.compress_size, b.header_offset)
crc, zero, left = 0, bytes(1 << 20), b.file_size - 100
while left:
    k = min(left, len(zero)); crc = zlib.crc32(zero[:k], crc); left -= k
print("crc-ok" if b.CRC == zlib.crc32(sys.stdin.buffer.read(), crc) else "crc-bad")
last = infos[-1]
print("last", last.filename, last.header_offset > 1 << 32, z.read(last) == b"")
)PY");
    std::string expect_tail = dir.path + "/tail";
    e2e::write_file(expect_tail, tail);
    std::string out = run("python3 " + checker + " " + zip + " < " + expect_tail + " 2>&1");
    EXPECT_NE(out.find("entries 70001\n"), std::string::npos) << out;
    EXPECT_NE(out.find("big 4294967396 4294967396 0\n"), std::string::npos) << out;
    EXPECT_NE(out.find("crc-ok\n"), std::string::npos) << out;
    EXPECT_NE(out.find("last f69999 True True\n"), std::string::npos) << out;

    // The entry count alone past 65535 (a small archive): the ZIP64 end records carry it.
    with_big = false;
    web::ZipStream small(src, "/", "", 16u << 20);
    std::string bytes;
    for (long n; (n = small.read(buf.data(), buf.size())) > 0;) bytes.append(buf.data(), static_cast<size_t>(n));
    EXPECT_LT(bytes.size(), 16u << 20);
    EXPECT_NE(bytes.find(std::string("PK\x06\x06", 4)), std::string::npos) << "no ZIP64 end record";
    e2e::write_file(zip, bytes);
    out = run("python3 -c 'import sys, zipfile; print(len(zipfile.ZipFile(sys.argv[1]).infolist()))' " + zip);
    EXPECT_EQ(out, "70000\n");
}

namespace {

// A GET whose response is then not read (a small receive buffer: the gateway's writes soon
// block). Returns the status.
int stuck_reader(int port, const std::string& path, const std::string& cookie, std::vector<int>& fds) {
    int fd = dial(port, nullptr, 4096);
    if (fd < 0) return -1;
    fds.push_back(fd);
    std::string req = request_text("GET", path, {cookie}, ""), got;
    if (send(fd, req.data(), req.size(), MSG_NOSIGNAL) <= 0) return -1;
    read_until(fd, got, "\r\n\r\n");
    return parse(got).status;
}

}  // namespace

// Archives that nobody reads: at most MAX_ZIPS at once in all, each counted among its
// browser's requests, a buffer each; their places come back when the browsers go.
TEST(WebZip, StuckArchivesAreBoundedInAllAndPerBrowser) {
    Gateway g;
    ASSERT_TRUE(g.start("server_socket = " + g.srv.dir.path + "/none.sock\n")) << g.output();
    e2e::write_file(g.srv.share + "/big/big.bin", pattern(8 << 20, 7));
    std::string bob, alice;
    ASSERT_EQ(g.login("bob", "bob", &bob).status, 200);
    ASSERT_EQ(g.login("alice", "alice", &alice).status, 200);
    const long rss0 = e2e::proc_status(g.pid, "VmRSS");
    std::vector<int> fds;
    for (int i = 0; i < 4; i++) EXPECT_EQ(stuck_reader(g.port, "/api/zip?path=/big", bob, fds), 200);
    Reply r = http(g.port, "GET", "/api/zip?path=/big", {alice});
    EXPECT_EQ(r.status, 503) << r.body;
    EXPECT_EQ(r.header("retry-after"), "5");
    // bob's four archives and four downloads fill his share of requests.
    for (int i = 0; i < 4; i++) EXPECT_EQ(stuck_reader(g.port, "/files/big/big.bin", bob, fds), 200);
    EXPECT_EQ(http(g.port, "GET", "/api/list?path=/big", {bob}).status, 429);
    EXPECT_EQ(http(g.port, "GET", "/api/list?path=/big", {alice}).status, 200);
    const long rss1 = e2e::proc_status(g.pid, "VmRSS");
    if (e2e::sanitizer_runtime().empty()) {
        EXPECT_LT(rss1 - rss0, 16 * 1024) << "kB";
    }
    printf("4 stuck archives and 4 stuck downloads: VmRSS %ld kB -> %ld kB\n", rss0, rss1);
    for (int fd : fds) close(fd);
    // The places come back once the gateway has noticed the closed connections.
    auto deadline = Clock::now() + std::chrono::seconds(60);
    int status = 0;
    while (Clock::now() < deadline && status != 200) {
        status = http(g.port, "HEAD", "/api/zip?path=/big", {alice}).status;
        if (status != 200) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_EQ(status, 200);
}
