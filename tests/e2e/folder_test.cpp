// LIST and LISTALL over the wire: access lists with users and groups, folders closed all the
// way down, hidden names, links, and the refusal of paths that would leave the share.
#include <sys/stat.h>
#include <unistd.h>

#include "folder_helpers.h"

using e2e::cmd;
using folders::lines;
using folders::list;
using Lines = std::set<std::string>;

namespace {

// A share with folders for a team (through a group), for ann alone, and one for lee with an
// open sub-folder inside.
void make_tree(e2e::TestServer& srv) {
    const std::string& s = srv.share;
    e2e::write_file(s + "/team/.folder/group_r", "staff\r\n");
    e2e::write_file(s + "/team/plan.txt", "plan");
    e2e::write_file(s + "/mine/.folder/users_w", "ann\n");
    e2e::write_file(s + "/mine/.folder/snap/photo.jpg.png", "png");
    e2e::write_file(s + "/mine/photo.jpg", std::string(1000, 'p'));
    e2e::write_file(s + "/lee/.folder/users_r", "lee\n");
    e2e::write_file(s + "/lee/open/inside.txt", "secret");
    e2e::write_file(s + "/readme.txt", "hello");
    e2e::write_file(s + "/.hidden", "");
    e2e::write_file(s + "/Thumbs.db", "");
    e2e::add_group(srv.data, "staff", "lee, bob,ann");
}

}  // namespace

TEST(Folders, AccessListsWithUsersAndGroups) {
    e2e::TestServer srv;
    make_tree(srv);
    ASSERT_TRUE(folders::start(srv)) << srv.out() << srv.err();

    bh::Client ann = folders::user(srv, "ann");
    EXPECT_EQ(lines(list(ann, "/")), (Lines{"DN,0,1,team", "DN,0,1,mine", "DC,0,0,lee",
                                            "FN,0,5,readme.txt"}));
    EXPECT_EQ(lines(list(ann, "/team")), (Lines{"FN,0,4,plan.txt"}));
    EXPECT_EQ(lines(list(ann, "/mine")), (Lines{"FP,0,1000,photo.jpg"}));
    EXPECT_EQ(list(ann, "/lee"), "CLOSED\n");
    // Open by its own files, but inside a closed folder.
    EXPECT_EQ(list(ann, "/lee/open"), "CLOSED\n");
    EXPECT_EQ(list(ann, "/lee/open", true), "CLOSED\n");

    // " bob" is no member: the blank after the comma stays part of the item.
    bh::Client bob = folders::user(srv, "bob");
    EXPECT_EQ(lines(list(bob, "")), (Lines{"DC,0,0,team", "DC,0,0,mine", "DC,0,0,lee",
                                           "FN,0,5,readme.txt"}));
    EXPECT_EQ(list(bob, "/team"), "CLOSED\n");

    bh::Client lee = folders::user(srv, "lee");
    EXPECT_EQ(lines(list(lee, "/lee")), (Lines{"DN,0,1,open"}));
    EXPECT_EQ(lines(list(lee, "/lee/open")), (Lines{"FN,0,6,inside.txt"}));

    // Level 1 reads everything, level 9 too; a new access file counts at once.
    bh::Client reader = folders::user(srv, "reader");
    EXPECT_EQ(lines(list(reader, "/lee/open")), (Lines{"FN,0,6,inside.txt"}));
    e2e::write_file(srv.share + "/team/.folder/users_r", "");
    EXPECT_EQ(list(ann, "/team"), "FN,0,4,plan.txt\n");  // still through the group
    EXPECT_EQ(folders::finish(srv, {&ann, &bob, &lee, &reader}), 0) << srv.err();
}

TEST(Folders, NotLoggedInSeesNothing) {
    e2e::TestServer srv;
    make_tree(srv);
    ASSERT_TRUE(folders::start(srv)) << srv.out() << srv.err();
    bh::Client c = srv.connect();
    EXPECT_EQ(list(c, "/"), "CLOSED\n");
    EXPECT_EQ(list(c, ""), "CLOSED\n");
    EXPECT_EQ(list(c, "/missing"), "CLOSED\n");
    EXPECT_EQ(list(c, "/team", true), "CLOSED\n");
    EXPECT_EQ(folders::finish(srv, {&c}), 0) << srv.err();
}

