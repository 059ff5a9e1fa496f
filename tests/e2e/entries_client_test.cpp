// The client library's listings against a stand-in server that answers FEATURES as told and a
// listing command with the bytes it is given: whatever those bytes, the result is a listing,
// marked incomplete when it may lack entries, or a refusal; never a crash.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <thread>

#include "client.h"
#include "harness.h"

namespace {

std::string frame(const char* type, const std::string& payload) {
    char h[13];
    snprintf(h, sizeof(h), "%s%10zu", type, payload.size());
    return std::string(h, 12) + payload;
}

// One connection: FEATURES answered with features (FAIL when empty), every listing command
// with reply, anything else with FAIL.
class ListingServer {
public:
    ListingServer(const std::string& features, const std::string& reply)
        : features_(features), reply_(reply) {
        listener_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        strcpy(a.sun_path, path.c_str());
        EXPECT_EQ(bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
        listen(listener_, 1);
        thread_ = std::thread([this] { serve(); });
    }
    ~ListingServer() {
        shutdown(listener_, SHUT_RDWR);
        close(listener_);
        thread_.join();
    }
    e2e::TempDir dir;
    std::string path = dir.path + "/s";
    std::string last_command;

private:
    void serve() {
        int c = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0) return;
        char head[13] = {};
        while (recv(c, head, 12, MSG_WAITALL) == 12) {
            std::string payload(strtoul(head + 2, nullptr, 10), '\0');
            if (!payload.empty() && recv(c, payload.data(), payload.size(), MSG_WAITALL) <= 0)
                break;
            std::string word = bh::json_member(payload, "CMD"), out;
            if (word == "FEATURES") {
                out = frame("11", features_.empty()
                                      ? "{ \"RESULT\": \"FAIL\" }"
                                      : "{ \"RESULT\": \"OK\", \"FEATURES\": " + features_ + " }");
            } else if (word == "ENTRIES" || word == "LIST" || word == "LISTALL") {
                last_command = payload;
                out = reply_;
            } else {
                out = frame("11", "{ \"RESULT\": \"FAIL\" }");
            }
            if (send(c, out.data(), out.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(out.size()))
                break;
        }
        close(c);
    }
    std::string features_, reply_;
    int listener_ = -1;
    std::thread thread_;
};

const std::string kEntries = "[ \"write\", \"entries\" ]";

std::string ok(int count, bool write = true, bool changed = false) {
    return frame("11", "{ \"RESULT\": \"OK\", \"ENTRIES\": " + std::to_string(count) +
                           ", \"WRITE\": " + (write ? "true" : "false") +
                           ", \"CHANGED\": " + (changed ? "true" : "false") + " }");
}

struct Listed {
    bh::Outcome outcome;
    std::vector<bh::Entry> entries;
    bh::ListInfo info;
    bool usable_after = false;  // the connection answers a further command
    std::string command;
};

Listed list_from(const std::string& features, const std::string& reply, bool dots = false) {
    ListingServer srv(features, reply);
    bh::Client c;
    Listed r;
    EXPECT_TRUE(c.connect_local(srv.path));
    r.outcome = bh::list_entries(c, "/docs", dots, r.entries, r.info);
    std::vector<std::string> again;
    r.usable_after = c.connected() && bh::features(c, &again);
    c.close();
    r.command = srv.last_command;
    return r;
}

}  // namespace

TEST(ClientEntries, LinesKeepEveryByteOfTheirNames) {
    std::string lines = "FN,0,12,1733694900,w,a,b,,c.txt\n"
                        "DN,2,7,-86400,-,보고서 2026\n"
                        "DC,0,0,0,-,closed\n"
                        "FP,0,0,5,w, lead and trail \n";
    Listed r = list_from(kEntries, frame("10", lines) + ok(4, false, true), true);
    ASSERT_TRUE(r.outcome.ok()) << r.outcome.reason;
    EXPECT_EQ(bh::json_member(r.command, "DOTS"), "true");
    EXPECT_TRUE(r.info.used_entries && r.info.complete) << r.info.problem;
    EXPECT_TRUE(r.info.changed);
    EXPECT_TRUE(r.info.write_known);
    EXPECT_FALSE(r.info.write);
    ASSERT_EQ(r.entries.size(), 4u);
    EXPECT_EQ(r.entries[0].name, "a,b,,c.txt");
    EXPECT_EQ(r.entries[0].size, 12u);
    EXPECT_EQ(r.entries[0].mtime, 1733694900);
    EXPECT_TRUE(r.entries[0].writable && !r.entries[0].folder);
    EXPECT_EQ(r.entries[1].name, "보고서 2026");
    EXPECT_TRUE(r.entries[1].folder && !r.entries[1].closed && !r.entries[1].writable);
    EXPECT_EQ(r.entries[1].folders, 2u);
    EXPECT_EQ(r.entries[1].files, 7u);
    EXPECT_EQ(r.entries[1].mtime, -86400);
    EXPECT_TRUE(r.entries[2].closed);
    EXPECT_EQ(r.entries[3].name, " lead and trail ");
    EXPECT_TRUE(r.entries[3].preview);
    EXPECT_TRUE(r.usable_after);

    // Many frames, and an empty folder.
    std::string many;
    for (int i = 0; i < 3; i++) many += frame("10", "FN,0,1,0,w,f" + std::to_string(i) + "\n");
    r = list_from(kEntries, many + ok(3));
    EXPECT_EQ(r.entries.size(), 3u);
    EXPECT_TRUE(r.info.complete);
    r = list_from(kEntries, ok(0));
    EXPECT_TRUE(r.outcome.ok() && r.entries.empty() && r.info.complete);
}

// Replies out of form: the good lines are kept, the listing is marked incomplete, and the
// connection stays in step for the next command.
TEST(ClientEntries, AMalformedReplyIsAnIncompleteListingNeverACrash) {
    struct Case {
        const char* what;
        std::string reply;
        size_t kept;
    } cases[] = {
        {"a line with too few fields", frame("10", "FN,0,1,5,w,ok\nFN,0,1,x\nFN,0,1\n") + ok(3), 1},
        {"an unknown kind", frame("10", "XX,0,1,5,w,x\nFN,0,1,5,w,ok\n") + ok(2), 1},
        {"a number that overflows",
         frame("10", "FN,0,99999999999999999999,5,w,x\nFN,0,1,-9223372036854775808,w,y\n") +
             ok(2),
         0},
        {"a bad write mark", frame("10", "FN,0,1,5,yes,x\n") + ok(1), 0},
        {"a last line without its end", frame("10", "FN,0,1,5,w,ok\nFN,0,1,5,w,cut") + ok(2), 1},
        {"a count above the lines sent", frame("10", "FN,0,1,5,w,ok\n") + ok(2), 1},
        {"a count below the lines sent", frame("10", "FN,0,1,5,w,a\nFN,0,1,5,w,b\n") + ok(1), 2},
        {"no count", frame("10", "FN,0,1,5,w,a\n") + frame("11", "{ \"RESULT\": \"OK\" }"), 1},
        {"a frame larger than the server may send",
         frame("10", "FN,0,1,5,w,ok\n") + frame("10", std::string(70000, 'x') + "\n") + ok(2), 1},
    };
    for (const Case& k : cases) {
        Listed r = list_from(kEntries, k.reply);
        EXPECT_TRUE(r.outcome.ok()) << k.what;
        EXPECT_FALSE(r.info.complete) << k.what;
        EXPECT_FALSE(r.info.problem.empty()) << k.what;
        EXPECT_EQ(r.entries.size(), k.kept) << k.what;
        EXPECT_TRUE(r.usable_after) << k.what;
    }
    // A reply that is not a listing at all: the connection is given up, with a reason.
    Listed r = list_from(kEntries, frame("10", "FN,0,1,5,w,a\n") + frame("88", "data"));
    EXPECT_FALSE(r.outcome.done);
    EXPECT_TRUE(r.entries.empty());
    EXPECT_FALSE(r.usable_after);
    // Refusals carry the server's reason, and no entries.
    r = list_from(kEntries, frame("11", "{ \"RESULT\": \"FAIL\", \"REASON\": \"NOTFOUND\" }"));
    EXPECT_TRUE(r.outcome.done && r.outcome.result == "FAIL");
    EXPECT_EQ(r.outcome.reason, "NOTFOUND");
}

// A server without ENTRIES is listed by LIST: no times, and a listing that filled its frame is
// incomplete.
TEST(ClientEntries, WithoutTheExtensionListIsUsedAndACutListingIsIncomplete) {
    Listed r = list_from("", frame("10", "DN,1,2,a, b\nFN,0,9,보고서 1.txt\n"));
    ASSERT_TRUE(r.outcome.ok());
    EXPECT_EQ(bh::json_member(r.command, "CMD"), "LIST");
    EXPECT_TRUE(r.info.complete && !r.info.used_entries && !r.info.write_known);
    ASSERT_EQ(r.entries.size(), 2u);
    EXPECT_EQ(r.entries[0].name, "a, b");
    EXPECT_EQ(r.entries[1].name, "보고서 1.txt");
    EXPECT_EQ(r.entries[1].size, 9u);
    EXPECT_EQ(r.entries[1].mtime, bh::Entry::kUnknownTime);

    std::string full;
    while (full.size() <= bh::kMaxListing - bh::kMaxListingLine)
        full += "FN,0,1," + std::string(90, 'n') + std::to_string(full.size()) + "\n";
    r = list_from("[ \"write\" ]", frame("10", full), true);
    EXPECT_EQ(bh::json_member(r.command, "CMD"), "LISTALL");
    EXPECT_FALSE(r.info.complete);
    EXPECT_GT(r.entries.size(), 600u);

    r = list_from("", frame("10", "CLOSED\n"));
    EXPECT_EQ(r.outcome.reason, "DENIED");
    r = list_from("", frame("10", "NONE\n"));
    EXPECT_TRUE(r.outcome.ok() && r.entries.empty() && r.info.complete);
}
