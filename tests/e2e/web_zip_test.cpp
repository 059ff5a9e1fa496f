// Folder downloads as ZIP archives made by the gateway while it sends them: read back with
// Python's zipfile (an implementation that is not ours) and compared with the share byte for
// byte.
#include <cstdio>
#include <string>

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