TEST(Folders, ListAllShowsDotNamesButNeverAccessFiles) {
    e2e::TestServer srv;
    make_tree(srv);
    e2e::write_file(srv.share + "/mine/.folder.png", "icon");
    ASSERT_TRUE(folders::start(srv)) << srv.out() << srv.err();
    bh::Client ann = folders::user(srv, "ann");
    EXPECT_EQ(lines(list(ann, "/", true)), (Lines{"DN,1,1,team", "DP,1,2,mine", "DC,0,0,lee",
                                                  "FN,0,5,readme.txt", "FN,0,0,.hidden"}));
    // ".folder" is listed with its "snap" folder; the access file is never shown or counted.
    EXPECT_EQ(lines(list(ann, "/mine", true)),
              (Lines{"FP,0,1000,photo.jpg", "DN,1,0,.folder", "FN,0,4,.folder.png"}));
    EXPECT_EQ(lines(list(ann, "/mine/.folder", true)), (Lines{"DN,0,1,snap"}));
    EXPECT_EQ(lines(list(ann, "/mine")), (Lines{"FP,0,1000,photo.jpg"}));
    EXPECT_EQ(folders::finish(srv, {&ann}), 0) << srv.err();
}

TEST(Folders, LinksFifosAndNamesThatBreakLines) {
    e2e::TestServer srv;
    const std::string d = srv.share + "/d";
    e2e::write_file(d + "/data.bin", std::string(4096, 'x'));
    e2e::write_file(d + "/sub/one", "1");
    ASSERT_EQ(symlink("data.bin", (d + "/to_file").c_str()), 0);
    ASSERT_EQ(symlink("sub", (d + "/to_dir").c_str()), 0);
    ASSERT_EQ(symlink("gone", (d + "/dangling").c_str()), 0);
    ASSERT_EQ(mkfifo((d + "/pipe").c_str(), 0644), 0);
    e2e::write_file(d + "/two\nDN,9,9,forged", "");
    e2e::write_file(d + "/a, b", "ab");
    ASSERT_TRUE(folders::start(srv)) << srv.out() << srv.err();
    bh::Client ann = folders::user(srv, "ann");
    EXPECT_EQ(lines(list(ann, "/d")),
              (Lines{"FN,0,4096,data.bin", "DN,0,1,sub", "FN,0,4096,to_file", "DN,0,1,to_dir",
                     "DN,0,0,dangling", "FN,0,0,pipe", "FN,0,2,a, b"}));
    EXPECT_EQ(lines(list(ann, "/d/to_dir")), (Lines{"FN,0,1,one"}));
    EXPECT_TRUE(srv.wait_for_output("name with a line break left out"));
    EXPECT_TRUE(srv.wait_for_output("isLinkFile"));
    EXPECT_EQ(folders::finish(srv, {&ann}), 0) << srv.err();
}

TEST(Folders, PathsOutsideTheShareAreRefused) {
    e2e::TestServer srv;
    make_tree(srv);
    // A sibling of the share whose name begins with the share's.
    e2e::write_file(srv.share + "2/x/leak.txt", "leak");
    ASSERT_TRUE(folders::start(srv)) << srv.out() << srv.err();
    bh::Client root = folders::user(srv, "root");
    for (const char* path : {"2/x", "team", "/..", "/../", "/team/../..", "/../share2/x",
                             "/team/../lee"}) {
        EXPECT_EQ(list(root, path), "ERROR\n") << path;
        EXPECT_EQ(list(root, path, true), "ERROR\n") << path;
    }
    EXPECT_EQ(list(root, "/" + std::string(5000, 'a')), "ERROR\n");
    EXPECT_EQ(list(root, "/missing"), "ERROR\n");
    EXPECT_EQ(list(root, "/readme.txt"), "ERROR\n");

    // A request without "PATH" answers like an unknown command; the session goes on.
    bh::Frame f;
    ASSERT_TRUE(root.command(cmd("LIST"), f));
    EXPECT_EQ(f.type, "11");
    EXPECT_EQ(f.payload, folders::FAIL);
    ASSERT_TRUE(root.command("{ \"CMD\": \"LISTALL\", \"PATH\": 7 }", f));
    EXPECT_EQ(f.payload, folders::FAIL);
    EXPECT_EQ(lines(list(root, "/team")), (Lines{"FN,0,4,plan.txt"}));
    EXPECT_EQ(folders::finish(srv, {&root}), 0) << srv.err();
}

TEST(Folders, LongListingIsCutAtALineBoundary) {
    e2e::TestServer srv;
    for (int i = 0; i < 350; i++) {
        char name[32];
        snprintf(name, sizeof(name), "%04d", i);
        e2e::write_file(srv.share + "/big/" + name + std::string(200, 'n'), "");
    }
    ASSERT_TRUE(folders::start(srv)) << srv.out() << srv.err();
    bh::Client ann = folders::user(srv, "ann");
    std::string text = list(ann, "/big");
    EXPECT_LE(text.size(), 65535u);
    EXPECT_GT(text.size(), 65000u);
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n');
    for (const auto& l : lines(text)) EXPECT_EQ(l.size(), 211u) << l;
    EXPECT_TRUE(srv.wait_for_output("cut at"));
    EXPECT_EQ(lines(list(ann, "/")), (Lines{"DN,0,350,big"}));
    EXPECT_EQ(folders::finish(srv, {&ann}), 0) << srv.err();
}
